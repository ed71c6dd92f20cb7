// Download benchmark on one large tenant (bench/dataset.sql): 1,000
// terminals, 20,000 persons (200 per terminal) and 100,000 pending markers
// (100 per terminal).
//
// Each request kind is timed through the worker (KelvoWorker with the
// registry, in-process) and, in the same run, by a minimal client that opens
// one connection per request like the worker and sends exactly the statements
// the worker sent (taken from the server's query log once, before timing).
// Prints the median per request of both and their ratio. With --explain it
// also prints the plan of every statement of the download and upload
// handlers and marks the ones that read a whole table.
//
// Needs the server of KELVO_TEST_DB_HOST / KELVO_TEST_DB_PORT (root without
// password); bench/bench_sync.sh starts a private one.
#include "workerharness.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int terminals = 1000;
constexpr int persons = 20000;
constexpr int plainTid = 1000; // 100 pending markers
constexpr int forcedTid = 999; // 200 persons, every kind in flags
constexpr int confirmTid = 998; // markers laid anew before every confirmation
constexpr int peopleTid = 997;
const QString kindMarkers = QStringLiteral(
    // 100 markers per terminal: 60 persons, 20 balances, 15 presence states, 5 types.
    "INSERT INTO term_sync SELECT t.seq, 'U', 'people_term', IF(j.seq < 95, 'uid', 'iid'), "
    "IF(j.seq < 95, ((t.seq - 1) * 20 + j.seq * 2) % 20000 + 1, (t.seq + j.seq) % 20 + 1), "
    "UNIX_TIMESTAMP() - 1000 + j.seq, CASE WHEN j.seq < 60 THEN 2 WHEN j.seq < 80 THEN 4 WHEN j.seq < 95 "
    "THEN 8 "
    "ELSE 1 END FROM seq_%1 t JOIN seq_0_to_99 j");

struct Request
{
    QString name;
    QString method;
    QString path;
    // Untimed, before each request: puts back what the previous one removed.
    QStringList reset;
    QJsonObject body;
};

struct Sample
{
    QString name;
    double worker = 0;
    double direct = 0;
    int statements = 0;
};

double medianMs(std::vector<qint64> nanos)
{
    if (nanos.empty())
        return 0;
    std::sort(nanos.begin(), nanos.end());
    return nanos[nanos.size() / 2] / 1e6;
}

bool run(const QString &schema, const QString &sql)
{
    const QString error = TestDatabase::exec(schema, sql);
    if (!error.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(error));
    return error.isEmpty();
}

QString terminalPath(const QString &operation, int tid, const QString &item = QString())
{
    QString path = QStringLiteral("/kelvo/%1/%2").arg(operation, KelvoWorker::encodeHash(tid, 100000 + tid));
    if (!item.isEmpty())
        path += QLatin1Char('/') + item;
    return path;
}

// The statements the tenant user sent while one request ran, from the
// server's query log (the connection's own character-set set-up left out).
QStringList capturedStatements(
    WorkerHarness &harness, const TestDatabase::Tenant &tenant, const Request &request)
{
    for (const QString &sql : request.reset)
        run(tenant.schema, sql);
    run(QString(), QStringLiteral("SET GLOBAL log_output = 'TABLE'"));
    run(QString(), QStringLiteral("TRUNCATE mysql.general_log"));
    run(QString(), QStringLiteral("SET GLOBAL general_log = 1"));
    const Reply reply = harness.request(request.method, request.path, tenant.token, request.body);
    run(QString(), QStringLiteral("SET GLOBAL general_log = 0"));
    if (reply.status >= 300)
        std::fprintf(stderr, "%s %s answered %d: %s\n", qPrintable(request.method), qPrintable(request.name),
            reply.err(), qPrintable(reply.res().toString()));

    QSqlQuery log(TestDatabase::adminConnection());
    log.exec(QStringLiteral(
        "SELECT argument FROM mysql.general_log WHERE command_type = 'Query' AND user_host LIKE "
        "'%1%' ORDER BY event_time")
                 .arg(tenant.user));
    QStringList statements;
    while (log.next()) {
        const QString sql = QString::fromUtf8(log.value(0).toByteArray());
        if (!sql.startsWith(QLatin1String("SET NAMES"), Qt::CaseInsensitive))
            statements << sql;
    }
    return statements;
}

// The baseline: one connection per request, the statements, every value read.
void directRequest(const TestDatabase::Tenant &tenant, const QStringList &statements)
{
    static int serial = 0;
    const QString name = QStringLiteral("bench.direct.%1").arg(++serial);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(TestDatabase::host());
        db.setPort(TestDatabase::port());
        db.setUserName(tenant.user);
        db.setPassword(tenant.password);
        db.setDatabaseName(tenant.schema);
        db.setConnectOptions(QStringLiteral("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1"));
        if (!db.open())
            std::fprintf(stderr, "direct connection failed: %s\n", qPrintable(db.lastError().text()));
        for (const QString &sql : statements) {
            QSqlQuery query(db);
            if (!query.exec(sql))
                std::fprintf(stderr, "direct statement failed: %s\n", qPrintable(query.lastError().text()));
            const int columns = query.record().count();
            while (query.next())
                for (int i = 0; i < columns; ++i)
                    query.value(i);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

Sample measure(WorkerHarness &harness, const TestDatabase::Tenant &tenant, const Request &request, int rounds)
{
    const QStringList statements = capturedStatements(harness, tenant, request);
    std::vector<qint64> worker;
    std::vector<qint64> direct;
    QElapsedTimer clock;
    // Only the worker's own work is timed: the request as the host hands it
    // over, up to the response bytes.
    const QUrl url(request.path);
    const QStringList headers = WorkerHarness::tokenHeaders(tenant.token);
    const QByteArray body = request.body.isEmpty()
        ? QByteArray()
        : KelvoWorker::encodeSafeBase64(QJsonDocument(request.body).toJson(QJsonDocument::Compact));
    QByteArray response;
    const auto viaWorker = [&] { response = harness.buildResponse(request.method, url, headers, body); };
    const auto timed = [&](std::vector<qint64> &samples, const std::function<void()> &send) {
        for (const QString &sql : request.reset)
            run(tenant.schema, sql);
        clock.start();
        send();
        samples.push_back(clock.nsecsElapsed());
    };
    // Interleaved, first one side then the other, so that both see the same
    // server state, load and drift.
    for (int i = 0; i < rounds; ++i) {
        if (i % 2 == 0)
            timed(worker, viaWorker);
        timed(direct, [&] { directRequest(tenant, statements); });
        if (i % 2 == 1)
            timed(worker, viaWorker);
        const Reply reply = WorkerHarness::parse(response);
        if (reply.status >= 300)
            std::fprintf(stderr, "%s: status %d\n", qPrintable(request.name), reply.status);
    }
    return { request.name, medianMs(worker), medianMs(direct), int(statements.size()) };
}

// EXPLAIN of every captured statement; a plan row that reads a whole table
// (type ALL, or a full index scan) is marked.
int explain(const TestDatabase::Tenant &tenant, const QStringList &statements)
{
    int fullScans = 0;
    QSqlQuery query(TestDatabase::adminConnection(tenant.schema));
    for (const QString &sql : statements) {
        std::printf("\n%s\n", qPrintable(sql.simplified()));
        if (!query.exec(QStringLiteral("EXPLAIN ") + sql)) {
            std::printf("   (no plan: %s)\n", qPrintable(query.lastError().text()));
            continue;
        }
        const QSqlRecord record = query.record();
        while (query.next()) {
            const QString type = query.value(record.indexOf(QStringLiteral("type"))).toString();
            const QString selectType = query.value(record.indexOf(QStringLiteral("select_type"))).toString();
            // An INSERT's own row reads as ALL; it reads nothing.
            const bool full = selectType != QLatin1String("INSERT")
                && (type == QLatin1String("ALL") || type == QLatin1String("index"));
            fullScans += full ? 1 : 0;
            std::printf("   %-6s %-12s %-8s %-20s rows %-7s %s%s\n", qPrintable(selectType),
                qPrintable(query.value(record.indexOf(QStringLiteral("table"))).toString()), qPrintable(type),
                qPrintable(query.value(record.indexOf(QStringLiteral("key"))).toString()),
                qPrintable(query.value(record.indexOf(QStringLiteral("rows"))).toString()),
                qPrintable(query.value(record.indexOf(QStringLiteral("Extra"))).toString()),
                full ? "   <-- whole table" : "");
        }
    }
    return fullScans;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The worker's base class notes every released connection at debug level.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QStringList args = app.arguments();
    const bool withPlans = args.contains(QStringLiteral("--explain"));
    const int roundsAt = args.indexOf(QStringLiteral("--rounds"));
    const int rounds = roundsAt > 0 && roundsAt + 1 < args.size() ? args.at(roundsAt + 1).toInt() : 200;
    if (!TestDatabase::available()) {
        std::fprintf(stderr, "KELVO_TEST_DB_PORT is not set: run bench/bench_sync.sh\n");
        return 2;
    }

    const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("bench"));
    QElapsedTimer fill;
    fill.start();
    QString error;
    if (!TestDatabase::loadSqlFile(
            tenant.schema, TestDatabase::sourceDir() + QStringLiteral("/bench/dataset.sql"), &error)) {
        std::fprintf(stderr, "bench/dataset.sql: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("tenant %s: %d terminals, %d persons, %s links, %s markers, filled in %.1f s\n",
        qPrintable(tenant.schema), terminals, persons,
        qPrintable(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT COUNT(*) FROM people_term"))
                       .toString()),
        qPrintable(
            TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT COUNT(*) FROM term_sync")).toString()),
        fill.elapsed() / 1000.0);

    const QString now = QString::number(QDateTime::currentSecsSinceEpoch());
    const QList<Request> requests {
        { QStringLiteral("GET sync, 100 pending markers"), QStringLiteral("GET"),
            terminalPath(QStringLiteral("sync"), plainTid), {}, {} },
        { QStringLiteral("GET sync fs, 200 persons"), QStringLiteral("GET"),
            terminalPath(QStringLiteral("sync"), forcedTid, QStringLiteral("fs")), {}, {} },
        { QStringLiteral("DELETE sync, 100 markers"), QStringLiteral("DELETE"),
            terminalPath(
                QStringLiteral("sync"), confirmTid, KelvoWorker::encodeHash(now.toULongLong(), 0xffff)),
            { QStringLiteral("DELETE FROM term_sync WHERE tid = %1").arg(confirmTid),
                kindMarkers.arg(QStringLiteral("%1_to_%1").arg(confirmTid)),
                QStringLiteral("UPDATE term SET syn = 15 WHERE tid = %1").arg(confirmTid) },
            {} },
        { QStringLiteral("GET person, 200 persons"), QStringLiteral("GET"),
            terminalPath(QStringLiteral("person"), peopleTid), {}, {} },
    };

    WorkerHarness harness;
    std::printf(
        "\nmedian per request over %d requests each, one connection per request on both sides\n", rounds);
    std::printf("%-32s %10s %10s %7s %11s\n", "request", "worker ms", "direct ms", "ratio", "statements");
    for (const Request &request : requests) {
        const Sample s = measure(harness, tenant, request, rounds);
        std::printf("%-32s %10.3f %10.3f %7.2f %11d\n", qPrintable(s.name), s.worker, s.direct,
            s.direct > 0 ? s.worker / s.direct : 0.0, s.statements);
    }

    int fullScans = 0;
    if (withPlans) {
        // Every download and upload statement, as the handlers send them.
        const QString person = KelvoWorker::encodeHash(5, 500005);
        const QJsonObject personBody { { QStringLiteral("pid"), 500005 },
            { QStringLiteral("name"), QStringLiteral("Renamed") } };
        const QJsonObject newPerson { { QStringLiteral("pid"), 900001 },
            { QStringLiteral("name"), QStringLiteral("New") } };
        const QJsonObject entrance { { QStringLiteral("refId"), 4711 },
            { QStringLiteral("type"), QStringLiteral("in") }, { QStringLiteral("iid"), 1 },
            { QStringLiteral("uid"), 5 } };
        const QJsonObject registration { { QStringLiteral("fid"), 100001 },
            { QStringLiteral("name"), QStringLiteral("T1") },
            { QStringLiteral("type"), QStringLiteral("DSK") } };
        const QList<Request> all = requests
            + QList<Request> {
                  { QStringLiteral("saldo"), QStringLiteral("GET"),
                      terminalPath(QStringLiteral("saldo"), 1, person), {}, {} },
                  { QStringLiteral("present"), QStringLiteral("GET"),
                      terminalPath(QStringLiteral("present"), 1), {}, {} },
                  { QStringLiteral("inters"), QStringLiteral("GET"),
                      terminalPath(QStringLiteral("inters"), 1), {}, {} },
                  { QStringLiteral("delete entrance"), QStringLiteral("DELETE"),
                      terminalPath(QStringLiteral("entrance"), 1, KelvoWorker::encodeHash(1, 1)), {}, {} },
                  { QStringLiteral("register"), QStringLiteral("POST"), QStringLiteral("/kelvo/term"), {},
                      registration },
                  { QStringLiteral("upload person"), QStringLiteral("POST"),
                      terminalPath(QStringLiteral("person"), 1), {}, personBody },
                  { QStringLiteral("new person"), QStringLiteral("POST"),
                      terminalPath(QStringLiteral("person"), 1), {}, newPerson },
                  { QStringLiteral("update person"), QStringLiteral("PUT"),
                      terminalPath(QStringLiteral("person"), 1, person), {},
                      QJsonObject { { QStringLiteral("name"), QStringLiteral("Again") } } },
                  { QStringLiteral("entrance"), QStringLiteral("POST"),
                      terminalPath(QStringLiteral("entrance"), 1), {}, entrance },
                  { QStringLiteral("terminal state"), QStringLiteral("PUT"),
                      terminalPath(QStringLiteral("term"), 1), {},
                      QJsonObject { { QStringLiteral("ver"), QStringLiteral("9") } } },
                  { QStringLiteral("delete person"), QStringLiteral("DELETE"),
                      terminalPath(QStringLiteral("person"), 1, person), {}, {} },
              };
        QStringList statements;
        for (const Request &request : all)
            for (const QString &sql : capturedStatements(harness, tenant, request))
                if (!statements.contains(sql))
                    statements << sql;
        std::printf("\nplans of %d distinct statements of the handlers:\n", int(statements.size()));
        fullScans = explain(tenant, statements);
        std::printf("\nplan rows that read a whole table: %d\n", fullScans);
    }
    TestDatabase::dropTenant(tenant);
    return 0;
}
