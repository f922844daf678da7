#include "convert/ConversionRun.h"

#include "convert/ConverterSlots.h"
#include "convert/FailureReason.h"
#include "convert/LookAhead.h"
#include "convert/MobiCheck.h"
#include "convert/ProgressDisplay.h"
#include "convert/RuntimeResource.h"
#include "convert/WhileYielding.h"
#include "fs/FileDeletion.h"
#include "fs/FileTests.h"
#include "fs/PathText.h"
#include "platform/DialogSeam.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"

#include <QAbstractItemModel>
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

// Every run that is between its start and its end; the window's closing stops them all.
std::vector<ConversionRun*>& ActiveRuns() {
    static std::vector<ConversionRun*> runs;
    return runs;
}

const char kCalibreTempVariable[] = "CALIBRE_TEMP_DIR";

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
}

ConversionRun::~ConversionRun() {
    auto& runs = ActiveRuns();
    runs.erase(std::remove(runs.begin(), runs.end(), this), runs.end());
}

QString ConversionRun::OutputKey(const QString& output) {
    const QString folder = QFileInfo(FolderPart(output)).canonicalFilePath();
    if (folder.isEmpty()) {
        return output;
    }
    return CollapseSeparators(folder + QLatin1Char('/') + FileNamePart(output));
}

void ConversionRun::AbandonActiveRuns() {
    // Ends every converter first (whole process groups), so nothing writes any more.
    EndAllChildren();
    for (ConversionRun* run : ActiveRuns()) {
        run->Abandon();
    }
}

void ConversionRun::Abandon() {
    m_abandoned = true;
    if (m_current != nullptr) {
        if (m_current->child) {
            m_current->child->EndGroup();
        }
        RemoveTemporary(*m_current);
    }
    StopLookAhead();
}

void ConversionRun::Start() {
    ErrorTrap trap(*m_window.dialogs, QStringLiteral("Form1.PushButton2_Click"));
    bool& isBusy = *m_window.isBusy;
    if (isBusy) {
        return;  // line 100: a run is under way
    }
    trap.Line(102, [&] { isBusy = true; });
    ActiveRuns().push_back(this);

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
        trap.Line(108, [] { YieldToMessageLoop(); });
        trap.Line(110, [&] { m_window.showHourglass(true); });
        trap.Line(112, [&] { m_window.bar->SetText(QStringLiteral("Preparing..")); });
        Provision();
        if (!m_provisioningFailed && !m_abandoned) {
            // The converters keep their own temporary files in the run folder, so whatever a
            // converter ended mid-way leaves goes with it.
            m_calibreTempWasSet = qEnvironmentVariableIsSet(kCalibreTempVariable);
            if (m_calibreTempWasSet) {
                m_savedCalibreTemp = qgetenv(kCalibreTempVariable);
            }
            qputenv(kCalibreTempVariable, QFile::encodeName(m_runtime.ScratchFolder()));
            // Started with the environment the converters get, so that they hand over to it.
            m_runtime.StartWarmConverter();
            ConvertAll();
            if (m_calibreTempWasSet) {
                qputenv(kCalibreTempVariable, *m_savedCalibreTemp);
            } else {
                qunsetenv(kCalibreTempVariable);
            }
        }
        trap.Line(166, [&] { m_runtime.Remove(); });
        if (!m_abandoned) {
            trap.Line(168, [&] { m_window.showHourglass(false); });
            trap.Line(170, [&] { m_window.bar->SetValue(0); });
            trap.Line(172, [&] { m_window.bar->SetText(QStringLiteral("Progress Bar")); });
            trap.Line(174, [&] { ShowLastBox(); });
        }
    }
    auto& runs = ActiveRuns();
    runs.erase(std::remove(runs.begin(), runs.end(), this), runs.end());
    trap.Line(180, [&] { isBusy = false; });
}

void ConversionRun::Provision() {
    // Lines 114 to 132. A failure here is told once, plainly, and nothing is converted: the
    // list is not walked with a missing converter.
    try {
        m_runtime.Prepare();
        m_runFolderSeen = m_runtime.RunFolder();
        const QByteArray archive = m_setup.archive();  // line 114
        if (!m_abandoned) {
            m_runtime.PlaceArchive(archive);  // line 116
        }
        YieldToMessageLoop();  // line 118
        if (!m_abandoned) {
            QDir::setCurrent(ProgramFolder());  // line 120
            m_runtime.Unpack();                 // lines 122 to 130
        }
        m_runtime.RemoveArchive();  // line 132
    } catch (...) {
        if (m_abandoned) {
            return;  // the window is gone; nothing more to say
        }
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        m_provisioningFailed = true;
        m_provisioningProblem =
            error.description().isEmpty() ? ErrorDescription(error.number()) : error.description();
        qCWarning(lcRun).noquote() << "Provisioning failed:" << m_provisioningProblem;
    }
}

void ConversionRun::CollectListedSources(int count) {
    m_listedSources.clear();
    for (int row = 0; row < count; ++row) {
        const QString source = m_window.list->index(row, 0).data().toString();
        struct stat st {};
        if (::stat(QFile::encodeName(source).constData(), &st) == 0) {
            m_listedSources.insert(FileIdentity(st));
        }
    }
}

void ConversionRun::ConvertAll() {
    ErrorTrap trap(*m_window.dialogs, QStringLiteral("Form1.PushButton2_Click"));
    int count = 0;
    trap.Line(134, [&] { count = m_window.list->rowCount(); });  // read once
    m_summary = ConversionSummary(count);
    CollectListedSources(count);
    BeginLookAhead(count);
    for (int i = 1; i <= count && !m_abandoned; ++i) {
        m_lookAhead->Reached(i);
        Job& job = JobFor(i);
        m_current = &job;
        trap.Line(136, [] { YieldToMessageLoop(); });
        if (m_abandoned) {
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
        if (m_abandoned) {
            break;
        }
        if (job.startedAhead) {
            trap.Line(148, [&] { RaiseDeferred(job, 148); });
            trap.Line(156, [&] { RaiseDeferred(job, 156); });
            trap.Line(162, [&] { RaiseDeferred(job, 162); });
        } else {
            trap.Line(148, [&] { job.output = OutputPathFor(job.source, m_window.options()); });
            trap.Line(156, [&] { PrepareJob(job); });
            trap.Line(162, [&] { StartJob(job); });
            m_lookAhead->StartedByLoop(i, job.child.has_value());
        }
        trap.Line(162, [&] { WaitForJob(job); });
        trap.Line(164, [&] { FinishJob(job); });
        m_current = nullptr;
        EndJob(i);
    }
    m_current = nullptr;
    EndLookAhead();
}

void ConversionRun::ReadSource(Job& job) {
    const QModelIndex item = m_window.list->index(job.index - 1, 0);
    job.source = item.isValid() ? item.data().toString() : QString();
    if (!item.isValid()) {
        job.failure = QStringLiteral("it was taken off the list during the run");
    }
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

    // The converter writes beside the old output, under a name of its own that ends in
    // ".mobi" (the converter picks the format from it); the old output stays until the new one
    // is complete and checked.
    const QString folder = FolderPart(job.output);
    QByteArray temporary = QFile::encodeName(folder) + ".brindlequill-XXXXXX.mobi";
    const int fd = ::mkostemps(temporary.data(), 5, O_CLOEXEC);
    if (fd < 0) {
        job.failure = FolderProblem(folder.size() > 1 ? folder.chopped(1) : folder, errno);
        return;
    }
    ::close(fd);
    job.temporary = QFile::decodeName(temporary);
    job.log =
        m_runtime.LogFolder() + QStringLiteral("/%1.log").arg(job.index, 4, 10, QLatin1Char('0'));
}

void ConversionRun::StartJob(Job& job) {
    if (!job.failure.isEmpty() || job.skippedAsItsOwnOutput || job.temporary.isEmpty()) {
        return;
    }
    // Line 158 and 160: the quoted converter, one space, the quoted arguments.
    const QString quotedConverter = QuoteArgument(m_runtime.ConverterPath());
    const QString quotedArguments =
        QuoteArgument(job.source) + QLatin1Char(' ') + QuoteArgument(job.temporary);
    ChildOptions options;
    options.logFile = job.log;
    options.niceness = kConverterNiceness;
    int startError = 0;
    job.child = ChildProcess::Start(quotedConverter + QLatin1Char(' ') + quotedArguments, options,
                                    startError);
    if (!job.child) {
        job.exitCode = kStartErrorBase + startError;
    }
}

void ConversionRun::WaitForJob(Job& job) {
    if (!job.child) {
        return;
    }
    ProgressDisplay* bar = m_window.bar;
    const int items = std::max(1, m_window.list->rowCount());
    const auto startValue = static_cast<std::int32_t>(std::lrint(bar->Value()));
    job.exitCode = WaitForChild(*job.child, bar, bar->Text(), startValue, items);
}

void ConversionRun::FinishJob(Job& job) {
    if (m_abandoned) {
        RemoveTemporary(job);
        return;
    }
    if (job.skippedAsItsOwnOutput) {
        m_summary.SkippedAsItsOwnOutput(job.source);
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
    if (job.failure.isEmpty() && job.exitCode != 0) {
        const bool signalled = job.child && job.child->WasSignalled();
        const QString fromLog = signalled || job.exitCode < 0
                                    ? QString()
                                    : ReasonFromConverterLogFile(job.log, job.source);
        job.failure = !fromLog.isEmpty() ? fromLog
                      : signalled        ? ReasonFromSignal(job.child->TermSignal())
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
        const QString temporary = job.temporary;
        job.failure = RunWhileYielding([temporary] { return MobiProblem(temporary); });
    }
    if (job.failure.isEmpty() && !m_abandoned) {
        const QByteArray temporary = QFile::encodeName(job.temporary);
        ::chmod(temporary.constData(), 0666 & ~CurrentUmask());
        // A rename replaces the old output whatever its own permissions (a read-only output is
        // replaced too) and never shows a half-made file under the output's name.
        if (::rename(temporary.constData(), QFile::encodeName(job.output).constData()) != 0) {
            const int error = errno;
            job.failure = error == EISDIR ? QStringLiteral(
                                                "a folder named %1 is in the way of "
                                                "its result")
                                                .arg(job.output)
                                          : QStringLiteral(
                                                "its result could not be saved as %1 "
                                                "(%2)")
                                                .arg(job.output, SystemErrorText(error));
        } else {
            job.temporary.clear();
            m_summary.Converted(job.source, job.output, OutputKey(job.output));
            return;
        }
    }
    RemoveTemporary(job);
    if (!m_abandoned) {
        m_summary.Failed(job.source, job.failure);
    }
}

void ConversionRun::RemoveTemporary(Job& job) {
    if (!job.temporary.isEmpty()) {
        ::unlink(QFile::encodeName(job.temporary).constData());
        job.temporary.clear();
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
    m_window.dialogs->MsgBoxWithDetails(m_summary.Headline(), m_summary.Details(), style,
                                        m_window.appTitle);
}

}  // namespace bq
