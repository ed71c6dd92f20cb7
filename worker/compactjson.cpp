#include "compactjson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

// Integers whose magnitude stays within a double's mantissa: Qt writes them
// as plain integers; beyond it the value takes Qt's own road through double.
constexpr qint64 exactIntegerLimit = qint64(1) << 53;

char hexDigit(uint nibble)
{
    return char(nibble < 10 ? '0' + nibble : 'a' + nibble - 10);
}

// The two-character escape of an ASCII unit, or 0 when it has none.
char shortEscape(char16_t unit)
{
    switch (unit) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

char *writeUnicodeEscape(char *p, uint unit)
{
    *p++ = '\\';
    *p++ = 'u';
    *p++ = hexDigit(unit >> 12 & 0xf);
    *p++ = hexDigit(unit >> 8 & 0xf);
    *p++ = hexDigit(unit >> 4 & 0xf);
    *p++ = hexDigit(unit & 0xf);
    return p;
}

} // namespace

// Quotes and backslashes escaped, control characters as \b \f \n \r \t or
// \u00XX, everything else as UTF-8; a lone surrogate as \uXXXX. Written
// through a pointer into room for the longest form of every unit (six bytes),
// a piece of the text at a time, then cut to what was written: the texts are
// short names, so a call per byte would cost more than the bytes.
void CompactJson::appendString(QByteArray &out, const QString &text)
{
    constexpr int piece = 4096;
    const QChar *c = text.constData();
    const QChar *const end = c + text.size();
    out.append('"');
    while (c != end) {
        const QChar *const pieceEnd = c + std::min<qptrdiff>(piece, end - c);
        const int start = out.size();
        out.resize(start + 6 * int(pieceEnd - c));
        char *p = out.data() + start;
        // A surrogate pair may take one unit beyond the piece: four bytes for
        // two units, within the room.
        while (c < pieceEnd) {
            const char16_t u = c->unicode();
            ++c;
            if (u < 0x80) {
                const char escape = shortEscape(u);
                if (u >= 0x20 && !escape) {
                    *p++ = char(u);
                } else if (escape) {
                    *p++ = '\\';
                    *p++ = escape;
                } else {
                    p = writeUnicodeEscape(p, u);
                }
            } else if (u < 0x800) {
                *p++ = char(0xc0 | (u >> 6));
                *p++ = char(0x80 | (u & 0x3f));
            } else if (!QChar::isSurrogate(u)) {
                *p++ = char(0xe0 | (u >> 12));
                *p++ = char(0x80 | ((u >> 6) & 0x3f));
                *p++ = char(0x80 | (u & 0x3f));
            } else if (QChar::isHighSurrogate(u) && c != end && c->isLowSurrogate()) {
                const uint code = QChar::surrogateToUcs4(u, c->unicode());
                ++c;
                *p++ = char(0xf0 | (code >> 18));
                *p++ = char(0x80 | ((code >> 12) & 0x3f));
                *p++ = char(0x80 | ((code >> 6) & 0x3f));
                *p++ = char(0x80 | (code & 0x3f));
            } else {
                p = writeUnicodeEscape(p, u);
            }
        }
        out.resize(int(p - out.constData()));
    }
    out.append('"');
}

void CompactJson::appendInteger(QByteArray &out, qint64 number)
{
    char digits[24];
    out.append(digits, int(std::to_chars(digits, digits + sizeof digits, number).ptr - digits));
}

namespace {

void appendMap(QByteArray &out, const QVariantMap &map)
{
    out.append('{');
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it != map.cbegin())
            out.append(',');
        CompactJson::appendString(out, it.key());
        out.append(':');
        CompactJson::appendValue(out, it.value());
    }
    out.append('}');
}

template<typename List, typename Append> void appendList(QByteArray &out, const List &list, Append append)
{
    out.append('[');
    for (auto it = list.cbegin(); it != list.cend(); ++it) {
        if (it != list.cbegin())
            out.append(',');
        append(out, *it);
    }
    out.append(']');
}

// Qt's own conversion and writer, for what is not written here. A value is
// converted as a map entry: QJsonValue::fromVariant() converts some types
// differently (a short becomes text, bytes stop at a zero byte).
void appendThroughQt(QByteArray &out, const QVariant &value)
{
    const QByteArray entry
        = QJsonDocument(QJsonObject::fromVariantMap({ { QString(), value } })).toJson(QJsonDocument::Compact);
    const int prefix = 4; // {"":
    out.append(entry.constData() + prefix, entry.size() - prefix - 1);
}

void appendDouble(QByteArray &out, const QVariant &value)
{
    const double d = value.toDouble();
    if (!std::isfinite(d)) {
        out.append("null", 4);
    } else if (std::floor(d) == d && std::fabs(d) <= double(exactIntegerLimit)) {
        CompactJson::appendInteger(out, qint64(d));
    } else if (std::floor(d) != d) {
        out.append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
    } else {
        appendThroughQt(out, value);
    }
}

} // namespace

namespace CompactJson {

QByteArray fromMap(const QVariantMap &map)
{
    QByteArray out;
    out.reserve(256);
    appendMap(out, map);
    return out;
}

void appendValue(QByteArray &out, const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        out.append("null", 4);
        return;
    case QMetaType::Bool:
        out.append(value.toBool() ? "true" : "false");
        return;
    case QMetaType::Int:
        appendInteger(out, value.toInt());
        return;
    case QMetaType::UInt:
        appendInteger(out, value.toUInt());
        return;
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const qint64 n = value.toLongLong();
        const bool small = value.userType() == QMetaType::LongLong
            ? n >= -exactIntegerLimit && n <= exactIntegerLimit
            : value.toULongLong() <= quint64(exactIntegerLimit);
        if (small)
            appendInteger(out, n);
        else
            appendThroughQt(out, value);
        return;
    }
    case QMetaType::Double:
        appendDouble(out, value);
        return;
    case QMetaType::QString:
        appendString(out, value.toString());
        return;
    case QMetaType::QVariantMap:
        appendMap(out, value.toMap());
        return;
    case QMetaType::QVariantList:
        appendList(out, value.toList(), appendValue);
        return;
    case QMetaType::QStringList:
        appendList(out, value.toStringList(), CompactJson::appendString);
        return;
    default:
        if (value.userType() == qMetaTypeId<Fragment>())
            out.append(value.value<Fragment>().json);
        else
            appendThroughQt(out, value);
    }
}

} // namespace CompactJson
