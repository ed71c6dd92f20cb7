#pragma once

#include "schemainfo.h"

#include <QHash>
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
// statements.
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

    // Read access for the host's diagnostics and the tests.
    QStringList tokenConnectionNames() const;
    QStringList unusedConnectionNames() const;
    QString masterConnectionName() const { return QStringLiteral("ORV.LUMODB"); }

    quint8 debugLevel = 0;

private:
    SchemaInfo loadSchema(const QString &token);
    bool openDatabase(QSqlDatabase &db);
    bool isProtected(const QString &name) const;
    QSqlDatabase defaultConnection() const;
    bool stamp(const QString &column, const QString &token, const char *what);
    QStringList loadTokens(const QString &sql, const char *failure);
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
    // Handles of the tenant templates by connection name, so that threads other
    // than the creating one get a handle they can clone (the SQL layer gives a
    // named connection only to the thread that created it).
    QHash<QString, QSqlDatabase> templates;
};
