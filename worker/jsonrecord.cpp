#include "jsonrecord.h"

#include "compactjson.h"

#include <algorithm>
#include <cstring>

JsonRecord::Field &JsonRecord::next(const char *key, Kind kind)
{
    Q_ASSERT(count < maxFields);
    Field &field = fields[size_t(count++)];
    field.key = key;
    field.kind = kind;
    return field;
}

JsonRecord &JsonRecord::add(const char *key, bool value)
{
    next(key, Kind::Bool).number = value ? 1 : 0;
    return *this;
}

JsonRecord &JsonRecord::add(const char *key, int value)
{
    next(key, Kind::Signed).number = value;
    return *this;
}

JsonRecord &JsonRecord::add(const char *key, uint value)
{
    next(key, Kind::Unsigned).number = qint64(value);
    return *this;
}

JsonRecord &JsonRecord::add(const char *key, const QString &value)
{
    next(key, Kind::Text).text = value;
    return *this;
}

void JsonRecord::appendTo(QByteArray &out) const
{
    // ASCII keys: byte order is the order of QString's comparison.
    std::array<const Field *, maxFields> sorted {};
    for (int i = 0; i < count; ++i)
        sorted[size_t(i)] = &fields[size_t(i)];
    std::sort(sorted.begin(), sorted.begin() + count,
        [](const Field *a, const Field *b) { return std::strcmp(a->key, b->key) < 0; });

    out.append('{');
    for (int i = 0; i < count; ++i) {
        const Field &field = *sorted[size_t(i)];
        if (i > 0)
            out.append(',');
        out.append('"');
        out.append(field.key);
        out.append("\":", 2);
        switch (field.kind) {
        case Kind::Bool:
            out.append(field.number ? "true" : "false");
            break;
        case Kind::Signed:
        case Kind::Unsigned:
            CompactJson::appendInteger(out, field.number);
            break;
        case Kind::Text:
            CompactJson::appendString(out, field.text);
            break;
        }
    }
    out.append('}');
}
