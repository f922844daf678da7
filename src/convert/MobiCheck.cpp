// The program's side of reading a new MOBI file back: the check runs in a child (mobi-check).
#include "convert/MobiCheck.h"

#include "platform/ProgramFolder.h"
#include "process/ChildProcess.h"
#include "process/ProcessRunner.h"

#include <QFileInfo>

#include <sys/stat.h>
#include <algorithm>
#include <cstdint>

namespace bq {

namespace {

QString g_checkerPath;

// A reader that takes longer than this over one book has hung.
constexpr int kCheckTimeLimitMs = 120 * 1000;
// libmobi holds the whole file and its parsed text: a few times the file's size, and never less
// than this.
constexpr std::uint64_t kLeastCheckMemory = std::uint64_t{1} << 30;
#if defined(__SANITIZE_ADDRESS__)
// A checker built with AddressSanitizer reserves terabytes of address space for its shadow
// memory: under an address-space limit it could not even start.
constexpr bool kLimitCheckMemory = false;
#else
constexpr bool kLimitCheckMemory = true;
#endif

}  // namespace

QString MobiCheckerPath() {
    return g_checkerPath.isEmpty() ? ProgramFolder() + QStringLiteral("/mobi-check")
                                   : g_checkerPath;
}

void SetMobiCheckerPath(const QString& path) {
    g_checkerPath = path;
}

QString MobiProblem(const QString& path) {
    ChildSpec spec;
    spec.program = MobiCheckerPath();
    spec.arguments = {path};
    const auto size = static_cast<std::uint64_t>(std::max<qint64>(0, QFileInfo(path).size()));
    spec.memoryLimit = kLimitCheckMemory ? std::max(kLeastCheckMemory, size * 8) : 0;
    int startError = 0;
    std::optional<ChildProcess> child = ChildProcess::Start(spec, startError);
    if (!child) {
        return QStringLiteral(
                   "the MOBI file made could not be checked: the checker %1 cannot be started; "
                   "reinstall Brindlequill")
            .arg(spec.program);
    }
    if (!WaitBriefly(*child, kCheckTimeLimitMs)) {
        child->Kill();
        return QStringLiteral(
            "the MOBI file made is damaged (reading it back did not end within two minutes)");
    }
    if (child->WasSignalled()) {
        return QStringLiteral("the MOBI file made is damaged (reading it back crashed the reader)");
    }
    switch (static_cast<MobiCheckStatus>(child->ExitCode())) {
        case MobiCheckStatus::Good:
            return {};
        case MobiCheckStatus::Missing:
            return QStringLiteral("the converter made no MOBI file");
        case MobiCheckStatus::Encrypted:
            return QStringLiteral("the MOBI file made is encrypted and cannot be read");
        case MobiCheckStatus::OutOfMemory:
            return QStringLiteral("the MOBI file made could not be checked (out of memory)");
        default:
            return QStringLiteral("the MOBI file made is damaged (it cannot be read back whole)");
    }
}

}  // namespace bq
