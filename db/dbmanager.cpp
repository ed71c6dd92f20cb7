#include "dbmanager.h"

#include "sqltext.h"

#include <QAtomicInteger>
#include <QDebug>
#include <QHash>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QVariant>

#include <cstddef>
#include <unordered_map>

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

const QString templateOptions = QStringLiteral("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1");

// A tenant template as the registry made it: enough to hand any thread a
// handle it can clone, without keeping a reference to the registered
// connection (a host may remove it at any time; a reference held here would
// turn that into a "still in use" warning and a dead handle).
struct TemplateParameters
{
    // The thread whose registered handle is current; none once the
    // parameters were refreshed after a reload.
    QThread *creator = nullptr;
    // The tenant's row must be read again before the template is used.
    bool stale = false;
    QString hostName;
    int port = -1;
    QString databaseName;
    QString userName;
    QString password;
    QString options;
};

// A new tenant's template: on the information database's server, created by
// the calling thread.
TemplateParameters templateParameters(
    const QSqlDatabase &info, const SchemaInfo &s, const QString &timeoutOptions)
{
    TemplateParameters t;
    t.creator = QThread::currentThread();
    t.hostName = info.hostName();
    t.port = info.port();
    t.databaseName = s.name;
    t.userName = s.user;
    t.password = s.pass;
    t.options = templateOptions + timeoutOptions;
    return t;
}

// A template's connection parameters, on a handle not yet opened.
void applyParameters(QSqlDatabase &db, const TemplateParameters &t)
{
    db.setHostName(t.hostName);
    db.setPort(t.port);
    db.setDatabaseName(t.databaseName);
    db.setUserName(t.userName);
    db.setPassword(t.password);
    db.setConnectOptions(t.options);
}

// Gives access to the SQL layer's constructor of a handle that is not
// registered under any name.
class UnregisteredHandle : public QSqlDatabase
{
public:
    explicit UnregisteredHandle(const TemplateParameters &t)
        : QSqlDatabase(QStringLiteral("QMYSQL"))
    {
        applyParameters(*this, t);
    }
};

// What one registry keeps beyond the shared field layout. An entry is read and
// written only under its registry's mutex; the table itself has a lock of its
// own, held just to find or drop an entry (node-based, so an entry's address
// stays put while other registries come and go).
struct RegistryExtras
{
    QHash<QString, TemplateParameters> templates;
    // Appended to the connect options of every new template.
    QString timeoutOptions;
};

QMutex extrasLock;

std::unordered_map<const DBManager *, RegistryExtras> &extrasTable()
{
    // Never destroyed: a host may destroy its registry after static destructors ran.
    static auto *table = new std::unordered_map<const DBManager *, RegistryExtras>;
    return *table;
}

RegistryExtras &extrasOf(const DBManager *registry)
{
    QMutexLocker lock(&extrasLock);
    return extrasTable()[registry];
}

// The tenant of the row the query stands before, if there is one and it is
// the token asked for: the column compares without regard to case, but only
// the token as stored names the tenant, so that no other spelling gets a
// template (and a connection) of its own.
SchemaInfo schemaFromRow(QSqlQuery &query, const QString &token)
{
    SchemaInfo s;
    if (!query.next())
        return s;
    const QSqlRecord row = query.record();
    s.name = row.value(QStringLiteral("name")).toString();
    s.user = row.value(QStringLiteral("user")).toString();
    s.pass = SqlText::utf8UpToZero(QByteArray::fromBase64(row.value(QStringLiteral("pass")).toByteArray()));
    s.token = row.value(QStringLiteral("token")).toString();
    return s.token == token ? s : SchemaInfo();
}

} // namespace

DBManager::DBManager()
{
    // Offsets in pointer-sized steps, as the host's declaration lays them out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    constexpr std::size_t p = sizeof(void *);
    static_assert(offsetof(DBManager, debugLevel) == 0 && offsetof(DBManager, schemaCache) == p
            && offsetof(DBManager, infoDb) == 2 * p && offsetof(DBManager, mainDb) == 3 * p
            && offsetof(DBManager, tokenConnections) == 4 * p
            && offsetof(DBManager, unusedConnections) == 5 * p && offsetof(DBManager, closeInfoDb) == 6 * p
            && offsetof(DBManager, mainConnectionName) == 7 * p
            && offsetof(DBManager, infoConnectionName) == 8 * p && offsetof(DBManager, mutex) == 9 * p
            && sizeof(DBManager) == 10 * p,
        "DBManager's fields are shared with the host: order, types and size are fixed");
    static_assert(sizeof(SchemaInfo) == 4 * p, "the cached tenant rows are read by the host too");
#pragma GCC diagnostic pop
}

DBManager::DBManager(const QSqlDatabase &infoDb, const QSqlDatabase &mainDb)
    : infoDb(infoDb)
    , mainDb(mainDb)
{ }

DBManager::~DBManager()
{
    QMutexLocker lock(&extrasLock);
    extrasTable().erase(this);
}

void DBManager::setConnectionTimeouts(int connectSeconds, int readSeconds, int writeSeconds)
{
    QString options;
    const auto add = [&options](const char *name, int seconds) {
        if (seconds > 0)
            options += QStringLiteral(";%1=%2").arg(QLatin1String(name)).arg(seconds);
    };
    add("MYSQL_OPT_CONNECT_TIMEOUT", connectSeconds);
    add("MYSQL_OPT_READ_TIMEOUT", readSeconds);
    add("MYSQL_OPT_WRITE_TIMEOUT", writeSeconds);
    QMutexLocker lock(&mutex);
    extrasOf(this).timeoutOptions = options;
}

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
    // Only the creating thread gets the registered handle (opened if need
    // be); others get an invalid one, exactly as when there is none.
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (db.isValid() && !db.isOpen() && ownedByThisThread(db))
        db.open();
    return db;
}

QSqlDatabase DBManager::database(const QString &token)
{
    QMutexLocker lock(&mutex);
    if (token.isEmpty())
        return mainDb;

    const QString name = connectionName(token);
    const bool registered = QSqlDatabase::contains(name);
    if (registered && !extrasOf(this).templates.value(name).stale)
        return templateHandle(name);

    const SchemaInfo s = loadSchema(token);
    if (!s.isComplete())
        return defaultConnection();

    if (!tokenConnections.contains(name))
        tokenConnections.append(name);
    if (registered)
        return refreshTemplate(name, s);
    return addTemplate(name, s);
}

// After a reload the registered template stays (a request in flight may be
// cloning it); its parameters are taken from the row as it is now, and every
// thread gets them as an unregistered handle.
QSqlDatabase DBManager::refreshTemplate(const QString &name, const SchemaInfo &s)
{
    TemplateParameters &t = extrasOf(this).templates[name];
    t = templateParameters(infoDb, s, extrasOf(this).timeoutOptions);
    t.creator = nullptr;
    return UnregisteredHandle(t);
}

void DBManager::reloadTenants()
{
    QMutexLocker lock(&mutex);
    schemaCache.clear();
    for (TemplateParameters &t : extrasOf(this).templates)
        t.stale = true;
    // Reopened by its next use; a server restart or a changed password of the
    // host's own account then takes effect too.
    if (ownedByThisThread(infoDb))
        infoDb.close();
}

// The SQL layer hands a registered connection only to the thread that created
// it; any other thread gets an unregistered handle with the same parameters,
// which it clones just the same. A template stays closed either way: workers
// open their clones.
QSqlDatabase DBManager::templateHandle(const QString &name) const
{
    const QHash<QString, TemplateParameters> &templates = extrasOf(this).templates;
    const auto it = templates.constFind(name);
    if (it == templates.cend())
        return QSqlDatabase();
    if (it->creator == QThread::currentThread())
        return QSqlDatabase::database(name, false);
    return UnregisteredHandle(*it);
}

// Registers the tenant's template and opens it once to check the credentials;
// it is closed again right after, so that an idle tenant holds no connection.
QSqlDatabase DBManager::addTemplate(const QString &name, const SchemaInfo &s)
{
    const TemplateParameters t = templateParameters(infoDb, s, extrasOf(this).timeoutOptions);
    extrasOf(this).templates.insert(name, t);

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    applyParameters(db, t);
    if (db.open()) {
        db.close();
        return db;
    }

    qWarning() << "DBManager:: database" << s.name << "(token:" << s.token << ") NOT OPEN!";
    if (db.lastError().isValid())
        qWarning() << "SQL ERROR:" << db.lastError().text();
    return defaultConnection();
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

// Every statement on the information database runs here: on the handle this
// thread may use (opened if need be), with values escaped by that handle's
// driver, and the handle closed after when the host asked so. rows sees the
// executed query. A failure is the critical record that failurePrefix begins,
// followed by the error text. False when the database did not open or the
// statement failed.
template<typename Sql, typename Rows, typename Prefix>
bool DBManager::runInfoStatement(Sql sql, Rows rows, Prefix failurePrefix)
{
    InfoConnection info(infoDb);
    if (!openDatabase(info.db))
        return false;
    QSqlQuery query(info.db);
    const bool ran = query.exec(sql(info.db));
    if (ran)
        rows(query);
    else
        failurePrefix(qCritical()) << query.lastError().text();
    query.finish();
    closeInfoIfAsked();
    return ran;
}

namespace {

QDebug schemaFailure(QDebug record)
{
    return record << "DBManager:: NOT load scheme from infoDB!\nERROR:";
}

} // namespace

SchemaInfo DBManager::loadSchema(const QString &token)
{
    SchemaInfo s;
    const auto sql
        = [&token](const QSqlDatabase &db) { return selectSchemaSql.arg(SqlText::quoted(db, token)); };
    runInfoStatement(
        sql, [&](QSqlQuery &query) { s = schemaFromRow(query, token); }, schemaFailure);
    if (s.isComplete())
        schemaCache.insert(token, s);
    return s;
}

bool DBManager::stamp(const QString &column, const QString &token, const char *what)
{
    QMutexLocker lock(&mutex);
    bool result = false;
    const auto sql = [&](const QSqlDatabase &db) { return stampSql.arg(column, SqlText::quoted(db, token)); };
    runInfoStatement(
        sql, [&result](QSqlQuery &query) { result = query.numRowsAffected() > 0; },
        [&](QDebug record) { return record << what << token << "!\nERROR:"; });
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
    const auto sql = [&schemaName](const QSqlDatabase &db) {
        return tokenForSchemaSql.arg(SqlText::quoted(db, schemaName));
    };
    runInfoStatement(
        sql,
        [&result](QSqlQuery &query) {
            if (query.next())
                result = query.value(0).toString();
        },
        schemaFailure);
    return result;
}

QStringList DBManager::loadTokens(const QString &sql, const char *failure)
{
    QStringList tokens;
    runInfoStatement([&sql](const QSqlDatabase &) { return sql; },
        [&tokens](QSqlQuery &query) {
            while (query.next())
                tokens.append(query.value(0).toString());
        },
        [failure](QDebug record) { return record << failure; });
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
        extrasOf(this).templates.remove(name);
        QSqlDatabase::removeDatabase(name);
        tokenConnections.removeAll(name);
    }
}
