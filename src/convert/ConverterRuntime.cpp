#include "convert/ConverterRuntime.h"

#include "fs/WriteBytesIfAbsent.h"
#include "platform/ProgramFolder.h"
#include "platform/RunTimeError.h"
#include "process/WhileYielding.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <QFile>
#include <QLoggingCategory>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcRuntime, "brindlequill.runtime")

namespace bq {

namespace {

const QString kSource = QStringLiteral("ConverterRuntime");

[[noreturn]] void Fail(int number, const QString& text) {
    RaiseError(number, kSource, text);
}

}  // namespace

ConverterRuntime::~ConverterRuntime() {
    try {
        Remove();
    } catch (...) {
        qCWarning(lcRuntime) << "The run folder" << m_folder.path() << "could not be removed";
    }
}

QString ConverterRuntime::ArchivePath() const {
    return m_folder.path() + QStringLiteral("/calibre.zip");
}

QString ConverterRuntime::RuntimeFolder() const {
    return m_folder.path() + QStringLiteral("/calibre");
}

QString ConverterRuntime::ConverterPath() const {
    return RuntimeFolder() + QStringLiteral("/ebook-convert");
}

void ConverterRuntime::Prepare() {
    m_folder.Make();
}

void ConverterRuntime::PlaceArchive(const QByteArray& archive) {
    const QString path = ArchivePath();
    try {
        WriteBytesIfAbsent(archive, path);
    } catch (const RunTimeError& error) {
        const QString what =
            error.description().isEmpty() ? ErrorDescription(error.number()) : error.description();
        Fail(error.number(),
             QStringLiteral("The converter could not be written to %1 (%2). ").arg(path, what) +
                 TryAnotherTemp(m_folder.base()));
    }
}

void ConverterRuntime::Unpack() {
    cUnzip session;
    session.ZipFile(ArchivePath());
    session.UseFolderNames(true);
    session.UnzipFolder(RuntimeFolder());
    QString lastMessage;  // the engine's last words, which say why when it fails
    QObject::connect(&session, &cUnzip::Progress,
                     [&lastMessage](std::int32_t, const QString& text) {
                         const QString line = text.trimmed();
                         if (!line.isEmpty()) {
                             lastMessage = line;
                         }
                     });
    bool unpacked = false;
    try {
        unpacked = RunWhileYielding([&session] { return session.Unzip(); });
    } catch (const RunTimeError& error) {
        QString why = error.description();
        const QString problem = mUnzip::EngineLoadProblem();
        if (!problem.isEmpty()) {
            why += QStringLiteral(": ") + problem;
        }
        Fail(error.number(), QStringLiteral("The unzip engine could not unpack the converter "
                                            "(%1). Reinstall Brindlequill, then start again.")
                                 .arg(why));
    }
    if (!unpacked) {
        Fail(ErrPathFileAccess,
             QStringLiteral("The converter could not be unpacked into %1 (%2). ")
                     .arg(RuntimeFolder(),
                          lastMessage.isEmpty()
                              ? QStringLiteral("the unzip engine reported a failure")
                              : lastMessage) +
                 TryAnotherTemp(m_folder.base()));
    }
    struct stat st {};
    const QByteArray converter = QFile::encodeName(ConverterPath());
    if (::lstat(converter.constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(converter.constData(), X_OK) != 0) {
        Fail(ErrFileNotFound,
             QStringLiteral("The converter %1 is missing after unpacking. Reinstall "
                            "Brindlequill, then start again.")
                 .arg(ConverterPath()));
    }
}

void ConverterRuntime::RemoveArchive() {
    if (!m_folder.path().isEmpty()) {
        ::unlink(QFile::encodeName(ArchivePath()).constData());
    }
}

std::vector<EnvironmentChange> ConverterRuntime::ConverterEnvironment() const {
    std::vector<EnvironmentChange> changes{
        {QByteArrayLiteral("CALIBRE_TEMP_DIR"), QFile::encodeName(ScratchFolder())}};
    // Without the session's runtime folder (no login session: a container, cron, ssh without
    // systemd) the converter's Qt makes TMPDIR/runtime-USER and leaves it there; it gets the
    // run's scratch folder instead.
    if (!qEnvironmentVariable("XDG_RUNTIME_DIR").startsWith(QLatin1Char('/'))) {
        changes.push_back(
            {QByteArrayLiteral("XDG_RUNTIME_DIR"), QFile::encodeName(ScratchFolder())});
    }
    return changes;
}

void ConverterRuntime::StartWarmConverter(int niceness) {
    if (m_folder.path().isEmpty() || m_warm.IsRunning()) {
        return;
    }
    if (!m_warm.Start(RuntimeFolder(), ConverterEnvironment(), niceness,
                      m_folder.path() + QStringLiteral("/warm-converter.log"))) {
        qCInfo(lcRuntime) << "No warm converter in" << RuntimeFolder() << "- converting cold";
    }
}

void ConverterRuntime::Remove() {
    m_warm.Stop();  // before its folder goes
    m_folder.Remove();
}

}  // namespace bq
