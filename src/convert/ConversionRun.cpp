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
#include "fs/OutputSubFolder.h"
#include "fs/OutputTemporary.h"
#include "fs/PathText.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"
#include "process/WhileYielding.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

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

// How often the loop looks at the converter of the entry whose turn it is.
constexpr int kPollIntervalMs = 100;

// How often the converters' running times are compared with the time limit.
constexpr int kTimeLimitCheckMs = 200;

// The location the run's error reports name: the window's handler of "Start Converting".
const QString kRunLocation = QStringLiteral("Form1.PushButton2_Click");

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

ConversionRun::ConversionRun(RunRequest request, RunObserver& observer, ConversionSetup setup)
    : m_request(std::move(request)), m_observer(observer), m_setup(std::move(setup)) {
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
    RequestStop(m_closing);
}

template <typename Event>
void ConversionRun::Notify(const char* what, Event&& event) {
    try {
        event();
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcRun).noquote()
            << "The run's observer failed on" << what << "-" << error.description();
    }
}

void ConversionRun::Report(const QString& text) {
    m_observer.ErrorReport(text);
}

int ConversionRun::EntriesNow() const {
    const int now = m_observer.EntriesNow();
    return now < 0 ? static_cast<int>(m_sources.size()) : now;
}

void ConversionRun::Tell(const Job& job, BookOutcome::Result result) {
    if (job.index >= 1 && job.index < static_cast<int>(m_told.size())) {
        m_told[static_cast<std::size_t>(job.index)] = 1;
    }
    BookOutcome outcome;
    outcome.index = job.index;
    outcome.source = job.source;
    outcome.output = job.output;
    outcome.result = result;
    outcome.reason = result == BookOutcome::Result::Failed ? job.failure : QString();
    outcome.seconds =
        job.running.isValid() ? static_cast<double>(job.running.elapsed()) / 1000.0 : 0.0;
    Notify("a book's outcome", [&] { m_observer.BookDone(outcome); });
}

void ConversionRun::TellStopped(int index, const QString& source) {
    if (index >= 1 && index < static_cast<int>(m_told.size())) {
        m_told[static_cast<std::size_t>(index)] = 1;
    }
    m_summary.NotConvertedAsStopped(source);
    BookOutcome outcome;
    outcome.index = index;
    outcome.source = source;
    outcome.result = BookOutcome::Result::Stopped;
    outcome.reason = QStringLiteral("the run was stopped");
    Notify("a book's outcome", [&] { m_observer.BookDone(outcome); });
}

void ConversionRun::Start() {
    ErrorTrap trap([this](const QString& text) { Report(text); }, kRunLocation);
    if (m_started) {
        return;  // line 100: this run is under way, or over
    }
    bool refused = false;
    if (!trap.Test(104, [&] { return !m_request.sources.isEmpty(); })) {
        trap.Line(178, [&] { m_observer.Refused(QStringLiteral("No files added.")); });
        refused = true;
    } else if (!trap.Test(106, [&] { return DestinationIsUsable(m_request.outputRule()); })) {
        trap.Line(176, [&] {
            m_observer.Refused(
                QStringLiteral("Folder does not exist. Please select another folder."));
        });
        refused = true;
    }
    if (refused) {
        return;
    }
    m_started = true;
    // The list as it stands now is what this run converts: entries moved or added later change
    // nothing here.
    m_sources = m_request.sources;
    m_roots = m_request.roots;
    const int count = static_cast<int>(m_sources.size());
    m_summary = ConversionSummary(count);
    m_told.assign(static_cast<std::size_t>(count) + 1, 0);
    trap.Line(108, [&] {
        m_observer.Started(count);
        YieldToMessageLoop();
    });
    trap.Line(110, [&] { m_observer.Busy(true); });
    trap.Line(112, [&] { m_observer.Preparing(); });
    Provision();
    if (!m_provisioningFailed && !m_stopRequested) {
        ConvertAll();
    }
    trap.Line(166, [&] { End(); });
    if (m_closing) {
        return;
    }
    trap.Line(168, [&] { m_observer.Busy(false); });
    trap.Line(170, [&] { m_observer.Progress(0); });
    trap.Line(172, [&] { m_observer.Idle(); });
    trap.Line(174, [&] { m_observer.RunEnded(m_summary); });
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
        const QString problem =
            error.description().isEmpty() ? ErrorDescription(error.number()) : error.description();
        m_summary.ProvisioningFailed(problem);
        qCWarning(lcRun).noquote() << "Provisioning failed:" << problem;
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
    ErrorTrap trap([this](const QString& text) { Report(text); }, kRunLocation);
    const int count = static_cast<int>(m_sources.size());
    m_convertersAtOnce =
        m_setup.converters > 0 ? std::min(m_setup.converters, kMostConverters) : ConverterCount();
    m_timeLimit = m_setup.timeLimit.count() > 0 ? m_setup.timeLimit : BookTimeLimit();
    m_memoryBudget = m_setup.memoryBudget > 0 ? m_setup.memoryBudget : MemoryBudget();
    m_memoryLimit = BookMemoryLimit(m_memoryBudget, m_convertersAtOnce);
    trap.Line(134, [&] { CollectListedSources(); });
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
        trap.Line(138, [&] { m_observer.Busy(true); });
        trap.Line(140, [&] {
            // The current count: entries added during the run enter the fraction.
            const int now = std::max(1, EntriesNow());
            m_observer.Progress(static_cast<double>(i) / now * 100.0);
        });
        trap.Line(142, [&] {
            if (job.startedAhead) {
                RaiseDeferred(job, 142);  // its text was read when its converter started
            } else {
                ReadSource(job);
            }
        });
        trap.Line(144, [&] { m_observer.BookStarted(i, job.source); });
        trap.Line(146, [] { YieldToMessageLoop(); });
        if (m_stopRequested) {
            break;
        }
        if (job.startedAhead) {
            trap.Line(148, [&] {
                RaiseDeferred(job, 148);
                if (!job.output.isEmpty() && OutputPathNow(job) != job.output) {
                    Redo(job);
                }
            });
        }
        if (job.startedAhead) {
            trap.Line(156, [&] { RaiseDeferred(job, 156); });
            trap.Line(162, [&] { RaiseDeferred(job, 162); });
        } else {
            trap.Line(148, [&] { PlaceOutput(job); });
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
                PlaceOutput(job);
                PrepareJob(job);
                StartJob(job);
                m_lookAhead->StartedByLoop(i, job.child.has_value());
                WaitForJob(job);
            });
        }
        if (!m_stopRequested && RanOutOfMemoryBesideOthers(job)) {
            // One at a time it would have had the whole budget: it converts again alone, and
            // nothing else starts until it has ended.
            trap.Line(162, [&] {
                ConvertAloneAt(i);
                Redo(job);
                job.memoryLimit = m_memoryBudget;
                job.output = OutputPathFor(job.source, m_request.outputRule());
                PrepareJob(job);
                StartJob(job);
                m_lookAhead->StartedByLoop(i, job.child.has_value());
                WaitForJob(job);
            });
            ConvertedAlone();
        }
        if (m_stopRequested) {
            break;  // End() decides what becomes of this entry
        }
        bool finished = true;
        trap.Line(164, [&] { finished = FinishJob(job); });
        if (!finished) {
            break;  // a stop cut its read-back short: End() says so
        }
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
    // the warm converter with every conversion in its session, end together, once.
    std::vector<ChildProcess*> running;
    std::vector<Job*> interrupted;
    for (auto& [index, job] : m_jobs) {
        if (job->child && !job->child->HasEnded()) {
            running.push_back(&*job->child);
            interrupted.push_back(job.get());
        }
    }
    if (ChildProcess* warm = m_runtime.Warm().Child()) {
        running.push_back(warm);
    }
    const std::chrono::milliseconds grace = m_atOnce ? std::chrono::milliseconds(0) : kEndGrace;
    // The window answers meanwhile (it shows the run ending): nothing more starts, and a second
    // start is refused while the run is busy.
    ChildProcess::EndTogether(running, grace, [] { YieldToMessageLoop(); });

    // Settled: its converter finished by itself, or it failed or was skipped without one. An
    // entry the loop broke off at before starting its converter is not converted, as the
    // entries after it.
    std::vector<Job*> settled;
    for (auto& [index, job] : m_jobs) {
        const bool wasInterrupted =
            std::find(interrupted.begin(), interrupted.end(), job.get()) != interrupted.end();
        if ((job->child.has_value() && !wasInterrupted) || !job->failure.isEmpty() ||
            job->skippedAsItsOwnOutput || job->upToDate || (!job->child && job->exitCode != 0)) {
            settled.push_back(job.get());
        } else {
            job->readBack.End();
            RemoveTemporary(*job);
        }
    }
    // The books already converted are read back together, within one more grace period: a
    // reader that does not end by then (it hangs) is ended, and its book is one the stop left.
    for (Job* job : settled) {
        try {
            Conclude(*job);
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcRun).noquote()
                << "Entry" << job->index << "could not be finished:" << error.description();
            job->failure = error.description();
        }
    }
    QElapsedTimer reading;
    reading.start();
    const auto allRead = [&settled] {
        return std::all_of(settled.begin(), settled.end(),
                           [](Job* job) { return job->readBack.HasEnded(); });
    };
    while (!allRead() && reading.elapsed() < std::max<qint64>(grace.count(), 1)) {
        YieldToMessageLoop();
        QThread::msleep(2);
    }

    // In list order: each book read back whole is put in place, each one not is named.
    std::map<int, Job*> finishing;
    for (Job* job : settled) {
        finishing[job->index] = job;
    }
    for (int index = 1; index < static_cast<int>(m_told.size()) && !m_provisioningFailed; ++index) {
        if (m_told[static_cast<std::size_t>(index)] != 0) {
            continue;
        }
        const auto found = finishing.find(index);
        if (found == finishing.end() || !found->second->readBack.HasEnded()) {
            if (found != finishing.end()) {
                found->second->readBack.End();
                RemoveTemporary(*found->second);
            }
            TellStopped(index, m_sources[index - 1]);
            continue;
        }
        try {
            PutInPlace(*found->second);
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcRun).noquote()
                << "Entry" << index << "could not be finished:" << error.description();
            RemoveTemporary(*found->second);
            if (m_told[static_cast<std::size_t>(index)] == 0) {
                TellStopped(index, m_sources[index - 1]);
            }
        }
    }
    m_jobs.clear();
    m_lookAhead.reset();

    if (!m_sources.isEmpty()) {
        try {
            m_summary.AddedDuringRun(
                std::max(0, EntriesNow() - static_cast<int>(m_sources.size())));
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

ConversionSetup WithKindleChoices(ConversionSetup setup, const KindleChoices& choices) {
    setup.format = choices.format;
    setup.deviceProfile = choices.deviceProfile;
    setup.keepFolders = choices.keepFolders;
    setup.skipUpToDate = choices.skipUpToDate;
    return setup;
}

void ConversionRun::PlaceOutput(Job& job) {
    const OutputOptions options = m_request.outputRule();
    const QString root = m_setup.keepFolders && job.index >= 1 && job.index <= m_roots.size()
                             ? m_roots[job.index - 1]
                             : QString();
    job.subFolder = KeptSubFolder(job.source, root, options);
    job.outputBase = options.text1;
    job.output = OutputPathFor(job.source, options, job.subFolder);
}

QString ConversionRun::OutputPathNow(const Job& job) {
    Job now;
    now.index = job.index;
    now.source = job.source;
    PlaceOutput(now);
    return now.output;
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

    // The library's folder below the output folder, made now with the same checks as the
    // output's own name, before anything looks at the output through it: no link is followed.
    if (!job.subFolder.isEmpty()) {
        job.failure = MakeOutputSubFolder(job.outputBase, job.subFolder);
        if (!job.failure.isEmpty()) {
            return;
        }
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
    spec.arguments = QStringList{job.source, job.temporary} +
                     ConverterOptions({m_setup.format, m_setup.deviceProfile, false, false});
    spec.logFile = job.log;
    spec.niceness = kConverterNiceness;
    spec.environment = m_runtime.ConverterEnvironment();
    spec.memoryLimit = MemoryLimitOf(job);
    spec.residentWherePossible = true;
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
    // One pass per poll period; the pass that sees the end is the last, and the observer hears
    // of every pass (from 1), then of the wait's end.
    std::int64_t ticks = 0;
    bool ended = false;
    do {
        ended = m_stopRequested || job.child->HasEnded();
        YieldToMessageLoop();
        PauseInMessageLoop(kPollIntervalMs);
        ++ticks;
        m_observer.StillWaiting(ticks);
    } while (!ended);
    m_observer.StillWaiting(0);
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

bool ConversionRun::FinishJob(Job& job) {
    Conclude(job);
    if (!WaitForReadBack(job)) {
        return false;
    }
    PutInPlace(job);
    return true;
}

void ConversionRun::Conclude(Job& job) {
    if (job.concluded) {
        return;
    }
    job.concluded = true;
    TakeExitCode(job);
    if (job.skippedAsItsOwnOutput || job.upToDate) {
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
    if (job.failure.isEmpty() && job.exitCode != 0 && RanOutOfMemory(job)) {
        job.failure = QStringLiteral("needed more than %1 of memory and was stopped")
                          .arg(MemoryText(MemoryLimitOf(job)));
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
        job.readBack.Start(job.temporary, m_setup.format == KindleFormat::Joint
                                              ? MobiReadBack::Expected::Joint
                                              : MobiReadBack::Expected::Any);
    }
}

bool ConversionRun::WaitForReadBack(Job& job) {
    // Quick readers (one file) end within milliseconds: look often at first.
    int pause = 1;
    while (!job.readBack.HasEnded()) {
        if (m_stopRequested) {
            return false;  // End() ends it with the rest
        }
        YieldToMessageLoop();
        QThread::msleep(static_cast<unsigned long>(pause));
        pause = std::min(pause * 2, 10);
    }
    return true;
}

void ConversionRun::PutInPlace(Job& job) {
    if (job.skippedAsItsOwnOutput) {
        m_summary.SkippedAsItsOwnOutput(job.source);
        Tell(job, BookOutcome::Result::SkippedAsItsOwnOutput);
        return;
    }
    if (job.upToDate) {
        // An output this run made from another book is not this book's.
        job.failure = SameFileProblem(job);
        if (job.failure.isEmpty()) {
            RecordMade(job);
            m_summary.UpToDate();
            Tell(job, BookOutcome::Result::UpToDate);
            return;
        }
        job.upToDate = false;
    }
    if (job.failure.isEmpty()) {
        job.failure = job.readBack.Problem();
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
            m_summary.Converted();
            Tell(job, BookOutcome::Result::Converted);
            return;
        }
        if (job.temporaryFile && job.temporaryFile->path().isEmpty()) {
            // Renamed, but the folder could not be flushed: the book is there.
            RecordMade(job);
            job.temporary.clear();
            job.temporaryFile.reset();
            m_summary.Converted();
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
    // The same name twice, or two names that are one file in the output folder's file system
    // ("Dune.mobi" and "dune.mobi" on a stick, or a link to an output made earlier): the later
    // book fails and the earlier result stays.
    const QString folder = FolderPart(job.output);
    const QString folderName = folder.size() > 1 ? folder.chopped(1) : folder;
    auto ignores = m_foldersIgnoringCase.find(folderName);
    if (ignores == m_foldersIgnoringCase.end()) {
        ignores = m_foldersIgnoringCase.insert(folderName, FolderIgnoresCase(folderName));
    }
    const QString ownKey = OutputKey(job.output);
    const Made* earlier = nullptr;
    const auto made = m_madeByIdentity.constFind(OutputIdentityKey(job.output, *ignores));
    if (made != m_madeByIdentity.constEnd()) {
        earlier = &*made;
    }
    struct stat st {};
    if (earlier == nullptr && ::stat(QFile::encodeName(job.output).constData(), &st) == 0) {
        const auto linked = m_madeByFile.constFind(FileIdentity(st));
        if (linked != m_madeByFile.constEnd()) {
            earlier = &*linked;
        }
    }
    if (earlier == nullptr) {
        return {};
    }
    if (earlier->key == ownKey && earlier->upToDate) {
        return QStringLiteral(
                   "its result %1 is the one of %2, earlier in this run, which was kept "
                   "as up to date")
            .arg(job.output, earlier->source);
    }
    if (earlier->key == ownKey) {
        return QStringLiteral("its result %1 would replace the one just made from %2")
            .arg(job.output, earlier->source);
    }
    return QStringLiteral(
               "its result %1 would be the same file as %2, made earlier in this run (the output "
               "folder does not tell the two names apart); the earlier book was kept")
        .arg(job.output, earlier->output);
}

void ConversionRun::RecordMade(const Job& job) {
    const QString folder = FolderPart(job.output);
    const QString folderName = folder.size() > 1 ? folder.chopped(1) : folder;
    const bool ignoresCase = m_foldersIgnoringCase.value(folderName, false);
    const QString key = OutputKey(job.output);
    m_madeByIdentity.insert(OutputIdentityKey(job.output, ignoresCase),
                            {key, job.output, job.source, job.upToDate});
    struct stat st {};
    if (::stat(QFile::encodeName(job.output).constData(), &st) == 0) {
        m_madeByFile.insert(FileIdentity(st), {key, job.output, job.source, job.upToDate});
    }
}

}  // namespace bq
