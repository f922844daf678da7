#include "fs/ResolvedPath.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace bq {

namespace {

constexpr int kMostLinks = 40;  // as the kernel's own limit on links in one lookup

QByteArray CurrentFolder() {
    QByteArray buffer(PATH_MAX, '\0');
    if (::getcwd(buffer.data(), static_cast<size_t>(buffer.size())) == nullptr) {
        return QByteArrayLiteral("/");
    }
    return QByteArray(buffer.constData());
}

QByteArray Absolute(const QByteArray& path) {
    if (path.startsWith('/')) {
        return path;
    }
    const QByteArray current = CurrentFolder();
    return current.endsWith('/') ? current + path : current + '/' + path;
}

// realpath(3) of the path; "" when it cannot be resolved.
QByteArray RealPath(const QByteArray& path) {
    char* real = ::realpath(path.constData(), nullptr);
    if (real == nullptr) {
        return {};
    }
    QByteArray result(real);
    std::free(real);
    return result;
}

}  // namespace

QByteArray ResolvedPath(const QByteArray& path) {
    if (path.isEmpty()) {
        return Absolute(path);
    }
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray name = path.mid(slash + 1);
    if (name.isEmpty() || name == "." || name == "..") {
        const QByteArray real = RealPath(path);
        return real.isEmpty() ? Absolute(path) : real;
    }
    QByteArray folder = slash < 0 ? QByteArrayLiteral(".") : path.left(slash);
    if (folder.isEmpty()) {
        folder = "/";  // "/name"
    }
    const QByteArray real = RealPath(folder);
    if (real.isEmpty()) {
        return Absolute(path);
    }
    return real.endsWith('/') ? real + name : real + '/' + name;
}

QByteArray ResolvedPlace(const QByteArray& path) {
    QByteArray place = ResolvedPath(path);
    for (int i = 0; i < kMostLinks; ++i) {
        struct stat st {};
        if (::lstat(place.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return place;
        }
        QByteArray target(st.st_size > 0 ? st.st_size + 1 : PATH_MAX, '\0');
        const ssize_t length =
            ::readlink(place.constData(), target.data(), static_cast<size_t>(target.size()));
        if (length <= 0 || length >= target.size()) {
            return place;
        }
        target.truncate(length);
        if (!target.startsWith('/')) {
            target = place.left(place.lastIndexOf('/') + 1) + target;
        }
        place = ResolvedPath(target);
    }
    return place;
}

}  // namespace bq
