// Confirmations racing producers: producers add markers and set their bits
// while terminals confirm through workers in other threads. At the end every
// remaining marker's kind must still be set in its terminal's pending mask,
// and no confirmation may have been answered with an error (deadlocks are
// retried, never passed on).
#include "workerharness.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int terminalCount = 6;
constexpr int personCount = 24;
constexpr int linksPerPerson = 3;
constexpr int producerThreads = 2;
constexpr int confirmerThreads = 2;
constexpr int runMilliseconds = 6000;
constexpr int deadlockError = 1213;

// Rule 1 for persons, as the person upload writes it: rows for the person's
// other terminals, then their bits.
const QString personRowsSql = QStringLiteral(
    "INSERT INTO `term_sync` SELECT tid, 'U' type, 'people_term' ref, 'uid' ref_col, `uid` ref_id, "
    "UNIX_TIMESTAMP() created, 2 flags FROM people_term pt JOIN people p USING(uid) WHERE p.status = 1 AND "
    "pt.uid = %1 AND pt.tid != %2;");
const QString personBitsSql = QStringLiteral("Update `term` SET syn = syn | 2 WHERE status = 1 AND tid "
                                             "IN(SELECT tid FROM people_term WHERE uid = %1 AND tid != %2)");
// Rule 1 for the other kinds, as the rest of the system writes it.
const QString kindRowSql = QStringLiteral(
    "INSERT INTO term_sync VALUES (%1, 'U', 'people_term', 'uid', %2, UNIX_TIMESTAMP(), %3)");
const QString kindBitSql = QStringLiteral("UPDATE term SET syn = syn | %2 WHERE tid = %1");

const quint32 kinds[] = { 1, 4, 8, 256 };
const quint32 masks[] = { 2, 1 | 2, 4 | 8, 256, 0xffff, 1 };

struct Counters
{
    QAtomicInteger<int> produced;
    QAtomicInteger<int> producerDeadlocks;
    QAtomicInteger<int> producerFailures;
    QAtomicInteger<int> confirmations;
    QAtomicInteger<int> deleted;
    QAtomicInteger<int> failedAnswers;
    QAtomicInteger<int> syncReads;
};

// A root connection of the calling thread, removed when the thread is done.
class ThreadConnection
{
public:
    ThreadConnection(const QString &schema, const QString &name) : name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(TestDatabase::host());
        db.setPort(TestDatabase::port());
        db.setUserName(QStringLiteral("root"));
        db.setDatabaseName(schema);
        if (!db.open())
            qWarning() << "producer connection failed:" << db.lastError().text();
    }
    ~ThreadConnection()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    QSqlDatabase database() const { return QSqlDatabase::database(name, false); }

    // Runs a producer statement; a deadlock victim was rolled back whole and
    // is run again, as any producer of the system has to.
    bool run(const QString &sql, Counters &counters) const
    {
        QSqlQuery query(database());
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (query.exec(sql))
                return true;
            if (query.lastError().nativeErrorCode().toInt() != deadlockError) {
                qWarning() << "producer statement failed:" << query.lastError().text() << sql;
                return false;
            }
            ++counters.producerDeadlocks;
        }
        return false;
    }

private:
    QString name;
};

void produce(const QString &schema, int index, const std::vector<std::vector<quint32>> &links,
             const std::vector<quint32> &uids, const std::vector<quint32> &tids, Counters &counters)
{
    const ThreadConnection connection(schema, QStringLiteral("race.producer.%1").arg(index));
    QRandomGenerator random(1000 + index);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < runMilliseconds) {
        const int person = random.bounded(int(uids.size()));
        const quint32 uid = uids[person];
        bool ok = false;
        if (random.bounded(2) == 0) {
            const quint32 origin = links[person][random.bounded(int(links[person].size()))];
            ok = connection.run(personRowsSql.arg(uid).arg(origin), counters)
                && connection.run(personBitsSql.arg(uid).arg(origin), counters);
        } else {
            const quint32 tid = tids[random.bounded(int(tids.size()))];
            const quint32 kind = kinds[random.bounded(int(std::size(kinds)))];
            ok = connection.run(kindRowSql.arg(tid).arg(uid).arg(kind), counters)
                && connection.run(kindBitSql.arg(tid).arg(kind), counters);
        }
        if (ok)
            ++counters.produced;
        else
            ++counters.producerFailures;
    }
}

// One worker of the process-wide registry per thread, as the host runs them.
void confirm(DBManager &registry, const QString &token, int index, const std::vector<quint32> &tids,
             const std::vector<quint32> &vorns, Counters &counters)
{
    KelvoWorker worker(QStringLiteral("0.2.5"));
    worker.setDbManager(&registry);
    worker.setReleaseConnection(true);
    const QStringList headers = WorkerHarness::tokenHeaders(token);
    const auto send = [&](const QString &method, const QString &path) {
        return WorkerHarness::parse(worker.buildResponse(method, QUrl(path), headers, QByteArray()));
    };
    QRandomGenerator random(2000 + index);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < runMilliseconds) {
        const int terminal = random.bounded(int(tids.size()));
        const QString terminalHash = WorkerHarness::hash(tids[terminal], vorns[terminal]);
        if (random.bounded(4) == 0) {
            const Reply r = send(QStringLiteral("GET"), QStringLiteral("/kelvo/sync/") + terminalHash);
            ++counters.syncReads;
            if (r.status != 200)
                ++counters.failedAnswers;
            continue;
        }
        const quint32 mask = masks[random.bounded(int(std::size(masks)))];
        const QString confirmation = WorkerHarness::hash(quint64(QDateTime::currentSecsSinceEpoch()), mask);
        const Reply r = send(QStringLiteral("DELETE"), QStringLiteral("/kelvo/sync/%1/%2").arg(terminalHash, confirmation));
        ++counters.confirmations;
        if (r.status != 200 || r.err() != 0) {
            ++counters.failedAnswers;
            qWarning() << "confirmation answered" << r.status << r.res().toString();
        } else {
            counters.deleted += r.res().toInt();
        }
    }
}

qint64 deadlocksSoFar()
{
    QSqlQuery query(TestDatabase::adminConnection());
    if (!query.exec(QStringLiteral("SHOW GLOBAL STATUS LIKE 'Innodb_deadlocks'")) || !query.next())
        return -1;
    return query.value(1).toLongLong();
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
        const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("open"));
        const auto exec = [&](const QString &sql) { return TestDatabase::exec(tenant.schema, sql); };
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(exec(QStringLiteral("INSERT INTO term (tid, vornID, status, syn, name, type) VALUES (1, 11, 1, 6, 'O', 'DSK')")),
                 QString());
        QCOMPARE(exec(kindRowSql.arg(1).arg(5).arg(2).replace(QStringLiteral("UNIX_TIMESTAMP()"), QString::number(now - 20))),
                 QString());
        QCOMPARE(exec(kindRowSql.arg(1).arg(5).arg(4).replace(QStringLiteral("UNIX_TIMESTAMP()"), QString::number(now - 5))),
                 QString());

        Counters counters;
        const ThreadConnection producer(tenant.schema, QStringLiteral("open.producer"));
        QSqlQuery open(producer.database());
        QVERIFY_SQL(open, exec(QStringLiteral("START TRANSACTION")));
        QVERIFY(producer.run(kindRowSql.arg(1).arg(6).arg(8), counters));
        QVERIFY(producer.run(kindBitSql.arg(1).arg(8), counters));

        DBManager registry;
        registry.setInfoDatabase(TestDatabase::addInfoConnection(QStringLiteral("open.info")));
        Reply reply;
        const std::unique_ptr<QThread> confirmer(QThread::create([&] {
            KelvoWorker worker(QStringLiteral("0.2.5"));
            worker.setDbManager(&registry);
            worker.setReleaseConnection(true);
            const QString path = QStringLiteral("/kelvo/sync/%1/%2")
                                     .arg(WorkerHarness::hash(1, 11), WorkerHarness::hash(quint64(now - 10), 2));
            reply = WorkerHarness::parse(
                worker.buildResponse(QStringLiteral("DELETE"), QUrl(path), WorkerHarness::tokenHeaders(tenant.token), {}));
        }));
        confirmer->start();

        // Commit once the confirmation waits for the producer (or is done without
        // waiting). The server refreshes its transaction list only when it was
        // not read for 0.1 s, hence the slow poll.
        const auto waiting = [] {
            return TestDatabase::scalar(QString(), QStringLiteral("SELECT COUNT(*) FROM information_schema.INNODB_TRX "
                                                                  "WHERE trx_state = 'LOCK WAIT'"))
                       .toInt()
                > 0;
        };
        QElapsedTimer waited;
        waited.start();
        while (!confirmer->isFinished() && !waiting() && waited.elapsed() < 10000)
            QThread::msleep(150);
        QVERIFY_SQL(open, exec(QStringLiteral("COMMIT")));
        QVERIFY(confirmer->wait(60000));
        registry.removeUnusedConnections();

        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.res().toInt(), 1);
        QCOMPARE(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT syn FROM term WHERE tid = 1")).toUInt(), 4u | 8u);
        QCOMPARE(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT BIT_OR(flags) FROM term_sync WHERE tid = 1")).toUInt(),
                 4u | 8u);
        TestDatabase::dropTenant(tenant);
    }

    // Many producers and confirmations at once, through the real statements.
    void confirmationsKeepEveryPendingBit()
    {
        REQUIRE_TEST_DATABASE();
        const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("race"));
        const auto exec = [&](const QString &sql) { return TestDatabase::exec(tenant.schema, sql); };

        std::vector<quint32> tids;
        std::vector<quint32> vorns;
        for (int i = 0; i < terminalCount; ++i) {
            const quint32 vorn = 900 + quint32(i);
            QCOMPARE(exec(QStringLiteral("INSERT INTO term (vornID, status, name, type) VALUES (%1, 1, 'R', 'DSK')").arg(vorn)),
                     QString());
            tids.push_back(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT LAST_INSERT_ID()")).toUInt());
            vorns.push_back(vorn);
        }
        std::vector<quint32> uids;
        std::vector<std::vector<quint32>> links;
        for (int i = 0; i < personCount; ++i) {
            QCOMPARE(exec(QStringLiteral("INSERT INTO people (pid, status, name) VALUES (%1, 1, 'P')").arg(100 + i)), QString());
            uids.push_back(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT LAST_INSERT_ID()")).toUInt());
            links.emplace_back();
            for (int k = 0; k < linksPerPerson; ++k) {
                const quint32 tid = tids[(i + k * 2) % terminalCount];
                QCOMPARE(exec(QStringLiteral("INSERT INTO people_term (uid, tid) VALUES (%1, %2)").arg(uids.back()).arg(tid)),
                         QString());
                links.back().push_back(tid);
            }
        }

        DBManager registry;
        registry.setInfoDatabase(TestDatabase::addInfoConnection(QStringLiteral("race.info")));
        Counters counters;
        const qint64 deadlocksBefore = deadlocksSoFar();
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < producerThreads; ++i)
            threads.emplace_back(QThread::create(produce, tenant.schema, i, std::cref(links), std::cref(uids),
                                                 std::cref(tids), std::ref(counters)));
        for (int i = 0; i < confirmerThreads; ++i)
            threads.emplace_back(QThread::create(confirm, std::ref(registry), tenant.token, i, std::cref(tids), std::cref(vorns),
                                                 std::ref(counters)));
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(runMilliseconds + 120000));
        const qint64 deadlocks = deadlocksSoFar() - deadlocksBefore;
        registry.removeUnusedConnections();

        qInfo("produced %d, confirmations %d (%d markers deleted), sync reads %d, server deadlocks %lld, "
              "producer deadlock retries %d",
              int(counters.produced), int(counters.confirmations), int(counters.deleted), int(counters.syncReads),
              deadlocks, int(counters.producerDeadlocks));
        QVERIFY(counters.produced > 100);
        QVERIFY(counters.confirmations > 100);
        QVERIFY(counters.deleted > 0);
        QCOMPARE(int(counters.producerFailures), 0);
        QCOMPARE(int(counters.failedAnswers), 0);

        // Every kind that still has a marker has its bit.
        QSqlQuery lost(TestDatabase::adminConnection(tenant.schema));
        QVERIFY_SQL(lost, exec(QStringLiteral("SELECT t.tid, t.syn, BIT_OR(s.flags) FROM term t JOIN term_sync s "
                                              "USING(tid) GROUP BY t.tid, t.syn HAVING BIT_OR(s.flags) & ~t.syn <> 0")));
        QStringList lostBits;
        while (lost.next())
            lostBits << QStringLiteral("tid %1: syn %2, markers %3")
                            .arg(lost.value(0).toUInt())
                            .arg(lost.value(1).toUInt())
                            .arg(lost.value(2).toUInt());
        QVERIFY2(lostBits.isEmpty(), qPrintable(lostBits.join(QStringLiteral("; "))));

        TestDatabase::dropTenant(tenant);
    }
};

QTEST_GUILESS_MAIN(TstSyncRace)
#include "tst_syncrace.moc"
