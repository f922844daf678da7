// How a conversion run hands its entries to the look-ahead: the entries after the one the loop
// is on are set up and their converters started while the loop waits, in list order, each
// under the same rules as an entry the loop starts itself.
#include "convert/ConversionRun.h"

#include "convert/ConversionCost.h"
#include "convert/ConverterSlots.h"
#include "convert/FailureReason.h"
#include "convert/LookAhead.h"
#include "fs/PathText.h"
#include "platform/MessageLoop.h"

#include <QFile>
#include <QLoggingCategory>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <map>

namespace bq {

void ConversionRun::BeginLookAhead(int count) {
    m_jobs.clear();
    LookAhead::Steps steps;
    steps.start = [this](int index) { return StartAhead(index); };
    steps.ended = [this](int index) { return ConverterEnded(index); };
    steps.mayStart = [this](int index) { return MayStartAhead(index); };
    // The longest books first: a long book near the end of the list is no batch's tail.
    steps.estimate = [this](int index) {
        try {
            return index >= 1 && index <= m_sources.size()
                       ? ExpectedConversionSeconds(m_sources[index - 1])
                       : 0.0;
        } catch (...) {
            return 0.0;
        }
    };
    m_lookAhead = std::make_unique<LookAhead>(m_convertersAtOnce, count, std::move(steps));
}

ConversionRun::Job& ConversionRun::JobFor(int index) {
    std::unique_ptr<Job>& slot = m_jobs[index];
    if (!slot) {
        slot = std::make_unique<Job>();
        slot->index = index;
    }
    return *slot;
}

bool ConversionRun::StartAhead(int index) {
    try {
        Job& job = JobFor(index);
        job.startedAhead = true;
        // The loop's steps 142 to 162 for this entry, now: what it converts is its text and the
        // destination as they are when its converter starts.
        auto step = [&job](int line, auto&& work) {
            try {
                work();
            } catch (...) {
                job.deferredErrors.emplace_back(line, std::current_exception());
            }
        };
        step(142, [&] { ReadSource(job); });
        step(148, [&] { PlaceOutput(job); });
        step(156, [&] { PrepareJob(job); });
        step(162, [&] { StartJob(job); });
        return job.child.has_value() && !job.child->HasEnded();
    } catch (...) {
        // Not even the entry's record could be made: the loop sets it up when it comes to it.
        m_jobs.erase(index);
        m_lookAhead->Stop();
        return false;
    }
}

bool ConversionRun::ConverterEnded(int index) {
    const auto found = m_jobs.find(index);
    if (found == m_jobs.end() || !found->second->child) {
        return true;
    }
    return found->second->child->HasEnded();
}

bool ConversionRun::MayStartAhead(int index) {
    // An entry whose file an earlier entry of this run is still making waits until the loop
    // has put that file in place, so it converts the new file as the one-at-a-time run would.
    try {
        if (index < 1 || index > m_sources.size()) {
            return true;
        }
        const QString source = OutputKey(CollapseSeparators(m_sources[index - 1]));
        for (const auto& [earlier, job] : m_jobs) {
            if (earlier < index && !job->output.isEmpty() && OutputKey(job->output) == source) {
                return false;
            }
        }
        return !m_diskNearlyFull && !m_convertingAlone && !AheadOutputsFillTheirDisk();
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
        if (!job->startedAhead || job->temporary.isEmpty()) {
            continue;
        }
        struct stat st {};
        if (::stat(QFile::encodeName(job->temporary).constData(), &st) != 0) {
            continue;
        }
        auto& [bytes, folder] = held[st.st_dev];
        bytes += static_cast<std::uint64_t>(st.st_size);
        folder = QFile::encodeName(FolderPart(job->temporary));
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

bool ConversionRun::RanOutOfSpaceBesideOthers(Job& job) {
    if (job.retriedForSpace || !job.child || !job.child->HasEnded() || job.child->ExitCode() == 0 ||
        !ConverterRanOutOfSpace(job.log)) {
        return false;
    }
    const bool othersHeldSome =
        std::any_of(m_jobs.begin(), m_jobs.end(), [&job](const auto& entry) {
            return entry.second->index > job.index && entry.second->startedAhead;
        });
    return job.startedAhead || othersHeldSome;
}

void ConversionRun::MakeRoomAfter(int index) {
    m_diskNearlyFull = true;
    for (auto& [later, job] : m_jobs) {
        if (later > index && job->startedAhead) {
            Redo(*job);
            m_lookAhead->Forget(later);
        }
    }
}

bool ConversionRun::RanOutOfMemory(const Job& job) const {
    if (MemoryLimitOf(job) == 0 || job.timedOut) {
        return false;
    }
    // Under a resident limit the kernel kills the converter; under an address space limit its
    // allocations fail and it says so.
    return (job.child && job.child->HasResidentLimit() && job.child->WasSignalled() &&
            job.child->TermSignal() == SIGKILL && !m_stopRequested) ||
           ConverterRanOutOfMemory(job.log);
}

bool ConversionRun::RanOutOfMemoryBesideOthers(Job& job) {
    return MemoryLimitOf(job) < m_memoryBudget && job.child && job.child->HasEnded() &&
           job.child->ExitCode() != 0 && RanOutOfMemory(job);
}

void ConversionRun::ConvertAloneAt(int index) {
    m_convertingAlone = true;
    for (auto& [later, job] : m_jobs) {
        if (later > index && job->startedAhead && job->child && !job->child->HasEnded()) {
            Redo(*job);
            m_lookAhead->Forget(later);
        }
    }
}

void ConversionRun::ConvertedAlone() {
    m_convertingAlone = false;
}

std::uint64_t ConversionRun::MemoryLimitOf(const Job& job) const {
    return job.memoryLimit > 0 ? job.memoryLimit : m_memoryLimit;
}

void ConversionRun::RaiseDeferred(Job& job, int line) {
    const auto found =
        std::find_if(job.deferredErrors.begin(), job.deferredErrors.end(),
                     [line](const auto& deferred) { return deferred.first == line; });
    if (found == job.deferredErrors.end()) {
        return;
    }
    const std::exception_ptr error = found->second;
    job.deferredErrors.erase(found);
    std::rethrow_exception(error);
}

void ConversionRun::EndJob(int index) {
    m_jobs.erase(index);
}

void ConversionRun::Redo(Job& job) {
    if (job.child) {
        // The window answers while a converter that does not end when asked gets its grace.
        ChildProcess::EndTogether({&*job.child}, kEndGrace, [] { YieldToMessageLoop(); });
        job.child.reset();
    }
    RemoveTemporary(job);
    const QString source = job.source;
    const int index = job.index;
    const bool retried = job.retriedForSpace;
    const std::uint64_t memoryLimit = job.memoryLimit;
    job = Job();
    job.index = index;
    job.source = source;
    job.retriedForSpace = retried;
    job.memoryLimit = memoryLimit;
}

}  // namespace bq
