// Confirmations racing producers: producers add markers and set their bits
// while terminals confirm through workers in other threads. At the end every
// remaining marker's kind must still be set in its terminal's pending mask,
// and no confirmation may have been answered with an error (deadlocks are
// retried, never passed on).
#include "markersql.h"
#include "testtenant.h"

#include <QAtomicInteger>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

namespace {

// Terminal tid has Vorn ID 900 + tid; person uid is linked to 3 terminals.
constexpr int terminalCount = 6, personCount = 24, runMilliseconds = 6000, minimumWork = 100;

quint32 linkOf(quint32 uid, int link)
{
    return 1 + (uid - 1 + quint32(link) * 2) % terminalCount;
}
QString syncPath(quint32 tid, const QString &confirmation = QString())
{
    return QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(tid, 900 + tid)
        + (confirmation.isEmpty() ? QString() : QStringLiteral("/") + confirmation);
}

struct Counters
{
    QAtomicInteger<int> produced, producerFailures, confirmations, deleted, failedAnswers;
};

// Each side runs for the set time and then on until it has done its share of
// work, so that a slow machine tests as much as a fast one (bounded all the same).
bool keepGoing(const QElapsedTimer &clock, const QAtomicInteger<int> &done)
{
    const qint64 elapsed = clock.elapsed();
    return (elapsed < runMilliseconds || done.loadRelaxed() <= minimumWork)
        && elapsed < runMilliseconds + 120000;
}

// Producers: a person's change marked for its other terminals by the worker's
// own operation, and the other kinds as the rest of the system writes them,
// deadlock victims run again.
void produce(DBManager &registry, const QString &schema, int index, Counters &counters)
{
    const QString name = QStringLiteral("race.producer.%1").arg(index);
    {
        WorkerHarness worker(&registry);
        worker.open(TestDatabase::addConnection(name, schema));
        QSqlQuery query(worker.database());
        const auto run = [&](const QString &sql) {
            for (int attempt = 0; attempt < 16; ++attempt) {
                if (query.exec(sql))
                    return true;
                if (query.lastError().nativeErrorCode() != QLatin1String("1213"))
                    break;
            }
            return false;
        };
        QRandomGenerator random(1000 + index);
        QElapsedTimer clock;
        clock.start();
        while (keepGoing(clock, counters.produced)) {
            const quint32 uid = 1 + random.bounded(personCount), tid = 1 + random.bounded(terminalCount);
            const quint32 kind = std::array { 1, 4, 8, 256 }[random.bounded(4)];
            const bool ok = random.bounded(2) == 0
                ? worker.dbSetOtherTermsPeopleSync(linkOf(uid, random.bounded(3)), uid, QStringLiteral("U"))
                : run(MarkerSql::kindRowSql.arg(tid).arg(uid).arg(kind))
                    && run(MarkerSql::kindBitSql.arg(tid).arg(kind));
            ++(ok ? counters.produced : counters.producerFailures);
        }
    }
    QSqlDatabase::removeDatabase(name);
}

// Confirmations with random masks, and now and then a sync read.
void confirm(DBManager &registry, const QString &token, int index, bool keep, Counters &counters)
{
    WorkerHarness worker(&registry);
    worker.setProperty("keepConnections", keep ? 2 : 0);
    QRandomGenerator random(2000 + index);
    QElapsedTimer clock;
    clock.start();
    while (keepGoing(clock, counters.confirmations)) {
        const quint32 tid = 1 + random.bounded(terminalCount);
        if (random.bounded(4) == 0) {
            counters.failedAnswers
                += worker.request(QStringLiteral("GET"), syncPath(tid), token).status != 200;
            continue;
        }
        const quint32 mask = std::array { 2, 1 | 2, 4 | 8, 256, 0xffff, 1 }[random.bounded(6)];
        const Reply r = worker.request(QStringLiteral("DELETE"),
            syncPath(tid, KelvoWorker::encodeHash(quint64(QDateTime::currentSecsSinceEpoch()), mask)), token);
        ++counters.confirmations;
        counters.deleted += r.res().toInt();
        if (r.status != 200 || r.err() != 0) {
            ++counters.failedAnswers;
            qWarning() << "confirmation answered" << r.status << r.res().toString();
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
        TestTenant tenant("open");
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(tenant.exec("INSERT INTO term (tid, vornID, status, syn, name) VALUES (1, 901, 1, 6, 'O')")
                + tenant.mark(1, 2, 5, now - 20) + tenant.mark(1, 4, 5, now - 5),
            QString());
        QSqlQuery producer(TestDatabase::adminConnection(tenant.schema));
        QVERIFY_SQL(producer, exec(QStringLiteral("START TRANSACTION")));
        // An early way out must not leave the transaction holding the schema that is dropped.
        const auto rollback = qScopeGuard([&producer] { producer.exec(QStringLiteral("ROLLBACK")); });
        QVERIFY_SQL(producer, exec(MarkerSql::kindRowSql.arg(1).arg(6).arg(8)));
        QVERIFY_SQL(producer, exec(MarkerSql::kindBitSql.arg(1).arg(8)));

        Reply reply;
        const std::unique_ptr<QThread> confirmer(QThread::create([&] {
            WorkerHarness worker(tenant.worker.manager());
            reply = worker.request(QStringLiteral("DELETE"),
                syncPath(1, KelvoWorker::encodeHash(quint64(now - 10), 2)), tenant.token);
        }));
        confirmer->start();
        // Commit once the confirmation waits for the producer (or is done without waiting).
        TestDatabase::waitForLockWait(tenant.schema, QString(), [&] { return confirmer->isFinished(); });
        QVERIFY_SQL(producer, exec(QStringLiteral("COMMIT")));
        QVERIFY(confirmer->wait(60000));
        QCOMPARE(answerText(reply), QStringLiteral("{\"res\":1}"));
        QCOMPARE(
            tenant.value("SELECT CONCAT(syn, ' ', BIT_OR(s.flags)) FROM term JOIN term_sync s USING (tid)")
                .toString(),
            QStringLiteral("12 12"));
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
        TestTenant tenant("race");
        QCOMPARE(
            tenant.exec("INSERT INTO term (tid, vornID, status, name) SELECT seq, 900 + seq, 1, 'R' FROM "
                        "seq_1_to_%1",
                terminalCount)
                + tenant.exec(
                    "INSERT INTO people (uid, pid, status, name) SELECT seq, 100 + seq, 1, 'P' FROM "
                    "seq_1_to_%1",
                    personCount)
                + tenant.exec(
                    "INSERT INTO people_term (uid, tid) SELECT p.seq, 1 + MOD(p.seq - 1 + l.seq * 2, %1) "
                    "FROM seq_1_to_%2 p, seq_0_to_2 l",
                    terminalCount, personCount),
            QString());

        Counters counters;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back(QThread::create(
                produce, std::ref(*tenant.worker.manager()), tenant.schema, i, std::ref(counters)));
            threads.emplace_back(QThread::create(
                confirm, std::ref(*tenant.worker.manager()), tenant.token, i, keep, std::ref(counters)));
        }
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(runMilliseconds + 180000));
        qInfo("produced %d, confirmations %d (%d markers deleted)", int(counters.produced),
            int(counters.confirmations), int(counters.deleted));
        QVERIFY(
            counters.produced > minimumWork && counters.confirmations > minimumWork && counters.deleted > 0);
        QCOMPARE(QList<int>({ counters.producerFailures, counters.failedAnswers }), QList<int>({ 0, 0 }));
        // Every kind that still has a marker has its bit.
        QCOMPARE(
            tenant
                .value(
                    "SELECT COALESCE(GROUP_CONCAT('tid ', tid, ': syn ', syn, ', markers ', kinds SEPARATOR "
                    "'; '), 'none') FROM (SELECT t.tid, t.syn, BIT_OR(s.flags) kinds FROM term t JOIN "
                    "term_sync s USING(tid) GROUP BY t.tid, t.syn HAVING BIT_OR(s.flags) & ~t.syn <> 0) lost")
                .toString(),
            QStringLiteral("none"));
    }
};

QTEST_GUILESS_MAIN(TstSyncRace)
#include "tst_syncrace.moc"
