// The limit that bench_host.sh compares the host with: the statements that the
// worker sends for one request (captured from the server's query log), sent
// straight to MariaDB from N threads for a fixed time, every value of every
// row read. "fresh" opens one connection per request as the worker does by
// default; "kept" keeps one connection per thread open, the limit of a host
// that keeps its connections. Prints requests per second and latency
// percentiles in the form bench_host.sh reads.
//
//   kelvo-bench-direct fresh|kept STATEMENTS HOST PORT DATABASE USER PASSWORD THREADS SECONDS
//
// STATEMENTS holds one statement per line; {refId} becomes a number of its
// own per request and {now} the current Unix time.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Settings
{
    bool kept = false;
    QStringList statements;
    QString host, database, user, password;
    int port = 3306;
    int seconds = 10;
};

std::atomic<quint32> nextRefId { quint32(QDateTime::currentSecsSinceEpoch() % 100000) * 20000 + 1000 };

QSqlDatabase connection(const Settings &s, const QString &name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(s.host);
    db.setPort(s.port);
    db.setDatabaseName(s.database);
    db.setUserName(s.user);
    db.setPassword(s.password);
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1"));
    return db;
}

// The worker sets utf8mb4 on every connection it opens.
bool open(QSqlDatabase &db)
{
    return db.open() && QSqlQuery(db).exec(QStringLiteral("SET NAMES utf8mb4"));
}

bool replay(const Settings &s, QSqlDatabase &db)
{
    const QString refId = QString::number(nextRefId++);
    const QString now = QString::number(QDateTime::currentSecsSinceEpoch());
    QSqlQuery query(db);
    for (QString sql : s.statements) {
        sql.replace(QLatin1String("{refId}"), refId).replace(QLatin1String("{now}"), now);
        if (!query.exec(sql)) {
            std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
            return false;
        }
        const int columns = query.record().count();
        while (query.next())
            for (int i = 0; i < columns; ++i)
                query.value(i);
    }
    return true;
}

bool freshRequest(const Settings &s, const QString &name)
{
    bool ok = false;
    {
        QSqlDatabase db = connection(s, name);
        ok = open(db) && replay(s, db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = QCoreApplication::arguments();
    if (a.size() != 10 || (a.at(1) != QLatin1String("fresh") && a.at(1) != QLatin1String("kept"))) {
        std::fprintf(stderr,
            "usage: kelvo-bench-direct fresh|kept STATEMENTS HOST PORT DATABASE USER PASSWORD "
            "THREADS SECONDS\n");
        return 2;
    }
    Settings s;
    s.kept = a.at(1) == QLatin1String("kept");
    QFile file(a.at(2));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(a.at(2)));
        return 2;
    }
    s.statements = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    s.host = a.at(3);
    s.port = a.at(4).toInt();
    s.database = a.at(5);
    s.user = a.at(6);
    s.password = a.at(7);
    const int threads = std::max(1, a.at(8).toInt());
    s.seconds = std::max(1, a.at(9).toInt());

    auto latencies = std::vector<std::vector<qint64>>(size_t(threads)); // microseconds, one list per thread
    std::atomic<int> failures { 0 };
    std::vector<std::unique_ptr<QThread>> workers;
    QElapsedTimer wall;
    wall.start();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([&, t] {
            const QString keptName = QStringLiteral("bench.kept.%1").arg(t);
            QSqlDatabase kept;
            if (s.kept) {
                kept = connection(s, keptName);
                if (!open(kept))
                    ++failures;
            }
            QElapsedTimer clock;
            clock.start();
            int n = 0;
            while (clock.elapsed() < qint64(s.seconds) * 1000) {
                const qint64 start = clock.nsecsElapsed();
                const bool ok = s.kept ? replay(s, kept)
                                       : freshRequest(s, QStringLiteral("bench.%1.%2").arg(t).arg(n++));
                if (!ok)
                    ++failures;
                latencies[size_t(t)].push_back((clock.nsecsElapsed() - start) / 1000);
            }
            if (s.kept) {
                kept.close();
                kept = QSqlDatabase();
                QSqlDatabase::removeDatabase(keptName);
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
        return all.empty() ? 0.0
                           : double(all[std::min(all.size() - 1, size_t(p * double(all.size())))]) / 1000.0;
    };
    std::printf("requests %zu failures %d seconds %.2f rps %.1f p50_ms %.2f p90_ms %.2f p99_ms %.2f\n",
        all.size(), failures.load(), elapsed, double(all.size()) / elapsed, pct(0.50), pct(0.90), pct(0.99));
    return failures.load() == 0 ? 0 : 1;
}
