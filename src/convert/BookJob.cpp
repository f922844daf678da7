#include "convert/BookJob.h"

#include "convert/BookLimits.h"
#include "convert/ConverterSlots.h"
#include "convert/FailureReason.h"
#include "convert/RunOutputs.h"
#include "fs/FileTests.h"
#include "fs/OutputName.h"
#include "fs/OutputSubFolder.h"
#include "fs/PathText.h"
#include "platform/MessageLoop.h"
#include "platform/RunTimeError.h"

#include <QFile>
#include <QLoggingCategory>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>

Q_LOGGING_CATEGORY(lcBook, "brindlequill.conversion")

namespace bq {

namespace {

// Why a folder cannot take a new file, in the user's words.
QString FolderProblem(const QString& folder, int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENOTDIR:
            return QStringLiteral("the output folder %1 does not exist").arg(folder);
        case EACCES:
        case EPERM:
        case EROFS:
            return QStringLiteral("the output folder %1 cannot be written (%2)")
                .arg(folder, SystemErrorText(errnoValue));
        case ENOSPC:
        case EDQUOT:
            return QStringLiteral(
                       "there is no space left in the output folder %1; free some "
                       "space there, then convert it again")
                .arg(folder);
        default:
            return QStringLiteral("no file can be made in the output folder %1 (%2)")
                .arg(folder, SystemErrorText(errnoValue));
    }
}

// The folder of a path, without its closing "/" (but "/" itself).
QString FolderName(const QString& path) {
    const QString folder = FolderPart(path);
    return folder.size() > 1 ? folder.chopped(1) : folder;
}

// Why the output's folder is no longer there (moved or removed while its book converted), or
// nothing: that, not a missing or unreadable result, is what the user needs to hear.
QString FolderGoneProblem(const QString& output) {
    struct stat st {};
    if (::stat(QFile::encodeName(FolderPart(output)).constData(), &st) != 0) {
        return FolderProblem(FolderName(output), errno);
    }
    return {};
}

bool NewerThan(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec > b.st_mtim.tv_sec ||
           (a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec > b.st_mtim.tv_nsec);
}

}  // namespace

BookJob::BookJob(int index, QString source, bool ahead)
    : m_index(index), m_source(std::move(source)), m_ahead(ahead) {}

BookJob::~BookJob() {
    // Whatever still runs ends with the job (the child's own end kills and reaps its group); a
    // temporary output not put in place goes with its OutputTemporary.
    m_readBack.End();
}

QString BookJob::Temporary() const {
    return m_temporaryFile ? m_temporaryFile->path() : QString();
}

double BookJob::Seconds() const {
    return m_running.isValid() ? static_cast<double>(m_running.elapsed()) / 1000.0 : 0.0;
}

void BookJob::Fail(QString reason) {
    m_reason = std::move(reason);
    m_state = State::Failed;
}

void BookJob::Place(const OutputOptions& options, const QString& root) {
    m_subFolder = KeptSubFolder(m_source, root, options);
    m_outputBase = options.text1;
    m_output = OutputPathFor(m_source, options, m_subFolder);
}

void BookJob::Prepare(RunOutputs& outputs, const ConverterCall& call) {
    if (m_state != State::Waiting) {
        return;
    }
    if (m_output.isEmpty()) {
        return Fail(QStringLiteral("no output name could be made for it"));
    }
    const QByteArray source = QFile::encodeName(m_source);
    struct stat sourceStat {};
    if (::stat(source.constData(), &sourceStat) != 0) {
        return Fail(
            errno == ENOENT
                ? QStringLiteral("the file no longer exists")
                : QStringLiteral("the file cannot be reached (%1)").arg(SystemErrorText(errno)));
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        return Fail(QStringLiteral("it is a folder, not a file"));
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        return Fail(QStringLiteral("it is not a regular file (a pipe, socket or device)"));
    }
    if (::access(source.constData(), R_OK) != 0) {
        return Fail(QStringLiteral("the file cannot be read (%1)").arg(SystemErrorText(errno)));
    }

    // The library's folder below the output folder, made now with the same checks as the
    // output's own name, before anything looks at the output through it: no link is followed.
    if (!m_subFolder.isEmpty()) {
        const QString problem = MakeOutputSubFolder(m_outputBase, m_subFolder);
        if (!problem.isEmpty()) {
            return Fail(problem);
        }
    }

    // The source itself is never deleted or overwritten.
    const QByteArray output = QFile::encodeName(m_output);
    struct stat outputStat {};
    const bool outputExists = ::lstat(output.constData(), &outputStat) == 0;
    struct stat outputTarget {};
    const bool outputTargetExists = ::stat(output.constData(), &outputTarget) == 0;
    if (CollapseSeparators(m_source) == m_output ||
        (outputTargetExists &&
         RunOutputs::FileIdentity(outputTarget) == RunOutputs::FileIdentity(sourceStat))) {
        m_state = State::Skipped;
        return;
    }
    if (outputExists && !S_ISLNK(outputStat.st_mode) && outputs.IsListedSource(outputStat)) {
        return Fail(
            QStringLiteral("its result %1 would replace another file of the list").arg(m_output));
    }
    if (outputExists && S_ISDIR(outputStat.st_mode)) {
        return Fail(QStringLiteral("a folder named %1 is in the way of its result").arg(m_output));
    }
    if (call.skipUpToDate && outputTargetExists && S_ISREG(outputTarget.st_mode) &&
        NewerThan(outputTarget, sourceStat)) {
        m_state = State::UpToDate;
        return;
    }

    // A name the folder's file system cannot hold fails now, not after its conversion.
    const QString folder = FolderName(m_output);
    const QString nameProblem = OutputNameProblem(folder, FileNamePart(m_output));
    if (!nameProblem.isEmpty()) {
        return Fail(nameProblem);
    }
    // The first time this run writes into a folder, the temporaries an earlier program left
    // there (killed before it could remove them) go; one that a running program holds stays.
    if (outputs.FirstWriteInto(folder)) {
        OutputTemporary::RemoveAbandoned(folder);
    }
    // The converter writes beside the old output, under a name of its own that ends in
    // ".mobi" (the converter picks the format from it); the old output stays until the new one
    // is complete and checked.
    int error = 0;
    m_temporaryFile = OutputTemporary::Create(folder, error);
    if (!m_temporaryFile) {
        return Fail(FolderProblem(folder, error));
    }
    m_log = call.logFolder + QStringLiteral("/%1.log").arg(m_index, 4, 10, QLatin1Char('0'));
}

void BookJob::StartConverter(const ConverterCall& call, std::uint64_t memoryLimit) {
    if (m_state != State::Waiting || Temporary().isEmpty()) {
        return;
    }
    // Lines 158 and 160: the converter, the source and the output.
    ChildSpec spec;
    spec.program = call.program;
    spec.arguments = QStringList{m_source, Temporary()} + call.options;
    spec.logFile = m_log;
    spec.niceness = kConverterNiceness;
    spec.environment = call.environment;
    spec.memoryLimit = memoryLimit;
    spec.residentWherePossible = true;
    m_memoryLimit = memoryLimit;
    int startError = 0;
    m_converter = ChildProcess::Start(spec, startError);
    if (m_converter) {
        m_running.start();
        m_state = State::Converting;
    } else {
        m_exitCode = kStartErrorBase + startError;
        m_converterEnded = true;
        m_state = State::Converted;
    }
}

bool BookJob::ConverterEnded() {
    if (m_state == State::Converting && m_converter->HasEnded()) {
        m_exitCode = m_converter->ExitCode();
        m_signalled = m_converter->WasSignalled();
        m_converterEnded = true;
        m_state = State::Converted;
    }
    return m_state != State::Converting;
}

ChildProcess* BookJob::RunningConverter() {
    return ConverterEnded() ? nullptr : &*m_converter;
}

bool BookJob::KillIfPast(std::chrono::milliseconds limit) {
    if (m_state != State::Converting || m_timedOut || m_running.elapsed() < limit.count() ||
        m_converter->HasEnded()) {
        return false;
    }
    m_timedOut = true;
    m_converter->Kill();
    return true;
}

bool BookJob::RanOutOfSpace() const {
    return m_converterEnded && m_exitCode != 0 && !m_timedOut && ConverterRanOutOfSpace(m_log);
}

bool BookJob::RanOutOfMemory(bool stopping) const {
    if (m_memoryLimit == 0 || m_timedOut || !m_converterEnded) {
        return false;
    }
    // Under a resident limit the kernel kills the converter; under an address space limit its
    // allocations fail and it says so.
    return (m_converter && m_converter->HasResidentLimit() && m_signalled &&
            m_converter->TermSignal() == SIGKILL && !stopping) ||
           ConverterRanOutOfMemory(m_log);
}

void BookJob::Conclude(const ConverterCall& call, bool stopping) {
    if (m_state == State::Waiting) {
        return Fail(QStringLiteral("it could not be prepared for conversion"));
    }
    if (m_state != State::Converted) {
        return;
    }
    // The output folder went away while the converter ran (and took its result with it).
    if (const QString gone = FolderGoneProblem(m_output); !gone.isEmpty()) {
        return Fail(gone);
    }
    if (m_timedOut) {
        return Fail(QStringLiteral("took longer than %1 and was stopped")
                        .arg(DurationText(call.timeLimit)));
    }
    if (m_exitCode != 0 && RanOutOfMemory(stopping)) {
        return Fail(QStringLiteral("needed more than %1 of memory and was stopped")
                        .arg(MemoryText(m_memoryLimit)));
    }
    if (m_exitCode != 0 && ConverterRanOutOfSpace(m_log)) {
        // The converter's own words ("[Errno 28] ...") do not say what to do.
        return Fail(QStringLiteral("the disk ran out of room while it was converted; free some "
                                   "space in %1 and in the temporary folder, then convert it "
                                   "again")
                        .arg(FolderName(m_output)));
    }
    if (m_exitCode != 0) {
        const QString fromLog =
            m_signalled || m_exitCode < 0 ? QString() : ReasonFromConverterLogFile(m_log, m_source);
        return Fail(!fromLog.isEmpty() ? fromLog
                    : m_signalled      ? ReasonFromSignal(m_exitCode - 128)
                                       : ReasonFromExitCode(m_exitCode));
    }
    struct stat st {};
    if (::lstat(QFile::encodeName(Temporary()).constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size == 0) {
        // The folder may have gone since it was looked at above.
        if (const QString gone = FolderGoneProblem(m_output); !gone.isEmpty()) {
            return Fail(gone);
        }
        const QString fromLog = ReasonFromConverterLogFile(m_log, m_source);
        return Fail(
            QStringLiteral("the converter made no MOBI file") +
            (fromLog.isEmpty() ? QString() : QStringLiteral(" (") + fromLog + QLatin1Char(')')));
    }
    m_state = State::Checking;
    m_readBack.Start(Temporary(), call.format == KindleFormat::Joint ? MobiReadBack::Expected::Joint
                                                                     : MobiReadBack::Expected::Any);
}

bool BookJob::ReadBackEnded() {
    return m_state != State::Checking || m_readBack.HasEnded();
}

BookJob::State BookJob::PutInPlace(RunOutputs& outputs) {
    if (m_state == State::UpToDate) {
        // An output this run made from another book is not this book's.
        const QString problem = outputs.SameFileProblem(m_output);
        if (problem.isEmpty()) {
            outputs.RecordMade(m_output, m_source, true);
            return m_state;
        }
        Fail(problem);
    }
    if (m_state == State::Checking) {
        QString problem = m_readBack.Problem();
        if (const QString gone = problem.isEmpty() ? QString() : FolderGoneProblem(m_output);
            !gone.isEmpty()) {
            problem = gone;  // it could not be read where it was
        }
        if (problem.isEmpty()) {
            problem = outputs.SameFileProblem(m_output);
        }
        if (!problem.isEmpty()) {
            Fail(problem);
        }
    }
    if (m_state == State::Checking) {
        // A rename replaces the old output whatever its own permissions (a read-only output is
        // replaced too) and never shows a half-made file under the output's name; the book is
        // on the disk before it replaces the old one, and the folder after.
        int error = 0;
        const bool replaced =
            m_temporaryFile->ReplaceDurably(m_output, 0666 & ~CurrentUmask(), error);
        // Renamed, but the folder could not be flushed: the book is there all the same.
        if (replaced || m_temporaryFile->path().isEmpty()) {
            if (!replaced) {
                qCWarning(lcBook).noquote() << "The folder of" << m_output
                                            << "could not be flushed:" << SystemErrorText(error);
            }
            outputs.RecordMade(m_output, m_source, false);
            m_temporaryFile.reset();
            m_state = State::InPlace;
            return m_state;
        }
        const QString gone = FolderGoneProblem(m_output);
        Fail(!gone.isEmpty() ? gone
             : error == EISDIR
                 ? QStringLiteral("a folder named %1 is in the way of its result").arg(m_output)
                 : QStringLiteral("its result could not be saved as %1 (%2)")
                       .arg(m_output, SystemErrorText(error)));
    }
    if (m_state != State::Failed && m_state != State::Skipped) {
        // Not concluded (the loop was broken off): what it holds goes.
        Fail(QStringLiteral("it could not be prepared for conversion"));
    }
    RemoveTemporary();
    return m_state;
}

void BookJob::RemoveTemporary() {
    if (m_temporaryFile) {
        m_temporaryFile->Remove();
        m_temporaryFile.reset();
    }
}

void BookJob::Stop() {
    if (m_converter) {
        m_converter->Kill();
    }
    m_readBack.End();
    RemoveTemporary();
    m_state = State::Stopped;
}

void BookJob::Again() {
    if (m_converter) {
        // The window answers while a converter that does not end when asked gets its grace.
        ChildProcess::EndTogether({&*m_converter}, kEndGrace, [] { YieldToMessageLoop(); });
        m_converter.reset();
    }
    m_readBack.End();
    RemoveTemporary();
    m_ahead = false;
    m_state = State::Waiting;
    m_reason.clear();
    m_output.clear();
    m_outputBase.clear();
    m_subFolder.clear();
    m_log.clear();
    m_running.invalidate();
    m_memoryLimit = 0;
    m_converterEnded = false;
    m_timedOut = false;
    m_exitCode = 0;
    m_signalled = false;
    m_readBack = MobiReadBack();
    m_deferredErrors.clear();
}

void BookJob::RaiseDeferred(int line) {
    const auto found =
        std::find_if(m_deferredErrors.begin(), m_deferredErrors.end(),
                     [line](const auto& deferred) { return deferred.first == line; });
    if (found == m_deferredErrors.end()) {
        return;
    }
    const std::exception_ptr error = found->second;
    m_deferredErrors.erase(found);
    std::rethrow_exception(error);
}

}  // namespace bq
