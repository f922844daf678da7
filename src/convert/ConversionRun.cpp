#include "convert/ConversionRun.h"

#include "convert/BookLimits.h"
#include "convert/ConversionCost.h"
#include "convert/ConverterSlots.h"
#include "convert/LookAhead.h"
#include "convert/RuntimeResource.h"
#include "fs/PathText.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"
#include "process/WhileYielding.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QThread>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <algorithm>
#include <cstdint>
#include <map>
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

}  // namespace

ConversionRun::ConversionRun(RunRequest request, RunObserver& observer, ConversionSetup setup)
    : m_request(std::move(request)), m_observer(observer), m_setup(std::move(setup)) {
    if (!m_setup.archive) {
        m_setup.archive = [] { return LoadCustomResource(kRuntimeResourceId); };
    }
    // Timers' slots: nothing may leave them.
    m_timeLimitTimer.setInterval(kTimeLimitCheckMs);
    QObject::connect(&m_timeLimitTimer, &QTimer::timeout, [this] {
        try {
            EnforceTimeLimit();
        } catch (...) {
            qCWarning(lcRun) << "The converters' time limit could not be checked";
        }
    });
    m_fillTimer.setInterval(LookAhead::kFillIntervalMs);
    QObject::connect(&m_fillTimer, &QTimer::timeout, [this] {
        try {
            FillAhead();
        } catch (...) {
            qCWarning(lcRun) << "The next conversions could not be started ahead";
            m_fillTimer.stop();
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

void ConversionRun::RequestStop(bool closing) {
    m_stopRequested = true;
    m_closing = m_closing || closing;
    m_fillTimer.stop();  // starts nothing more from now on
    if (m_lookAhead) {
        m_lookAhead->Stop();
    }
}

void ConversionRun::RequestStopAtOnce() {
    m_atOnce = true;
    RequestStop(m_closing);
}

void ConversionRun::Report(const QString& text) {
    m_observer.ErrorReport(text);
}

int ConversionRun::EntriesNow() const {
    const int now = m_observer.EntriesNow();
    return now < 0 ? static_cast<int>(m_sources.size()) : now;
}

void ConversionRun::Tell(const BookJob& job, BookOutcome::Result result) {
    const int index = job.Index();
    if (index >= 1 && index < static_cast<int>(m_told.size())) {
        m_told[static_cast<std::size_t>(index)] = 1;
    }
    BookOutcome outcome;
    outcome.index = index;
    outcome.source = job.Source();
    outcome.output = job.Output();
    outcome.result = result;
    outcome.reason = result == BookOutcome::Result::Failed ? job.Reason() : QString();
    outcome.seconds = job.Seconds();
    try {
        m_observer.BookDone(outcome);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcRun).noquote()
            << "The run's observer failed on a book's outcome -" << error.description();
    }
}

void ConversionRun::TellStopped(int index) {
    const QString source = m_sources[index - 1];
    m_summary.NotConvertedAsStopped(source);
    BookJob stopped(index, source, false);
    Tell(stopped, BookOutcome::Result::Stopped);
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

BookJob& ConversionRun::JobFor(int index, bool ahead) {
    std::unique_ptr<BookJob>& slot = m_jobs[index];
    if (!slot) {
        slot = std::make_unique<BookJob>(index, m_sources[index - 1], ahead);
    }
    return *slot;
}

void ConversionRun::ConvertAll() {
    ErrorTrap trap([this](const QString& text) { Report(text); }, kRunLocation);
    const int count = static_cast<int>(m_sources.size());
    m_convertersAtOnce =
        m_setup.converters > 0 ? std::min(m_setup.converters, kMostConverters) : ConverterCount();
    m_memoryBudget = m_setup.memoryBudget > 0 ? m_setup.memoryBudget : MemoryBudget();
    m_memoryLimit = BookMemoryLimit(m_memoryBudget, m_convertersAtOnce);
    m_call.program = m_runtime.ConverterPath();
    m_call.environment = m_runtime.ConverterEnvironment();
    m_call.logFolder = m_runtime.LogFolder();
    m_call.options = ConverterOptions({m_setup.format, m_setup.deviceProfile, false, false});
    m_call.format = m_setup.format;
    m_call.skipUpToDate = m_setup.skipUpToDate;
    m_call.timeLimit = m_setup.timeLimit.count() > 0 ? m_setup.timeLimit : BookTimeLimit();
    // Off the window's thread: on a slow mount a long list takes a while to look at.
    trap.Line(134, [&] { m_outputs.CollectListedSources(m_sources); });
    if (m_stopRequested) {
        return;
    }
    // Started with the environment and priority the converters get, so that they hand over
    // to it.
    m_runtime.StartWarmConverter(kConverterNiceness);
    m_lookAhead = std::make_unique<LookAhead>(m_convertersAtOnce, count);
    if (m_convertersAtOnce > 1) {
        m_fillTimer.start();
    }
    m_timeLimitTimer.start();
    for (int i = 1; i <= count && !m_stopRequested; ++i) {
        m_lookAhead->Reached(i);
        BookJob& job = JobFor(i);
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
        // Its text as the list held it when the run started (read when its job was made).
        trap.Line(142, [&] { job.RaiseDeferred(142); });
        trap.Line(144, [&] { m_observer.BookStarted(i, job.Source()); });
        trap.Line(146, [] { YieldToMessageLoop(); });
        if (m_stopRequested) {
            break;
        }
        if (job.StartedAhead()) {
            // Converted ahead: the errors its steps raised are raised at their lines now, and
            // it converts again when its output is no longer where its turn puts it.
            trap.Line(148, [&] {
                job.RaiseDeferred(148);
                if (!job.Output().isEmpty() && OutputPathNow(job) != job.Output()) {
                    Again(job);
                }
            });
        }
        if (job.StartedAhead()) {
            trap.Line(156, [&] { job.RaiseDeferred(156); });
            trap.Line(162, [&] { job.RaiseDeferred(162); });
        } else {
            trap.Line(148, [&] { Place(job); });
            trap.Line(156, [&] { job.Prepare(m_outputs, m_call); });
            trap.Line(162, [&] { StartConverter(job); });
        }
        trap.Line(162, [&] { WaitForConverter(job); });
        if (!m_stopRequested && RanOutOfSpaceBesideOthers(job)) {
            // One at a time it might have had the room the books converted ahead now hold:
            // they give it back, and it converts again.
            trap.Line(162, [&] {
                m_diskNearlyFull = true;
                TakeBackAfter(i, false);
                Again(job);
                m_retriedForSpace.insert(i);
                Place(job);
                job.Prepare(m_outputs, m_call);
                StartConverter(job);
                WaitForConverter(job);
            });
        }
        if (!m_stopRequested && RanOutOfMemoryBesideOthers(job)) {
            // One at a time it would have had the whole budget: it converts again alone, and
            // nothing else starts until it has ended.
            trap.Line(162, [&] {
                m_convertingAlone = true;
                TakeBackAfter(i, true);
                Again(job);
                Place(job);
                job.Prepare(m_outputs, m_call);
                StartConverter(job, m_memoryBudget);
                WaitForConverter(job);
            });
            m_convertingAlone = false;
        }
        if (m_stopRequested) {
            break;  // End() decides what becomes of this entry
        }
        bool finished = true;
        trap.Line(164, [&] {
            job.Conclude(m_call, m_stopRequested);
            finished = WaitForReadBack(job);
            if (finished) {
                Finish(job);
            }
        });
        if (!finished) {
            break;  // a stop cut its read-back short: End() says so
        }
        m_jobs.erase(i);
    }
}

void ConversionRun::Place(BookJob& job) {
    const int index = job.Index();
    const QString root = m_setup.keepFolders && index >= 1 && index <= m_roots.size()
                             ? m_roots[index - 1]
                             : QString();
    job.Place(m_request.outputRule(), root);
}

QString ConversionRun::OutputPathNow(const BookJob& job) {
    BookJob now(job.Index(), job.Source(), false);
    Place(now);
    return now.Output();
}

void ConversionRun::StartConverter(BookJob& job, std::uint64_t memoryLimit) {
    job.StartConverter(m_call, memoryLimit > 0 ? memoryLimit : m_memoryLimit);
    m_lookAhead->Started(job.Index(), job.CurrentState() == BookJob::State::Converting);
}

void ConversionRun::WaitForConverter(BookJob& job) {
    // A book converted ahead whose converter has already ended is taken at once: nothing to
    // wait for, and no poll period to wait out (the window has shown its name already).
    if (job.ConverterEnded()) {
        return;
    }
    // One pass per poll period; the pass that sees the end is the last, and the observer hears
    // of every pass (from 1), then of the wait's end.
    std::int64_t ticks = 0;
    bool ended = false;
    do {
        ended = m_stopRequested || job.ConverterEnded();
        YieldToMessageLoop();
        PauseInMessageLoop(kPollIntervalMs);
        ++ticks;
        m_observer.StillWaiting(ticks);
    } while (!ended);
    m_observer.StillWaiting(0);
}

bool ConversionRun::WaitForReadBack(BookJob& job) {
    // Quick readers (one file) end within milliseconds: look often at first.
    int pause = 1;
    while (!job.ReadBackEnded()) {
        if (m_stopRequested) {
            return false;  // End() ends it with the rest
        }
        YieldToMessageLoop();
        QThread::msleep(static_cast<unsigned long>(pause));
        pause = std::min(pause * 2, 10);
    }
    return true;
}

void ConversionRun::Finish(BookJob& job) {
    switch (job.PutInPlace(m_outputs)) {
        case BookJob::State::InPlace:
            m_summary.Converted();
            Tell(job, BookOutcome::Result::Converted);
            return;
        case BookJob::State::UpToDate:
            m_summary.UpToDate();
            Tell(job, BookOutcome::Result::UpToDate);
            return;
        case BookJob::State::Skipped:
            m_summary.SkippedAsItsOwnOutput(job.Source());
            Tell(job, BookOutcome::Result::SkippedAsItsOwnOutput);
            return;
        default:
            m_summary.Failed(job.Source(), job.Reason());
            if (!job.Log().isEmpty()) {
                m_failedLogs.push_back({job.Index(), job.Source(), job.Reason(), job.Log()});
            }
            Tell(job, BookOutcome::Result::Failed);
            return;
    }
}

void ConversionRun::EnforceTimeLimit() {
    for (auto& [index, job] : m_jobs) {
        if (job->KillIfPast(m_call.timeLimit)) {
            qCWarning(lcRun).noquote() << "Entry" << index << "took longer than"
                                       << DurationText(m_call.timeLimit) << "and is stopped";
        }
    }
}

void ConversionRun::End() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_timeLimitTimer.stop();
    m_fillTimer.stop();
    if (m_lookAhead) {
        m_lookAhead->Stop();
    }
    // The converters still running, and the warm converter with every conversion in its
    // session, end together, once; their books are not converted. The books whose converters
    // had finished by themselves are complete.
    std::vector<ChildProcess*> running;
    std::vector<BookJob*> interrupted;
    for (auto& [index, job] : m_jobs) {
        if (ChildProcess* converter = job->RunningConverter()) {
            running.push_back(converter);
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
    for (BookJob* job : interrupted) {
        job->Stop();
    }

    // The books already converted are read back together, within one more grace period: a
    // reader that does not end by then (it hangs) is ended, and its book is one the stop left.
    // An entry the loop broke off at before starting its converter is not converted, as the
    // entries after it.
    std::map<int, BookJob*> finishing;
    for (auto& [index, job] : m_jobs) {
        switch (job->CurrentState()) {
            case BookJob::State::Waiting:
            case BookJob::State::Converting:
                job->Stop();
                break;
            case BookJob::State::Stopped:
                break;
            default:
                try {
                    job->Conclude(m_call, m_stopRequested);
                    finishing[index] = job.get();
                } catch (...) {
                    qCWarning(lcRun) << "Entry" << index << "could not be finished";
                    job->Stop();
                }
        }
    }
    QElapsedTimer reading;
    reading.start();
    const auto allRead = [&finishing] {
        return std::all_of(finishing.begin(), finishing.end(),
                           [](const auto& entry) { return entry.second->ReadBackEnded(); });
    };
    while (!allRead() && reading.elapsed() < std::max<qint64>(grace.count(), 1)) {
        YieldToMessageLoop();
        QThread::msleep(2);
    }

    // In list order: each book read back whole is put in place, each one not is named.
    for (int index = 1; index < static_cast<int>(m_told.size()) && !m_provisioningFailed; ++index) {
        if (m_told[static_cast<std::size_t>(index)] != 0) {
            continue;
        }
        const auto found = finishing.find(index);
        if (found == finishing.end() || !found->second->ReadBackEnded()) {
            if (found != finishing.end()) {
                found->second->Stop();
            }
            TellStopped(index);
            continue;
        }
        try {
            Finish(*found->second);
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcRun).noquote()
                << "Entry" << index << "could not be finished:" << error.description();
            found->second->Stop();
            if (m_told[static_cast<std::size_t>(index)] == 0) {
                TellStopped(index);
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

// The look-ahead's side of the run: the entries after the one the loop is on are set up and
// their converters started while the loop waits, each under the same rules as an entry the
// loop starts itself.

void ConversionRun::FillAhead() {
    if (m_filling || !m_lookAhead || m_stopRequested) {
        return;
    }
    m_filling = true;
    const auto filled = qScopeGuard([this] { m_filling = false; });
    const std::vector<int> running = m_lookAhead->RunningEntries();
    for (const int index : running) {
        const auto found = m_jobs.find(index);
        if (found == m_jobs.end() || found->second->ConverterEnded()) {
            m_lookAhead->Ended(index);
        }
    }
    // Nothing starts ahead while the disk is nearly full, while a book converts alone, or while
    // the books converted ahead hold a quarter of their disk's free space (looked at once a
    // turn, not for every entry within reach).
    if (m_diskNearlyFull || m_convertingAlone || AheadOutputsFillTheirDisk()) {
        return;
    }
    const auto mayStart = [this](int index) { return MayStartAhead(index); };
    // The longest books first: a long book near the end of the list is no batch's tail.
    const auto expected = [this](int index) {
        try {
            return ExpectedConversionSeconds(m_sources[index - 1]);
        } catch (...) {
            return 0.0;
        }
    };
    m_lookAhead->BeginTurn();
    QElapsedTimer spent;
    spent.start();
    while (const int index = m_lookAhead->Choose(mayStart, expected)) {
        // Starting a converter waits until it runs, which takes long on a busy machine: the
        // rest waits for the next turn of the message loop once a start took a while, so the
        // window answers in between.
        if (StartAhead(index) && spent.elapsed() >= LookAhead::kFillBudgetMs) {
            break;
        }
    }
}

bool ConversionRun::StartAhead(int index) {
    try {
        BookJob& job = JobFor(index, true);
        // The loop's steps 148 to 162 for this entry, now: what it converts is the destination
        // as it is when its converter starts.
        job.RunAhead(148, [&] { Place(job); });
        job.RunAhead(156, [&] { job.Prepare(m_outputs, m_call); });
        job.RunAhead(162, [&] { StartConverter(job); });
        if (!m_lookAhead->WasStarted(index)) {
            m_lookAhead->Started(index, false);  // it failed before its converter
        }
        return job.CurrentState() == BookJob::State::Converting;
    } catch (...) {
        // Not even the entry's job could be made: the loop sets it up when it comes to it.
        m_jobs.erase(index);
        m_lookAhead->Stop();
        return false;
    }
}

bool ConversionRun::MayStartAhead(int index) {
    // An entry whose file an earlier entry of this run is still making waits until the loop
    // has put that file in place, so it converts the new file as the one-at-a-time run would.
    try {
        const QString source = RunOutputs::OutputKey(CollapseSeparators(m_sources[index - 1]));
        for (const auto& [earlier, job] : m_jobs) {
            if (earlier < index && !job->Output().isEmpty() &&
                RunOutputs::OutputKey(job->Output()) == source) {
                return false;
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool ConversionRun::AheadOutputsFillTheirDisk() {
    // What the books converted ahead hold until the loop comes to them, by file system, against
    // a quarter of what is free there: the books after them still find the room they would
    // have had one at a time.
    std::map<dev_t, std::pair<std::uint64_t, QByteArray>> held;  // bytes, a folder on it
    for (const auto& [index, job] : m_jobs) {
        if (!job->StartedAhead() || job->Temporary().isEmpty()) {
            continue;
        }
        struct stat st {};
        if (::stat(QFile::encodeName(job->Temporary()).constData(), &st) != 0) {
            continue;
        }
        auto& [bytes, folder] = held[st.st_dev];
        bytes += static_cast<std::uint64_t>(st.st_size);
        folder = QFile::encodeName(FolderPart(job->Temporary()));
    }
    for (const auto& [device, entry] : held) {
        struct statvfs space {};
        if (::statvfs(entry.second.constData(), &space) == 0 &&
            entry.first >= static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize / 4) {
            return true;
        }
    }
    return false;
}

bool ConversionRun::RanOutOfSpaceBesideOthers(BookJob& job) {
    if (m_retriedForSpace.contains(job.Index()) || !job.RanOutOfSpace()) {
        return false;
    }
    const bool othersHeldSome =
        std::any_of(m_jobs.begin(), m_jobs.end(), [&job](const auto& entry) {
            return entry.first > job.Index() && entry.second->StartedAhead();
        });
    return job.StartedAhead() || othersHeldSome;
}

bool ConversionRun::RanOutOfMemoryBesideOthers(BookJob& job) {
    return job.MemoryLimit() < m_memoryBudget && job.Failed() &&
           job.RanOutOfMemory(m_stopRequested);
}

void ConversionRun::TakeBackAfter(int index, bool runningOnly) {
    std::vector<int> later;
    for (const auto& [entry, job] : m_jobs) {
        if (entry > index && job->StartedAhead() &&
            (!runningOnly || job->CurrentState() == BookJob::State::Converting)) {
            later.push_back(entry);
        }
    }
    for (const int entry : later) {
        const auto found = m_jobs.find(entry);
        if (found != m_jobs.end()) {
            found->second->Again();
            m_jobs.erase(found);
        }
        m_lookAhead->Forget(entry);
    }
}

void ConversionRun::Again(BookJob& job) {
    job.Again();
    m_lookAhead->Forget(job.Index());
}

}  // namespace bq
