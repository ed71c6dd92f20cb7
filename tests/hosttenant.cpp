#include "hosttenant.h"

#include "httppluginworker.h"
#include "rawconnection.h"

#include <QSqlQuery>

HostTenant::HostTenant(const QString &tag, quint32 vornId, int terminals)
    : TestDatabase::Tenant(TestDatabase::createTenant(tag))
    , vornId(vornId)
    , lockName(QStringLiteral("lock.") + schema)
{
    for (int tid = 1; vornId && tid <= terminals; ++tid)
        error += TestDatabase::exec(schema,
            QStringLiteral("INSERT INTO term (tid, vornID, status, flags, name, type) "
                           "VALUES (%1, %2, 1, '3', 'T%1', 'VTRM')")
                .arg(tid)
                .arg(vornId + quint32(tid) - 1));
}

HostTenant::~HostTenant()
{
    unlock();
    TestDatabase::dropTenant(*this);
}

QString HostTenant::terminal(int tid) const
{
    return HttpPluginWorker::encodeHash(quint64(tid), vornId + quint32(tid) - 1);
}

QByteArray HostTenant::sync(int tid) const
{
    return RawConnection::request("GET", QStringLiteral("/kelvo/sync/") + terminal(tid), token);
}

QByteArray HostTenant::entrance(quint32 refId, int tid) const
{
    return RawConnection::request(
        "POST", QStringLiteral("/kelvo/entrance/") + terminal(tid), token, RawConnection::entrance(refId, 1));
}

bool HostTenant::lockTerminal()
{
    QSqlDatabase db = QSqlDatabase::cloneDatabase(TestDatabase::adminConnection(schema), lockName);
    QSqlQuery query(db);
    return db.open() && query.exec(QStringLiteral("START TRANSACTION"))
        && query.exec(QStringLiteral("SELECT tid FROM term WHERE tid = 1 FOR UPDATE")) && query.next();
}

void HostTenant::unlock()
{
    if (!QSqlDatabase::contains(lockName))
        return;
    QSqlDatabase::database(lockName).rollback();
    QSqlDatabase::database(lockName).close();
    QSqlDatabase::removeDatabase(lockName);
}

bool HostTenant::waitForLockWait() const
{
    return TestDatabase::waitForLockWait(schema, QString());
}
