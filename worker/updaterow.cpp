#include "updaterow.h"

#include "sqltext.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSqlQuery>
#include <cmath>
#include <limits>

namespace {

// Whole doubles inside this range convert to qint64 exactly.
constexpr double wholeTextLimit = 9.2e18;

} // namespace

namespace BodyValue {

QString text(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::LongLong:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return QString::number(value.toULongLong());
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (std::isfinite(d) && std::floor(d) == d && std::fabs(d) < wholeTextLimit)
            return QString::number(qint64(d));
        return QString::number(d, 'g', QLocale::FloatingPointShortest);
    }
    default:
        // null, arrays and objects carry no text
        return QString();
    }
}

quint32 number(const QVariant &value)
{
    constexpr quint64 max = std::numeric_limits<quint32>::max();
    switch (value.userType()) {
    case QMetaType::QString: {
        const QString digits = value.toString();
        if (digits.isEmpty() || digits.size() > 10)
            return 0;
        for (const QChar c : digits) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return 0;
        }
        const quint64 n = digits.toULongLong();
        return n <= max ? quint32(n) : 0;
    }
    case QMetaType::Int:
    case QMetaType::LongLong: {
        const qint64 n = value.toLongLong();
        return n >= 0 && quint64(n) <= max ? quint32(n) : 0;
    }
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const quint64 n = value.toULongLong();
        return n <= max ? quint32(n) : 0;
    }
    case QMetaType::Double: {
        const double d = value.toDouble();
        return std::isfinite(d) && d >= 0 && d <= double(max) && std::floor(d) == d ? quint32(d) : 0;
    }
    default:
        return 0;
    }
}

} // namespace BodyValue

void UpdateRow::addFields(
    const QVariantMap &data, const QStringList &accepted, const QStringList &skipWhenEmpty)
{
    for (const QString &key : accepted) {
        const auto it = data.constFind(key);
        if (it == data.cend())
            continue;
        const QString text = BodyValue::text(it.value()).trimmed();
        if (text.isEmpty() && skipWhenEmpty.contains(key))
            continue;
        row.insert(key, text);
    }
}

QString UpdateRow::setList(const QSqlDatabase &db) const
{
    QStringList items;
    items.reserve(row.size());
    for (auto it = row.cbegin(); it != row.cend(); ++it) {
        const QString escaped = SqlText::escaped(db, it.value().toString());
        if (escaped.isNull())
            return QString();
        items << QStringLiteral("%1=\"%2\"").arg(it.key(), escaped);
    }
    return items.join(QStringLiteral(", "));
}

QString UpdateRow::valuesList() const
{
    QStringList items;
    items.reserve(row.size());
    for (auto it = row.cbegin(); it != row.cend(); ++it)
        items << QStringLiteral("%1=VALUES(%1)").arg(it.key());
    return items.join(QStringLiteral(", "));
}

QStringList UpdateRow::placeholders() const
{
    QStringList items;
    items.reserve(row.size());
    for (auto it = row.cbegin(); it != row.cend(); ++it)
        items << QLatin1Char(':') + it.key();
    return items;
}

void UpdateRow::bindValues(QSqlQuery &query) const
{
    // A null value (a JSON null, array or object reads as a null text) would
    // bind as SQL NULL; setList() writes it as the empty text, and both forms
    // of a statement must store the same row.
    for (auto it = row.cbegin(); it != row.cend(); ++it)
        query.bindValue(
            QLatin1Char(':') + it.key(), it.value().isNull() ? QVariant(QStringLiteral("")) : it.value());
}

QByteArray UpdateRow::toJson() const
{
    return QJsonDocument(QJsonObject::fromVariantMap(row)).toJson(QJsonDocument::Compact);
}
