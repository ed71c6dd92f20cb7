#include "lumodbsettings.h"

#include "nativeconnection.h"
#include "sqltext.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const QString getSql = QStringLiteral("SELECT value FROM vars WHERE name='%1' LIMIT 1");
const QString setSql = QStringLiteral(
    "INSERT INTO vars (name, value) VALUES(:name, :value) ON DUPLICATE KEY UPDATE value=VALUES(value);");
const QString deleteSql = QStringLiteral("DELETE FROM vars WHERE name='%1'");
const QString deletePrefixSql = QStringLiteral("DELETE FROM vars WHERE name LIKE '%1%'");
const QString getListSql = QStringLiteral("SELECT name, value FROM vars WHERE name IN(%1)");
const QString getPrefixSql = QStringLiteral("SELECT name, value FROM vars WHERE name LIKE '%1%'");

// A prefix is a LIKE pattern: "_" and "%" stay wildcards, but a backslash is
// LIKE's escape character and must match itself. Doubled here for the
// pattern, then escaped by the driver for the string literal.
QString prefixPattern(const QSqlDatabase &db, const QString &prefix)
{
    QString pattern = prefix;
    pattern.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return SqlText::escaped(db, pattern);
}

// The two-record form: the fixed text, then the error text alone.
void logTwoRecords(const char *what, const QSqlQuery &query)
{
    if (!query.lastError().isValid())
        return;
    qCritical() << what;
    qCritical().noquote() << query.lastError().text();
}

void logSetError(const QSqlQuery &query)
{
    if (query.lastError().isValid())
        qCritical() << "variableSet ERROR:" << query.lastError().text();
}

// Every row's value under its name; what was gathered before a failure stays.
QVariantMap readRows(QSqlQuery &query, const QString &sql)
{
    QVariantMap values;
    if (query.exec(sql)) {
        while (query.next())
            values.insert(query.value(0).toString(), query.value(1));
    }
    logTwoRecords("LumoDbSettings::variableGetMultiple - SQL ERROR:", query);
    return values;
}

} // namespace

LumoDbSettings::LumoDbSettings(const QSqlDatabase &db)
    : db(db)
{ }

void LumoDbSettings::setDatabase(const QSqlDatabase &handle)
{
    db = handle;
}

bool LumoDbSettings::open()
{
    const bool opened = db.open();
    if (db.lastError().isValid())
        qCritical() << "LumoDbSettings Database Error:" << db.lastError().text();
    return opened;
}

// Every statement goes through here: the handle may have been opened by its
// owner, not by open(), and must talk utf8mb4 before names and values with
// 4-byte characters reach it.
QSqlQuery LumoDbSettings::newQuery() const
{
    NativeConnection::ensureUtf8mb4(db);
    return QSqlQuery(db);
}

void LumoDbSettings::close()
{
    db.close();
}

QVariant LumoDbSettings::variableGet(const QString &name, const QVariant &defaultValue) const
{
    QSqlQuery query = newQuery();
    if (query.exec(getSql.arg(SqlText::escaped(db, name))) && query.next())
        return query.value(0);
    logTwoRecords("LumoDbSettings::variableGet - SQL ERROR:", query);
    return defaultValue;
}

bool LumoDbSettings::variableSet(const QString &name, const QVariant &value)
{
    QSqlQuery query = newQuery();
    if (query.prepare(setSql)) {
        query.bindValue(QStringLiteral(":name"), name);
        query.bindValue(QStringLiteral(":value"), value);
        if (query.exec())
            return true;
    }
    logSetError(query);
    return false;
}

bool LumoDbSettings::variableSet(const QVariantMap &values)
{
    QSqlQuery query = newQuery();
    if (!query.prepare(setSql)) {
        logSetError(query);
        return false;
    }
    quint16 stored = 0;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        query.bindValue(QStringLiteral(":name"), it.key());
        query.bindValue(QStringLiteral(":value"), it.value());
        if (query.exec())
            ++stored;
        logSetError(query);
    }
    return stored == values.size();
}

bool LumoDbSettings::variableDel(const QString &name, bool prefix)
{
    const QString sql
        = prefix ? deletePrefixSql.arg(prefixPattern(db, name)) : deleteSql.arg(SqlText::escaped(db, name));
    QSqlQuery query = newQuery();
    const bool deleted = query.exec(sql) && query.numRowsAffected() > 0;
    logTwoRecords("LumoDbSettings::variableDel - SQL ERROR:", query);
    return deleted;
}

QVariantMap LumoDbSettings::variableGetMultiple(const QStringList &names) const
{
    if (names.isEmpty())
        return {};
    QStringList quoted;
    quoted.reserve(names.size());
    for (const QString &name : names)
        quoted << SqlText::quoted(db, name);
    QSqlQuery query = newQuery();
    return readRows(query, getListSql.arg(quoted.join(QLatin1Char(','))));
}

QVariantMap LumoDbSettings::variableGetMultiple(const QString &prefix) const
{
    QSqlQuery query = newQuery();
    return readRows(query, getPrefixSql.arg(prefixPattern(db, prefix)));
}
