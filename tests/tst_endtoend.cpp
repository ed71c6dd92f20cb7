// kelvo-host and kelvo-term against the test server, over real sockets.
#include "hostlog.h"
#include "hostprocess.h"
#include "metricstext.h"
#include "testdatabase.h"
#include "workerharness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTcpSocket>
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

const QString hostProgram = QStringLiteral(KELVO_HOST_PATH);
const QString termProgram = QStringLiteral(KELVO_TERM_PATH);
const QString pluginLibrary = QStringLiteral(KELVO_PLUGIN_PATH);

QString infoUrl()
{
    return s("mysql://root@%1:%2/%3")
        .arg(TestDatabase::host())
        .arg(TestDatabase::port())
        .arg(TestDatabase::infoDatabaseName());
}

// A raw HTTP/1.1 connection: what goes out is exactly what the test wrote.
class RawConnection
{
public:
    explicit RawConnection(quint16 port) { socket.connectToHost(s("127.0.0.1"), port); }
    bool isConnected() { return socket.waitForConnected(5000); }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) { }
    }

    // One complete response (head and Content-Length body), or empty on timeout / close.
    QByteArray response(int timeoutMs = 15000)
    {
        QDeadlineTimer deadline(timeoutMs);
        int end = -1;
        qint64 length = -1;
        while (!deadline.hasExpired()) {
            end = pending.indexOf("\r\n\r\n");
            if (end >= 0 && length < 0) {
                const QRegularExpressionMatch m = QRegularExpression(s("\r\nContent-Length: (\\d+)\r\n"))
                                                      .match(QString::fromLatin1(pending.left(end + 2)));
                length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
            }
            if (end >= 0 && pending.size() >= end + 4 + length) {
                const QByteArray one = pending.left(int(end + 4 + length));
                pending.remove(0, one.size());
                return one;
            }
            if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
            pending += socket.readAll();
        }
        return QByteArray();
    }

    // Whether the peer closed the connection (within the time) without sending more.
    bool closedByPeer(int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            pending += socket.readAll();
        }
        return socket.state() != QAbstractSocket::ConnectedState && pending.isEmpty();
    }

private:
    QTcpSocket socket;
    QByteArray pending;
};

QByteArray request(const QByteArray &method, const QString &target, const QString &token = QString(),
    const QByteArray &body = QByteArray())
{
    QByteArray r = method + ' ' + target.toUtf8() + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!token.isEmpty())
        r += "Pragma: token = " + token.toUtf8() + "\r\n";
    if (!body.isEmpty() || method == "POST" || method == "PUT")
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

QByteArray entranceBody(quint32 refId, quint32 uid)
{
    const QJsonObject entrance { { s("refId"), double(refId) }, { s("uid"), double(uid) }, { s("iid"), 1 },
        { s("type"), s("in") } };
    return KelvoWorker::encodeSafeBase64(QJsonDocument(entrance).toJson(QJsonDocument::Compact));
}

// What kelvo-term printed: its exit code, the HTTP status and the answers' JSON.
struct TermRun
{
    int exitCode = -1;
    QList<int> statuses;
    QList<QJsonObject> answers;

    QJsonObject last() const { return answers.value(answers.size() - 1); }
};

// args: the words after the common options, separated by single spaces.
TermRun term(const HostProcess &host, const QString &token, const QString &args)
{
    QProcess p;
    p.start(termProgram,
        QStringList { s("--url"), host.url(), s("--token"), token } + args.split(QLatin1Char(' ')));
    TermRun run;
    if (!p.waitForFinished(60000))
        return run;
    run.exitCode = p.exitCode();
    // Answers are printed as "HTTP <status> <reason>" followed by an indented object.
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QStringList blocks
        = out.split(QRegularExpression(s("^HTTP "), QRegularExpression::MultilineOption), Qt::SkipEmptyParts);
    for (const QString &block : blocks) {
        run.statuses << block.section(QLatin1Char(' '), 0, 0).toInt();
        run.answers << QJsonDocument::fromJson(block.section(QLatin1Char('\n'), 1).toUtf8()).object();
    }
    return run;
}

// A fresh tenant, dropped however the test ends; with vornId, also an
// active VTRM terminal 1 with that Vorn ID.
struct Tenant : TestDatabase::Tenant
{
    explicit Tenant(const char *tag, quint32 vornId = 0)
        : TestDatabase::Tenant(TestDatabase::createTenant(s(tag)))
    {
        if (vornId)
            error = TestDatabase::exec(schema,
                s("INSERT INTO term (tid, vornID, status, flags, name, type) "
                  "VALUES (1, %1, 1, '3', 'T1', 'VTRM')")
                    .arg(vornId));
    }
    ~Tenant() { TestDatabase::dropTenant(*this); }
    Q_DISABLE_COPY(Tenant)
    QString error;
};

// A row lock held by the test on a connection of its own, released however the test ends.
class RowLock
{
public:
    RowLock(const QString &database, const QString &select)
        : name(s("rowlock.%1").arg(quintptr(this)))
    {
        QSqlDatabase db = QSqlDatabase::cloneDatabase(TestDatabase::adminConnection(database), name);
        QSqlQuery query(db);
        locked = db.open() && query.exec(s("START TRANSACTION")) && query.exec(select) && query.next();
    }
    ~RowLock()
    {
        QSqlDatabase::database(name).rollback();
        QSqlDatabase::database(name).close();
        QSqlDatabase::removeDatabase(name);
    }
    Q_DISABLE_COPY(RowLock)
    bool locked = false;

private:
    const QString name;
};

// Waits until a statement of the user waits for a row lock. The server
// refreshes its transaction table only when it was not read for 100 ms, so
// the polling is slower than QTRY's.
bool waitForLockWait(const QString &user)
{
    const QString count = s("SELECT COUNT(*) FROM information_schema.INNODB_TRX t "
                            "JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
                            "WHERE t.trx_state = 'LOCK WAIT' AND p.USER = '%1'")
                              .arg(user);
    for (const QDeadlineTimer deadline(20000); !deadline.hasExpired(); QTest::qWait(250)) {
        if (TestDatabase::scalar(QString(), count).toInt() == 1)
            return true;
    }
    return false;
}

// A MariaDB server of the test's own (the suite's server is shared with other suites
// running in parallel and must never be stopped): an information database only.
class PrivateServer
{
public:
    PrivateServer()
    {
        const QString script = TestDatabase::sourceDir() + s("/scripts/mariadb.sh");
        QProcess start;
        start.start(script, { s("start"), dir.path() });
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

// The admin listener's port, from the host's log line that names it.
quint16 adminPort(HostProcess &host)
{
    const QRegularExpression line(s("admin listener on 127\\.0\\.0\\.1:(\\d+) "));
    for (const QDeadlineTimer deadline(10000); !deadline.hasExpired(); QTest::qWait(20)) {
        const QRegularExpressionMatch m = line.match(host.log());
        if (m.hasMatch())
            return quint16(m.captured(1).toUInt());
    }
    return 0;
}

// One GET on the admin listener: the status and the body.
QPair<int, QByteArray> adminGet(quint16 port, const char *path)
{
    RawConnection connection(port);
    if (!connection.isConnected())
        return {};
    connection.send(request("GET", s(path)));
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

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        // The hosts started here write the log of a terminal, whoever runs the tests.
        qunsetenv("JOURNAL_STREAM");
        qunsetenv("INVOCATION_ID");
        QVERIFY2(QFile::exists(hostProgram), qPrintable(hostProgram));
        QVERIFY2(QFile::exists(termProgram), qPrintable(termProgram));
    }

    void terminalLifeCycle()
    {
        const Tenant tenant("life");
        QCOMPARE(TestDatabase::exec(tenant.schema, s("INSERT INTO inters (iid, name) VALUES (1, 'Work')")),
            QString());
        HostProcess host;
        QVERIFY(host.isReady());
        const auto run = [&](const QString &args) { return term(host, tenant.token, args); };
        const auto res = [](const TermRun &r, const char *key) {
            return r.last().value(s("res")).toObject().value(s(key)).toInt();
        };

        // Two terminals register.
        TermRun r = run(s("register 7001 Door VTRM"));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const QString t1 = s("%1.7001").arg(r.last().value(s("res")).toInt());
        r = run(s("register 7002 Hall VTRM"));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const QString t2 = s("%1.7002").arg(r.last().value(s("res")).toInt());

        // A forced synchronisation delivers the lists the terminal keeps (VTRM: inters and people).
        r = run(s("sync %1 --force").arg(t1));
        QCOMPARE(QList<int>({ r.exitCode, res(r, "sync") }), QList<int>({ 0, 3 }));

        // The person created on the first terminal is uploaded again by the second: both linked.
        r = run(s("person %1 pid=501 name=Eva").arg(t1));
        QCOMPARE(r.statuses, QList<int> { 201 });
        const int uid = res(r, "uid");
        QVERIFY(uid > 0);
        QCOMPARE(run(s("person %1 pid=501 name=Eva").arg(t2)).exitCode, 0);

        // A change made on the first terminal reaches the second one.
        QCOMPARE(
            run(s("update-person %1 %2.501 surname=Berg").arg(t1).arg(uid)).statuses, QList<int> { 200 });
        // Markers of this second would be kept by a confirmation (it confirms st-1): age them.
        QCOMPARE(
            TestDatabase::exec(tenant.schema, s("UPDATE term_sync SET created = created - 10")), QString());
        r = run(s("sync %1 --ack").arg(t2));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.statuses, (QList<int> { 200, 200 }));
        QVERIFY2(r.answers.at(0)[s("res")][s("people")].toObject().contains(QString::number(uid)),
            QJsonDocument(r.answers.at(0)).toJson().constData());
        QVERIFY(r.answers.at(1)[s("res")].toInt() >= 1);
        QCOMPARE(run(s("sync ") + t2).last().value(s("res")), QJsonValue(false));

        // An entrance with a photo is stored once and announced once; a resend changes nothing.
        QTemporaryDir dir;
        QFile photo(dir.filePath(s("photo.jpg")));
        QByteArray photoBytes(70000, '\0');
        for (int i = 0; i < photoBytes.size(); ++i)
            photoBytes[i] = char(i * 7 + i / 256);
        QVERIFY(photo.open(QIODevice::WriteOnly) && photo.write(photoBytes) == photoBytes.size());
        photo.close();
        const QString entrance
            = s("entrance %1 refId=1 uid=%2 iid=1 type=in --photo %3").arg(t1).arg(uid).arg(photo.fileName());
        r = run(entrance);
        QCOMPARE(r.statuses, QList<int> { 201 });
        const int eid = res(r, "eid");
        QVERIFY(eid > 0);
        QTRY_COMPARE(host.countInLog(s("recordCreated tbl=inters_data id=%1 token=%2 flags=3")
                                         .arg(eid)
                                         .arg(HostLog::tokenPrefix(tenant.token))),
            1);
        QCOMPARE(
            TestDatabase::scalar(tenant.schema, s("SELECT photo FROM inters_data WHERE id = %1").arg(eid))
                .toByteArray(),
            photoBytes);
        r = run(entrance);
        QCOMPARE(QList<int>({ r.statuses.value(0), res(r, "eid") }), QList<int>({ 208, eid }));
        QTest::qWait(300);
        QCOMPARE(host.countInLog(s("recordCreated ")), 1);
    }

    void keepAliveAndWireBytes_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<int>("status");

        QTest::newRow("method not allowed") << QByteArray("PATCH") << s("/kelvo/sync/x") << true << 405;
        QTest::newRow("lower-case method") << QByteArray("get") << s("/kelvo/sync/x") << true << 405;
        QTest::newRow("bad path") << QByteArray("GET") << s("/kelvo/foo/xyz?a=1") << true << 400;
        QTest::newRow("encoded path") << QByteArray("GET") << s("/kelvo/%70erson") << true << 400;
        QTest::newRow("unknown terminal")
            << QByteArray("GET") << s("/kelvo/sync/%1").arg(KelvoWorker::encodeHash(999, 999)) << true << 404;
        QTest::newRow("no tenant for token")
            << QByteArray("GET") << s("/kelvo/sync/%1").arg(KelvoWorker::encodeHash(1, 2)) << false << 502;
    }

    // Several requests on one connection; each answer is byte for byte what the
    // worker renders for the same request.
    void keepAliveAndWireBytes()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, target);
        QFETCH(bool, withToken);
        QFETCH(int, status);
        static const TestDatabase::Tenant tenant = TestDatabase::createTenant(s("wire"));
        const QString token = withToken ? tenant.token : s("no-such-tenant");
        HostProcess host;
        QVERIFY(host.isReady());
        WorkerHarness harness;
        const QStringList headers { s("Host: localhost"), s("Pragma: token = %1").arg(token) };
        const Reply expected = harness.raw(QString::fromLatin1(method), target, headers, QByteArray());
        QCOMPARE(expected.status, status);

        RawConnection connection(host.port);
        QVERIFY(connection.isConnected());
        for (int i = 0; i < 3; ++i) {
            connection.send(request(method, target, token));
            QCOMPARE(connection.response(), expected.head + "\r\n" + expected.body);
        }
    }

    void hostAnswers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");

        const QByteArray big(2000, 'A');
        const QByteArray post = "POST /kelvo/term HTTP/1.1\r\nHost: a\r\n";
        // A body that is itself a request: read as a second request, it would be answered (smuggling).
        const QByteArray smuggled = "\r\n0\r\n\r\n" + request("GET", s("/kelvo/sync/x"));
        QTest::newRow("outside the prefix") << request("GET", s("/other/sync/x")) << 404;
        QTest::newRow("prefix is a whole segment") << request("GET", s("/kelvox/sync/x")) << 404;
        QTest::newRow("not HTTP") << QByteArray("GARBAGE\r\n\r\n") << 400;
        QTest::newRow("header without colon")
            << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nHost: a\r\nbroken\r\n\r\n") << 400;
        QTest::newRow("bad content length") << post + "Content-Length: x\r\n\r\n" << 400;
        QTest::newRow("no Host") << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("two Host lines")
            << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n") << 400;
        for (const char *coding : { "xchunked", "identity", "gzip", "chunked, identity" })
            QTest::newRow(coding) << post + "Transfer-Encoding: " + coding + "\r\n" + smuggled << 400;
        QTest::newRow("gzip, chunked") << post + "Transfer-Encoding: gzip, chunked\r\n" + smuggled << 501;
        QTest::newRow("body over the limit") << request("POST", s("/kelvo/term"), s("t"), big) << 413;
        QTest::newRow("chunked body over the limit") << post + "Transfer-Encoding: chunked\r\n\r\n7d0\r\n"
                + big + "\r\n0\r\n\r\n" << 413;
        QTest::newRow("head too large")
            << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nX-Big: ") + QByteArray(20000, 'h') + "\r\n\r\n"
            << 431;
        QTest::newRow("half-sent head") << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nHost: a\r\n") << 408;
    }

    // The host's own answers: complete, in the plug-in's envelope, then the connection closes.
    void hostAnswers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        // The limit comes from the INI file; the command line gives the rest.
        QTemporaryDir dir;
        QFile ini(dir.filePath(s("host.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("max-body = 1024\nthreads = 9\nread-timeout = 1\n");
        ini.close();
        HostProcess host({ s("--config"), ini.fileName(), s("--threads"), s("2") });
        QVERIFY(host.isReady());
        QTRY_VERIFY(host.log().contains(QLatin1String("with 2 threads")));

        RawConnection connection(host.port);
        QVERIFY(connection.isConnected());
        connection.send(bytes);
        const Reply reply = WorkerHarness::parse(connection.response());
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.err(), status);
        QVERIFY(reply.head.contains("Content-Type: application/att"));
        QVERIFY(connection.closedByPeer());
    }

    // Eight clients at once, each with its own keep-alive connection, mixing
    // downloads and uploads and alternating tenants so that every serving
    // thread serves both: every answer is right, every entrance announced once.
    void parallelClientsAndTenants()
    {
        constexpr int clients = 8;
        constexpr int rounds = 15;
        const Tenant tenant("par", 5151), other("iso");
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--threads"), s("3") });
        QVERIFY(host.isReady());
        const quint16 port = host.port;
        const QString terminal = KelvoWorker::encodeHash(1, 5151);
        const auto status = [](RawConnection &connection, const QByteArray &request) {
            connection.send(request);
            return WorkerHarness::parse(connection.response()).status;
        };

        std::atomic<int> good { 0 };
        std::vector<std::unique_ptr<QThread>> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back(QThread::create([&, c] {
                RawConnection connection(port);
                if (!connection.isConnected())
                    return;
                for (int r = 0; r < rounds; ++r) {
                    const QByteArray body = entranceBody(quint32(1000 * (c + 1) + r), 1);
                    good += status(connection, request("GET", s("/kelvo/sync/") + terminal, tenant.token))
                            == 200
                        && status(connection, request("GET", s("/kelvo/sync/") + terminal, other.token))
                            == 404
                        && status(
                               connection, request("GET", s("/kelvo/sync/") + terminal, s("no-such-token")))
                            == 502
                        && status(connection,
                               request("POST", s("/kelvo/entrance/") + terminal, tenant.token, body))
                            == 201;
                }
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
        const Tenant tenant("busy", 4141);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--threads"), s("1"), s("--queue-size"), s("1"), s("--queue-timeout"), s("1") });
        QVERIFY(host.isReady());
        const QString terminal = KelvoWorker::encodeHash(1, 4141);
        auto lock
            = std::make_unique<RowLock>(tenant.schema, s("SELECT tid FROM term WHERE tid = 1 FOR UPDATE"));
        QVERIFY(lock->locked);
        RawConnection held(host.port);
        QVERIFY(held.isConnected());
        held.send(request("GET", s("/kelvo/sync/") + terminal, tenant.token));
        QVERIFY(waitForLockWait(tenant.user));

        RawConnection cheap(host.port);
        QVERIFY(cheap.isConnected());
        cheap.send(request("GET", s("/nothere")));
        QCOMPARE(WorkerHarness::parse(cheap.response(5000)).status, 404);

        // Two entrances for the one place in the queue: one waits, the other is refused at once.
        RawConnection first(host.port), second(host.port);
        QVERIFY(first.isConnected() && second.isConnected());
        QElapsedTimer queued;
        queued.start();
        first.send(request("POST", s("/kelvo/entrance/") + terminal, tenant.token, entranceBody(1, 1)));
        second.send(request("POST", s("/kelvo/entrance/") + terminal, tenant.token, entranceBody(2, 1)));
        QByteArray refused;
        RawConnection *waiting = nullptr;
        const QDeadlineTimer deadline(20000);
        while (!waiting && !deadline.hasExpired()) {
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
        lock.reset();
        QCOMPARE(WorkerHarness::parse(held.response()).status, 200);
        const Reply expired = WorkerHarness::parse(waiting->response());
        QCOMPARE(expired.status, 503);
        QVERIFY(expired.res().toString().contains(s("not executed")));
        QCOMPARE(TestDatabase::scalar(tenant.schema, s("SELECT COUNT(*) FROM inters_data")).toInt(), 0);
    }

    // Bodies beyond the budget and connections beyond the cap get 503 and are closed.
    void bodyBudgetAndConnectionCap()
    {
        HostProcess host({ s("--body-budget"), s("3000"), s("--max-body"), s("2000") });
        QVERIFY(host.isReady());
        const QByteArray head = "POST /kelvo/term HTTP/1.1\r\nHost: a\r\nContent-Length: ";
        RawConnection reserving(host.port);
        QVERIFY(reserving.isConnected());
        reserving.send(head + "2000\r\nExpect: 100-continue\r\n\r\n");
        QCOMPARE(reserving.response(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        RawConnection over(host.port);
        QVERIFY(over.isConnected());
        over.send(head + "1500\r\n\r\n");
        const QByteArray refused = over.response();
        QCOMPARE(WorkerHarness::parse(refused).status, 503);
        QVERIFY(refused.contains("\r\nRetry-After: 1\r\n"));
        QVERIFY(over.closedByPeer());
        // The reserved body is still taken, and the worker answers it.
        reserving.send(QByteArray(2000, 'x'));
        QVERIFY(WorkerHarness::parse(reserving.response()).json.value(s("ver")) != s("host"));

        HostProcess capped({ s("--max-connections"), s("1") });
        QVERIFY(capped.isReady());
        RawConnection one(capped.port), two(capped.port);
        QVERIFY(one.isConnected() && two.isConnected());
        QCOMPARE(WorkerHarness::parse(two.response()).status, 503);
        QVERIFY(two.closedByPeer());
        one.send(request("GET", s("/nothere")));
        QCOMPARE(WorkerHarness::parse(one.response()).status, 404);
    }

    // SIGTERM: idle connections close, new ones are refused, a request on its
    // way is answered with "Connection: close", and a worker held by a row
    // lock is abandoned at the shutdown deadline (503, logged); exit code 0.
    void sigterm()
    {
        const Tenant tenant("term", 6161);
        QCOMPARE(tenant.error, QString());
        // A second terminal, out of the row lock's way.
        QCOMPARE(TestDatabase::exec(tenant.schema,
                     s("INSERT INTO term (tid, vornID, status, flags, name, type) "
                       "VALUES (2, 6162, 1, '3', 'T2', 'VTRM')")),
            QString());
        HostProcess host({ s("--threads"), s("2"), s("--shutdown-timeout"), s("2") });
        QVERIFY(host.isReady());
        const RowLock lock(tenant.schema, s("SELECT tid FROM term WHERE tid = 1 FOR UPDATE"));
        QVERIFY(lock.locked);
        RawConnection held(host.port);
        QVERIFY(held.isConnected());
        held.send(request("GET", s("/kelvo/sync/") + KelvoWorker::encodeHash(1, 6161), tenant.token));
        QVERIFY(waitForLockWait(tenant.user));

        RawConnection idle(host.port);
        QVERIFY(idle.isConnected());
        RawConnection busy(host.port);
        QVERIFY(busy.isConnected());
        const QByteArray whole = request("POST", s("/kelvo/entrance/") + KelvoWorker::encodeHash(2, 6162),
            tenant.token, entranceBody(77, 3));
        const int cut = whole.size() - 10;
        busy.send(whole.left(cut));
        QTest::qWait(200);

        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(host.process.processId()), SIGTERM);
        QVERIFY(idle.closedByPeer());
        QTRY_VERIFY(host.log().contains(QLatin1String("stopping")));
        QTcpSocket late;
        late.connectToHost(s("127.0.0.1"), host.port);
        QVERIFY(!late.waitForConnected(2000));
        busy.send(whole.mid(cut));
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
    // once, a tenant's request gets an error answer within the timeouts, and
    // SIGTERM ends the host within its deadline.
    void frozenDatabase()
    {
        PrivateServer server;
        QVERIFY(server.isReady());
        const QString one = s("1");
        HostProcess host(
            { s("--info-db"), server.infoUrl(), s("--threads"), one, s("--db-connect-timeout"), one,
                s("--db-read-timeout"), one, s("--db-write-timeout"), one, s("--shutdown-timeout"), s("2") });
        QVERIFY(host.isReady());
        QCOMPARE(::kill(pid_t(server.pid), SIGSTOP), 0);

        RawConnection tenantRequest(host.port);
        QVERIFY(tenantRequest.isConnected());
        tenantRequest.send(request("GET", s("/kelvo/sync/x"), s("some-token")));
        RawConnection cheap(host.port);
        QVERIFY(cheap.isConnected());
        cheap.send(request("GET", s("/nothere")));
        QCOMPARE(WorkerHarness::parse(cheap.response(5000)).status, 404);
        const Reply failed = WorkerHarness::parse(tenantRequest.response(30000));
        QVERIFY2(failed.status >= 500, failed.head.constData());

        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(host.process.processId()), SIGTERM);
        QVERIFY(host.process.waitForFinished(30000));
        QVERIFY2(stopping.elapsed() < 10000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(host.process.exitCode(), 0);
    }

    // SIGHUP: a tenant disabled since is refused (502) at once, another is
    // served as before, and a request in flight is answered.
    void reload()
    {
        const Tenant disabled("hup", 5151);
        const Tenant other("hupother", 5252);
        QCOMPARE(disabled.error + other.error, QString());
        // A second terminal, out of the row lock's way.
        QCOMPARE(TestDatabase::exec(disabled.schema,
                     s("INSERT INTO term (tid, vornID, status, flags, name, type) "
                       "VALUES (2, 5152, 1, '3', 'T2', 'VTRM')")),
            QString());
        HostProcess host({ s("--threads"), s("2") });
        QVERIFY(host.isReady());
        const auto sync = [](const Tenant &tenant, quint32 tid, quint32 vornId) {
            return request("GET", s("/kelvo/sync/") + KelvoWorker::encodeHash(tid, vornId), tenant.token);
        };
        const auto status = [&](const Tenant &tenant, quint32 tid, quint32 vornId) {
            RawConnection connection(host.port);
            connection.send(sync(tenant, tid, vornId));
            return WorkerHarness::parse(connection.response()).status;
        };
        QCOMPARE(status(disabled, 2, 5152), 200);
        QCOMPARE(status(other, 1, 5252), 200);

        auto lock
            = std::make_unique<RowLock>(disabled.schema, s("SELECT tid FROM term WHERE tid = 1 FOR UPDATE"));
        QVERIFY(lock->locked);
        RawConnection inFlight(host.port);
        QVERIFY(inFlight.isConnected());
        inFlight.send(sync(disabled, 1, 5151));
        QVERIFY(waitForLockWait(disabled.user));

        QCOMPARE(TestDatabase::exec(TestDatabase::infoDatabaseName(),
                     s("UPDATE `schemas` SET status = 0 WHERE token = '%1'").arg(disabled.token)),
            QString());
        // The tenant's row is kept until the reload.
        QCOMPARE(status(disabled, 2, 5152), 200);
        ::kill(pid_t(host.process.processId()), SIGHUP);
        QTRY_COMPARE(host.countInLog(s("info: kelvo-host: reloaded")), 1);
        QCOMPARE(status(disabled, 2, 5152), 502);
        QCOMPARE(status(other, 1, 5252), 200);
        lock.reset();
        QCOMPARE(WorkerHarness::parse(inFlight.response()).status, 200);
        QCOMPARE(host.process.state(), QProcess::Running);
    }

    // The host's database timeouts reach the tenants' connections (the
    // registry's code is the host's): a statement waiting on a row lock ends
    // with an error answer after the read timeout, long before the server's
    // lock wait (50 s) would end it.
    void timeoutsReachTenants()
    {
        const Tenant tenant("slowread", 8181);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--db-read-timeout"), s("1") });
        QVERIFY(host.isReady());
        const RowLock lock(tenant.schema, s("SELECT tid FROM term WHERE tid = 1 FOR UPDATE"));
        QVERIFY(lock.locked);
        RawConnection client(host.port);
        QVERIFY(client.isConnected());
        QElapsedTimer waited;
        waited.start();
        client.send(request("GET", s("/kelvo/sync/") + KelvoWorker::encodeHash(1, 8181), tenant.token));
        const Reply answer = WorkerHarness::parse(client.response(45000));
        QVERIFY2(answer.status >= 500, answer.head.constData());
        QVERIFY2(waited.elapsed() < 20000, qPrintable(QString::number(waited.elapsed())));
    }

    // The admin listener: /metrics parses, and its counters follow the
    // requests; /healthz says ok; nothing else is served there.
    void adminListener()
    {
        const Tenant tenant("metrics", 6262);
        QCOMPARE(tenant.error, QString());
        HostProcess host({ s("--admin-listen"), s("127.0.0.1:0") });
        QVERIFY(host.isReady());
        const quint16 admin = adminPort(host);
        QVERIFY(admin != 0);
        const MetricsText before = scrape(admin);
        QVERIFY2(before.error.isEmpty(), qPrintable(before.error));

        RawConnection client(host.port);
        QVERIFY(client.isConnected());
        const QString terminal = KelvoWorker::encodeHash(1, 6262);
        for (int i = 0; i < 3; ++i) {
            client.send(request("GET", s("/kelvo/sync/") + terminal, tenant.token));
            QCOMPARE(WorkerHarness::parse(client.response()).status, 200);
        }
        client.send(request("POST", s("/kelvo/entrance/") + terminal, tenant.token, entranceBody(1, 1)));
        QCOMPARE(WorkerHarness::parse(client.response()).status, 201);
        RawConnection stranger(host.port);
        QVERIFY(stranger.isConnected());
        stranger.send(request("GET", s("/nothere")));
        QCOMPARE(WorkerHarness::parse(stranger.response()).status, 404);
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
        // Keep-alive on the admin listener too.
        RawConnection scraper(admin);
        QVERIFY(scraper.isConnected());
        for (int i = 0; i < 2; ++i) {
            scraper.send(request("GET", s("/metrics")));
            QVERIFY(scraper.response().contains("\r\nContent-Type: text/plain; version=0.0.4"));
        }
        QVERIFY(!host.log().contains(s("debug: ")));
    }

    void healthz_data()
    {
        QTest::addColumn<QString>("failure");

        QTest::newRow("account locked") << s("ACCOUNT LOCK");
        QTest::newRow("account dropped") << s("DROP USER");
        QTest::newRow("server stopped") << s("stop");
    }

    // /healthz follows the information database as the host's account sees
    // it, and no wait on it holds the I/O.
    void healthz()
    {
        QFETCH(QString, failure);
        std::unique_ptr<PrivateServer> server;
        const QString user = s("khc_%1").arg(QCoreApplication::applicationPid());
        const QString password = s("hc-%1-secret").arg(QCoreApplication::applicationPid());
        const auto dropUser = qScopeGuard(
            [&] { TestDatabase::exec(QString(), s("DROP USER IF EXISTS '%1'@'%'").arg(user)); });
        QString url;
        if (failure == QLatin1String("stop")) {
            server = std::make_unique<PrivateServer>();
            QVERIFY(server->isReady());
            url = server->infoUrl();
        } else {
            const QString info = TestDatabase::infoDatabaseName();
            QCOMPARE(TestDatabase::exec(QString(),
                         s("CREATE OR REPLACE USER '%1'@'%' IDENTIFIED BY '%2'").arg(user, password)),
                QString());
            QCOMPARE(TestDatabase::exec(QString(), s("GRANT SELECT ON `%1`.* TO '%2'@'%'").arg(info, user)),
                QString());
            url = s("mysql://%1:%2@%3:%4/%5")
                      .arg(user, password, TestDatabase::host())
                      .arg(TestDatabase::port())
                      .arg(info);
        }
        const QString one = s("1");
        HostProcess host({ s("--info-db"), url, s("--admin-listen"), s("127.0.0.1:0"), s("--health-interval"),
            one, s("--db-connect-timeout"), one, s("--db-read-timeout"), one });
        QVERIFY(host.isReady());
        const quint16 admin = adminPort(host);
        QVERIFY(admin != 0);
        QTRY_COMPARE(adminGet(admin, "/healthz").first, 200);

        if (server) {
            QCOMPARE(QProcess::execute(TestDatabase::sourceDir() + s("/scripts/mariadb.sh"),
                         { s("stop"), server->dir.path() }),
                0);
            server->pid = 0; // gone: nothing to continue at the end
        } else if (failure == QLatin1String("DROP USER")) {
            QCOMPARE(TestDatabase::exec(QString(), s("DROP USER '%1'@'%'").arg(user)), QString());
        } else {
            QCOMPARE(
                TestDatabase::exec(QString(), s("ALTER USER '%1'@'%' ACCOUNT LOCK").arg(user)), QString());
        }
        QTRY_COMPARE_WITH_TIMEOUT(adminGet(admin, "/healthz").first, 503, 20000);
        QCOMPARE(scrape(admin).value(s("kelvo_information_database_up")), 0.0);
        RawConnection cheap(host.port);
        QVERIFY(cheap.isConnected());
        cheap.send(request("GET", s("/nothere")));
        QCOMPARE(WorkerHarness::parse(cheap.response(5000)).status, 404);
        QVERIFY(!host.log().contains(password));
    }

    void logLines_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::addColumn<QString>("linePattern");

        const QString levels = s("(debug|info|warning|critical|fatal): ");
        QTest::newRow("terminal") << false
                                  << s("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* ") + levels;
        QTest::newRow("journal") << true << s("^<[2-7]>") + levels;
    }

    // Every line carries its level (with the journal's priority under
    // systemd, else an ISO time), and no token is written in full: not by
    // the host, not in the records of the plug-in.
    void logLines()
    {
        QFETCH(bool, journal);
        QFETCH(QString, linePattern);
        const Tenant tenant("logs", 7272);
        QCOMPARE(tenant.error, QString());
        // A tenant whose account the registry cannot open: the plug-in names its token.
        const Tenant locked("logslocked");
        QCOMPARE(
            TestDatabase::exec(TestDatabase::infoDatabaseName(),
                s("UPDATE `schemas` SET pass = TO_BASE64('wrong') WHERE token = '%1'").arg(locked.token)),
            QString());
        if (journal)
            qputenv("JOURNAL_STREAM", "8:4711");
        HostProcess host({ s("--debug"), s("1") });
        qunsetenv("JOURNAL_STREAM");
        QVERIFY(host.isReady());
        const QString terminal = KelvoWorker::encodeHash(1, 7272);
        RawConnection client(host.port);
        QVERIFY(client.isConnected());
        client.send(request("POST", s("/kelvo/entrance/") + terminal, tenant.token, entranceBody(1, 1)));
        QCOMPARE(WorkerHarness::parse(client.response()).status, 201);
        client.send(request("GET", s("/kelvo/sync/") + terminal, locked.token));
        QCOMPARE(WorkerHarness::parse(client.response()).status, 502);
        QTRY_VERIFY(host.log().contains(s("recordCreated")));
        host.process.terminate();
        QVERIFY(host.process.waitForFinished(30000));

        const QString log = host.log();
        const QRegularExpression line(linePattern);
        for (const QString &l : log.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(line.match(l).hasMatch(), qPrintable(l));
        QVERIFY(log.contains(s("debug: kelvo-host: queue depth")));
        QVERIFY(log.contains(s("NOT OPEN")));
        QVERIFY(log.contains(s("token=%1 ").arg(HostLog::tokenPrefix(tenant.token))));
        for (const QString &secret : { tenant.token, locked.token, tenant.password, locked.password })
            QVERIFY2(!log.contains(secret), qPrintable(secret));
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
        QTest::newRow("unknown option") << QStringList { s("--bogus") } << s("bogus");
        QTest::newRow("no information database") << QStringList {} << s("--info-db is required");
        QTest::newRow("not a database url") << QStringList { info, s("http://x/y") } << s("mysql://");
        QTest::newRow("password not echoed")
            << QStringList { info, s("mysql://kelvo:s3cret@/x") } << s("'mysql://kelvo:***@/x'");
        QTest::newRow("bad listen address")
            << QStringList { info, infoUrl(), s("--listen"), s("localhost:80") } << s("--listen");
        QTest::newRow("bad thread count")
            << QStringList { info, infoUrl(), s("--threads"), s("0") } << s("--threads");
        QTest::newRow("unreachable database")
            << QStringList { info, s("mysql://root@127.0.0.1:1/x") } << s("not reachable");
        QTest::newRow("missing plug-in")
            << QStringList { info, infoUrl(), s("--plugin"), s("/nonexistent/libx.so") } << s("not found");
        QTest::newRow("not a plug-in")
            << QStringList { info, infoUrl(), s("--plugin"), termProgram } << s("not an HTTP plug-in");
    }

    // A start that cannot work ends at once with one line and a non-zero code.
    void startFailures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess p;
        p.start(hostProgram, arguments);
        QVERIFY(p.waitForFinished(20000));
        QVERIFY(p.exitCode() != 0);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        QVERIFY2(err.contains(message), qPrintable(err));
        QVERIFY2(!err.contains(QLatin1Char('\n')), qPrintable(err));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
