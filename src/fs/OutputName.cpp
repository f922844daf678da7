#include "fs/OutputName.h"

#include "fs/FolderFileSystem.h"
#include "fs/PathText.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

namespace bq {

namespace {

constexpr qsizetype kNameMaxBytes = 255;

// "FAT" or "exFAT" when the file system is one of those, whatever drives it (the kernel or
// FUSE); "" otherwise.
QString FatFamily(const QString& type) {
    if (type == QLatin1String("vfat") || type == QLatin1String("msdos") ||
        type.endsWith(QLatin1String(".fusefat")) || type.endsWith(QLatin1String(".vfat"))) {
        return QStringLiteral("FAT");
    }
    if (type == QLatin1String("exfat") || type.endsWith(QLatin1String(".exfat"))) {
        return QStringLiteral("exFAT");
    }
    return {};
}

// The name of a file system that refuses the characters Windows refuses; "" for one that takes
// everything but "/". NTFS refuses them only when mounted with windows_names.
QString WindowsNamesOnly(const FolderFileSystem& fileSystem) {
    const QString fat = FatFamily(fileSystem.type);
    if (!fat.isEmpty()) {
        return fat;
    }
    if ((fileSystem.type == QLatin1String("ntfs") || fileSystem.type == QLatin1String("ntfs3")) &&
        fileSystem.options.split(QLatin1Char(',')).contains(QLatin1String("windows_names"))) {
        return QStringLiteral("NTFS");
    }
    return {};
}

bool IsWindowsForbidden(QChar c) {
    return c.unicode() < 0x20 || QStringView(u"\"*/:<>?\\|").contains(c);
}

QString WithSeparator(const QString& folder) {
    return folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ? folder
                                                                 : folder + QLatin1Char('/');
}

// Every ASCII letter in the other case.
QByteArray OtherCase(QByteArray name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

// Makes a file of its own in the folder and looks for it under its name in the other case. Its
// random name was free a moment ago, so finding anything there means both names are one file.
// (The device and inode are not compared: FUSE file systems such as fusefat give every name its
// own inode number.) Answers false in made when no file could be made there.
bool ProbeIgnoresCase(const QString& folder, bool& made) {
    const QByteArray prefix = QFile::encodeName(WithSeparator(folder));
    QByteArray probe = prefix + ".brindlequill-case-XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    made = fd >= 0;
    if (!made) {
        return false;
    }
    ::close(fd);
    const QByteArray other = prefix + OtherCase(probe.mid(prefix.size()));
    struct stat st {};
    const bool ignores = ::lstat(other.constData(), &st) == 0;
    ::unlink(probe.constData());
    return ignores;
}

}  // namespace

QString OutputNameProblem(const QString& folder, const QString& name) {
    if (QFile::encodeName(name).size() > kNameMaxBytes) {
        return QStringLiteral("its output name %1 is longer than the %2 bytes a file name may have")
            .arg(name, QString::number(kNameMaxBytes));
    }
    const QString fileSystem = WindowsNamesOnly(FolderFileSystemOf(folder));
    if (fileSystem.isEmpty()) {
        return {};
    }
    for (const QChar c : name) {
        if (IsWindowsForbidden(c)) {
            const QString shown =
                c.unicode() < 0x20
                    ? QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper()
                    : QStringLiteral("\"%1\"").arg(c);
            return QStringLiteral(
                       "its output name %1 holds the character %2, which the output folder's "
                       "file system (%3) cannot store")
                .arg(name, shown, fileSystem);
        }
    }
    return {};
}

bool FolderIgnoresCase(const QString& folder) {
    bool made = false;
    const bool ignores = ProbeIgnoresCase(folder, made);
    if (made) {
        return ignores;
    }
    return !FatFamily(FolderFileSystemOf(folder).type).isEmpty();
}

QString OutputIdentityKey(const QString& output, bool ignoresCase) {
    const QString folderPart = FolderPart(output);
    const QString folder =
        QFileInfo(folderPart.isEmpty() ? QStringLiteral(".") : folderPart).canonicalFilePath();
    QString name = FileNamePart(output);
    if (ignoresCase) {
        name = name.toCaseFolded();
    }
    // A folder that is gone keeps the path as written.
    return CollapseSeparators((folder.isEmpty() ? folderPart : folder + QLatin1Char('/')) + name);
}

}  // namespace bq
