#pragma once

#include "testtenant.h"

// A tenant of one test with active terminals 1, 2... and their requests as
// they go to kelvo-host; it can hold terminal 1's row as another client would.
class HostTenant : public TestTenant
{
public:
    explicit HostTenant(const char *tag, int terminals = 1);
    ~HostTenant() { unlock(); }

    QString terminal(int tid = 1) const { return KelvoWorker::encodeHash(quint32(tid), 7000 + quint32(tid)); }
    QByteArray sync(int tid = 1) const;
    QByteArray entrance(quint32 refId, int tid = 1) const;

    // Takes terminal 1's row lock in a transaction of its own and sends its
    // sync on connection; true once that request waits for the lock.
    bool holdTerminal(class RawConnection &connection);
    // Ends that transaction with its connection.
    void unlock() { QSqlDatabase::removeDatabase(lockName); }

private:
    const QString lockName = QStringLiteral("lock.") + schema;
};
