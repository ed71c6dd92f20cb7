#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
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

// JSON text that is already written (a record, see JsonRecord), put into the
// map as a value of its own and copied into the answer unchanged.
struct Fragment
{
    QByteArray json;
};

QByteArray fromMap(const QVariantMap &map);

// Appends the JSON text of value, as the map conversion above writes it.
void appendValue(QByteArray &out, const QVariant &value);
// A text as a JSON string, quotes included.
void appendString(QByteArray &out, const QString &text);
// An integer as Qt writes it (decimal, a minus sign for a negative one).
void appendInteger(QByteArray &out, qint64 number);

} // namespace CompactJson

Q_DECLARE_METATYPE(CompactJson::Fragment)
