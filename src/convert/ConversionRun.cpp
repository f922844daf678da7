#include "convert/ConversionRun.h"

#include "convert/BookLimits.h"
#include "convert/ConverterSlots.h"
#include "convert/FailureReason.h"
#include "convert/LookAhead.h"
#include "convert/MobiCheck.h"
#include "convert/RuntimeResource.h"
#include "fs/FileDeletion.h"
#include "fs/FileTests.h"
#include "fs/OutputName.h"
#include "fs/OutputTemporary.h"
#include "fs/PathText.h"
#include "platform/DialogSeam.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"
#include "process/ProcessRunner.h"
#include "process/ProgressDisplay.h"
#include "process/WhileYielding.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

Q_LOGGING_CATEGORY(lcRun, "brindlequill.conversion")

namespace bq {

namespace {

// How often the converters' running times are compared with the time limit.
constexpr int kTimeLimitCheckMs = 200;

QString FileIdentity(const struct stat& st) {
    return QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
}

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
            return QStringLiteral("there is no space left in the output folder %1").arg(folder);
        default:
            return QStringLiteral("no file can be made in the output folder %1 (%2)")
                .arg(folder, SystemErrorText(errnoValue));
    }
}

}  // namespace

ConversionRun::ConversionRun(ConversionWindow window, ConversionSetup setup)
    : m_window(std::move(window)), m_setup(std::move(setup)) {
    if (!m_setup.archive) {
        m_setup.archive = [] { return LoadCustomResource(kRuntimeResourceId); };
    }
    m_timeLimitTimer.setInterval(kTimeLimitCheckMs);
    QObject::connect(&m_timeLimitTimer, &QTimer::timeout, [this] {
        // A timer's slot: nothing may leave it.
        try {
            EnforceTimeLimit();
        } catch (...) {
            qCWarning(lcRun) << "The converters' time limit could not be checked";
        }
    });
}

ConversionRun::~ConversionRun() {
    // A run always ends through End(); whatever is left (a run destroyed mid-way by an
    // exception) still ends with its children reaped and its folder removed.
    try {
        End();
    } catch (...) {
        qCWarning(lcRun) << "The run could not end cleanly";
    }
}

QString ConversionRun::OutputKey(const QString& output) {
    const QString folder = QFileInfo(FolderPart(output)).canonicalFilePath();
    if (folder.isEmpty()) {
        return output;
    }
    return CollapseSeparators(folder + QLatin1Char('/') + FileNamePart(output));
}

void ConversionRun::RequestStop(bool closing) {
    m_stopRequested = true;
    m_closing = m_closing || closing;
    if (m_lookAhead) {
        m_lookAhead->Stop();  // starts nothing more from now on
    }
}

void ConversionRun::RequestStopAtOnce() {
    m_atOnce = true;
    RequestStop(true);
}

void ConversionRun::Tell(const Job& job, BookOutcome::Result result) {
    if (!m_window.bookDone) {
        return;
    }
    BookOutcome outcome;
    outcome.index = job.index;
    outcome.source = job.source;
    outcome.output = job.output;
    outcome.result = result;
    outcome.reason = result == BookOutcome::Result::Failed ? job.failure : QString();
    outcome.seconds =
        job.running.isValid() ? static_cast<double>(job.running.elapsed()) / 1000.0 : 0.0;
    try {
        m_window.bookDone(outcome);
    } catch (...) {
        qCWarning(lcRun) << "Entry" << job.index << "could not be reported";
    }
}

void ConversionRun::Start() {
    ErrorTrap trap(*m_window.dialogs, QStringLiteral("Form1.PushButton2_Click"));
    bool& isBusy = *m_window.isBusy;
    if (isBusy) {
        return;  // line 100: a run is under way
    }
    trap.Line(102, [&] { isBusy = true; });

    bool refused = false;
    if (!trap.Test(104, [&] { return m_window.list->rowCount() > 0; })) {
        trap.Line(178, [&] {
            m_window.dialogs->MsgBox(QStringLiteral("No files added."), MbOkOnly,
                                     m_window.appTitle);
        });
        refused = true;
    } else if (!trap.Test(106, [&] { return DestinationIsUsable(m_window.options()); })) {
        trap.Line(176, [&] {
            m_window.dialogs->MsgBox(
                QStringLiteral("Folder does not exist. Please select another folder."), MbOkOnly,
                m_window.appTitle);
        });
        refused = true;
    }

    if (!refused) {
        if (m_window.showStoppable) {
            m_window.showStoppable(true);
        }
        trap.Line(108, [] { YieldToMessageLoop(); });
        trap.Line(110, [&] { m_window.showHourglass(true); });
        trap.Line(112, [&] { m_window.bar->SetText(QStringLiteral("Preparing..")); });
        Provision();
        if (!m_provisioningFailed && !m_stopRequested) {
            ConvertAll();
        } else if (m_stopRequested && !m_provisioningFailed) {
            // Stopped while preparing: every entry is one the stop left unconverted.
            trap.Line(134, [&] { m_summary = ConversionSummary(m_window.list->rowCount()); });
        }
        trap.Line(166, [&] { End(); });
        if (!m_closing) {
            if (m_window.ended) {
                try {
                    m_window.ended(m_summary);
                } catch (...) {
                    qCWarning(lcRun) << "The end of the run could not be told";
                }
            }
            trap.Line(168, [&] { m_window.showHourglass(false); });
            trap.Line(170, [&] { m_window.bar->SetValue(0); });
            trap.Line(172, [&] { m_window.bar->SetText(QStringLiteral("Progress Bar")); });
            if (m_window.showStoppable) {
                m_window.showStoppable(false);
            }
            if (m_window.showLastBox) {
                trap.Line(174, [&] { ShowLastBox(); });
            }
        }
    }
    trap.Line(180, [&] { isBusy = false; });
}

void ConversionRun::Provision() {
    // Lines 114 to 132. A failure here is told once, plainly, and nothing is converted: the
    // list is not walked with a missing converter. A stop asked for meanwhile is taken between
    // the steps.
    try {
        m_runtime.Prepare();
        m_runFolderSeen = m_runtime.RunFolder();
        const QByteArray archive = m_setup.archive();  // line 114
        if (!m_stopRequested) {
            m_runtime.PlaceArchive(archive);  // line 116
        }
        YieldToMessageLoop();  // line 118
        if (!m_stopRequested) {
            QDir::setCurrent(ProgramFolder());  // line 120
            m_runtime.Unpack();                 // lines 122 to 130
        }
        m_runtime.RemoveArchive();  // line 132
    } catch (...) {
        if (m_stopRequested) {
            return;  // stopped meanwhile: nothing more to say
        }
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        m_provisioningFailed = true;
        m_provisioningProblem =
            error.description().isEmpty() ? ErrorDescription(error.number()) : error.description();
        qCWarning(lcRun).noquote() << "Provisioning failed:" << m_provisioningProblem;
    }
}

void ConversionRun::CollectListedSources() {
    // Off the window's thread: on a slow mount a long list takes a while to look at.
    const QStringList sources = m_sources;
    m_listedSources = RunWhileYielding([sources] {
        QSet<QString> identities;
        for (const QString& source : sources) {
            struct stat st {};
            if (::stat(QFile::encodeName(source).constData(), &st) == 0) {
                identities.insert(FileIdentity(st));
            }
        }
        return identities;
    });
}

void ConversionRun::ConvertAll() {
    ErrorTrap trap(*m_window.dialogs, QStringLiteral("Form1.PushButton2_Click"));
    int count = 0;
    trap.Line(134, [&] {
        // The list as it stands now is what this run converts: entries moved or added later
        // change nothing here.
        count = m_window.list->rowCount();
        m_sources.clear();
        for (int row = 0; row < count; ++row) {
            m_sources << m_window.list->index(row, 0).data().toString();
        }
        count = static_cast<int>(m_sources.size());
    });
    m_summary = ConversionSummary(count);
    m_convertersAtOnce =
        m_setup.converters > 0 ? std::min(m_setup.converters, kMostConverters) : ConverterCount();
    m_timeLimit = m_setup.timeLimit.count() > 0 ? m_setup.timeLimit : BookTimeLimit();
    m_memoryLimit =
        m_setup.memoryLimit > 0 ? m_setup.memoryLimit : BookMemoryLimit(m_convertersAtOnce);
    CollectListedSources();
    if (m_stopRequested) {
        return;
    }
    // Started with the environment and priority the converters get, so that they hand over
    // to it.
    m_runtime.StartWarmConverter(kConverterNiceness);
    BeginLookAhead(count);
    m_timeLimitTimer.start();
    for (int i = 1; i <= count && !m_stopRequested; ++i) {
        m_lookAhead->Reached(i);
        Job& job = JobFor(i);
        trap.Line(136, [] { YieldToMessageLoop(); });
        if (m_stopRequested) {
            break;
        }
        trap.Line(138, [&] { m_window.showHourglass(true); });
        trap.Line(140, [&] {
            // The current count: entries added during the run enter the fraction.
            const int now = std::max(1, m_window.list->rowCount());
            m_window.bar->SetValue(static_cast<double>(i) / now * 100.0);
        });
        trap.Line(142, [&] {
            if (job.startedAhead) {
                RaiseDeferred(job, 142);  // its text was read when its converter started
            } else {
                ReadSource(job);
            }
        });
        trap.Line(144, [&] {
            m_window.bar->SetText(QStringLiteral("Processing: ") + FileNamePart(job.source));
        });
        trap.Line(146, [] { YieldToMessageLoop(); });
        if (m_stopRequested) {
            break;
        }
        if (job.startedAhead) {
            trap.Line(148, [&] {
                RaiseDeferred(job, 148);
                if (!job.output.isEmpty() &&
                    OutputPathFor(job.source, m_window.options()) != job.output) {
                    Redo(job);
                }
            });
        }
        if (job.startedAhead) {
            trap.Line(156, [&] { RaiseDeferred(job, 156); });
            trap.Line(162, [&] { RaiseDeferred(job, 162); });
        } else {
            trap.Line(148, [&] { job.output = OutputPathFor(job.source, m_window.options()); });
            trap.Line(156, [&] { PrepareJob(job); });
            trap.Line(162, [&] { StartJob(job); });
            m_lookAhead->StartedByLoop(i, job.child.has_value());
        }
        trap.Line(162, [&] { WaitForJob(job); });
        if (!m_stopRequested && RanOutOfSpaceBesideOthers(job)) {
            // One at a time it might have had the room the books converted ahead now hold:
            // they give it back, and it converts again.
            trap.Line(162, [&] {
                MakeRoomAfter(i);
                Redo(job);
                job.retriedForSpace = true;
                job.output = OutputPathFor(job.source, m_window.options());
                PrepareJob(job);
                StartJob(job);
                m_lookAhead->StartedByLoop(i, job.child.has_value());
                WaitForJob(job);
            });
        }
        if (m_stopRequested) {
            break;  // End() decides what becomes of this entry
        }
        trap.Line(164, [&] { FinishJob(job); });
        EndJob(i);
    }
}

void ConversionRun::End() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_timeLimitTimer.stop();
    if (m_lookAhead) {
        m_lookAhead->Stop();
    }
    // Which converters had finished by themselves: their books are complete. The others, and
    // the warm converter with every conversion in its session, end together.
    std::vector<ChildProcess*> running;
    std::vector<Job*> interrupted;
    for (auto& [index, job] : m_jobs) {
        if (job->child && !job->child->HasEnded()) {
            running.push_back(&*job->child);
            interrupted.push_back(job.get());
        }
    }
    running.push_back(m_runtime.Warm().Child());
    ChildProcess::EndTogether(running, m_atOnce ? std::chrono::milliseconds(0) : kEndGrace);
    m_runtime.Warm().Stop();

    // In list order: each book already converted is checked and put in place, each converter
    // that was interrupted leaves nothing behind.
    for (auto& [index, job] : m_jobs) {
        const bool wasInterrupted =
            std::find(interrupted.begin(), interrupted.end(), job.get()) != interrupted.end();
        // Settled: its converter finished by itself, or it failed or was skipped without one.
        // An entry the loop broke off at before starting its converter is not converted, as
        // the entries after it.
        const bool settled = (job->child.has_value() && !wasInterrupted) ||
                             !job->failure.isEmpty() || job->skippedAsItsOwnOutput ||
                             job->upToDate || (!job->child && job->exitCode != 0);
        if (!settled) {
            RemoveTemporary(*job);
            continue;
        }
        try {
            FinishJob(*job);
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcRun).noquote()
                << "Entry" << index << "could not be finished:" << error.description();
            RemoveTemporary(*job);
        }
    }
    m_jobs.clear();
    m_lookAhead.reset();

    const int accounted =
        m_summary.converted() + m_summary.failed() + m_summary.skipped() + m_summary.upToDate();
    if (m_stopRequested && accounted < m_summary.entries()) {
        m_summary.NotConvertedAsStopped(m_summary.entries() - accounted);
    }
    if (!m_sources.isEmpty()) {
        try {
            m_summary.AddedDuringRun(
                std::max(0, m_window.list->rowCount() - static_cast<int>(m_sources.size())));
        } catch (...) {
            // Counting the list failed: the summary says nothing of entries added.
        }
    }
    KeepLogs();
    m_runtime.Remove();
}

void ConversionRun::KeepLogs() {
    if (m_failedLogs.empty()) {
        return;
    }
    const std::vector<FailedLog> logs = std::move(m_failedLogs);
    m_failedLogs.clear();
    try {
        // Off the window's thread: the logs' folder may be on a slow disk, and the oldest runs'
        // folders go at the same time.
        const QDateTime ended = QDateTime::currentDateTime();
        m_summary.LogsKeptIn(
            RunWhileYielding([&logs, ended] { return KeepFailedLogs(logs, ended); }));
    } catch (...) {
        qCWarning(lcRun) << "The converter's logs of the books not converted could not be kept";
    }
}

void ConversionRun::ReadSource(Job& job) {
    job.source =
        job.index >= 1 && job.index <= m_sources.size() ? m_sources[job.index - 1] : QString();
}

void ConversionRun::PrepareJob(Job& job) {
    if (!job.failure.isEmpty()) {
        return;
    }
    if (job.output.isEmpty()) {
        job.failure = QStringLiteral("no output name could be made for it");
        return;
    }
    const QByteArray source = QFile::encodeName(job.source);
    struct stat sourceStat {};
    if (::stat(source.constData(), &sourceStat) != 0) {
        job.failure =
            errno == ENOENT
                ? QStringLiteral("the file no longer exists")
                : QStringLiteral("the file cannot be reached (%1)").arg(SystemErrorText(errno));
        return;
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        job.failure = QStringLiteral("it is a folder, not a file");
        return;
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        job.failure = QStringLiteral("it is not a regular file (a pipe, socket or device)");
        return;
    }
    if (::access(source.constData(), R_OK) != 0) {
        job.failure = QStringLiteral("the file cannot be read (%1)").arg(SystemErrorText(errno));
        return;
    }

    // The source itself is never deleted or overwritten.
    const QByteArray output = QFile::encodeName(job.output);
    struct stat outputStat {};
    const bool outputExists = ::lstat(output.constData(), &outputStat) == 0;
    struct stat outputTarget {};
    const bool outputTargetExists = ::stat(output.constData(), &outputTarget) == 0;
    if (CollapseSeparators(job.source) == job.output ||
        (outputTargetExists && FileIdentity(outputTarget) == FileIdentity(sourceStat))) {
        job.skippedAsItsOwnOutput = true;
        return;
    }
    if (outputExists && !S_ISLNK(outputStat.st_mode) &&
        m_listedSources.contains(FileIdentity(outputStat))) {
        job.failure =
            QStringLiteral("its result %1 would replace another file of the list").arg(job.output);
        return;
    }
    if (outputExists && S_ISDIR(outputStat.st_mode)) {
        job.failure =
            QStringLiteral("a folder named %1 is in the way of its result").arg(job.output);
        return;
    }
    if (m_setup.skipUpToDate && outputTargetExists && S_ISREG(outputTarget.st_mode) &&
        (outputTarget.st_mtim.tv_sec > sourceStat.st_mtim.tv_sec ||
         (outputTarget.st_mtim.tv_sec == sourceStat.st_mtim.tv_sec &&
          outputTarget.st_mtim.tv_nsec > sourceStat.st_mtim.tv_nsec))) {
        job.upToDate = true;
        return;
    }

    // A name the folder's file system cannot hold fails now, not after its conversion.
    const QString folder = FolderPart(job.output);
    const QString folderName = folder.size() > 1 ? folder.chopped(1) : folder;
    job.failure = OutputNameProblem(folderName, FileNamePart(job.output));
    if (!job.failure.isEmpty()) {
        return;
    }
    // The first time this run writes into a folder, the temporaries an earlier program left
    // there (killed before it could remove them) go; one that a running program holds stays.
    if (!m_sweptFolders.contains(folderName)) {
        m_sweptFolders.insert(folderName);
        OutputTemporary::RemoveAbandoned(folderName);
    }
    // The converter writes beside the old output, under a name of its own that ends in
    // ".mobi" (the converter picks the format from it); the old output stays until the new one
    // is complete and checked.
    int error = 0;
    job.temporaryFile = OutputTemporary::Create(folderName, error);
    if (!job.temporaryFile) {
        job.failure = FolderProblem(folderName, error);
        return;
    }
    job.temporary = job.temporaryFile->path();
    job.log =
        m_runtime.LogFolder() + QStringLiteral("/%1.log").arg(job.index, 4, 10, QLatin1Char('0'));
}

void ConversionRun::StartJob(Job& job) {
    if (!job.failure.isEmpty() || job.skippedAsItsOwnOutput || job.upToDate ||
        job.temporary.isEmpty()) {
        return;
    }
    // Lines 158 and 160: the converter, the source and the output.
    ChildSpec spec;
    spec.program = m_runtime.ConverterPath();
    spec.arguments = {job.source, job.temporary};
    spec.logFile = job.log;
    spec.niceness = kConverterNiceness;
    spec.environment = m_runtime.ConverterEnvironment();
    spec.memoryLimit = m_memoryLimit;
    int startError = 0;
    job.child = ChildProcess::Start(spec, startError);
    if (job.child) {
        job.running.start();
    } else {
        job.exitCode = kStartErrorBase + startError;
    }
}

void ConversionRun::WaitForJob(Job& job) {
    // A book converted ahead whose converter has already ended is taken at once: nothing to
    // wait for, and no poll period to wait out (the window has shown its name already).
    if (!job.child || job.child->HasEnded()) {
        return;
    }
    ProgressDisplay* bar = m_window.bar;
    const int items = std::max(1, m_window.list->rowCount());
    const auto startValue = static_cast<std::int32_t>(std::lrint(bar->Value()));
    WaitForChild(*job.child, bar, bar->Text(), startValue, items,
                 [this] { return m_stopRequested; });
}

void ConversionRun::TakeExitCode(Job& job) {
    if (job.child && job.child->HasEnded()) {
        job.exitCode = job.child->ExitCode();
        job.signalled = job.child->WasSignalled();
    }
}

void ConversionRun::EnforceTimeLimit() {
    for (auto& [index, job] : m_jobs) {
        if (job->child && !job->timedOut && job->running.isValid() &&
            job->running.elapsed() >= m_timeLimit.count() && !job->child->HasEnded()) {
            qCWarning(lcRun).noquote() << "Entry" << index << "took longer than"
                                       << DurationText(m_timeLimit) << "and is stopped";
            job->timedOut = true;
            job->child->Kill();
        }
    }
}

void ConversionRun::FinishJob(Job& job) {
    TakeExitCode(job);
    if (job.skippedAsItsOwnOutput) {
        m_summary.SkippedAsItsOwnOutput(job.source);
        Tell(job, BookOutcome::Result::SkippedAsItsOwnOutput);
        return;
    }
    if (job.upToDate) {
        m_summary.UpToDate(job.source);
        Tell(job, BookOutcome::Result::UpToDate);
        return;
    }
    if (job.failure.isEmpty() && job.temporary.isEmpty()) {
        job.failure = QStringLiteral("it could not be prepared for conversion");
    }
    if (job.failure.isEmpty()) {
        // The output folder went away while the converter ran (and took its result with it):
        // that, not the converter's complaint about a missing file, is what the user needs.
        const QString folder = FolderPart(job.output);
        struct stat folderStat {};
        if (::stat(QFile::encodeName(folder).constData(), &folderStat) != 0) {
            job.failure = FolderProblem(folder.size() > 1 ? folder.chopped(1) : folder, errno);
        }
    }
    if (job.failure.isEmpty() && job.timedOut) {
        job.failure =
            QStringLiteral("took longer than %1 and was stopped").arg(DurationText(m_timeLimit));
    }
    if (job.failure.isEmpty() && job.exitCode != 0 && m_memoryLimit > 0 &&
        ConverterRanOutOfMemory(job.log)) {
        job.failure = QStringLiteral("needed more than %1 of memory and was stopped")
                          .arg(MemoryText(m_memoryLimit));
    }
    if (job.failure.isEmpty() && job.exitCode != 0) {
        const QString fromLog = job.signalled || job.exitCode < 0
                                    ? QString()
                                    : ReasonFromConverterLogFile(job.log, job.source);
        job.failure = !fromLog.isEmpty() ? fromLog
                      : job.signalled    ? ReasonFromSignal(job.exitCode - 128)
                                         : ReasonFromExitCode(job.exitCode);
    }
    if (job.failure.isEmpty()) {
        struct stat st {};
        const QByteArray temporary = QFile::encodeName(job.temporary);
        if (::lstat(temporary.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
            const QString fromLog = ReasonFromConverterLogFile(job.log, job.source);
            job.failure =
                QStringLiteral("the converter made no MOBI file") +
                (fromLog.isEmpty() ? QString() : QStringLiteral(" (") + fromLog + QLatin1Char(')'));
        }
    }
    if (job.failure.isEmpty()) {
        job.failure = MobiProblem(job.temporary);
    }
    if (job.failure.isEmpty()) {
        job.failure = SameFileProblem(job);
    }
    if (job.failure.isEmpty()) {
        // A rename replaces the old output whatever its own permissions (a read-only output is
        // replaced too) and never shows a half-made file under the output's name; the book is
        // on the disk before it replaces the old one, and the folder after.
        int error = 0;
        if (job.temporaryFile &&
            job.temporaryFile->ReplaceDurably(job.output, 0666 & ~CurrentUmask(), error)) {
            RecordMade(job);
            job.temporary.clear();
            job.temporaryFile.reset();
            m_summary.Converted(job.source, job.output, OutputKey(job.output));
            Tell(job, BookOutcome::Result::Converted);
            return;
        }
        if (job.temporaryFile && job.temporaryFile->path().isEmpty()) {
            // Renamed, but the folder could not be flushed: the book is there.
            RecordMade(job);
            job.temporary.clear();
            job.temporaryFile.reset();
            m_summary.Converted(job.source, job.output, OutputKey(job.output));
            Tell(job, BookOutcome::Result::Converted);
            qCWarning(lcRun).noquote() << "The folder of" << job.output
                                       << "could not be flushed:" << SystemErrorText(error);
            return;
        }
        job.failure =
            error == EISDIR
                ? QStringLiteral("a folder named %1 is in the way of its result").arg(job.output)
                : QStringLiteral("its result could not be saved as %1 (%2)")
                      .arg(job.output, SystemErrorText(error));
    }
    RemoveTemporary(job);
    m_summary.Failed(job.source, job.failure);
    if (!job.log.isEmpty()) {
        m_failedLogs.push_back({job.index, job.source, job.failure, job.log});
    }
    Tell(job, BookOutcome::Result::Failed);
}

void ConversionRun::RemoveTemporary(Job& job) {
    if (job.temporaryFile) {
        job.temporaryFile->Remove();
        job.temporaryFile.reset();
    }
    job.temporary.clear();
}

QString ConversionRun::SameFileProblem(const Job& job) {
    // Two names that are one file in the output folder's file system: "Dune.mobi" and
    // "dune.mobi" on a stick, or a link to an output made earlier. The same name twice is not
    // this case: the later book replaces the earlier one, and the summary says so.
    const QString folder = FolderPart(job.output);
    const QString folderName = folder.size() > 1 ? folder.chopped(1) : folder;
    auto ignores = m_foldersIgnoringCase.find(folderName);
    if (ignores == m_foldersIgnoringCase.end()) {
        ignores = m_foldersIgnoringCase.insert(folderName, FolderIgnoresCase(folderName));
    }
    const QString ownKey = OutputKey(job.output);
    QString earlier;
    const auto made = m_madeByIdentity.constFind(OutputIdentityKey(job.output, *ignores));
    if (made != m_madeByIdentity.constEnd() && made->first != ownKey) {
        earlier = made->second;
    }
    struct stat st {};
    if (earlier.isEmpty() && ::stat(QFile::encodeName(job.output).constData(), &st) == 0) {
        const auto linked = m_madeByFile.constFind(FileIdentity(st));
        if (linked != m_madeByFile.constEnd() && linked->first != ownKey) {
            earlier = linked->second;
        }
    }
    if (earlier.isEmpty()) {
        return {};
    }
    return QStringLiteral(
               "its result %1 would be the same file as %2, made earlier in this run (the output "
               "folder does not tell the two names apart); the earlier book was kept")
        .arg(job.output, earlier);
}

void ConversionRun::RecordMade(const Job& job) {
    const QString folder = FolderPart(job.output);
    const QString folderName = folder.size() > 1 ? folder.chopped(1) : folder;
    const bool ignoresCase = m_foldersIgnoringCase.value(folderName, false);
    const QString key = OutputKey(job.output);
    m_madeByIdentity.insert(OutputIdentityKey(job.output, ignoresCase), {key, job.output});
    struct stat st {};
    if (::stat(QFile::encodeName(job.output).constData(), &st) == 0) {
        m_madeByFile.insert(FileIdentity(st), {key, job.output});
    }
}

void ConversionRun::ShowLastBox() {
    if (m_provisioningFailed) {
        m_window.dialogs->MsgBox(
            QStringLiteral(
                "The converter could not be prepared, so nothing was converted.\r\n\r\n") +
                m_provisioningProblem,
            MbExclamation, m_window.appTitle);
        return;
    }
    if (m_summary.AllDone()) {
        m_window.dialogs->MsgBox(QStringLiteral("Done."), MbOkOnly, m_window.appTitle);
        return;
    }
    const int style = m_summary.failed() + m_summary.skipped() > 0 ? MbExclamation : MbOkOnly;
    if (!m_summary.logFolder().isEmpty()) {
        m_window.dialogs->MsgBoxWithFolder(m_summary.Headline(), m_summary.Details(), style,
                                           m_window.appTitle, m_summary.logFolder());
        return;
    }
    m_window.dialogs->MsgBoxWithDetails(m_summary.Headline(), m_summary.Details(), style,
                                        m_window.appTitle);
}

}  // namespace bq
