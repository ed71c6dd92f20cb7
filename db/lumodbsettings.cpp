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

// How the store's records of a failure are shaped: the prefix with the error
// text in quotes, or the prefix alone followed by the bare error text.
enum class Records { One, Two };

// The one report of a failure of the store, at critical level. Nothing when
// the error is not valid: a read that merely found no row leaves none.
void reportError(const QSqlError &error, const char *prefix, Records records)
{
    if (!error.isValid())
        return;
    if (records == Records::One) {
        qCritical() << prefix << error.text();
        return;
    }
    qCritical() << prefix;
    qCritical().noquote() << error.text();
}

const char *const setFailure = "variableSet ERROR:";

// Every row's value under its name; what was gathered before a failure stays.
QVariantMap readRows(QSqlQuery &query, const QString &sql)
{
    QVariantMap values;
    if (query.exec(sql)) {
        while (query.next())
            values.insert(query.value(0).toString(), query.value(1));
    }
    reportError(query.lastError(), "LumoDbSettings::variableGetMultiple - SQL ERROR:", Records::Two);
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
    reportError(db.lastError(), "LumoDbSettings Database Error:", Records::One);
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
    reportError(query.lastError(), "LumoDbSettings::variableGet - SQL ERROR:", Records::Two);
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
    reportError(query.lastError(), setFailure, Records::One);
    return false;
}

bool LumoDbSettings::variableSet(const QVariantMap &values)
{
    QSqlQuery query = newQuery();
    if (!query.prepare(setSql)) {
        reportError(query.lastError(), setFailure, Records::One);
        return false;
    }
    quint16 stored = 0;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        query.bindValue(QStringLiteral(":name"), it.key());
        query.bindValue(QStringLiteral(":value"), it.value());
        if (query.exec())
            ++stored;
        reportError(query.lastError(), setFailure, Records::One);
    }
    return stored == values.size();
}

bool LumoDbSettings::variableDel(const QString &name, bool prefix)
{
    const QString sql
        = prefix ? deletePrefixSql.arg(prefixPattern(db, name)) : deleteSql.arg(SqlText::escaped(db, name));
    QSqlQuery query = newQuery();
    const bool deleted = query.exec(sql) && query.numRowsAffected() > 0;
    reportError(query.lastError(), "LumoDbSettings::variableDel - SQL ERROR:", Records::Two);
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
