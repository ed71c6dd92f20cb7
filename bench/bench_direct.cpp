// Baseline for bench_host.sh: the statements of one GET "sync" or one POST
// "entrance" sent straight to MariaDB, one new connection per request (as the
// worker does), from N threads for a fixed time. Prints requests per second
// and latency percentiles in the form bench_host.sh reads.
//
//   kelvo-bench-direct sync|entrance HOST PORT DATABASE USER PASSWORD THREADS SECONDS
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// What the worker runs for a terminal 1/1001 (checks, online stamp, pending mask; or the entrance insert).
const QString checkTermSql = QStringLiteral("SELECT COUNT(*) FROM term WHERE tid = 1 AND vornID = 1001 AND status = 1 LIMIT 1");
const QString syncSql = QStringLiteral("SELECT syn, status, flags FROM term WHERE tid = 1");
const QString onlineSql = QStringLiteral("UPDATE term SET online = UNIX_TIMESTAMP() WHERE tid = 1");
const QString duplicateSql = QStringLiteral("SELECT id FROM inters_data WHERE tid = 1 AND refId = %1 ORDER BY id DESC LIMIT 1");
const QString insertSql = QStringLiteral(
    "INSERT INTO inters_data SET created=\"%2\", date=\"%2\", iid=\"1\", refId=\"%1\", tid=\"1\", type=\"in\", uid=\"1\" "
    "ON DUPLICATE KEY UPDATE created=VALUES(created), date=VALUES(date), iid=VALUES(iid), refId=VALUES(refId), "
    "tid=VALUES(tid), type=VALUES(type), uid=VALUES(uid)");

struct Settings
{
    bool entrance = false;
    QString host, database, user, password;
    int port = 3306;
    int seconds = 10;
};

std::atomic<quint32> nextRefId { quint32(QDateTime::currentSecsSinceEpoch() % 100000) * 20000 + 1 };

bool oneRequest(const Settings &s, const QString &name)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(s.host);
        db.setPort(s.port);
        db.setDatabaseName(s.database);
        db.setUserName(s.user);
        db.setPassword(s.password);
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(checkTermSql) && q.next();
            if (ok && !s.entrance)
                ok = q.exec(syncSql) && q.next() && q.exec(onlineSql);
            if (ok && s.entrance) {
                const quint32 refId = nextRefId++;
                ok = q.exec(duplicateSql.arg(refId))
                    && q.exec(insertSql.arg(refId).arg(QDateTime::currentSecsSinceEpoch()));
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = QCoreApplication::arguments();
    if (a.size() != 9 || (a.at(1) != QLatin1String("sync") && a.at(1) != QLatin1String("entrance"))) {
        std::fprintf(stderr, "usage: kelvo-bench-direct sync|entrance HOST PORT DATABASE USER PASSWORD THREADS SECONDS\n");
        return 2;
    }
    Settings s;
    s.entrance = a.at(1) == QLatin1String("entrance");
    s.host = a.at(2);
    s.port = a.at(3).toInt();
    s.database = a.at(4);
    s.user = a.at(5);
    s.password = a.at(6);
    const int threads = std::max(1, a.at(7).toInt());
    s.seconds = std::max(1, a.at(8).toInt());

    auto latencies = std::vector<std::vector<qint64>>(size_t(threads)); // microseconds, one list per thread
    std::atomic<int> failures { 0 };
    std::vector<std::unique_ptr<QThread>> workers;
    QElapsedTimer wall;
    wall.start();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([&, t] {
            QElapsedTimer clock;
            clock.start();
            int n = 0;
            while (clock.elapsed() < qint64(s.seconds) * 1000) {
                const qint64 start = clock.nsecsElapsed();
                if (!oneRequest(s, QStringLiteral("bench.%1.%2").arg(t).arg(n++)))
                    ++failures;
                latencies[size_t(t)].push_back((clock.nsecsElapsed() - start) / 1000);
            }
        }));
        workers.back()->start();
    }
    for (const auto &w : workers)
        w->wait();
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;

    std::vector<qint64> all;
    for (const auto &l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    const auto pct = [&all](double p) {
        return all.empty() ? 0.0 : double(all[std::min(all.size() - 1, size_t(p * double(all.size())))]) / 1000.0;
    };
    std::printf("requests %zu failures %d seconds %.2f rps %.1f p50_ms %.2f p90_ms %.2f p99_ms %.2f\n", all.size(),
                failures.load(), elapsed, double(all.size()) / elapsed, pct(0.50), pct(0.90), pct(0.99));
    return failures.load() == 0 ? 0 : 1;
}
