#include "convert/ConverterRuntime.h"

#include "fs/FileDeletion.h"
#include "fs/WriteBytesIfAbsent.h"
#include "platform/ProgramFolder.h"
#include "platform/RunTimeError.h"
#include "process/WhileYielding.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

Q_LOGGING_CATEGORY(lcRuntime, "brindlequill.runtime")

namespace bq {

namespace {

const QString kSource = QStringLiteral("ConverterRuntime");

QString UserName(uid_t uid) {
    if (const passwd* entry = ::getpwuid(uid)) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return QStringLiteral("user %1").arg(uid);
}

[[noreturn]] void Fail(int number, const QString& text) {
    RaiseError(number, kSource, text);
}

QString TryAnotherTemp(const QString& temp) {
    return QStringLiteral(
               "Free some space in %1, or set TEMP to another folder, then start "
               "again.")
        .arg(temp);
}

bool LstatPath(const QString& path, struct stat& st) {
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// True when path is a regular file of this user holding exactly bytes. Never follows a link.
bool HoldsExactly(const QString& path, const QByteArray& bytes) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                st.st_size == bytes.size();
    constexpr qsizetype kChunk = 1 << 20;
    std::vector<char> buffer(static_cast<size_t>(kChunk));
    qsizetype offset = 0;
    while (same && offset < bytes.size()) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || offset + got > bytes.size() ||
            std::memcmp(buffer.data(), bytes.constData() + offset, static_cast<size_t>(got)) != 0) {
            same = false;
            break;
        }
        offset += got;
    }
    if (same) {
        char extra = 0;
        same = ::read(fd, &extra, 1) == 0;
    }
    ::close(fd);
    return same;
}

}  // namespace

ConverterRuntime::ConverterRuntime() = default;

ConverterRuntime::~ConverterRuntime() {
    try {
        Remove();
    } catch (...) {
        qCWarning(lcRuntime) << "The run folder" << m_runFolder << "could not be removed";
    }
}

QString ConverterRuntime::LegacyArchivePath(const QString& temp) {
    return temp + QStringLiteral("/calibre.zip");
}

QString ConverterRuntime::LegacyRuntimeFolder(const QString& temp) {
    return temp + QStringLiteral("/calibre");
}

QString ConverterRuntime::ArchivePath() const {
    return m_runFolder + QStringLiteral("/calibre.zip");
}

QString ConverterRuntime::RuntimeFolder() const {
    return m_runFolder + QStringLiteral("/calibre");
}

QString ConverterRuntime::ConverterPath() const {
    return RuntimeFolder() + QStringLiteral("/ebook-convert");
}

QString ConverterRuntime::LogFolder() const {
    return m_runFolder + QStringLiteral("/logs");
}

QString ConverterRuntime::ScratchFolder() const {
    return m_runFolder + QStringLiteral("/tmp");
}

void ConverterRuntime::RefuseForeign(const QString& path, const QString& temp) const {
    struct stat st {};
    if (!LstatPath(path, st) || st.st_uid == ::geteuid()) {
        return;
    }
    Fail(ErrPermissionDenied,
         QStringLiteral("%1 belongs to another user (%2). Brindlequill does not use or remove "
                        "what others put in the temporary folder. Ask that user or an "
                        "administrator to remove it, or set TEMP to a folder of your own (now "
                        "%3), then start again.")
             .arg(path, UserName(st.st_uid), temp));
}

void ConverterRuntime::Prepare() {
    m_temp = TempFolder();
    while (m_temp.size() > 1 && m_temp.endsWith(QLatin1Char('/'))) {
        m_temp.chop(1);
    }
    const QByteArray temp = QFile::encodeName(m_temp);
    struct stat st {};
    if (::stat(temp.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Fail(ErrPathNotFound,
             QStringLiteral("The temporary folder %1 (TEMP) does not exist. Create it, or set "
                            "TEMP to a folder you can write to, then start again.")
                 .arg(m_temp));
    }
    if (::access(temp.constData(), W_OK | X_OK) != 0) {
        Fail(ErrPermissionDenied,
             QStringLiteral("The temporary folder %1 (TEMP) cannot be written (%2). Set TEMP to "
                            "a folder you can write to, then start again.")
                 .arg(m_temp, SystemErrorText(errno)));
    }

    // Left-overs under the fixed names: never another user's, never through a link.
    const QString legacyArchive = LegacyArchivePath(m_temp);
    const QString legacyRuntime = LegacyRuntimeFolder(m_temp);
    RefuseForeign(legacyArchive, m_temp);
    RefuseForeign(legacyRuntime, m_temp);
    if (LstatPath(legacyRuntime, st)) {
        if (S_ISDIR(st.st_mode)) {
            DeleteFolderTree(legacyRuntime);
        } else {
            ::unlink(QFile::encodeName(legacyRuntime).constData());  // a link goes, not its target
        }
        if (LstatPath(legacyRuntime, st)) {
            Fail(ErrPermissionDenied,
                 QStringLiteral("%1 is left over from an earlier run and cannot be removed. "
                                "Remove it yourself, or set TEMP to another folder, then start "
                                "again.")
                     .arg(legacyRuntime));
        }
    }
    m_legacyArchiveIsOurs = LstatPath(legacyArchive, st);
    RemoveEndedRunFolders(m_temp);

    QByteArray folder = temp + '/' + QFile::encodeName(RunFolderPrefix()) + "XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        const int error = errno;
        Fail(ErrorNumberFromErrno(error),
             QStringLiteral("A folder for the converter could not be made in %1 (%2). ")
                     .arg(m_temp, SystemErrorText(error)) +
                 TryAnotherTemp(m_temp));
    }
    m_runFolder = QFile::decodeName(folder);
    // Held until the folder is removed: it tells other runs that this folder is in use.
    m_lockFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_lockFd >= 0) {
        ::flock(m_lockFd, LOCK_EX);
    }
    for (const QString& sub : {LogFolder(), ScratchFolder()}) {
        if (::mkdir(QFile::encodeName(sub).constData(), 0700) != 0) {
            const int error = errno;
            Fail(ErrorNumberFromErrno(error),
                 QStringLiteral("The folder %1 could not be made (%2). ")
                         .arg(sub, SystemErrorText(error)) +
                     TryAnotherTemp(m_temp));
        }
    }
}

void ConverterRuntime::AdoptLegacyArchive() {
    const QString legacy = LegacyArchivePath(m_temp);
    // A rename never follows a link; what it brings in is checked below like any archive.
    if (::rename(QFile::encodeName(legacy).constData(),
                 QFile::encodeName(ArchivePath()).constData()) == 0 ||
        errno == ENOENT) {
        return;
    }
    const int error = errno;
    Fail(ErrorNumberFromErrno(error),
         QStringLiteral("%1 is left over from an earlier run and cannot be replaced (%2). Remove "
                        "it yourself, or set TEMP to another folder, then start again.")
             .arg(legacy, SystemErrorText(error)));
}

void ConverterRuntime::PlaceArchive(const QByteArray& archive) {
    if (m_legacyArchiveIsOurs) {
        AdoptLegacyArchive();
    }
    const QString path = ArchivePath();
    struct stat st {};
    m_archiveReused = false;
    if (LstatPath(path, st)) {
        // A partial file left by a closed window, an older version: only the carried archive,
        // byte for byte, is used.
        m_archiveReused = HoldsExactly(path, archive);
        if (!m_archiveReused) {
            ::unlink(QFile::encodeName(path).constData());
        }
    }
    if (m_archiveReused) {
        return;
    }
    try {
        WriteBytesIfAbsent(archive, path);
    } catch (const RunTimeError& error) {
        const QString what =
            error.description().isEmpty() ? ErrorDescription(error.number()) : error.description();
        Fail(error.number(),
             QStringLiteral("The converter could not be written to %1 (%2). ").arg(path, what) +
                 TryAnotherTemp(m_temp));
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
                 TryAnotherTemp(m_temp));
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
    if (!m_runFolder.isEmpty()) {
        ::unlink(QFile::encodeName(ArchivePath()).constData());
    }
}

std::vector<EnvironmentChange> ConverterRuntime::ConverterEnvironment() const {
    return {{QByteArrayLiteral("CALIBRE_TEMP_DIR"), QFile::encodeName(ScratchFolder())}};
}

void ConverterRuntime::StartWarmConverter(int niceness) {
    if (m_runFolder.isEmpty() || m_warm.IsRunning()) {
        return;
    }
    if (!m_warm.Start(RuntimeFolder(), ConverterEnvironment(), niceness,
                      m_runFolder + QStringLiteral("/warm-converter.log"))) {
        qCInfo(lcRuntime) << "No warm converter in" << RuntimeFolder() << "- converting cold";
    }
}

void ConverterRuntime::Remove() {
    m_warm.Stop();  // before its folder goes
    if (m_runFolder.isEmpty()) {
        return;
    }
    const QString folder = m_runFolder;
    DeleteFolderTree(folder);
    struct stat st {};
    if (LstatPath(folder, st)) {
        qCWarning(lcRuntime) << "Some of" << folder << "could not be removed";
    }
    m_runFolder.clear();
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

int ConverterRuntime::RemoveEndedRunFolders(const QString& temp, int minimumAge) {
    const QByteArray tempName = QFile::encodeName(temp);
    const QByteArray prefix = QFile::encodeName(RunFolderPrefix());
    DIR* dir = ::opendir(tempName.constData());
    if (dir == nullptr) {
        return 0;
    }
    std::vector<QByteArray> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.size() == prefix.size() + 6 && name.startsWith(prefix)) {
            candidates.push_back(name);
        }
    }
    ::closedir(dir);

    int removed = 0;
    const std::time_t now = std::time(nullptr);
    for (const QByteArray& name : candidates) {
        const QByteArray path = tempName + '/' + name;
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid() || now - st.st_ctime < minimumAge) {
            continue;
        }
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            try {
                DeleteFolderTree(QFile::decodeName(path));
                ++removed;
            } catch (const RunTimeError&) {
                // What cannot be removed stays; it is no danger to this run.
            }
        }
        ::close(fd);
    }
    return removed;
}

}  // namespace bq
