#pragma once

#include "schemainfo.h"

#include <QMap>
#include <QMutex>
#include <QSqlDatabase>
#include <QStringList>

// Process-wide registry of tenant connections, keyed by the tenant token.
//
// The host creates exactly one, configures it before any worker uses it and
// keeps it alive longer than every worker. All threads share it; its one
// non-recursive mutex guards every operation that touches the information
// database or the bookkeeping, and no locked operation calls another.
//
// A connection handle belongs to the thread that created it. The registry
// therefore hands out tenant template handles that workers only clone (under a
// name of their own, in their own thread); a template is never used for
// statements, and it is closed again once it has shown that the tenant's
// credentials work, so an idle tenant holds no server connection.
//
// The host allocates this object from its own declaration of it: the fields
// below, their order and their types are shared with every host and must stay
// exactly as they are. Whatever else the registry keeps (the templates'
// parameters for other threads, our host's connection timeouts) lives in a
// side table keyed by the registry's address, guarded by the registry's mutex.
class DBManager
{
public:
    DBManager();
    DBManager(const QSqlDatabase &infoDb, const QSqlDatabase &mainDb);
    ~DBManager();

    DBManager(const DBManager &) = delete;
    DBManager &operator=(const DBManager &) = delete;

    QSqlDatabase infoDatabase() const { return infoDb; }
    QSqlDatabase mainDatabase() const { return mainDb; }
    void setInfoDatabase(const QSqlDatabase &db);
    void setMainDatabase(const QSqlDatabase &db);
    void setCloseInfoDatabase(bool close);

    SchemaInfo schema(const QString &token) const;
    static QString connectionName(const QString &token);
    bool isTokenConnection(const QString &token) const;
    bool hasConnection(const QString &token) const;

    QSqlDatabase database(const QString &token);
    bool openInfoDatabase();
    bool setMaintenance(const QString &token);
    bool setRecalc(const QString &token);
    QString tokenForSchema(const QString &schemaName);
    QStringList loadTokens4Maintenance(quint16 count);
    QStringList loadTokens4Recalculate(quint16 count);

    void addUnusedConnection(const QString &connectionName);
    void removeUnusedConnections();

    // Connect, read and write timeouts in seconds for every tenant template
    // made from now on (its clones inherit them); 0 keeps the driver's default.
    // Our host's own setting, outside the shared field layout.
    void setConnectionTimeouts(int connectSeconds, int readSeconds, int writeSeconds);
    // Our host's reload: forgets the cached tenant rows, so that each token's
    // row is read again on its next request (a disabled tenant is refused, a
    // rotated token takes effect, a changed password is used), and closes the
    // information database to be reopened by its next use. Templates stay
    // registered, since a request in flight may be cloning one.
    void reloadTenants();

    // Read access for the host's diagnostics and the tests.
    QStringList tokenConnectionNames() const;
    QStringList unusedConnectionNames() const;
    QString masterConnectionName() const { return QStringLiteral("ORV.LUMODB"); }

    // The shared field layout starts here; the access sections do not change it.
    quint8 debugLevel = 0;

private:
    SchemaInfo loadSchema(const QString &token);
    bool openDatabase(QSqlDatabase &db);
    bool isProtected(const QString &name) const;
    QSqlDatabase defaultConnection() const;
    bool stamp(const QString &column, const QString &token, const char *what);
    QSqlDatabase addTemplate(const QString &name, const SchemaInfo &schema);
    QSqlDatabase templateHandle(const QString &name) const;
    QSqlDatabase refreshTemplate(const QString &name, const SchemaInfo &schema);
    QStringList loadTokens(const QString &sql, const char *failure);
    template<typename Sql, typename Rows, typename Prefix>
    bool runInfoStatement(Sql sql, Rows rows, Prefix failurePrefix);
    void closeInfoIfAsked();

    QMap<QString, SchemaInfo> schemaCache;
    QSqlDatabase infoDb;
    QSqlDatabase mainDb;
    QStringList tokenConnections;
    QStringList unusedConnections;
    bool closeInfoDb = false;
    QString mainConnectionName;
    QString infoConnectionName;
    mutable QMutex mutex;
};
