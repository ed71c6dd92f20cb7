#include "testtenant.h"

#include <QtTest>

// The dispatcher and the response envelope: exact response bytes, the status
// line, header and path parsing, kept connections (a clone per request: the
// contract suite).
class TstDispatcher : public QObject
{
    Q_OBJECT
private slots:
    // The whole answer, byte for byte, and the worker's own records from
    // debug level 1 on: kelvo-host drops debug records unless asked for
    // them, so only here is a record at level 0 seen.
    void answerBytesAndRecords()
    {
        WorkerHarness worker(nullptr);
        const auto patch
            = [&] { return worker.buildResponse(s("PATCH"), QUrl(s("/kelvo/sync/MS4y")), {}, {}); };
        static QStringList records;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) { records << message; });
        const QByteArray answer = patch();
        const QStringList silent = records.filter(s("KelvoWorker::"));
        worker.setDebugLevel(1);
        patch();
        qInstallMessageHandler(previous);
        QCOMPARE(answer,
            QByteArray(
                "HTTP/1.1 405 Method Not Allowed\r\n"
                "Content-Type: application/att; charset=\"utf-8\"\r\nContent-Length: 84\r\n\r\n"
                "eyJlcnIiOjQwNSwicmVzIjoiTWV0aG9kICdQQVRDSCcgbm90IGFsbG93ZWQhIiwidmVyIjoiMC4yLjUifQ@@"));
        QCOMPARE(silent, QStringList());
        QVERIFY(records.contains(s("KelvoWorker::buildResponse()"))
            && records.contains(s("KelvoWorker::renderResponse(1) err: 405")));
    }

    // The status is the last error's code when it lies from 100 to 599.
    void statusLine_data()
    {
        QTest::addColumn<int>("successStatus");
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<QByteArray>("statusLine");
        const auto row = [](const char *tag, int success, const QList<int> &errors, const char *line) {
            QTest::newRow(tag) << success << errors << QByteArray(line);
        };
        row("reset", 0, {}, "HTTP/1.1 200 OK");
        row("error wins over 208", 208, { 404 }, "HTTP/1.1 404 Not Found");
        row("second error wins", 200, { 404, 422 }, "HTTP/1.1 422 Unprocessable Entity");
        row("599 is a status", 200, { 599 }, "HTTP/1.1 599 Network Connect Timeout Error");
        row("99 is no status, database number stays in err", 208, { 99 }, "HTTP/1.1 208 Already Reported");
        row("unnamed 4xx", 209, { 420 }, "HTTP/1.1 420 Client Error");
        row("low 16 bits of a large code", 200, { 65536 + 404 }, "HTTP/1.1 404 Not Found");
    }
    void statusLine()
    {
        QFETCH(QList<int>, errors);
        WorkerHarness worker(nullptr);
        worker.resetResponse();
        QFETCH(int, successStatus);
        if (successStatus != 0) // 0: as the reset left it
            worker.httpStatus = quint16(successStatus);
        for (const int code : errors)
            worker.setError(s("boom %1").arg(code), quint16(code));
        if (errors.value(0) > 65535) // setError takes 16 bits; a handler may still write a wider "err"
            worker.result.insert(s("err"), errors[0]);
        const Reply reply = WorkerHarness::parse(worker.renderResponse());
        QTEST(reply.head.left(reply.head.indexOf("\r\n")), "statusLine");
        QCOMPARE(reply.err(), errors.value(errors.size() - 1));
        QCOMPARE(reply.res().toString(), errors.isEmpty() ? QString() : s("boom %1").arg(errors.last()));
    }

    // Requests answered before any tenant database is touched.
    void earlyAnswers_data()
    {
        QTest::addColumn<QString>("request"); // method and path
        QTest::addColumn<QString>("answer"); // status, "request" entry, message
        const auto row = [](const char *request, const char *answer) {
            QTest::newRow(request) << s(request) << s(answer);
        };
        row("get /kelvo/sync/x", "405 none Method 'get' not allowed!");
        row("GET /kelvo/person", R"(400 {"method":"GET","path":"person"} Bad path 'person'!)");
        row("GET /kelvo/SYNC/xyz", R"(400 {"method":"GET","path":"SYNC/xyz"} Bad path 'SYNC/xyz'!)");
        // POST checks its operation later; empty segments are dropped, escapes decoded.
        row("POST /kelvo/foo/xyz", R"(502 {"method":"POST","path":"foo/xyz"} Database '' not initialized!)");
        row("GET /other//person///abc?x=1",
            R"(502 {"method":"GET","path":"person/abc"} Database '' not initialized!)");
        row("PUT /kelvo/te%72m/a%2Fb",
            R"(502 {"method":"PUT","path":"term/a/b"} Database '' not initialized!)");
    }
    void earlyAnswers()
    {
        QFETCH(QString, request);
        WorkerHarness worker;
        const Reply r = worker.raw(request.section(QLatin1Char(' '), 0, 0),
            request.section(QLatin1Char(' '), 1), WorkerHarness::tokenHeaders(QString()), "x");
        QCOMPARE(r.err(), r.status);
        const QString named
            = r.json.contains(s("request")) ? jsonText(r.json.value(s("request"))) : s("none");
        QTEST(fill("%1 %2 %3", r.status, named, r.res().toString()), "answer");
    }

    void headers_data()
    {
        QTest::addColumn<QString>("lines"); // header lines, one a line
        QTest::addColumn<QString>("parsed"); // token|content type
        QTest::newRow("token") << s("Pragma: token = a'b\\c = d") << s("a'b\\c|");
        QTest::newRow("no spaces around =") << s("Pragma: token=abc") << s("|");
        QTest::newRow("capital T ignored") << s("Content-Type: application/json") << s("|");
        QTest::newRow("later token wins, content type")
            << s("Pragma: token = one\nContent-type: application/json; a=b\nPragma: token = two")
            << s("two|application/json; a=b");
    }
    void headers()
    {
        QFETCH(QString, lines);
        WorkerHarness worker(nullptr);
        worker.raw(s("GET"), s("/kelvo/x"), lines.split(QLatin1Char('\n')), {});
        QTEST(worker.currentToken() + QLatin1Char('|') + worker.currentContentType(), "parsed");
    }

    // With "keepConnections" a worker keeps its tenants' connections open
    // between requests: the same answers, a dropped connection reopened
    // before the first statement, the least recently used let go beyond the
    // limit, idle ones closed, a disabled tenant's connection closed.
    void keptConnections()
    {
        REQUIRE_TEST_DATABASE();
        const TestTenant a("keep"), b("keep"), c("keep");
        QCOMPARE(a.exec("INSERT INTO term (tid, vornID, status, name) VALUES (1, 2, 1, 'T')"), QString());
        const auto open = [](const TestTenant &t, const char *column = "COUNT(*)") {
            const char *const sql = "SELECT %1 FROM information_schema.PROCESSLIST WHERE USER = '%2'";
            return TestDatabase::scalar(QString(), fill(sql, column, t.user)).toLongLong();
        };
        const QString path = s("/kelvo/inters/") + KelvoWorker::encodeHash(1, 2);
        WorkerHarness h;
        const auto get = [&](const TestTenant &t) { return h.request(s("GET"), path, t.token); };
        const Reply perRequest = get(a);
        h.setProperty("keepConnections", 2);
        const Reply first = get(a);
        QCOMPARE(first.head + answerText(first).toUtf8(), perRequest.head + answerText(perRequest).toUtf8());
        const qint64 id = open(a, "ID");
        QCOMPARE(answerText(get(a)), answerText(perRequest));
        QCOMPARE(open(a), 1);
        h.manager()->removeUnusedConnections();

        // The server drops the connection while it is kept.
        QCOMPARE(TestDatabase::exec(QString(), s("KILL %1").arg(id)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(open(a), 0, 10000);
        QCOMPARE(answerText(get(a)), answerText(perRequest));
        QCOMPARE(open(a), 1);

        // Three tenants, two kept: the least recently used is closed and released.
        QVERIFY(get(b).status == 404 && get(c).status == 404);
        QTRY_COMPARE_WITH_TIMEOUT(open(a), 0, 10000);
        QCOMPARE(open(b) + open(c), 2);
        QCOMPARE(h.manager()->unusedConnectionNames().size(), 1);

        // A tenant disabled and reloaded: refused, its connection closed.
        QCOMPARE(TestDatabase::exec(TestDatabase::infoDatabaseName(),
                     s("UPDATE `schemas` SET status = 0 WHERE token = '%1'").arg(b.token)),
            QString());
        h.manager()->reloadTenants();
        QCOMPARE(get(b).status, 502);
        QTRY_COMPARE_WITH_TIMEOUT(open(b), 0, 10000);

        h.setProperty("keepIdleSeconds", 0);
        h.closeIdleConnections();
        QTRY_COMPARE_WITH_TIMEOUT(open(c), 0, 10000);
    }
};

QTEST_GUILESS_MAIN(TstDispatcher)
#include "tst_dispatcher.moc"
