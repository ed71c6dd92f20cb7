#pragma once

#include "testdatabase.h"

// A tenant of one test, dropped however the test ends. With vornId it has
// active VTRM terminals 1, 2... with Vorn IDs vornId, vornId + 1... It can
// hold terminal 1's row as another client would, so that a worker's
// statement on that terminal waits for it.
class HostTenant : public TestDatabase::Tenant
{
public:
    explicit HostTenant(const QString &tag, quint32 vornId = 0, int terminals = 1);
    ~HostTenant();
    Q_DISABLE_COPY(HostTenant)

    QString terminal(int tid = 1) const;
    // A GET sync or a POST entrance of terminal tid with this tenant's token.
    QByteArray sync(int tid = 1) const;
    QByteArray entrance(quint32 refId, int tid = 1) const;

    // Takes terminal 1's row lock in a transaction of its own; true when held.
    bool lockTerminal();
    void unlock();
    // Waits until a statement on this tenant's schema waits for a row lock.
    bool waitForLockWait() const;

    QString error; // what failed in the set-up

private:
    const quint32 vornId;
    const QString lockName;
};
