#include "hostcontract.h"

#include <QMutexLocker>

// The host's side of the registry, as the contract describes it.

void DBManager::setInfoDatabase(const QSqlDatabase &db)
{
    QMutexLocker lock(&mutex);
    infoDb = db;
    infoConnectionName = db.connectionName();
}

void DBManager::removeUnusedConnections()
{
    QMutexLocker lock(&mutex);
    while (!unusedConnections.isEmpty()) {
        const QString name = unusedConnections.takeFirst();
        if (name == mainConnectionName || name == infoConnectionName || name == QLatin1String("ORV.LUMODB")
            || name == QLatin1String(QSqlDatabase::defaultConnection))
            continue;
        QSqlDatabase::removeDatabase(name);
        tokenConnections.removeAll(name);
    }
}
