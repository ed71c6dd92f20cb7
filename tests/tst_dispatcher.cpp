#include "workerharness.h"

#include <QtTest>

class TstDispatcher : public QObject
{
    Q_OBJECT
private slots:
    void smoke()
    {
        REQUIRE_TEST_DATABASE();
        const auto tenant = TestDatabase::createTenant(QStringLiteral("smoke"));
        WorkerHarness h;
        const Reply r = h.request(QStringLiteral("GET"), QStringLiteral("/kelvo/sync/") + WorkerHarness::hash(1, 2), tenant.token);
        qDebug() << r.status << r.json;
        const Reply r2 = h.request(QStringLiteral("GET"), QStringLiteral("/kelvo/sync/") + WorkerHarness::hash(1, 2), QStringLiteral("nope"));
        qDebug() << r2.status << r2.json;
    }
};

QTEST_GUILESS_MAIN(TstDispatcher)
#include "tst_dispatcher.moc"
