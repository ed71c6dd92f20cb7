#include "sqltext.h"

#include <QSqlDriver>
#include <QSqlField>

namespace SqlText {

QString escaped(const QSqlDatabase &db, const QString &value)
{
    if (!db.isOpen() || !db.driver())
        return QString();
    if (value.isEmpty())
        return QStringLiteral("");
    // The MySQL driver escapes byte arrays with mysql_real_escape_string(),
    // which knows the connection's character set and escapes both quote kinds,
    // backslash and NUL. Text values get only quote doubling, hence the bytes.
    QSqlField field(QStringLiteral("v"), QVariant::ByteArray);
    field.setValue(value.toUtf8());
    const QString formatted = db.driver()->formatValue(field);
    if (formatted.size() >= 2 && formatted.startsWith(QLatin1Char('\''))
        && formatted.endsWith(QLatin1Char('\'')))
        return formatted.mid(1, formatted.size() - 2);
    return QString();
}

QString quoted(const QSqlDatabase &db, const QString &value)
{
    const QString text = escaped(db, value);
    if (text.isNull())
        return QStringLiteral("NULL");
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

QString utf8UpToZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero >= 0 ? bytes.left(zero) : bytes);
}

} // namespace SqlText
