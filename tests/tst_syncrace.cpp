// Confirmations racing producers: producers add markers and set their bits
// while terminals confirm through workers in other threads. At the end every
// remaining marker's kind must still be set in its terminal's pending mask,
// and no confirmation may have been answered with an error (deadlocks are
// retried, never passed on).
#include "markersql.h"
#include "workerharness.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// Terminal tid has Vorn ID 900 + tid; person uid is linked to linksPerPerson terminals.
constexpr int terminalCount = 6, personCount = 24, linksPerPerson = 3, threadsPerSide = 2,
              runMilliseconds = 6000;
quint32 linkOf(quint32 uid, int link)
{
    return 1 + (uid - 1 + quint32(link) * 2) % terminalCount;
}
QString syncPath(quint32 tid)
{
    return QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(tid, 900 + tid);
}

using namespace MarkerSql;

const quint32 kinds[] = { 1, 4, 8, 256 };
const quint32 masks[] = { 2, 1 | 2, 4 | 8, 256, 0xffff, 1 };

struct Counters
{
    QAtomicInteger<int> produced, producerFailures, confirmations, deleted, failedAnswers;
};

// Each side runs for the set time and then on until it has done its share of
// work, so that a slow machine tests as much as a fast one (bounded all the same).
constexpr int minimumWork = 100;
bool keepGoing(const QElapsedTimer &clock, const QAtomicInteger<int> &done)
{
    const qint64 elapsed = clock.elapsed();
    return (elapsed < runMilliseconds || done.loadRelaxed() <= minimumWork)
        && elapsed < runMilliseconds + 120000;
}

// A tenant of the test's own, dropped when the test is done.
struct OwnTenant : TestDatabase::Tenant
{
    explicit OwnTenant(const QString &tag)
        : Tenant(TestDatabase::createTenant(tag))
    { }
    ~OwnTenant() { TestDatabase::dropTenant(*this); }
    QString exec(const QString &sql) const { return TestDatabase::exec(schema, sql); }
};

// Runs a producer statement; a deadlock victim was rolled back whole and is
// run again, as any producer of the system has to.
bool run(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (query.exec(sql))
            return true;
        if (query.lastError().nativeErrorCode().toInt() != 1213) { // not a deadlock
            qWarning() << "producer statement failed:" << query.lastError().text() << sql;
            return false;
        }
    }
    return false;
}

// A worker of the process-wide registry, used in the thread that made it, as
// the host runs them.
class ThreadWorker : public KelvoWorker
{
public:
    ThreadWorker(DBManager &registry, const QString &token)
        : KelvoWorker(QStringLiteral("0.2.5"))
        , headers(WorkerHarness::tokenHeaders(token))
    {
        setDbManager(&registry);
        setReleaseConnection(true);
    }
    Reply send(const char *method, const QString &path)
    {
        return WorkerHarness::parse(buildResponse(QLatin1String(method), QUrl(path), headers, QByteArray()));
    }

private:
    const QStringList headers;
};

// Producers on a root connection of their own thread.
void produce(const QString &schema, int index, Counters &counters)
{
    const QString name = QStringLiteral("race.producer.%1").arg(index);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(TestDatabase::host());
        db.setPort(TestDatabase::port());
        db.setUserName(QStringLiteral("root"));
        db.setDatabaseName(schema);
        if (!db.open())
            qWarning() << "producer connection failed:" << db.lastError().text();
        QRandomGenerator random(1000 + index);
        QElapsedTimer clock;
        clock.start();
        while (keepGoing(clock, counters.produced)) {
            const quint32 uid = 1 + random.bounded(personCount);
            bool ok = false;
            if (random.bounded(2) == 0) {
                const quint32 origin = linkOf(uid, random.bounded(linksPerPerson));
                ok = run(db, personRowsSql.arg(uid).arg(origin))
                    && run(db, personBitsSql.arg(uid).arg(origin));
            } else {
                const quint32 tid = 1 + random.bounded(terminalCount);
                const quint32 kind = kinds[random.bounded(int(std::size(kinds)))];
                ok = run(db, kindRowSql.arg(tid).arg(uid).arg(kind))
                    && run(db, kindBitSql.arg(tid).arg(kind));
            }
            ++(ok ? counters.produced : counters.producerFailures);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// Confirmations with random masks, and now and then a sync read.
void confirm(DBManager &registry, const QString &token, int index, bool keep, Counters &counters)
{
    ThreadWorker worker(registry, token);
    worker.setProperty("keepConnections", keep ? 2 : 0);
    QRandomGenerator random(2000 + index);
    QElapsedTimer clock;
    clock.start();
    while (keepGoing(clock, counters.confirmations)) {
        const QString terminal = syncPath(1 + random.bounded(terminalCount));
        if (random.bounded(4) == 0) {
            if (worker.send("GET", terminal).status != 200)
                ++counters.failedAnswers;
            continue;
        }
        const quint32 mask = masks[random.bounded(int(std::size(masks)))];
        const QString confirmation
            = KelvoWorker::encodeHash(quint64(QDateTime::currentSecsSinceEpoch()), mask);
        const Reply r = worker.send("DELETE", terminal + QLatin1Char('/') + confirmation);
        ++counters.confirmations;
        if (r.status != 200 || r.err() != 0) {
            ++counters.failedAnswers;
            qWarning() << "confirmation answered" << r.status << r.res().toString();
        } else {
            counters.deleted += r.res().toInt();
        }
    }
}

} // namespace

class TstSyncRace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Every request lets its connection go with a debug record; thousands of them hide the results.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    }

    // The producer's row and bit land between the confirmation's reading of
    // the remaining kinds and its update of syn: here the producer holds both
    // in one open transaction while the confirmation runs, then commits. A
    // confirmation that read the kinds before the commit and wrote syn after
    // it would clear bit 8 and leave its row behind.
    void confirmationAfterAnOpenProducer()
    {
        REQUIRE_TEST_DATABASE();
        const OwnTenant tenant(QStringLiteral("open"));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const auto marker = [](quint32 kind, qint64 created) {
            return kindRowSql.arg(1).arg(5).arg(kind).replace(
                QStringLiteral("UNIX_TIMESTAMP()"), QString::number(created));
        };
        QCOMPARE(
            tenant.exec(QStringLiteral(
                "INSERT INTO term (tid, vornID, status, syn, name, type) VALUES (1, 901, 1, 6, 'O', 'DSK')")),
            QString());
        QCOMPARE(tenant.exec(marker(2, now - 20)), QString());
        QCOMPARE(tenant.exec(marker(4, now - 5)), QString());

        const QSqlDatabase producer = TestDatabase::adminConnection(tenant.schema);
        QSqlQuery open(producer);
        QVERIFY_SQL(open, exec(QStringLiteral("START TRANSACTION")));
        // An early way out must not leave the transaction holding the schema that is dropped.
        const auto rollback = qScopeGuard([&open] { open.exec(QStringLiteral("ROLLBACK")); });
        QVERIFY(run(producer, kindRowSql.arg(1).arg(6).arg(8)));
        QVERIFY(run(producer, kindBitSql.arg(1).arg(8)));

        DBManager registry;
        registry.setInfoDatabase(TestDatabase::addInfoConnection(QStringLiteral("open.info")));
        Reply reply;
        const std::unique_ptr<QThread> confirmer(QThread::create([&] {
            const QString confirmation = KelvoWorker::encodeHash(quint64(now - 10), 2);
            reply = ThreadWorker(registry, tenant.token)
                        .send("DELETE", syncPath(1) + QLatin1Char('/') + confirmation);
        }));
        confirmer->start();

        // Commit once the confirmation waits for the producer (or is done without
        // waiting).
        TestDatabase::waitForLockWait(tenant.schema, QString(), [&] { return confirmer->isFinished(); });
        QVERIFY_SQL(open, exec(QStringLiteral("COMMIT")));
        QVERIFY(confirmer->wait(60000));
        registry.removeUnusedConnections();

        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.res().toInt(), 1);
        QCOMPARE(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT syn FROM term WHERE tid = 1"))
                     .toUInt(),
            4u | 8u);
        QCOMPARE(TestDatabase::scalar(
                     tenant.schema, QStringLiteral("SELECT BIT_OR(flags) FROM term_sync WHERE tid = 1"))
                     .toUInt(),
            4u | 8u);
    }

    // Many producers and confirmations at once, through the real statements.
    void confirmationsKeepEveryPendingBit_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::newRow("connection per request") << false;
        QTest::newRow("kept connections") << true;
    }
    void confirmationsKeepEveryPendingBit()
    {
        QFETCH(bool, keep);
        REQUIRE_TEST_DATABASE();
        const OwnTenant tenant(QStringLiteral("race"));
        QStringList terms, people, links;
        for (quint32 tid = 1; tid <= terminalCount; ++tid)
            terms << QStringLiteral("(%1, %2, 1, 'R', 'DSK')").arg(tid).arg(900 + tid);
        for (quint32 uid = 1; uid <= personCount; ++uid) {
            people << QStringLiteral("(%1, %2, 1, 'P')").arg(uid).arg(100 + uid);
            for (int link = 0; link < linksPerPerson; ++link)
                links << QStringLiteral("(%1, %2)").arg(uid).arg(linkOf(uid, link));
        }
        const QLatin1Char comma(',');
        QCOMPARE(tenant.exec(QStringLiteral("INSERT INTO term (tid, vornID, status, name, type) VALUES ")
                     + terms.join(comma)),
            QString());
        QCOMPARE(tenant.exec(QStringLiteral("INSERT INTO people (uid, pid, status, name) VALUES ")
                     + people.join(comma)),
            QString());
        QCOMPARE(
            tenant.exec(QStringLiteral("INSERT INTO people_term (uid, tid) VALUES ") + links.join(comma)),
            QString());

        DBManager registry;
        registry.setInfoDatabase(TestDatabase::addInfoConnection(QStringLiteral("race.info.%1").arg(keep)));
        Counters counters;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < threadsPerSide; ++i) {
            threads.emplace_back(QThread::create(produce, tenant.schema, i, std::ref(counters)));
            threads.emplace_back(
                QThread::create(confirm, std::ref(registry), tenant.token, i, keep, std::ref(counters)));
        }
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(runMilliseconds + 180000));
        registry.removeUnusedConnections();

        qInfo("produced %d, confirmations %d (%d markers deleted)", int(counters.produced),
            int(counters.confirmations), int(counters.deleted));
        QVERIFY(counters.produced > minimumWork);
        QVERIFY(counters.confirmations > minimumWork);
        QVERIFY(counters.deleted > 0);
        QCOMPARE(int(counters.producerFailures), 0);
        QCOMPARE(int(counters.failedAnswers), 0);

        // Every kind that still has a marker has its bit.
        QCOMPARE(TestDatabase::scalar(tenant.schema,
                     QStringLiteral("SELECT COALESCE(GROUP_CONCAT('tid ', tid, ': syn ', syn, ', markers ', "
                                    "kinds SEPARATOR '; '), 'none') "
                                    "FROM (SELECT t.tid, t.syn, BIT_OR(s.flags) kinds FROM term t JOIN "
                                    "term_sync s USING(tid) "
                                    "GROUP BY t.tid, t.syn HAVING BIT_OR(s.flags) & ~t.syn <> 0) lost"))
                     .toString(),
            QStringLiteral("none"));
    }
};

QTEST_GUILESS_MAIN(TstSyncRace)
#include "tst_syncrace.moc"
