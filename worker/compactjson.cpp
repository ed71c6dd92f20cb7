#include "compactjson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringList>

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

void appendUnicodeEscape(QByteArray &out, uint unit)
{
    const char escape[] = { '\\', 'u', hexDigit(unit >> 12 & 0xf), hexDigit(unit >> 8 & 0xf),
        hexDigit(unit >> 4 & 0xf), hexDigit(unit & 0xf) };
    out.append(escape, sizeof escape);
}

} // namespace

// Quotes and backslashes escaped, control characters as \b \f \n \r \t or
// \u00XX, everything else as UTF-8; a lone surrogate as \uXXXX.
void CompactJson::appendString(QByteArray &out, const QString &text)
{
    out.append('"');
    const QChar *c = text.constData();
    const QChar *const end = c + text.size();
    while (c != end) {
        const char16_t u = c->unicode();
        ++c;
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                out.append(char(u));
                continue;
            }
            switch (u) {
            case '"':
                out.append("\\\"", 2);
                break;
            case '\\':
                out.append("\\\\", 2);
                break;
            case '\b':
                out.append("\\b", 2);
                break;
            case '\f':
                out.append("\\f", 2);
                break;
            case '\n':
                out.append("\\n", 2);
                break;
            case '\r':
                out.append("\\r", 2);
                break;
            case '\t':
                out.append("\\t", 2);
                break;
            default:
                appendUnicodeEscape(out, u);
            }
        } else if (u < 0x800) {
            out.append(char(0xc0 | (u >> 6)));
            out.append(char(0x80 | (u & 0x3f)));
        } else if (!QChar::isSurrogate(u)) {
            out.append(char(0xe0 | (u >> 12)));
            out.append(char(0x80 | ((u >> 6) & 0x3f)));
            out.append(char(0x80 | (u & 0x3f)));
        } else if (QChar::isHighSurrogate(u) && c != end && c->isLowSurrogate()) {
            const uint code = QChar::surrogateToUcs4(u, c->unicode());
            ++c;
            out.append(char(0xf0 | (code >> 18)));
            out.append(char(0x80 | ((code >> 12) & 0x3f)));
            out.append(char(0x80 | ((code >> 6) & 0x3f)));
            out.append(char(0x80 | (code & 0x3f)));
        } else {
            appendUnicodeEscape(out, u);
        }
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
