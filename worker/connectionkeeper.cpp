#include "connectionkeeper.h"

#include "nativeconnection.h"

#include <algorithm>

namespace {

bool sameParameters(const QSqlDatabase &a, const QSqlDatabase &b)
{
    return a.hostName() == b.hostName() && a.port() == b.port() && a.databaseName() == b.databaseName()
        && a.userName() == b.userName() && a.password() == b.password()
        && a.connectOptions() == b.connectOptions();
}

} // namespace

ConnectionKeeper::~ConnectionKeeper()
{
    closeAll();
}

QString ConnectionKeeper::letGo(Kept &k)
{
    const QString name = k.db.connectionName();
    k.db.close();
    k.db = QSqlDatabase();
    return name;
}

QSqlDatabase ConnectionKeeper::take(
    const QString &token, const QSqlDatabase &tenantTemplate, QStringList &released)
{
    const auto it = std::find_if(kept.begin(), kept.end(), [&](const Kept &k) { return k.token == token; });
    if (it == kept.end())
        return QSqlDatabase();
    QSqlDatabase db = it->db;
    if (!tenantTemplate.isValid() || !sameParameters(db, tenantTemplate)) {
        db = QSqlDatabase();
        released << letGo(*it);
        kept.erase(it);
        return QSqlDatabase();
    }
    kept.erase(it);
    // The server closes idle connections (wait_timeout, a restart): reopen
    // before the request's first statement rather than find out during it.
    if (NativeConnection::isDropped(db)) {
        db.close();
        if (!db.open()) {
            released << db.connectionName();
            return QSqlDatabase();
        }
        NativeConnection::ensureUtf8mb4(db);
    }
    return db;
}

QStringList ConnectionKeeper::put(const QString &token, const QSqlDatabase &db, int capacity)
{
    kept.push_back(Kept { token, db, {} });
    kept.back().idle.start();
    QStringList released;
    while (int(kept.size()) > std::max(capacity, 0)) {
        released << letGo(kept.front());
        kept.erase(kept.begin());
    }
    return released;
}

QStringList ConnectionKeeper::closeIdle(int idleSeconds)
{
    QStringList released;
    const qint64 limit = qint64(std::max(idleSeconds, 0)) * 1000;
    for (auto it = kept.begin(); it != kept.end();) {
        if (it->idle.elapsed() >= limit) {
            released << letGo(*it);
            it = kept.erase(it);
        } else {
            ++it;
        }
    }
    return released;
}

QStringList ConnectionKeeper::closeAll()
{
    return closeIdle(0);
}
