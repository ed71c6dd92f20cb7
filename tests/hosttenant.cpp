#include "hosttenant.h"

#include "rawconnection.h"

#include <QSqlQuery>

HostTenant::HostTenant(const char *tag, int terminals)
    : TestTenant(tag)
{
    for (int tid = 1; tid <= terminals; ++tid)
        addTerm();
}

QByteArray HostTenant::sync(int tid) const
{
    return RawConnection::request("GET", s("/kelvo/sync/") + terminal(tid), token);
}

QByteArray HostTenant::entrance(quint32 refId, int tid) const
{
    const QByteArray body = R"({"iid":1,"refId":)" + QByteArray::number(refId) + R"(,"type":"in","uid":1})";
    return RawConnection::request(
        "POST", s("/kelvo/entrance/") + terminal(tid), token, KelvoWorker::encodeSafeBase64(body));
}

bool HostTenant::holdTerminal(RawConnection &connection)
{
    QSqlDatabase db = QSqlDatabase::cloneDatabase(TestDatabase::adminConnection(schema), lockName);
    QSqlQuery query(db);
    if (!db.open() || !query.exec(s("START TRANSACTION"))
        || !query.exec(s("SELECT tid FROM term WHERE tid = 1 FOR UPDATE")) || !query.next())
        return false;
    connection.send(sync());
    return TestDatabase::waitForLockWait(schema, QString());
}
