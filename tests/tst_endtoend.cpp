// kelvo-host against the test server over real sockets: hostile clients, a
// busy or frozen database, signals, the admin listener and the log.
#include "hostlog.h"
#include "hostprocess.h"
#include "hosttenant.h"
#include "metricstext.h"
#include "rawconnection.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}

// A MariaDB server of the test's own (the suite's server is shared with
// suites running in parallel and must never be stopped): an information
// database only.
class PrivateServer
{
public:
    PrivateServer()
    {
        QProcess start;
        start.start(TestDatabase::sourceDir() + s("/scripts/mariadb.sh"), { s("start"), dir.path() });
        if (!start.waitForFinished(120000) || start.exitCode() != 0)
            return;
        port = start.readAllStandardOutput().trimmed().toInt();
        QFile pidFile(dir.filePath(s("mariadbd.pid")));
        if (pidFile.open(QIODevice::ReadOnly))
            pid = pidFile.readAll().trimmed().toInt();
        const QStringList client { s("--no-defaults"), s("-h127.0.0.1"), s("-P%1").arg(port), s("-uroot") };
        QProcess load;
        load.setStandardInputFile(TestDatabase::sourceDir() + s("/db/sql/info.sql"));
        if (QProcess::execute(s("mariadb"), client + QStringList { s("-e"), s("CREATE DATABASE info") }) == 0)
            load.start(s("mariadb"), client + QStringList { s("info") });
        if (!load.waitForFinished(60000) || load.exitCode() != 0)
            port = 0;
    }
    ~PrivateServer()
    {
        if (pid > 0)
            ::kill(pid_t(pid), SIGCONT);
        QProcess::execute(TestDatabase::sourceDir() + s("/scripts/mariadb.sh"), { s("stop"), dir.path() });
    }
    Q_DISABLE_COPY(PrivateServer)

    bool isReady() const { return port > 0 && pid > 0; }
    QString infoUrl() const { return s("mysql://root@127.0.0.1:%1/info").arg(port); }

    QTemporaryDir dir;
    int port = 0;
    int pid = 0;
};

// One GET on the admin listener: the status and the body.
QPair<int, QByteArray> adminGet(quint16 port, const char *path)
{
    RawConnection connection(port);
    if (!connection.isConnected())
        return {};
    connection.send(RawConnection::request("GET", s(path)));
    const QByteArray answer = connection.response();
    return { answer.mid(9, 3).toInt(), answer.mid(answer.indexOf("\r\n\r\n") + 4) };
}

MetricsText scrape(quint16 port)
{
    const auto answer = adminGet(port, "/metrics");
    MetricsText m = MetricsText::parse(answer.second);
    if (answer.first != 200)
        m.error = s("status %1").arg(answer.first);
    return m;
}

int status(quint16 port, const QByteArray &bytes)
{
    RawConnection connection(port);
    return connection.ask(bytes).status;
}

const QByteArray nothere = RawConnection::request("GET", s("/nothere"));

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    // The host of the hostile-client cases: its limits come from an INI file.
    QTemporaryDir dir;
    std::unique_ptr<HostProcess> strict;

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        // The hosts started here write the log of a terminal, whoever runs the tests.
        qunsetenv("JOURNAL_STREAM");
        qunsetenv("INVOCATION_ID");
        QFile ini(dir.filePath(s("host.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("max-body = 1024\nbody-budget = 1500\nthreads = 9\nread-timeout = 1\n");
        ini.close();
        // The command line wins over the file.
        strict = std::make_unique<HostProcess>(
            QStringList { s("--config"), ini.fileName(), s("--threads"), s("2") });
        QVERIFY(strict->isReady());
        QTRY_VERIFY(strict->log().contains(QLatin1String("with 2 threads")));
    }

    void cleanupTestCase() { strict.reset(); }

    void hostAnswers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");

        const QByteArray big(2000, 'A');
        const QByteArray post = "POST /kelvo/term HTTP/1.1\r\nHost: a\r\n";
        // A body that is itself a request: read as a second request, it would be answered (smuggling).
        const QByteArray smuggled = "\r\n0\r\n\r\n" + RawConnection::request("GET", s("/kelvo/sync/x"));
        const QByteArray get = "GET /kelvo/sync/x HTTP/1.1\r\n";
        QTest::newRow("outside the prefix") << RawConnection::request("GET", s("/other/sync/x")) << 404;
        QTest::newRow("prefix is a whole segment")
            << RawConnection::request("GET", s("/kelvox/sync/x")) << 404;
        QTest::newRow("not HTTP") << QByteArray("GARBAGE\r\n\r\n") << 400;
        QTest::newRow("header without colon") << get + "Host: a\r\nbroken\r\n\r\n" << 400;
        QTest::newRow("bad content length") << post + "Content-Length: x\r\n\r\n" << 400;
        QTest::newRow("no Host") << get + "\r\n" << 400;
        QTest::newRow("two Host lines") << get + "Host: a\r\nHost: b\r\n\r\n" << 400;
        for (const char *coding : { "xchunked", "identity", "gzip", "chunked, identity" })
            QTest::newRow(coding) << post + "Transfer-Encoding: " + coding + "\r\n" + smuggled << 400;
        QTest::newRow("gzip, chunked") << post + "Transfer-Encoding: gzip, chunked\r\n" + smuggled << 501;
        QTest::newRow("body over the limit")
            << RawConnection::request("POST", s("/kelvo/term"), s("t"), big) << 413;
        QTest::newRow("chunked body over the limit") << post + "Transfer-Encoding: chunked\r\n\r\n7d0\r\n"
                + big + "\r\n0\r\n\r\n" << 413;
        QTest::newRow("head too large") << get + "X-Big: " + QByteArray(20000, 'h') + "\r\n\r\n" << 431;
        QTest::newRow("half-sent head") << get + "Host: a\r\n" << 408;
    }

    // The host's own answers: complete, in the plug-in's envelope, then the connection closes.
    void hostAnswers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        RawConnection connection(strict->port);
        QVERIFY(connection.isConnected());
        const Reply reply = connection.ask(bytes);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.err(), status);
        QVERIFY(reply.head.contains("Content-Type: application/att"));
        QVERIFY(connection.closedByPeer());
    }

    // Requests on one kept connection: each answer is byte for byte what the
    // worker renders for the same request.
    void workerAnswersPassUnchanged()
    {
        const HostTenant tenant(s("wire"));
        WorkerHarness harness;
        RawConnection connection(strict->port);
        QVERIFY(connection.isConnected());
        const QString unknown = s("/kelvo/sync/") + HttpPluginWorker::encodeHash(999, 999);
        // 405, 400, 404 and 502 (no tenant for the token).
        const QList<std::tuple<QByteArray, QString, QString>> requests {
            { "PATCH", s("/kelvo/sync/x"), tenant.token }, { "GET", s("/kelvo/%70erson"), tenant.token },
            { "GET", unknown, tenant.token }, { "GET", unknown, s("no-such-tenant") }
        };
        for (int round = 0; round < 2; ++round) {
            for (const auto &[method, target, token] : requests) {
                const Reply expected = harness.raw(QString::fromLatin1(method), target,
                    { s("Host: localhost"), s("Pragma: token = ") + token }, QByteArray());
                connection.send(RawConnection::request(method, target, token));
                QCOMPARE(connection.response(), expected.head + "\r\n" + expected.body);
            }
        }
    }

    // Bodies beyond the budget and connections beyond the cap get 503 and are closed.
    void bodyBudgetAndConnectionCap()
    {
        const QByteArray head = "POST /kelvo/term HTTP/1.1\r\nHost: a\r\nContent-Length: ";
        RawConnection reserving(strict->port);
        QVERIFY(reserving.isConnected());
        reserving.send(head + "1024\r\nExpect: 100-continue\r\n\r\n");
        QCOMPARE(reserving.response(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        RawConnection over(strict->port);
        QVERIFY(over.isConnected());
        over.send(head + "1000\r\n\r\n");
        const QByteArray refused = over.response();
        QCOMPARE(WorkerHarness::parse(refused).status, 503);
        QVERIFY(refused.contains("\r\nRetry-After: 1\r\n"));
        QVERIFY(over.closedByPeer());
        // The reserved body is still taken, and the worker answers it.
        QVERIFY(reserving.ask(QByteArray(1024, 'x')).json.value(s("ver")) != s("host"));

        HostProcess capped({ s("--max-connections"), s("1") });
        QVERIFY(capped.isReady());
        RawConnection one(capped.port), two(capped.port);
        QVERIFY(one.isConnected() && two.isConnected());
        QCOMPARE(WorkerHarness::parse(two.response()).status, 503);
        QVERIFY(two.closedByPeer());
        QCOMPARE(one.ask(nothere).status, 404);
    }

    // Eight clients at once, each with its own kept connection, mixing
    // downloads and uploads and alternating tenants so that every serving
    // thread serves both: every answer is right, every entrance announced once.
    void parallelClientsAndTenants()
    {
        constexpr int clients = 8;
        constexpr int rounds = 15;
        const HostTenant tenant(s("par"), 5151), other(s("iso"));
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--threads"), s("3") });
        QVERIFY(host.isReady());
        const quint16 port = host.port;
        const QString sync = s("/kelvo/sync/") + tenant.terminal();

        std::atomic<int> good { 0 };
        std::vector<std::unique_ptr<QThread>> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back(QThread::create([&, c] {
                RawConnection connection(port);
                if (!connection.isConnected())
                    return;
                for (int r = 0; r < rounds; ++r)
                    good += connection.ask(tenant.sync()).status == 200
                        && connection.ask(RawConnection::request("GET", sync, other.token)).status == 404
                        && connection.ask(RawConnection::request("GET", sync, s("no-such-token"))).status
                            == 502
                        && connection.ask(tenant.entrance(quint32(1000 * (c + 1) + r))).status == 201;
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait(120000));
        QCOMPARE(good.load(), clients * rounds);
        QCOMPARE(TestDatabase::scalar(tenant.schema, s("SELECT COUNT(*) FROM inters_data")).toInt(),
            clients * rounds);
        QVERIFY(TestDatabase::scalar(tenant.schema, s("SELECT online FROM term WHERE tid = 1")).toUInt() > 0);
        QCOMPARE(TestDatabase::scalar(other.schema, s("SELECT COUNT(*) FROM inters_data")).toInt(), 0);
        QTRY_COMPARE(host.countInLog(s("recordCreated tbl=inters_data")), clients * rounds);
    }

    // One worker held by a row lock: a request needing no database is answered
    // at once, a full queue is refused with Retry-After, and a request that
    // waited past the queue deadline is answered 503 without being executed.
    void busyWorker()
    {
        HostTenant tenant(s("busy"), 4141);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--threads"), s("1"), s("--queue-size"), s("1"), s("--queue-timeout"), s("1") });
        QVERIFY(host.isReady());
        QVERIFY(tenant.lockTerminal());
        RawConnection held(host.port);
        QVERIFY(held.isConnected());
        held.send(tenant.sync());
        QVERIFY(tenant.waitForLockWait());
        QCOMPARE(status(host.port, nothere), 404);

        // Two entrances for the one place in the queue: one waits, the other is refused at once.
        RawConnection first(host.port), second(host.port);
        QVERIFY(first.isConnected() && second.isConnected());
        QElapsedTimer queued;
        queued.start();
        first.send(tenant.entrance(1));
        second.send(tenant.entrance(2));
        QByteArray refused;
        RawConnection *waiting = nullptr;
        for (const QDeadlineTimer deadline(20000); !waiting && !deadline.hasExpired();) {
            for (RawConnection *c : { &first, &second }) {
                refused = c->response(50);
                if (!refused.isEmpty()) {
                    waiting = c == &first ? &second : &first;
                    break;
                }
            }
        }
        QVERIFY(waiting);
        QCOMPARE(WorkerHarness::parse(refused).status, 503);
        QVERIFY(refused.contains("\r\nRetry-After: 1\r\n"));

        // The queue deadline is a time: let it pass, then free the worker.
        QTest::qWait(int(qMax<qint64>(0, 1500 - queued.elapsed())));
        tenant.unlock();
        QCOMPARE(WorkerHarness::parse(held.response()).status, 200);
        const Reply expired = WorkerHarness::parse(waiting->response());
        QCOMPARE(expired.status, 503);
        QVERIFY(expired.res().toString().contains(s("not executed")));
        QCOMPARE(TestDatabase::scalar(tenant.schema, s("SELECT COUNT(*) FROM inters_data")).toInt(), 0);
    }

    // SIGTERM: idle connections close, new ones are refused, a request on its
    // way is answered with "Connection: close", and a worker held by a row
    // lock is abandoned at the shutdown deadline (503, logged); exit code 0.
    void sigterm()
    {
        HostTenant tenant(s("term"), 6161, 2);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--threads"), s("2"), s("--shutdown-timeout"), s("2") });
        QVERIFY(host.isReady());
        QVERIFY(tenant.lockTerminal());
        RawConnection held(host.port), idle(host.port), busy(host.port);
        QVERIFY(held.isConnected() && idle.isConnected() && busy.isConnected());
        held.send(tenant.sync());
        QVERIFY(tenant.waitForLockWait());
        // The host has read the head of the entrance once it asks for the body.
        const QByteArray whole = tenant.entrance(77, 2);
        const int bodyAt = whole.indexOf("\r\n\r\n") + 2;
        busy.send(whole.left(bodyAt) + "Expect: 100-continue\r\n\r\n");
        QCOMPARE(busy.response(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));

        QElapsedTimer stopping;
        stopping.start();
        host.signal(SIGTERM);
        QVERIFY(idle.closedByPeer());
        QTRY_VERIFY(host.log().contains(QLatin1String("stopping")));
        QTcpSocket late;
        late.connectToHost(s("127.0.0.1"), host.port);
        QVERIFY(!late.waitForConnected(2000));
        busy.send(whole.mid(bodyAt + 2));
        const QByteArray answer = busy.response();
        QCOMPARE(WorkerHarness::parse(answer).status, 201);
        QVERIFY(answer.contains("\r\nConnection: close\r\n"));
        QVERIFY(busy.closedByPeer());

        QCOMPARE(WorkerHarness::parse(held.response()).status, 503);
        QVERIFY(host.process.waitForFinished(30000));
        QVERIFY2(stopping.elapsed() < 10000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host.process.exitCode(), 0);
        QVERIFY(host.log().contains(QLatin1String("recordCreated tbl=inters_data")));
        QVERIFY(host.log().contains(QLatin1String("abandoned at the shutdown deadline")));
    }

    // A stopped database server: requests needing no database are answered at
    // once, a tenant's request gets an error answer within the timeouts,
    // /healthz turns 503, and SIGTERM ends the host within its deadline.
    void frozenDatabase()
    {
        PrivateServer server;
        QVERIFY(server.isReady());
        const QString one = s("1");
        HostProcess host({ s("--info-db"), server.infoUrl(), s("--threads"), one, s("--db-connect-timeout"),
            one, s("--db-read-timeout"), one, s("--db-write-timeout"), one, s("--shutdown-timeout"), s("2"),
            s("--admin-listen"), s("127.0.0.1:0"), s("--health-interval"), one });
        QVERIFY(host.isReady());
        const quint16 admin = host.adminPort();
        QVERIFY(admin != 0);
        QTRY_COMPARE(adminGet(admin, "/healthz").first, 200);
        QCOMPARE(::kill(pid_t(server.pid), SIGSTOP), 0);

        RawConnection tenantRequest(host.port);
        QVERIFY(tenantRequest.isConnected());
        tenantRequest.send(RawConnection::request("GET", s("/kelvo/sync/x"), s("some-token")));
        RawConnection cheap(host.port);
        QVERIFY(cheap.isConnected());
        QCOMPARE(cheap.ask(nothere, 5000).status, 404);
        const Reply failed = WorkerHarness::parse(tenantRequest.response(30000));
        QVERIFY2(failed.status >= 500, failed.head.constData());
        QTRY_COMPARE_WITH_TIMEOUT(adminGet(admin, "/healthz").first, 503, 20000);
        QCOMPARE(scrape(admin).value(s("kelvo_information_database_up")), 0.0);

        QElapsedTimer stopping;
        stopping.start();
        host.signal(SIGTERM);
        QVERIFY(host.process.waitForFinished(30000));
        QVERIFY2(stopping.elapsed() < 10000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(host.process.exitCode(), 0);
    }

    // SIGHUP: a tenant disabled since is refused (502) at once, another is
    // served as before, and a request in flight is answered.
    void reload()
    {
        HostTenant disabled(s("hup"), 5151, 2);
        const HostTenant other(s("hupother"), 5252);
        QCOMPARE(disabled.error + other.error, QString());
        HostProcess host({ s("--threads"), s("2") });
        QVERIFY(host.isReady());
        QCOMPARE(status(host.port, disabled.sync(2)), 200);
        QCOMPARE(status(host.port, other.sync()), 200);

        QVERIFY(disabled.lockTerminal());
        RawConnection inFlight(host.port);
        QVERIFY(inFlight.isConnected());
        inFlight.send(disabled.sync());
        QVERIFY(disabled.waitForLockWait());

        QCOMPARE(TestDatabase::exec(TestDatabase::infoDatabaseName(),
                     s("UPDATE `schemas` SET status = 0 WHERE token = '%1'").arg(disabled.token)),
            QString());
        // The tenant's row is kept until the reload.
        QCOMPARE(status(host.port, disabled.sync(2)), 200);
        host.signal(SIGHUP);
        QTRY_COMPARE(host.countInLog(s("info: kelvo-host: reloaded")), 1);
        QCOMPARE(status(host.port, disabled.sync(2)), 502);
        QCOMPARE(status(host.port, other.sync()), 200);
        disabled.unlock();
        QCOMPARE(WorkerHarness::parse(inFlight.response()).status, 200);
        QCOMPARE(host.process.state(), QProcess::Running);
    }

    // The host's database timeouts reach the tenants' connections: a statement
    // waiting on a row lock ends with an error answer after the read timeout,
    // long before the server's lock wait (50 s) would end it.
    void timeoutsReachTenants()
    {
        HostTenant tenant(s("slowread"), 8181);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--db-read-timeout"), s("1") });
        QVERIFY(host.isReady());
        QVERIFY(tenant.lockTerminal());
        RawConnection client(host.port);
        QVERIFY(client.isConnected());
        QElapsedTimer waited;
        waited.start();
        const Reply answer = client.ask(tenant.sync(), 45000);
        QVERIFY2(answer.status >= 500, answer.head.constData());
        QVERIFY2(waited.elapsed() < 20000, qPrintable(QString::number(waited.elapsed())));
    }

    void servedCountedAndLogged_data()
    {
        QTest::addColumn<bool>("journal"); // and --debug
        QTest::addColumn<QString>("linePattern");

        const QString levels = s("(debug|info|warning|critical|fatal): ");
        QTest::newRow("terminal") << false
                                  << s("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* ") + levels;
        QTest::newRow("journal, debug") << true << s("^<[2-7]>") + levels;
    }

    // /metrics parses and its counters follow the requests; /healthz says ok;
    // nothing else is served on the admin listener. Every log line carries its
    // level (the journal's priority under systemd, else an ISO time), and no
    // token or password is written in full, by the host or the plug-in.
    void servedCountedAndLogged()
    {
        QFETCH(bool, journal);
        QFETCH(QString, linePattern);
        const HostTenant tenant(s("served"), 6262);
        QCOMPARE(tenant.error, QString());
        // A tenant whose account the registry cannot open: the plug-in names its token.
        const HostTenant locked(s("locked"));
        QCOMPARE(
            TestDatabase::exec(TestDatabase::infoDatabaseName(),
                s("UPDATE `schemas` SET pass = TO_BASE64('wrong') WHERE token = '%1'").arg(locked.token)),
            QString());
        if (journal)
            qputenv("JOURNAL_STREAM", "8:4711");
        HostProcess host(QStringList { s("--admin-listen"), s("127.0.0.1:0") }
            + (journal ? QStringList { s("--debug"), s("1") } : QStringList {}));
        qunsetenv("JOURNAL_STREAM");
        QVERIFY(host.isReady());
        const quint16 admin = host.adminPort();
        QVERIFY(admin != 0);
        const MetricsText before = scrape(admin);
        QVERIFY2(before.error.isEmpty(), qPrintable(before.error));

        RawConnection client(host.port);
        QVERIFY(client.isConnected());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(client.ask(tenant.sync()).status, 200);
        QCOMPARE(client.ask(tenant.entrance(1)).status, 201);
        QCOMPARE(status(host.port, nothere), 404);
        // recordCreated reaches the main thread after the answer.
        QTRY_VERIFY(host.log().contains(s("recordCreated")));

        const MetricsText after = scrape(admin);
        QVERIFY2(after.error.isEmpty(), qPrintable(after.error));
        const auto moved = [&](const char *name, const QMap<QString, QString> &labels = {}) {
            return after.value(s(name), labels) - before.value(s(name), labels);
        };
        const auto labels = [](const char *method, const char *operation, const char *status) {
            return QMap<QString, QString> { { s("method"), s(method) }, { s("operation"), s(operation) },
                { s("status"), s(status) } };
        };
        QCOMPARE(moved("kelvo_requests_total", labels("GET", "sync", "200")), 3.0);
        QCOMPARE(moved("kelvo_requests_total", labels("POST", "entrance", "201")), 1.0);
        QCOMPARE(moved("kelvo_requests_total", labels("GET", "host", "404")), 1.0);
        QCOMPARE(moved("kelvo_request_duration_seconds_count"), 5.0);
        QCOMPARE(moved("kelvo_work_queue_wait_seconds_count"), 4.0);
        QVERIFY(moved("kelvo_database_connections_opened_total") >= 4.0);
        QCOMPARE(moved("kelvo_entrances_stored_total"), 1.0);
        QVERIFY(after.value(s("process_resident_memory_bytes")) > 0);
        QTRY_COMPARE(adminGet(admin, "/healthz"), qMakePair(200, QByteArray("ok\n")));
        QCOMPARE(scrape(admin).value(s("kelvo_information_database_up")), 1.0);
        QCOMPARE(adminGet(admin, "/kelvo/sync/x").first, 404);
        RawConnection scraper(admin);
        QVERIFY(scraper.isConnected());
        for (int i = 0; i < 2; ++i) {
            scraper.send(RawConnection::request("GET", s("/metrics")));
            QVERIFY(scraper.response().contains("\r\nContent-Type: text/plain; version=0.0.4"));
        }

        QCOMPARE(
            client.ask(RawConnection::request("GET", s("/kelvo/sync/") + tenant.terminal(), locked.token))
                .status,
            502);
        host.process.terminate();
        QVERIFY(host.process.waitForFinished(30000));
        const QString log = host.log();
        const QRegularExpression line(linePattern);
        for (const QString &l : log.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(line.match(l).hasMatch(), qPrintable(l));
        QCOMPARE(log.contains(s("debug: kelvo-host: queue depth")), journal);
        QCOMPARE(log.contains(s("debug: ")), journal);
        QVERIFY(log.contains(s("NOT OPEN")));
        QVERIFY(log.contains(s("token=%1 ").arg(HostLog::tokenPrefix(tenant.token))));
        for (const QString &secret : { tenant.token, locked.token, tenant.password, locked.password })
            QVERIFY2(!log.contains(secret), qPrintable(secret));
    }

    void healthz_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("account locked") << s("ALTER USER '%1'@'%' ACCOUNT LOCK");
        QTest::newRow("account dropped") << s("DROP USER '%1'@'%'");
    }

    // /healthz follows the information database as the host's account sees
    // it, and no wait on it holds the I/O.
    void healthz()
    {
        QFETCH(QString, failure);
        const QString user = s("khc_%1").arg(QCoreApplication::applicationPid());
        const QString password = s("hc-%1-secret").arg(QCoreApplication::applicationPid());
        const auto dropUser = qScopeGuard(
            [&] { TestDatabase::exec(QString(), s("DROP USER IF EXISTS '%1'@'%'").arg(user)); });
        const QString info = TestDatabase::infoDatabaseName();
        QCOMPARE(TestDatabase::exec(
                     QString(), s("CREATE OR REPLACE USER '%1'@'%' IDENTIFIED BY '%2'").arg(user, password)),
            QString());
        QCOMPARE(TestDatabase::exec(QString(), s("GRANT SELECT ON `%1`.* TO '%2'@'%'").arg(info, user)),
            QString());
        const QString url = s("mysql://%1:%2@%3:%4/%5")
                                .arg(user, password, TestDatabase::host())
                                .arg(TestDatabase::port())
                                .arg(info);
        const QString one = s("1");
        HostProcess host({ s("--info-db"), url, s("--admin-listen"), s("127.0.0.1:0"), s("--health-interval"),
            one, s("--db-connect-timeout"), one, s("--db-read-timeout"), one });
        QVERIFY(host.isReady());
        const quint16 admin = host.adminPort();
        QVERIFY(admin != 0);
        QTRY_COMPARE(adminGet(admin, "/healthz").first, 200);

        QCOMPARE(TestDatabase::exec(QString(), failure.arg(user)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(adminGet(admin, "/healthz").first, 503, 20000);
        QCOMPARE(scrape(admin).value(s("kelvo_information_database_up")), 0.0);
        QCOMPARE(status(host.port, nothere), 404);
        QVERIFY(!host.log().contains(password));
    }

    // The log handler folds identical records and cuts long ones.
    void hostLogFoldsAndCaps()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        std::FILE *sink = std::fopen(QFile::encodeName(file.fileName()).constData(), "w");
        QVERIFY(sink);
        const QtMessageHandler previous = qInstallMessageHandler(nullptr);
        HostLog::install(false, sink);
        for (int i = 0; i < 100; ++i)
            qCritical("initDatabase() - SQL ERROR: Driver not loaded");
        qWarning("%s", QByteArray(100000, 'v').constData());
        qDebug("dropped");
        HostLog::flush(true);
        qInstallMessageHandler(previous);
        std::fclose(sink);

        const QStringList lines
            = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(s("critical: initDatabase() - SQL ERROR: Driver not loaded")));
        QVERIFY(lines.at(1).size() < HostLog::maxRecordChars + 100);
        QVERIFY(lines.at(1).endsWith(s("(%1 more characters)").arg(100000 - HostLog::maxRecordChars)));
        QVERIFY(lines.at(2).endsWith(
            s("critical: (repeated 99 times) initDatabase() - SQL ERROR: Driver not loaded")));
    }

    void hostLogRedacts_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("line");

        QTest::newRow("registry") << s("DBManager:: database \"kt_a\" (token: \"abcdef123456\") NOT OPEN!")
                                  << s("DBManager:: database \"kt_a\" (token: \"abcdef…\") NOT OPEN!");
        QTest::newRow("stamp") << s("DBManager:: cannot set recalc of  \"abcdef123456\" ! | ERROR: x")
                               << s("DBManager:: cannot set recalc of  \"abcdef…\" ! | ERROR: x");
        QTest::newRow("template name") << s("connection 'dbc_abcdef123456' is still in use")
                                       << s("connection 'dbc_abcdef…' is still in use");
        QTest::newRow("header line") << s("Pragma: token = abcdef123456") << s("Pragma: token = abcdef…");
        QTest::newRow("url") << s("cannot open mysql://kelvo:pw@db:3306/info")
                             << s("cannot open mysql://kelvo:***@db:3306/info");
        QTest::newRow("nothing secret") << s("queue depth 0, tokens: 3") << s("queue depth 0, tokens: 3");
    }

    // No token or password reaches a line, whoever wrote the record.
    void hostLogRedacts()
    {
        QFETCH(QString, record);
        QFETCH(QString, line);
        QCOMPARE(HostLog::redact(record), line);
    }

    void startFailures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");

        const QString info = s("--info-db");
        const QString url = HostProcess::infoUrl();
        QTest::newRow("unknown option") << QStringList { s("--bogus") } << s("bogus");
        QTest::newRow("no information database") << QStringList {} << s("--info-db is required");
        QTest::newRow("password not echoed")
            << QStringList { info, s("mysql://kelvo:s3cret@/x") } << s("'mysql://kelvo:***@/x'");
        QTest::newRow("bad thread count")
            << QStringList { info, url, s("--threads"), s("0") } << s("--threads");
        QTest::newRow("unreachable database")
            << QStringList { info, s("mysql://root@127.0.0.1:1/x") } << s("not reachable");
        QTest::newRow("missing plug-in")
            << QStringList { info, url, s("--plugin"), s("/nonexistent/libx.so") } << s("not found");
        QTest::newRow("not a plug-in")
            << QStringList { info, url, s("--plugin"), s(KELVO_HOST_PATH) } << s("not an HTTP plug-in");
    }

    // A start that cannot work ends at once with one line and a non-zero code.
    void startFailures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess p;
        p.start(s(KELVO_HOST_PATH), arguments);
        QVERIFY(p.waitForFinished(20000));
        QVERIFY(p.exitCode() != 0);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        QVERIFY2(err.contains(message) && !err.contains(QLatin1Char('\n')), qPrintable(err));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
