// The sub-folders of the output folder that keep a library's folders.
#include "fs/OutputSubFolder.h"

#include "fs/OutputName.h"
#include "platform/Descriptor.h"
#include "platform/RunTimeError.h"

#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace bq {

QString MakeOutputSubFolder(const QString& base, const QString& relative) {
    const QStringList names = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    Descriptor folder(
        ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return QStringLiteral("the output folder %1 does not exist").arg(base);
        }
        return QStringLiteral("the output folder %1 cannot be opened (%2)")
            .arg(base, SystemErrorText(error));
    }
    QString path = base.endsWith(QLatin1Char('/')) ? base.chopped(1) : base;
    for (const QString& name : names) {
        if (name == QLatin1String(".") || name == QLatin1String("..")) {
            return QStringLiteral("its folder %1 is not below the output folder").arg(relative);
        }
        const QString problem = OutputNameProblem(path, name);
        if (!problem.isEmpty()) {
            return QStringLiteral("its folder %1 cannot be made in the output folder %2 (%3)")
                .arg(relative, base, problem);
        }
        const QByteArray encoded = QFile::encodeName(name);
        if (::mkdirat(folder.get(), encoded.constData(), 0777) != 0 && errno != EEXIST) {
            return QStringLiteral("its folder %1 cannot be made in the output folder %2 (%3)")
                .arg(relative, base, SystemErrorText(errno));
        }
        const QString inside = path + QLatin1Char('/') + name;
        const int next = ::openat(folder.get(), encoded.constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            struct stat st {};
            if (::fstatat(folder.get(), encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                return QStringLiteral(
                           "%1 is a link, and results are not put through links out of the "
                           "output folder; remove the link or choose another output folder")
                    .arg(inside);
            }
            if (error == ENOTDIR) {
                return QStringLiteral("a file named %1 is in the way of its folder").arg(inside);
            }
            return QStringLiteral("its folder %1 cannot be opened (%2)")
                .arg(inside, SystemErrorText(error));
        }
        folder.reset(next);
        path = inside;
    }
    return {};
}

}  // namespace bq
