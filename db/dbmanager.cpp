#include "dbmanager.h"

#include "sqltext.h"

#include <QAtomicInteger>
#include <QDebug>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QVariant>

namespace {

const char *const masterName = "ORV.LUMODB";

const QString selectSchemaSql
    = QStringLiteral("SELECT * FROM `schemas` WHERE status = 1 AND token = %1 LIMIT 1;");
const QString stampSql
    = QStringLiteral("UPDATE `schemas` SET %1 = UNIX_TIMESTAMP() WHERE status = 1 AND token = %2;");
const QString tokenForSchemaSql
    = QStringLiteral("SELECT token FROM `schemas` WHERE status = 1 AND name = %1 LIMIT 1;");
const QString maintenanceSql = QStringLiteral(
    "SELECT token FROM `schemas` WHERE status = 1 AND (maintenance + 900 < UNIX_TIMESTAMP()) "
    "ORDER BY maintenance, sid LIMIT %1;");
const QString recalculateSql
    = QStringLiteral("SELECT token FROM `schemas` WHERE status = 1 ORDER BY recalc, sid LIMIT %1;");

bool ownedByThisThread(const QSqlDatabase &db)
{
    return db.driver() && db.driver()->thread() == QThread::currentThread();
}

// The information database as the current thread may use it: the registered
// handle itself in the thread that created it, otherwise a short-lived clone
// opened, used and removed in this thread (a handle must not cross threads).
class InfoConnection
{
public:
    explicit InfoConnection(const QSqlDatabase &info)
    {
        if (!info.isValid() || ownedByThisThread(info)) {
            db = info;
            return;
        }
        static QAtomicInteger<quint64> counter;
        cloneName = QStringLiteral("DBManager.info.%1").arg(++counter);
        db = QSqlDatabase::cloneDatabase(info, cloneName);
    }
    ~InfoConnection()
    {
        if (cloneName.isEmpty())
            return;
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(cloneName);
    }
    InfoConnection(const InfoConnection &) = delete;
    InfoConnection &operator=(const InfoConnection &) = delete;

    QSqlDatabase db;
    QString cloneName;
};

} // namespace

DBManager::DBManager() = default;

DBManager::DBManager(const QSqlDatabase &infoDb, const QSqlDatabase &mainDb)
    : infoDb(infoDb)
    , mainDb(mainDb)
{ }

DBManager::~DBManager() = default;

void DBManager::setInfoDatabase(const QSqlDatabase &db)
{
    QMutexLocker lock(&mutex);
    infoDb = db;
    infoConnectionName = db.connectionName();
}

void DBManager::setMainDatabase(const QSqlDatabase &db)
{
    QMutexLocker lock(&mutex);
    mainDb = db;
    mainConnectionName = db.connectionName();
}

void DBManager::setCloseInfoDatabase(bool close)
{
    QMutexLocker lock(&mutex);
    closeInfoDb = close;
}

// The lookups below take the lock although they only read: the cache and the
// lists change under the lock from other threads, and a lock-free read of a
// QMap being written is a data race.
SchemaInfo DBManager::schema(const QString &token) const
{
    QMutexLocker lock(&mutex);
    return schemaCache.value(token);
}

QString DBManager::connectionName(const QString &token)
{
    return QStringLiteral("dbc_%1").arg(token);
}

bool DBManager::isTokenConnection(const QString &token) const
{
    QMutexLocker lock(&mutex);
    return tokenConnections.contains(connectionName(token));
}

bool DBManager::hasConnection(const QString &token) const
{
    return QSqlDatabase::contains(connectionName(token));
}

QStringList DBManager::tokenConnectionNames() const
{
    QMutexLocker lock(&mutex);
    return tokenConnections;
}

QStringList DBManager::unusedConnectionNames() const
{
    QMutexLocker lock(&mutex);
    return unusedConnections;
}

QSqlDatabase DBManager::defaultConnection() const
{
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    if (!QSqlDatabase::contains(name))
        return QSqlDatabase();
    // Only the creating thread gets the registered handle; others get an
    // invalid one, exactly as when there is no default connection.
    return QSqlDatabase::database(name, false);
}

QSqlDatabase DBManager::database(const QString &token)
{
    QMutexLocker lock(&mutex);
    if (token.isEmpty())
        return mainDb;

    const QString name = connectionName(token);
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = templates.value(name);
        // Reopen only in the owning thread; a worker elsewhere clones the
        // template's parameters and opens its own connection anyway.
        if (db.isValid() && !db.isOpen() && ownedByThisThread(db))
            db.open();
        return db;
    }

    const SchemaInfo s = loadSchema(token);
    if (!s.isComplete()) {
        QSqlDatabase fallback = defaultConnection();
        if (fallback.isValid() && !fallback.isOpen() && ownedByThisThread(fallback))
            fallback.open();
        return fallback;
    }

    if (!tokenConnections.contains(name))
        tokenConnections.append(name);

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(infoDb.hostName());
    db.setPort(infoDb.port());
    db.setDatabaseName(s.name);
    db.setUserName(s.user);
    db.setPassword(s.pass);
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1"));
    templates.insert(name, db);
    if (db.open())
        return db;

    qWarning() << "DBManager:: database" << s.name << "(token:" << token << ") NOT OPEN!";
    if (db.lastError().isValid())
        qWarning() << "SQL ERROR:" << db.lastError().text();
    QSqlDatabase fallback = defaultConnection();
    if (fallback.isValid() && !fallback.isOpen() && ownedByThisThread(fallback))
        fallback.open();
    return fallback;
}

bool DBManager::openInfoDatabase()
{
    QMutexLocker lock(&mutex);
    if (!infoDb.isValid())
        return false;
    if (infoDb.isOpen())
        return true;
    return infoDb.open();
}

bool DBManager::openDatabase(QSqlDatabase &db)
{
    if (db.isOpen() || db.open())
        return true;
    qWarning() << "DBManager:: database" << db.databaseName() << "NOT open!";
    return false;
}

void DBManager::closeInfoIfAsked()
{
    if (closeInfoDb && ownedByThisThread(infoDb))
        infoDb.close();
}

SchemaInfo DBManager::loadSchema(const QString &token)
{
    SchemaInfo s;
    InfoConnection info(infoDb);
    if (!openDatabase(info.db))
        return s;
    QSqlQuery query(info.db);
    if (!query.exec(selectSchemaSql.arg(SqlText::quoted(info.db, token)))) {
        qCritical() << "DBManager:: NOT load scheme from infoDB!\nERROR:" << query.lastError().text();
    } else if (query.next()) {
        const QSqlRecord row = query.record();
        s.name = row.value(QStringLiteral("name")).toString();
        s.user = row.value(QStringLiteral("user")).toString();
        s.pass
            = SqlText::utf8UpToZero(QByteArray::fromBase64(row.value(QStringLiteral("pass")).toByteArray()));
        s.token = row.value(QStringLiteral("token")).toString();
    }
    query.finish();
    closeInfoIfAsked();
    if (s.isComplete())
        schemaCache.insert(token, s);
    return s;
}

bool DBManager::stamp(const QString &column, const QString &token, const char *what)
{
    QMutexLocker lock(&mutex);
    InfoConnection info(infoDb);
    if (!openDatabase(info.db))
        return false;
    bool result = false;
    QSqlQuery query(info.db);
    if (!query.exec(stampSql.arg(column, SqlText::quoted(info.db, token)))) {
        qCritical() << what << token << "!\nERROR:" << query.lastError().text();
    } else {
        result = query.numRowsAffected() > 0;
    }
    query.finish();
    closeInfoIfAsked();
    return result;
}

bool DBManager::setMaintenance(const QString &token)
{
    return stamp(QStringLiteral("maintenance"), token, "DBManager:: cannot set maintenance of ");
}

bool DBManager::setRecalc(const QString &token)
{
    return stamp(QStringLiteral("recalc"), token, "DBManager:: cannot set recalc of ");
}

QString DBManager::tokenForSchema(const QString &schemaName)
{
    QMutexLocker lock(&mutex);
    QString result;
    InfoConnection info(infoDb);
    if (!openDatabase(info.db))
        return result;
    QSqlQuery query(info.db);
    if (!query.exec(tokenForSchemaSql.arg(SqlText::quoted(info.db, schemaName))))
        qCritical() << "DBManager:: NOT load scheme from infoDB!\nERROR:" << query.lastError().text();
    else if (query.next())
        result = query.value(0).toString();
    query.finish();
    closeInfoIfAsked();
    return result;
}

QStringList DBManager::loadTokens(const QString &sql, const char *failure)
{
    QStringList tokens;
    InfoConnection info(infoDb);
    if (!openDatabase(info.db))
        return tokens;
    QSqlQuery query(info.db);
    if (!query.exec(sql)) {
        qCritical() << failure << query.lastError().text();
    } else {
        while (query.next())
            tokens.append(query.value(0).toString());
    }
    query.finish();
    closeInfoIfAsked();
    return tokens;
}

QStringList DBManager::loadTokens4Maintenance(quint16 count)
{
    QMutexLocker lock(&mutex);
    if (debugLevel)
        qDebug() << "DBManager::loadTokens4Maintenance(" << count << ")";
    return loadTokens(
        maintenanceSql.arg(count), "DBManager:: NOT load schemas for maintenance from infoDB!\nERROR:");
}

QStringList DBManager::loadTokens4Recalculate(quint16 count)
{
    QMutexLocker lock(&mutex);
    if (debugLevel)
        qDebug() << "DBManager::loadTokens4Recalculate(" << count << ")";
    return loadTokens(
        recalculateSql.arg(count), "DBManager:: NOT load schemas for recalculate from infoDB!\nERROR:");
}

bool DBManager::isProtected(const QString &name) const
{
    return name == mainConnectionName || name == infoConnectionName || name == QLatin1String(masterName)
        || name == QLatin1String(QSqlDatabase::defaultConnection);
}

void DBManager::addUnusedConnection(const QString &connectionName)
{
    QMutexLocker lock(&mutex);
    if (debugLevel)
        qDebug() << "DBManager::addUnusedConnection(" << connectionName << ")";
    if (connectionName.isEmpty())
        return;
    if (isProtected(connectionName)) {
        qWarning() << "DBManager::addUnusedConnection() Master connection" << connectionName
                   << "cannot add to unused connections!";
        return;
    }
    unusedConnections.append(connectionName);
}

void DBManager::removeUnusedConnections()
{
    QMutexLocker lock(&mutex);
    if (debugLevel > 1)
        qDebug() << "DBManager::removeUnusedConnections() - master connections:" << mainConnectionName
                 << infoConnectionName << QLatin1String(QSqlDatabase::defaultConnection);
    while (!unusedConnections.isEmpty()) {
        const QString name = unusedConnections.takeFirst();
        if (isProtected(name)) {
            qWarning() << "DBManager::removeUnusedConnections() - cannot remove master connection" << name;
            continue;
        }
        if (debugLevel)
            qDebug() << "DBManager::removeUnusedConnections() - removing:" << name;
        templates.remove(name);
        QSqlDatabase::removeDatabase(name);
        tokenConnections.removeAll(name);
    }
}
