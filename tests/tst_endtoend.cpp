// kelvo-host and kelvo-term against the test server, over real sockets.
#include "testdatabase.h"
#include "workerharness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <vector>

namespace {

const QString hostProgram = QStringLiteral(KELVO_HOST_PATH);
const QString termProgram = QStringLiteral(KELVO_TERM_PATH);
const QString pluginLibrary = QStringLiteral(KELVO_PLUGIN_PATH);

QString infoUrl()
{
    return QStringLiteral("mysql://root@%1:%2/%3")
        .arg(TestDatabase::host())
        .arg(TestDatabase::port())
        .arg(TestDatabase::infoDatabaseName());
}

// One kelvo-host process on a free port; stderr is gathered for the log checks.
class HostProcess
{
public:
    explicit HostProcess(const QStringList &extra = {})
    {
        process.setProgram(hostProgram);
        process.setArguments(QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                           QStringLiteral("--info-db"), infoUrl(), QStringLiteral("--plugin"),
                                           pluginLibrary }
                             + extra);
        process.start();
        if (!process.waitForStarted(10000))
            return;
        QByteArray out;
        while (!out.contains('\n') && process.waitForReadyRead(20000))
            out += process.readAllStandardOutput();
        const QRegularExpressionMatch m
            = QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)\n")).match(QString::fromLatin1(out));
        if (m.hasMatch())
            port = quint16(m.captured(1).toUInt());
    }
    ~HostProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(30000))
                process.kill();
            process.waitForFinished();
        }
    }

    bool isReady() const { return port != 0; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/kelvo").arg(port); }
    QString log()
    {
        errors += QString::fromLocal8Bit(process.readAllStandardError());
        return errors;
    }
    int countInLog(const QString &text) { return log().count(text); }

    QProcess process;
    quint16 port = 0;

private:
    QString errors;
};

// A raw HTTP/1.1 connection: what goes out is exactly what the test wrote.
class RawConnection
{
public:
    explicit RawConnection(quint16 port) { socket.connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool isConnected() { return socket.waitForConnected(5000); }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
        }
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
                const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("\r\nContent-Length: (\\d+)\r\n"))
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
    const QJsonObject entrance { { QStringLiteral("refId"), double(refId) }, { QStringLiteral("uid"), double(uid) },
                                 { QStringLiteral("iid"), 1 },             { QStringLiteral("type"), QStringLiteral("in") } };
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

TermRun term(const HostProcess &host, const QString &token, const QStringList &args)
{
    QProcess p;
    p.start(termProgram, QStringList { QStringLiteral("--url"), host.url(), QStringLiteral("--token"), token } + args);
    TermRun run;
    if (!p.waitForFinished(60000))
        return run;
    run.exitCode = p.exitCode();
    // Answers are printed as "HTTP <status> <reason>" followed by an indented object.
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QStringList blocks = out.split(QRegularExpression(QStringLiteral("^HTTP "), QRegularExpression::MultilineOption),
                                         Qt::SkipEmptyParts);
    for (const QString &block : blocks) {
        run.statuses << block.section(QLatin1Char(' '), 0, 0).toInt();
        run.answers << QJsonDocument::fromJson(block.section(QLatin1Char('\n'), 1).toUtf8()).object();
    }
    return run;
}

void insertTerminal(const TestDatabase::Tenant &tenant, quint32 tid, quint32 vornId)
{
    const QString error = TestDatabase::exec(
        tenant.schema,
        QStringLiteral("INSERT INTO term (tid, vornID, status, flags, name, type) VALUES (%1, %2, 1, '3', 'T%1', 'VTRM')")
            .arg(tid)
            .arg(vornId));
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void terminalLifeCycle();
    void keepAliveAndWireBytes_data();
    void keepAliveAndWireBytes();
    void hostAnswers_data();
    void hostAnswers();
    void tenantsAreIsolated();
    void parallelClients();
    void sigtermFinishesRequestInFlight();
    void startFailures_data();
    void startFailures();
};

void TestEndToEnd::initTestCase()
{
    REQUIRE_TEST_DATABASE();
    QVERIFY2(QFile::exists(hostProgram), qPrintable(hostProgram));
    QVERIFY2(QFile::exists(termProgram), qPrintable(termProgram));
}

void TestEndToEnd::terminalLifeCycle()
{
    const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("life"));
    QVERIFY(TestDatabase::exec(tenant.schema, QStringLiteral("INSERT INTO inters (iid, name) VALUES (1, 'Work')")).isEmpty());
    HostProcess host;
    QVERIFY(host.isReady());

    // Two terminals register.
    TermRun run = term(host, tenant.token, { QStringLiteral("register"), QStringLiteral("7001"), QStringLiteral("Door"), QStringLiteral("VTRM") });
    QCOMPARE(run.statuses, QList<int> { 201 });
    const QString t1 = QStringLiteral("%1.7001").arg(run.last().value(QStringLiteral("res")).toInt());
    run = term(host, tenant.token, { QStringLiteral("register"), QStringLiteral("7002"), QStringLiteral("Hall"), QStringLiteral("VTRM") });
    QCOMPARE(run.statuses, QList<int> { 201 });
    const QString t2 = QStringLiteral("%1.7002").arg(run.last().value(QStringLiteral("res")).toInt());

    // A forced synchronisation delivers the lists the terminal keeps (VTRM: inters and people).
    run = term(host, tenant.token, { QStringLiteral("sync"), t1, QStringLiteral("--force") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.last().value(QStringLiteral("res")).toObject().value(QStringLiteral("sync")).toInt(), 3);

    // The person created on the first terminal is uploaded again by the second: both linked.
    run = term(host, tenant.token, { QStringLiteral("person"), t1, QStringLiteral("pid=501"), QStringLiteral("name=Eva") });
    QCOMPARE(run.statuses, QList<int> { 201 });
    const int uid = run.last().value(QStringLiteral("res")).toObject().value(QStringLiteral("uid")).toInt();
    QVERIFY(uid > 0);
    run = term(host, tenant.token, { QStringLiteral("person"), t2, QStringLiteral("pid=501"), QStringLiteral("name=Eva") });
    QCOMPARE(run.exitCode, 0);

    // A change made on the first terminal reaches the second one.
    run = term(host, tenant.token, { QStringLiteral("update-person"), t1, QStringLiteral("%1.501").arg(uid), QStringLiteral("surname=Berg") });
    QCOMPARE(run.statuses, QList<int> { 200 });
    // Markers of this second would be kept by a confirmation (it confirms st-1): age them.
    QVERIFY(TestDatabase::exec(tenant.schema, QStringLiteral("UPDATE term_sync SET created = created - 10")).isEmpty());
    run = term(host, tenant.token, { QStringLiteral("sync"), t2, QStringLiteral("--ack") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.statuses, (QList<int> { 200, 200 }));
    const QJsonObject people = run.answers.at(0).value(QStringLiteral("res")).toObject().value(QStringLiteral("people")).toObject();
    QVERIFY2(people.contains(QString::number(uid)), QJsonDocument(run.answers.at(0)).toJson().constData());
    QVERIFY(run.answers.at(1).value(QStringLiteral("res")).toInt() >= 1);
    run = term(host, tenant.token, { QStringLiteral("sync"), t2 });
    QCOMPARE(run.last().value(QStringLiteral("res")), QJsonValue(false));

    // An entrance with a photo is stored once and announced once; a resend changes nothing.
    QTemporaryDir dir;
    QFile photo(dir.filePath(QStringLiteral("photo.jpg")));
    QVERIFY(photo.open(QIODevice::WriteOnly));
    QByteArray photoBytes(70000, '\0');
    for (int i = 0; i < photoBytes.size(); ++i)
        photoBytes[i] = char(i * 7 + i / 256);
    photo.write(photoBytes);
    photo.close();
    const QStringList entrance { QStringLiteral("entrance"), t1, QStringLiteral("refId=1"), QStringLiteral("uid=%1").arg(uid),
                                 QStringLiteral("iid=1"), QStringLiteral("type=in"), QStringLiteral("--photo"), photo.fileName() };
    run = term(host, tenant.token, entrance);
    QCOMPARE(run.statuses, QList<int> { 201 });
    const int eid = run.last().value(QStringLiteral("res")).toObject().value(QStringLiteral("eid")).toInt();
    QVERIFY(eid > 0);
    const QString announced = QStringLiteral("recordCreated tbl=inters_data id=%1 token=%2 flags=3").arg(eid).arg(tenant.token);
    QTRY_COMPARE(host.countInLog(announced), 1);
    QCOMPARE(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT photo FROM inters_data WHERE id = %1").arg(eid)).toByteArray(),
             photoBytes);

    run = term(host, tenant.token, entrance);
    QCOMPARE(run.statuses, QList<int> { 208 });
    QCOMPARE(run.last().value(QStringLiteral("res")).toObject().value(QStringLiteral("eid")).toInt(), eid);
    QTest::qWait(300);
    QCOMPARE(host.countInLog(QStringLiteral("recordCreated ")), 1);
    TestDatabase::dropTenant(tenant);
}

void TestEndToEnd::keepAliveAndWireBytes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("withToken");
    QTest::addColumn<int>("status");

    QTest::newRow("method not allowed") << QByteArray("PATCH") << QStringLiteral("/kelvo/sync/x") << true << 405;
    QTest::newRow("lower-case method") << QByteArray("get") << QStringLiteral("/kelvo/sync/x") << true << 405;
    QTest::newRow("bad path") << QByteArray("GET") << QStringLiteral("/kelvo/foo/xyz?a=1") << true << 400;
    QTest::newRow("encoded path") << QByteArray("GET") << QStringLiteral("/kelvo/%70erson") << true << 400;
    QTest::newRow("unknown terminal") << QByteArray("GET") << QStringLiteral("/kelvo/sync/%1").arg(WorkerHarness::hash(999, 999)) << true << 404;
    QTest::newRow("no tenant for token") << QByteArray("GET") << QStringLiteral("/kelvo/sync/%1").arg(WorkerHarness::hash(1, 2)) << false << 502;
}

// Several requests on one connection; each answer is byte for byte what the
// worker renders for the same request.
void TestEndToEnd::keepAliveAndWireBytes()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, target);
    QFETCH(bool, withToken);
    QFETCH(int, status);
    static const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("wire"));
    const QString token = withToken ? tenant.token : QStringLiteral("no-such-tenant");
    HostProcess host;
    QVERIFY(host.isReady());
    WorkerHarness harness;
    const QStringList headers { QStringLiteral("Host: localhost"), QStringLiteral("Pragma: token = %1").arg(token) };
    const Reply expected = harness.raw(QString::fromLatin1(method), target, headers, QByteArray());
    QCOMPARE(expected.status, status);

    RawConnection connection(host.port);
    QVERIFY(connection.isConnected());
    for (int i = 0; i < 3; ++i) {
        connection.send(request(method, target, token));
        QCOMPARE(connection.response(), expected.head + "\r\n" + expected.body);
    }
}

void TestEndToEnd::hostAnswers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");

    const QByteArray big(2000, 'A');
    QTest::newRow("outside the prefix") << request("GET", QStringLiteral("/other/sync/x")) << 404;
    QTest::newRow("prefix is a whole segment") << request("GET", QStringLiteral("/kelvox/sync/x")) << 404;
    QTest::newRow("not HTTP") << QByteArray("GARBAGE\r\n\r\n") << 400;
    QTest::newRow("header without colon") << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nHost: a\r\nbroken\r\n\r\n") << 400;
    QTest::newRow("bad content length") << QByteArray("POST /kelvo/term HTTP/1.1\r\nContent-Length: x\r\n\r\n") << 400;
    QTest::newRow("body over the limit") << request("POST", QStringLiteral("/kelvo/term"), QStringLiteral("t"), big) << 413;
    QTest::newRow("chunked body over the limit")
        << QByteArray("POST /kelvo/term HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n") + big + "\r\n0\r\n\r\n" << 413;
    QTest::newRow("head too large") << QByteArray("GET /kelvo/sync/x HTTP/1.1\r\nX-Big: ") + QByteArray(20000, 'h') + "\r\n\r\n" << 431;
}

// The host's own answers: complete, in the plug-in's envelope, then the connection closes.
void TestEndToEnd::hostAnswers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    // The limit comes from the INI file; the command line gives the rest.
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("host.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("max-body = 1024\nthreads = 9\n");
    ini.close();
    HostProcess host({ QStringLiteral("--config"), ini.fileName(), QStringLiteral("--threads"), QStringLiteral("2") });
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

void TestEndToEnd::tenantsAreIsolated()
{
    const TestDatabase::Tenant a = TestDatabase::createTenant(QStringLiteral("isoa"));
    const TestDatabase::Tenant b = TestDatabase::createTenant(QStringLiteral("isob"));
    insertTerminal(a, 1, 4242);
    HostProcess host({ QStringLiteral("--threads"), QStringLiteral("2") });
    QVERIFY(host.isReady());
    const QString sync = QStringLiteral("sync/%1").arg(WorkerHarness::hash(1, 4242));

    // Alternate tokens on the same connections, so that each thread serves both tenants.
    for (int round = 0; round < 4; ++round) {
        RawConnection connection(host.port);
        QVERIFY(connection.isConnected());
        connection.send(request("GET", QStringLiteral("/kelvo/") + sync, a.token));
        QCOMPARE(WorkerHarness::parse(connection.response()).status, 200);
        connection.send(request("GET", QStringLiteral("/kelvo/") + sync, b.token));
        QCOMPARE(WorkerHarness::parse(connection.response()).status, 404);
        connection.send(request("GET", QStringLiteral("/kelvo/") + sync, QStringLiteral("no-such-token")));
        QCOMPARE(WorkerHarness::parse(connection.response()).status, 502);
    }
    QVERIFY(TestDatabase::scalar(a.schema, QStringLiteral("SELECT online FROM term WHERE tid = 1")).toUInt() > 0);
    TestDatabase::dropTenant(a);
    TestDatabase::dropTenant(b);
}

// Eight clients at once, each with its own keep-alive connection, mixing
// downloads and uploads: every answer is right and every entrance announced once.
void TestEndToEnd::parallelClients()
{
    constexpr int clients = 8;
    constexpr int rounds = 15;
    const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("par"));
    insertTerminal(tenant, 1, 5151);
    HostProcess host({ QStringLiteral("--threads"), QStringLiteral("3") });
    QVERIFY(host.isReady());
    const quint16 port = host.port;
    const QString terminal = WorkerHarness::hash(1, 5151);

    std::atomic<int> good { 0 };
    std::vector<std::unique_ptr<QThread>> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back(QThread::create([&, c] {
            RawConnection connection(port);
            if (!connection.isConnected())
                return;
            for (int r = 0; r < rounds; ++r) {
                connection.send(request("GET", QStringLiteral("/kelvo/sync/") + terminal, tenant.token));
                if (WorkerHarness::parse(connection.response()).status == 200)
                    ++good;
                connection.send(request("POST", QStringLiteral("/kelvo/entrance/") + terminal, tenant.token,
                                        entranceBody(quint32(1000 * (c + 1) + r), 1)));
                if (WorkerHarness::parse(connection.response()).status == 201)
                    ++good;
            }
        }));
        threads.back()->start();
    }
    for (const auto &thread : threads)
        QVERIFY(thread->wait(120000));
    QCOMPARE(good.load(), clients * rounds * 2);
    QCOMPARE(TestDatabase::scalar(tenant.schema, QStringLiteral("SELECT COUNT(*) FROM inters_data")).toInt(), clients * rounds);
    QTRY_COMPARE(host.countInLog(QStringLiteral("recordCreated tbl=inters_data")), clients * rounds);
    TestDatabase::dropTenant(tenant);
}

void TestEndToEnd::sigtermFinishesRequestInFlight()
{
    const TestDatabase::Tenant tenant = TestDatabase::createTenant(QStringLiteral("term"));
    insertTerminal(tenant, 1, 6161);
    HostProcess host;
    QVERIFY(host.isReady());

    RawConnection idle(host.port);
    QVERIFY(idle.isConnected());
    RawConnection busy(host.port);
    QVERIFY(busy.isConnected());
    const QByteArray whole = request("POST", QStringLiteral("/kelvo/entrance/") + WorkerHarness::hash(1, 6161), tenant.token,
                                     entranceBody(77, 3));
    const int cut = whole.size() - 10;
    busy.send(whole.left(cut));
    QTest::qWait(200);

    ::kill(pid_t(host.process.processId()), SIGTERM);
    // Idle connections close, new ones are refused, the request in flight is answered.
    QVERIFY(idle.closedByPeer());
    QTRY_VERIFY(host.log().contains(QLatin1String("stopping")));
    QTcpSocket late;
    late.connectToHost(QStringLiteral("127.0.0.1"), host.port);
    QVERIFY(!late.waitForConnected(2000));
    busy.send(whole.mid(cut));
    QCOMPARE(WorkerHarness::parse(busy.response()).status, 201);
    QVERIFY(busy.closedByPeer());

    QVERIFY(host.process.waitForFinished(30000));
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.process.exitCode(), 0);
    QVERIFY(host.log().contains(QLatin1String("recordCreated tbl=inters_data")));
    TestDatabase::dropTenant(tenant);
}

void TestEndToEnd::startFailures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString info = QStringLiteral("--info-db");
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--bogus") } << QStringLiteral("bogus");
    QTest::newRow("no information database") << QStringList {} << QStringLiteral("--info-db is required");
    QTest::newRow("not a database url") << QStringList { info, QStringLiteral("http://x/y") } << QStringLiteral("mysql://");
    QTest::newRow("bad listen address") << QStringList { info, infoUrl(), QStringLiteral("--listen"), QStringLiteral("localhost:80") }
                                        << QStringLiteral("--listen");
    QTest::newRow("bad thread count") << QStringList { info, infoUrl(), QStringLiteral("--threads"), QStringLiteral("0") }
                                      << QStringLiteral("--threads");
    QTest::newRow("unreachable database") << QStringList { info, QStringLiteral("mysql://root@127.0.0.1:1/x") }
                                          << QStringLiteral("not reachable");
    QTest::newRow("missing plug-in") << QStringList { info, infoUrl(), QStringLiteral("--plugin"), QStringLiteral("/nonexistent/libx.so") }
                                     << QStringLiteral("not found");
    QTest::newRow("not a plug-in") << QStringList { info, infoUrl(), QStringLiteral("--plugin"), termProgram }
                                   << QStringLiteral("not an HTTP plug-in");
}

// A start that cannot work ends at once with one line and a non-zero code.
void TestEndToEnd::startFailures()
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

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
