#include "sqltext.h"

#include <QSqlDriver>
#include <QSqlField>

#include <mysql.h>

#include <cstring>

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

bool ensureUtf8mb4(const QSqlDatabase &db)
{
    if (!db.isOpen() || !db.driver())
        return false;
    // The QMYSQL driver's handle is the client library's MYSQL pointer.
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "MYSQL*") != 0)
        return false;
    MYSQL *mysql = *static_cast<MYSQL *const *>(handle.constData());
    if (!mysql)
        return false;
    if (std::strcmp(mysql_character_set_name(mysql), "utf8mb4") == 0)
        return true;
    return mysql_set_character_set(mysql, "utf8mb4") == 0;
}

QString utf8UpToZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero >= 0 ? bytes.left(zero) : bytes);
}

} // namespace SqlText
