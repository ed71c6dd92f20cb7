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

// Terminal tid (1 to 6) has Vorn ID 900 + tid; person uid (1 to 24) is linked to 3 terminals.
constexpr int terminalCount = 6, personCount = 24, minimumWork = 100;

QString syncPath(quint32 tid, quint64 time = 0, quint32 mask = 0)
{
    return QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(tid, 900 + tid)
        + (time ? QStringLiteral("/") + KelvoWorker::encodeHash(time, mask) : QString());
}

// Each side runs for 6 s and then on until it has done its share of work, so
// that a slow machine tests as much as a fast one (bounded all the same).
bool keepGoing(const QElapsedTimer &clock, const QAtomicInteger<int> &done)
{
    return (clock.elapsed() < 6000 || done.loadRelaxed() <= minimumWork) && clock.elapsed() < 126000;
}

struct Counters
{
    QAtomicInteger<int> produced, producerFailures, confirmations, deleted, failedAnswers;
};

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
                ? worker.dbSetOtherTermsPeopleSync(tid, uid, QStringLiteral("U"))
                : run(MarkerSql::kindRowSql.arg(tid).arg(uid).arg(kind))
                    && run(MarkerSql::kindBitSql.arg(tid).arg(kind));
            ++(ok ? counters.produced : counters.producerFailures);
        }
    }
    QSqlDatabase::removeDatabase(name);
}

// Confirmations with random masks, and now and then a sync read; one of the
// two confirming workers keeps its connection between requests.
void confirm(DBManager &registry, const QString &token, int index, Counters &counters)
{
    WorkerHarness worker(&registry);
    worker.setProperty("keepConnections", index * 2);
    QRandomGenerator random(2000 + index);
    QElapsedTimer clock;
    clock.start();
    while (keepGoing(clock, counters.confirmations)) {
        const quint32 tid = 1 + random.bounded(terminalCount),
                      mask = std::array { 2, 3, 12, 256, 0xffff, 1 }[random.bounded(6)];
        const bool read = random.bounded(4) == 0;
        const Reply r = worker.request(read ? QStringLiteral("GET") : QStringLiteral("DELETE"),
            syncPath(tid, read ? 0 : quint64(QDateTime::currentSecsSinceEpoch()), mask), token);
        counters.confirmations += !read;
        counters.deleted += read ? 0 : r.res().toInt();
        if (r.status != 200 || r.err() != 0) {
            ++counters.failedAnswers;
            qWarning() << "answered" << r.status << r.res().toString();
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
            reply = worker.request(QStringLiteral("DELETE"), syncPath(1, quint64(now - 10), 2), tenant.token);
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
    void confirmationsKeepEveryPendingBit()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant tenant("race");
        for (const char *sql :
            { "INSERT INTO term (tid, vornID, status, name) SELECT seq, 900 + seq, 1, 'R' FROM seq_1_to_6",
                "INSERT INTO people (uid, pid, status, name) SELECT seq, 100 + seq, 1, 'P' FROM seq_1_to_24",
                "INSERT INTO people_term (uid, tid) SELECT p.seq, 1 + MOD(p.seq - 1 + l.seq * 2, 6) FROM "
                "seq_1_to_24 p, "
                "seq_0_to_2 l" })
            QCOMPARE(tenant.exec(sql), QString());
        Counters counters;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back(QThread::create(
                produce, std::ref(*tenant.worker.manager()), tenant.schema, i, std::ref(counters)));
            threads.emplace_back(QThread::create(
                confirm, std::ref(*tenant.worker.manager()), tenant.token, i, std::ref(counters)));
        }
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(200000));
        qInfo("produced %d, confirmations %d (%d markers deleted)", int(counters.produced),
            int(counters.confirmations), int(counters.deleted));
        QVERIFY(
            counters.produced > minimumWork && counters.confirmations > minimumWork && counters.deleted > 0);
        QCOMPARE(QList<int>({ counters.producerFailures, counters.failedAnswers }), QList<int>({ 0, 0 }));
        // Every kind that still has a marker has its bit.
        QCOMPARE(
            tenant
                .value("SELECT COUNT(*) FROM term t JOIN term_sync s USING(tid) WHERE s.flags & ~t.syn <> 0")
                .toInt(),
            0);
    }
};

QTEST_GUILESS_MAIN(TstSyncRace)
#include "tst_syncrace.moc"
