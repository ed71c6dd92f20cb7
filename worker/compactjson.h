#pragma once

#include <QByteArray>
#include <QVariantMap>

// Writes a result map as compact JSON: byte for byte what
// QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact)
// gives, but straight into one buffer, without building the JSON object (and
// in Qt 5.15 the CBOR containers behind it) first. The types the worker puts
// into its answers are written here; any other value is converted by Qt
// itself, so the bytes stay the same whatever the map holds.
//
// Pure functions; usable from any thread.
namespace CompactJson {

QByteArray fromMap(const QVariantMap &map);

// Appends the JSON text of value, as the map conversion above writes it.
void appendValue(QByteArray &out, const QVariant &value);

} // namespace CompactJson
