#include "adminconnection.h"

#include "sqlscript.h"
#include "sqltext.h"

#include <QAtomicInteger>
#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

QString nextConnectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("kelvo-admin.%1").arg(++counter);
}

const QRegularExpression identifierPattern(QStringLiteral("^[A-Za-z][A-Za-z0-9_]{0,63}$"));

} // namespace

AdminConnection::AdminConnection(const HostConfig::DatabaseUrl &server)
    : connectionName(nextConnectionName())
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connectionName);
    db.setHostName(server.host);
    db.setPort(server.port);
    db.setUserName(server.user);
    db.setPassword(server.password);
}

AdminConnection::~AdminConnection()
{
    QSqlDatabase::database(connectionName, false).close();
    QSqlDatabase::removeDatabase(connectionName);
}

bool AdminConnection::open()
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!db.open())
        return fail(db.lastError().text(), QString());
    // Names and texts of 4 bytes per character reach the server unchanged.
    return exec(QStringLiteral("SET NAMES utf8mb4"));
}

bool AdminConnection::fail(const QString &message, const QString &sql)
{
    lastError = sql.isEmpty() ? message.trimmed()
                              : QStringLiteral("%1 [%2]").arg(message.trimmed(), sql.simplified().left(200));
    return false;
}

bool AdminConnection::exec(const QString &sql, const QVariantList &values, Rows *rows)
{
    QSqlQuery query(QSqlDatabase::database(connectionName, false));
    bool ok = false;
    if (values.isEmpty()) {
        ok = query.exec(sql);
    } else if (query.prepare(sql)) {
        for (const QVariant &v : values)
            query.addBindValue(v);
        ok = query.exec();
    }
    if (!ok)
        return fail(query.lastError().text(), sql);
    while (rows && query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        *rows << row;
    }
    return true;
}

QVariant AdminConnection::value(const QString &sql, const QVariantList &values)
{
    Rows rows;
    if (!exec(sql, values, &rows) || rows.isEmpty())
        return QVariant();
    return rows.constFirst().value(0);
}

bool AdminConnection::execFile(const QString &database, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), QString());
    if (!isIdentifier(database) || !exec(QStringLiteral("USE %1").arg(quotedName(database))))
        return fail(QStringLiteral("cannot use database '%1': %2").arg(database, lastError), QString());
    for (const QString &statement : SqlScript::statements(QString::fromUtf8(file.readAll())))
        if (!exec(statement))
            return fail(QStringLiteral("%1: %2").arg(path, lastError), QString());
    return true;
}

QString AdminConnection::literal(const QString &value) const
{
    return SqlText::quoted(QSqlDatabase::database(connectionName, false), value);
}

QString AdminConnection::account(const QString &user, const QString &host) const
{
    return literal(user) + QLatin1Char('@') + literal(host);
}

bool AdminConnection::isIdentifier(const QString &name)
{
    return identifierPattern.match(name).hasMatch();
}

QString AdminConnection::quotedName(const QString &name)
{
    return QLatin1Char('`') + name + QLatin1Char('`');
}

QString AdminConnection::grantPattern(const QString &name)
{
    QString pattern = name;
    return pattern.replace(QLatin1Char('_'), QLatin1String("\\_"));
}
