#include "convert/WarmConverter.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace bq {

const char* const WarmConverter::kProgramName = "warm-converter";
const char* const WarmConverter::kSocketName = "warm.sock";

WarmConverter::~WarmConverter() {
    Stop();
}

QString WarmConverter::SocketPath() const {
    return m_folder.isEmpty() ? QString()
                              : m_folder + QLatin1Char('/') + QLatin1String(kSocketName);
}

bool WarmConverter::Start(const QString& runtimeFolder,
                          const std::vector<EnvironmentChange>& environment, int niceness,
                          const QString& logFile) {
    Stop();
    ChildSpec spec;
    spec.program = runtimeFolder + QLatin1Char('/') + QLatin1String(kProgramName);
    spec.logFile = logFile;
    // Its current folder is the runtime's, so it never keeps another folder busy.
    spec.workingFolder = runtimeFolder;
    spec.environment = environment;
    spec.niceness = niceness;
    // Each conversion it runs has a process group of its own: one session holds them all.
    spec.ownSession = true;
    int startError = 0;
    m_child = ChildProcess::Start(spec, startError);
    if (!m_child) {
        return false;
    }
    m_folder = runtimeFolder;
    return true;
}

void WarmConverter::Stop() {
    if (m_child) {
        m_child->EndGroup();
        m_child.reset();
    }
    // A warm converter that was killed leaves its socket behind.
    if (!m_folder.isEmpty()) {
        const QByteArray socketPath = QFile::encodeName(SocketPath());
        struct stat st {};
        if (lstat(socketPath.constData(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            unlink(socketPath.constData());
        }
        m_folder.clear();
    }
}

}  // namespace bq
