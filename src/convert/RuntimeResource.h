#pragma once

#include <QByteArray>
#include <QString>

namespace bq {

// The resource that holds the converter runtime archive: type "CUSTOM", id 101.
inline constexpr int kRuntimeResourceId = 101;

// The name under which the program carries custom resource `id` (":/CUSTOM/<id>").
QString CustomResourcePath(int id);

// Reads the whole custom resource `id` into a byte array. The bytes are the program's own
// (no copy is made of an uncompressed resource). A resource the program does not carry raises
// the run-time error "File not found" (53) with a description that names it.
QByteArray LoadCustomResource(int id);

}  // namespace bq
