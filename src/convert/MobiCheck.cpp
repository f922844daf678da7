// The program's side of reading a new MOBI file back: the check runs in a child (mobi-check).
#include "convert/MobiCheck.h"

#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"

#include <QFileInfo>
#include <QThread>

#include <sys/stat.h>
#include <algorithm>
#include <cstdint>

namespace bq {

namespace {

QString g_checkerPath;

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

QString ProblemOf(ChildProcess& child) {
    if (child.WasSignalled()) {
        return QStringLiteral("the MOBI file made is damaged (reading it back crashed the reader)");
    }
    switch (static_cast<MobiCheckStatus>(child.ExitCode())) {
        case MobiCheckStatus::Good:
            return {};
        case MobiCheckStatus::Missing:
            return QStringLiteral("the converter made no MOBI file");
        case MobiCheckStatus::Encrypted:
            return QStringLiteral("the MOBI file made is encrypted and cannot be read");
        case MobiCheckStatus::OutOfMemory:
            return QStringLiteral("the MOBI file made could not be checked (out of memory)");
        case MobiCheckStatus::NoKf8Part:
            return QStringLiteral(
                "the MOBI file made has no KF8 part, so Kindles would show it as an old-style "
                "MOBI file; convert it again, or choose the format MOBI 6");
        case MobiCheckStatus::Kf8Damaged:
            return QStringLiteral(
                "the KF8 part of the MOBI file made is damaged (it cannot be read back whole); "
                "convert it again, or choose the format MOBI 6");
        default:
            return QStringLiteral("the MOBI file made is damaged (it cannot be read back whole)");
    }
}

}  // namespace

QString MobiCheckerPath() {
    return g_checkerPath.isEmpty() ? ProgramFolder() + QStringLiteral("/mobi-check")
                                   : g_checkerPath;
}

void SetMobiCheckerPath(const QString& path) {
    g_checkerPath = path;
}

void MobiReadBack::Start(const QString& path, Expected expected) {
    End();
    m_done = false;
    m_problem.clear();
    ChildSpec spec;
    spec.program = MobiCheckerPath();
    spec.arguments = expected == Expected::Joint ? QStringList{QStringLiteral("--joint"), path}
                                                 : QStringList{path};
    const auto size = static_cast<std::uint64_t>(std::max<qint64>(0, QFileInfo(path).size()));
    spec.memoryLimit = kLimitCheckMemory ? std::max(kLeastCheckMemory, size * 8) : 0;
    int startError = 0;
    m_child = ChildProcess::Start(spec, startError);
    m_clock.start();
    if (!m_child) {
        m_done = true;
        m_problem = QStringLiteral(
                        "the MOBI file made could not be checked: the checker %1 cannot be "
                        "started; reinstall Brindlequill")
                        .arg(spec.program);
    }
}

bool MobiReadBack::HasEnded() {
    if (m_done || !m_child) {
        return true;
    }
    if (m_child->HasEnded()) {
        m_done = true;
        m_problem = ProblemOf(*m_child);
        m_child.reset();
        return true;
    }
    if (m_clock.elapsed() >= kTimeLimitMs) {
        // A reader that hangs proves nothing about the book: it is not called damaged.
        m_child->Kill();
        m_child.reset();
        m_done = true;
        m_problem = QStringLiteral(
            "the MOBI file made could not be checked within two minutes (the reader did not "
            "end); convert it again");
        return true;
    }
    return false;
}

void MobiReadBack::End() {
    if (m_child) {
        m_child->Kill();
        m_child.reset();
    }
}

QString MobiProblem(const QString& path, MobiReadBack::Expected expected) {
    MobiReadBack readBack;
    readBack.Start(path, expected);
    // Quick readers (one file) end within milliseconds: look often at first.
    int pause = 1;
    while (!readBack.HasEnded()) {
        YieldToMessageLoop();
        QThread::msleep(static_cast<unsigned long>(pause));
        pause = std::min(pause * 2, 10);
    }
    return readBack.Problem();
}

}  // namespace bq
