#include "platform/AbsoluteFolderVariables.h"

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <string>

namespace bq {

void MakeFolderVariablesAbsolute() {
    std::string current;
    for (const char* name : {"TEMP", "TMPDIR", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0' || value[0] == '/') {
            continue;
        }
        if (current.empty()) {
            char buffer[PATH_MAX];
            if (::getcwd(buffer, sizeof buffer) == nullptr) {
                return;  // no current folder to start from: the values stay as they are
            }
            current = buffer;
            if (current.back() != '/') {
                current += '/';
            }
        }
        const std::string absolute = current + value;
        ::setenv(name, absolute.c_str(), 1);
    }
}

}  // namespace bq
