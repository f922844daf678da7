#include "app/MousePointer.h"

#include "platform/ReadWholeFile.h"
#include "platform/RunTimeError.h"

#include <QBuffer>
#include <QImageReader>
#include <QPixmap>

namespace bq {

namespace {

quint16 ReadLe16(const QByteArray& data, int offset) {
    return static_cast<quint16>(static_cast<quint8>(data[offset]) |
                                (static_cast<quint8>(data[offset + 1]) << 8));
}

}  // namespace

QCursor LoadCursorFile(const QString& path) {
    QByteArray data = ReadWholeFile(path);
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    if (image.isNull()) {
        RaiseError(ErrInvalidPicture, QStringLiteral("LoadCursorFile"));
    }
    // A cursor file's first directory entry holds the hot spot where an icon holds its planes
    // and bit count.
    int hotX = -1;
    int hotY = -1;
    constexpr int kCursorType = 2;
    if (data.size() >= 22 && ReadLe16(data, 2) == kCursorType) {
        hotX = ReadLe16(data, 10);
        hotY = ReadLe16(data, 12);
        if (hotX >= image.width() || hotY >= image.height()) {
            hotX = hotY = -1;
        }
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

}  // namespace bq
