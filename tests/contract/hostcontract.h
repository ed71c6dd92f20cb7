#pragma once

// The plug-in contract as an application server compiles it: written from the
// contract alone, never from the plug-in's headers, so that a layout or slot
// that the plug-in gets wrong cannot hide behind a copy of the same mistake.
// Only the contract test includes this file; it must not link the plug-in's
// own registry or worker code.

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QStringList>
#include <QUrl>
#include <QtPlugin>

#include <cstddef>

class DBManager;

class HttpPluginWorker : public QObject
{
public:
    virtual QByteArray buildResponse(
        const QString &method, const QUrl &url, const QStringList &headers, const QByteArray &body)
        = 0;
    virtual void setDatabase(const QSqlDatabase &database);
    virtual void setDbManager(DBManager *manager);
    virtual int workerKind() const = 0;
    virtual void setDebugLevel(quint8 level);

    void setReleaseConnection(bool release) { releaseConnection = release; }

    // Never constructed by the host: the plug-in makes its workers.
    HttpPluginWorker() = delete;

    quint8 debugLevel;
    DBManager *dbManager;
    QSqlDatabase db;
    bool dbOpened;
    bool dbCloned;
    bool releaseConnection;
};

class HttpPluginInterface
{
public:
    virtual ~HttpPluginInterface() = default;
    virtual QStringList paths() const = 0;
    virtual QString getVersion() const = 0;
    virtual HttpPluginWorker *getNewWorker(QObject *parent) = 0;
    virtual HttpPluginWorker *getWorker() = 0;
};
Q_DECLARE_INTERFACE(HttpPluginInterface, "com.norvane.orv.HttpPluginInterface")

struct SchemaInfo
{
    QString name;
    QString user;
    QString pass;
    QString token;
};

// The host's registry: these fields, in this order, and nothing more. The host
// implements the operations it calls itself; the plug-in brings its own code
// for the ones it calls (database, addUnusedConnection).
class DBManager
{
public:
    void setInfoDatabase(const QSqlDatabase &db);
    void setMainDatabase(const QSqlDatabase &db);
    void removeUnusedConnections();

    quint8 debugLevel = 0;
    QMap<QString, SchemaInfo> schemaCache;
    QSqlDatabase infoDb;
    QSqlDatabase mainDb;
    QStringList tokenConnections;
    QStringList unusedConnections;
    bool closeInfoDb = false;
    QString mainConnectionName;
    QString infoConnectionName;
    QMutex mutex;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
namespace HostLayout {
constexpr std::size_t p = sizeof(void *);
static_assert(offsetof(DBManager, schemaCache) == p && offsetof(DBManager, infoDb) == 2 * p
        && offsetof(DBManager, mainDb) == 3 * p && offsetof(DBManager, tokenConnections) == 4 * p
        && offsetof(DBManager, unusedConnections) == 5 * p && offsetof(DBManager, closeInfoDb) == 6 * p
        && offsetof(DBManager, mainConnectionName) == 7 * p
        && offsetof(DBManager, infoConnectionName) == 8 * p && offsetof(DBManager, mutex) == 9 * p
        && sizeof(DBManager) == 10 * p,
    "registry layout");
static_assert(offsetof(HttpPluginWorker, debugLevel) == 2 * p
        && offsetof(HttpPluginWorker, dbManager) == 3 * p && offsetof(HttpPluginWorker, db) == 4 * p
        && offsetof(HttpPluginWorker, dbOpened) == 5 * p && offsetof(HttpPluginWorker, dbCloned) == 5 * p + 1
        && offsetof(HttpPluginWorker, releaseConnection) == 5 * p + 2 && sizeof(HttpPluginWorker) == 6 * p,
    "worker base layout");
static_assert(sizeof(SchemaInfo) == 4 * p, "tenant row layout");
} // namespace HostLayout
#pragma GCC diagnostic pop
