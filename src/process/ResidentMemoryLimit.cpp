// Whether children can be held to a limit on their resident memory, and how.
#include "process/ResidentMemoryLimit.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcResident, "brindlequill.process")

namespace bq {

namespace {

struct Way {
    QString launcher;  // systemd-run; "" when there is no resident limit
    QString unavailable;
};

QByteArray ReadSmallFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 16) : QByteArray();
}

// Where cgroup v2 is mounted, "" when it is not.
QString UnifiedMount() {
    for (const QByteArray& line : ReadSmallFile(QStringLiteral("/proc/self/mounts")).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 2 && fields[2] == "cgroup2") {
            return QFile::decodeName(fields[1]);
        }
    }
    return QString();
}

Way FindWay() {
    Way way;
    const QString mount = UnifiedMount();
    if (mount.isEmpty()) {
        way.unavailable = QStringLiteral("the system has no cgroup v2");
        return way;
    }
    const uid_t uid = ::getuid();
    // The user's systemd instance, and the controllers it may hand to its scopes.
    const QString manager =
        mount + QStringLiteral("/user.slice/user-%1.slice/user@%1.service").arg(uid);
    const QList<QByteArray> controllers =
        ReadSmallFile(manager + QStringLiteral("/cgroup.controllers")).trimmed().split(' ');
    if (!QFileInfo(manager).isDir()) {
        way.unavailable = QStringLiteral("no systemd instance of the user runs (%1)").arg(manager);
        return way;
    }
    if (!controllers.contains("memory")) {
        way.unavailable =
            QStringLiteral("cgroup v2 at %1 has no memory controller for the user").arg(mount);
        return way;
    }
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        runtime = QStringLiteral("/run/user/%1").arg(uid);
    }
    if (!QFileInfo::exists(runtime + QStringLiteral("/bus")) &&
        !QFileInfo::exists(runtime + QStringLiteral("/systemd/private"))) {
        way.unavailable =
            QStringLiteral("the user's systemd instance cannot be reached at %1").arg(runtime);
        return way;
    }
    const QString launcher = QStandardPaths::findExecutable(QStringLiteral("systemd-run"));
    if (launcher.isEmpty()) {
        way.unavailable = QStringLiteral("systemd-run is not installed");
        return way;
    }
    way.launcher = launcher;
    return way;
}

const Way& TheWay() {
    static const Way way = [] {
        Way found = FindWay();
        if (found.launcher.isEmpty()) {
            qCInfo(lcResident).noquote()
                << "Memory limits: each converter's address space is limited (RLIMIT_AS), as"
                << found.unavailable + QLatin1Char('.');
        } else {
            qCInfo(lcResident).noquote()
                << "Memory limits: each converter's resident memory is limited (MemoryMax of a "
                   "scope of the user's systemd instance, through"
                << found.launcher + QStringLiteral(").");
        }
        return found;
    }();
    return way;
}

}  // namespace

bool ResidentMemoryLimit::Available() {
    return !TheWay().launcher.isEmpty();
}

QString ResidentMemoryLimit::Launcher() {
    return TheWay().launcher;
}

QStringList ResidentMemoryLimit::LauncherArguments(std::uint64_t bytes) {
    return {QStringLiteral("--user"),
            QStringLiteral("--scope"),
            QStringLiteral("--quiet"),
            QStringLiteral("--collect"),
            QStringLiteral("--property=MemoryMax=%1").arg(bytes),
            QStringLiteral("--property=MemorySwapMax=0"),
            QStringLiteral("--")};
}

QString ResidentMemoryLimit::Unavailable() {
    return TheWay().unavailable;
}

}  // namespace bq
