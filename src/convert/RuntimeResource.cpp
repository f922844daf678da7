#include "convert/RuntimeResource.h"

#include "platform/RunTimeError.h"

#include <QResource>

namespace bq {

QString CustomResourcePath(int id) {
    return QStringLiteral(":/CUSTOM/%1").arg(id);
}

QByteArray LoadCustomResource(int id) {
    const QString path = CustomResourcePath(id);
    QResource resource(path);
    if (!resource.isValid() || resource.data() == nullptr) {
        RaiseError(ErrFileNotFound, QStringLiteral("LoadCustomResource"),
                   QStringLiteral("Resource \"CUSTOM\" %1 is not in this program (%2), so the "
                                  "converter cannot be provided. Reinstall Brindlequill or "
                                  "rebuild it with the converter runtime archive.")
                       .arg(id)
                       .arg(path));
    }
    if (resource.compressionAlgorithm() != QResource::NoCompression) {
        QByteArray bytes = resource.uncompressedData();
        if (bytes.size() != resource.uncompressedSize()) {
            RaiseError(ErrPathFileAccess, QStringLiteral("LoadCustomResource"),
                       QStringLiteral("Resource \"CUSTOM\" %1 could not be unpacked. Reinstall "
                                      "Brindlequill.")
                           .arg(id));
        }
        return bytes;
    }
    // The resource lives in the executable's read-only data for the whole run.
    return QByteArray::fromRawData(reinterpret_cast<const char*>(resource.data()),
                                   static_cast<qsizetype>(resource.size()));
}

}  // namespace bq
