#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// One record of an answer (a person, an interruption type, a change), built
// field by field and written as compact JSON straight into the answer's
// buffer: no map of variants per record. Its keys come out in the order Qt
// writes an object's keys (sorted), so the bytes are those of the QVariantMap
// it replaces. Keys are ASCII literals; a record holds at most maxFields
// fields.
//
// A value type; usable from any thread.
class JsonRecord
{
public:
    static constexpr int maxFields = 16;

    JsonRecord &add(const char *key, bool value);
    JsonRecord &add(const char *key, int value);
    JsonRecord &add(const char *key, uint value);
    JsonRecord &add(const char *key, const QString &value);

    // Appends the record's JSON text.
    void appendTo(QByteArray &out) const;

private:
    enum class Kind { Bool, Signed, Unsigned, Text };
    struct Field
    {
        const char *key = nullptr;
        Kind kind = Kind::Bool;
        qint64 number = 0;
        QString text;
    };

    Field &next(const char *key, Kind kind);

    std::array<Field, maxFields> fields;
    int count = 0;
};
