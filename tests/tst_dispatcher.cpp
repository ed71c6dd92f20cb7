#include "workerharness.h"

#include <QtTest>

namespace {

// Exposes the success status so that the envelope can be driven directly.
class ProbeWorker : public KelvoWorker
{
public:
    ProbeWorker()
        : KelvoWorker(QStringLiteral("0.2.5"))
    { }
    using KelvoWorker::httpStatus;
    using KelvoWorker::renderResponse;
    using KelvoWorker::resetResponse;
    using KelvoWorker::setError;
};

QStringList capturedMessages;
void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages << message;
}

} // namespace

// The dispatcher and the response envelope: request matrix, header and path
// parsing, exact response bytes, the per-request connection.
class TstDispatcher : public QObject
{
    Q_OBJECT
private slots:
    void patchAnswerBytes()
    {
        ProbeWorker worker;
        const QByteArray bytes = worker.buildResponse(
            QStringLiteral("PATCH"), QUrl(QStringLiteral("/kelvo/sync/x")), {}, QByteArray());
        const QByteArray body
            = "eyJlcnIiOjQwNSwicmVzIjoiTWV0aG9kICdQQVRDSCcgbm90IGFsbG93ZWQhIiwidmVyIjoiMC4yLjUifQ@@";
        QCOMPARE(body.size(), 84);
        QCOMPARE(bytes,
            QByteArray(
                "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/att; charset=\"utf-8\"\r\n"
                "Content-Length: 84\r\n\r\n")
                + body);
    }

    void resetAnswerBytes()
    {
        ProbeWorker worker;
        worker.resetResponse();
        QCOMPARE(worker.renderResponse(),
            QByteArray(
                "HTTP/1.1 200 OK\r\nContent-Type: application/att; charset=\"utf-8\"\r\nContent-Length: "
                "44\r\n\r\neyJlcnIiOjAsInJlcyI6IiIsInZlciI6IjAuMi41In0@"));
    }

    void statusLine_data()
    {
        QTest::addColumn<int>("successStatus");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::newRow("error wins over 208") << 208 << 404 << QByteArray("HTTP/1.1 404 Not Found");
        QTest::newRow("database number stays in err") << 200 << 1146 << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("600 is no status") << 201 << 600 << QByteArray("HTTP/1.1 201 Created");
        QTest::newRow("599 is a status")
            << 200 << 599 << QByteArray("HTTP/1.1 599 Network Connect Timeout Error");
        QTest::newRow("99 is no status") << 208 << 99 << QByteArray("HTTP/1.1 208 Already Reported");
        QTest::newRow("100 is a status") << 200 << 100 << QByteArray("HTTP/1.1 100 Continue");
        QTest::newRow("no error, created") << 201 << 0 << QByteArray("HTTP/1.1 201 Created");
        QTest::newRow("low 16 bits of a large code")
            << 200 << (65536 + 404) << QByteArray("HTTP/1.1 404 Not Found");
    }
    void statusLine()
    {
        QFETCH(int, successStatus);
        QFETCH(int, errorCode);
        QFETCH(QByteArray, statusLine);
        ProbeWorker worker;
        worker.resetResponse();
        worker.httpStatus = quint16(successStatus);
        if (errorCode)
            worker.setError(QStringLiteral("boom"), quint16(errorCode));
        if (errorCode > 65535) // setError takes 16 bits; a handler may still write a wider "err"
            const_cast<QVariantMap &>(worker.resultMap()).insert(QStringLiteral("err"), errorCode);
        const Reply reply = WorkerHarness::parse(worker.renderResponse());
        QCOMPARE(reply.head.left(reply.head.indexOf("\r\n")), statusLine);
        QCOMPARE(reply.json.value(QStringLiteral("err")).toInt(), errorCode);
    }

    void secondErrorWins()
    {
        ProbeWorker worker;
        worker.resetResponse();
        worker.setError(QStringLiteral("first"), 404);
        worker.setError(QStringLiteral("second"), 422);
        const Reply reply = WorkerHarness::parse(worker.renderResponse());
        QCOMPARE(reply.status, 422);
        QCOMPARE(reply.res().toString(), QStringLiteral("second"));
        QCOMPARE(
            reply.head.mid(reply.head.indexOf("Content-Length: ") + 16).trimmed().toInt(), reply.body.size());
    }

    // Requests that are answered before any database is touched, on a worker
    // without registry.
    void earlyAnswers_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("requestPath"); // null: no "request" entry
        QTest::newRow("PATCH") << "PATCH"
                               << "/kelvo/sync/x" << 405 << "Method 'PATCH' not allowed!" << QString();
        QTest::newRow("lower-case get") << "get"
                                        << "/kelvo/sync/x" << 405 << "Method 'get' not allowed!" << QString();
        QTest::newRow("bare prefix") << "GET"
                                     << "/kelvo" << 400 << "Bad path ''!"
                                     << "";
        QTest::newRow("GET one part") << "GET"
                                      << "/kelvo/person" << 400 << "Bad path 'person'!"
                                      << "person";
        QTest::newRow("GET unknown operation") << "GET"
                                               << "/kelvo/foo/xyz" << 400 << "Bad path 'foo/xyz'!"
                                               << "foo/xyz";
        QTest::newRow("GET upper-case operation") << "GET"
                                                  << "/kelvo/SYNC/xyz" << 400 << "Bad path 'SYNC/xyz'!"
                                                  << "SYNC/xyz";
        QTest::newRow("POST unknown operation passes")
            << "POST"
            << "/kelvo/foo/xyz" << 502 << "Database '' not initialized!"
            << "foo/xyz";
        QTest::newRow("DELETE bare prefix") << "DELETE"
                                            << "/kelvo/" << 400 << "Bad path ''!"
                                            << "";
        QTest::newRow("empty segments dropped")
            << "GET"
            << "/kelvo//person///abc" << 502 << "Database '' not initialized!"
            << "person/abc";
        QTest::newRow("prefix text not checked")
            << "GET"
            << "/other/person/abc" << 502 << "Database '' not initialized!"
            << "person/abc";
        QTest::newRow("query ignored") << "GET"
                                       << "/kelvo/person/abc?x=1" << 502 << "Database '' not initialized!"
                                       << "person/abc";
        QTest::newRow("percent-decoded") << "PUT"
                                         << "/kelvo/te%72m/a%2Fb" << 502 << "Database '' not initialized!"
                                         << "term/a/b";
    }
    void earlyAnswers()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, requestPath);
        ProbeWorker worker;
        const Reply reply
            = WorkerHarness::parse(worker.buildResponse(method, QUrl(path), {}, QByteArray("x")));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.err(), status);
        QCOMPARE(reply.res().toString(), message);
        QCOMPARE(reply.json.value(QStringLiteral("ver")).toString(), QStringLiteral("0.2.5"));
        if (requestPath.isNull()) {
            QVERIFY(!reply.json.contains(QStringLiteral("request")));
        } else {
            const QJsonObject request = reply.json.value(QStringLiteral("request")).toObject();
            QCOMPARE(request.value(QStringLiteral("method")).toString(), method);
            QCOMPARE(request.value(QStringLiteral("path")).toString(), requestPath);
        }
    }

    void headers_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("contentType");
        QTest::newRow("token") << QStringList { QStringLiteral("Pragma: token = abc ") } << "abc"
                               << "";
        QTest::newRow("no spaces around =") << QStringList { QStringLiteral("Pragma: token=abc") } << ""
                                            << "";
        QTest::newRow("later token wins")
            << QStringList { QStringLiteral("Pragma: token = one"), QStringLiteral("Pragma: token = two") }
            << "two"
            << "";
        QTest::newRow("pragma without token word")
            << QStringList { QStringLiteral("Pragma: no-cache = x") } << ""
            << "";
        QTest::newRow("token keeps its inner text")
            << QStringList { QStringLiteral("Pragma: token = a'b\\c = d") } << "a'b\\c"
            << "";
        QTest::newRow("content type")
            << QStringList { QStringLiteral("Content-type: application/json; charset=utf-8") } << ""
            << "application/json; charset=utf-8";
        QTest::newRow("capital T ignored")
            << QStringList { QStringLiteral("Content-Type: application/json") } << ""
            << "";
        QTest::newRow("both") << QStringList { QStringLiteral("Content-type: application/json"),
            QStringLiteral("Host: x"), QStringLiteral("Pragma: token = t1") }
                              << "t1"
                              << "application/json";
    }
    void headers()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, token);
        QFETCH(QString, contentType);
        ProbeWorker worker;
        worker.buildResponse(QStringLiteral("GET"), QUrl(QStringLiteral("/kelvo/x")), lines, QByteArray());
        QCOMPARE(worker.currentToken(), token);
        QCOMPARE(worker.currentContentType(), contentType);
    }

    void debugLevelGatesRecords()
    {
        capturedMessages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        ProbeWorker worker;
        worker.buildResponse(QStringLiteral("GET"), QUrl(QStringLiteral("/kelvo/x")), {}, QByteArray());
        const QStringList atZero = capturedMessages;
        capturedMessages.clear();
        worker.setDebugLevel(1);
        worker.buildResponse(QStringLiteral("GET"), QUrl(QStringLiteral("/kelvo/x")), {}, QByteArray());
        const QStringList atOne = capturedMessages;
        qInstallMessageHandler(previous);

        QCOMPARE(atZero.filter(QStringLiteral("KelvoWorker::")).size(), 0);
        QVERIFY(atOne.contains(QStringLiteral("KelvoWorker::buildResponse()")));
        QVERIFY(atOne.contains(QStringLiteral("KelvoWorker::renderResponse(1) err: 400")));
    }

    // With a registry: every request runs on a fresh clone of the tenant's
    // template, opened in this thread and closed at the end.
    void perRequestConnection()
    {
        REQUIRE_TEST_DATABASE();
        const auto tenant = TestDatabase::createTenant(QStringLiteral("disp"));
        WorkerHarness h;
        const QString path = QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(1, 2);
        h.request(QStringLiteral("GET"), path, tenant.token);
        const QString first = h.worker().database().connectionName();
        QVERIFY(first.startsWith(QStringLiteral("ORV.%1.Kelvo.").arg(tenant.schema)));
        QVERIFY(h.worker().isDbCloned());
        QVERIFY(!h.worker().database().isOpen());
        QVERIFY(QSqlDatabase::contains(first));

        h.request(QStringLiteral("GET"), path, tenant.token);
        const QString second = h.worker().database().connectionName();
        QVERIFY(second != first);
        QCOMPARE(h.manager().unusedConnectionNames(), QStringList { first });
        h.manager().removeUnusedConnections();
        QVERIFY(!QSqlDatabase::contains(first));
        QVERIFY(QSqlDatabase::contains(second));
        QVERIFY(!QSqlDatabase::contains(DBManager::connectionName(QString())));
    }

    // With "keepConnections" a worker keeps its tenants' connections open
    // between requests: the same answers, a dropped connection reopened
    // before the first statement, the least recently used let go beyond the
    // limit, idle ones closed, a disabled tenant's connection closed.
    void keptConnections()
    {
        REQUIRE_TEST_DATABASE();
        QVector<TestDatabase::Tenant> tenants;
        for (int i = 0; i < 3; ++i) {
            tenants << TestDatabase::createTenant(QStringLiteral("keep"));
            QCOMPARE(
                TestDatabase::exec(tenants.last().schema,
                    QStringLiteral("INSERT INTO term (tid, vornID, status, name) VALUES (1, 2, 1, 'T')")),
                QString());
        }
        const auto open = [&](const TestDatabase::Tenant &t) {
            return TestDatabase::scalar(QString(),
                QStringLiteral("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = '%1'")
                    .arg(t.user))
                .toInt();
        };
        const QString path = QStringLiteral("/kelvo/inters/") + KelvoWorker::encodeHash(1, 2);
        WorkerHarness h;
        const Reply perRequest = h.request(QStringLiteral("GET"), path, tenants[0].token);
        h.worker().setProperty("keepConnections", 2);
        const Reply first = h.request(QStringLiteral("GET"), path, tenants[0].token);
        QCOMPARE(first.body, perRequest.body);
        QCOMPARE(first.head, perRequest.head);
        const qint64 id = TestDatabase::scalar(QString(),
            QStringLiteral("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '%1'")
                .arg(tenants[0].user))
                              .toLongLong();
        QCOMPARE(h.request(QStringLiteral("GET"), path, tenants[0].token).body, perRequest.body);
        QCOMPARE(open(tenants[0]), 1);
        h.manager().removeUnusedConnections();

        // The server drops the connection while it is kept.
        QCOMPARE(TestDatabase::exec(QString(), QStringLiteral("KILL %1").arg(id)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(open(tenants[0]), 0, 10000);
        QCOMPARE(h.request(QStringLiteral("GET"), path, tenants[0].token).body, perRequest.body);
        QCOMPARE(open(tenants[0]), 1);

        // Three tenants, two kept: the least recently used is closed and released.
        QCOMPARE(h.request(QStringLiteral("GET"), path, tenants[1].token).status, 404);
        QCOMPARE(h.request(QStringLiteral("GET"), path, tenants[2].token).status, 404);
        QTRY_COMPARE_WITH_TIMEOUT(open(tenants[0]), 0, 10000);
        QCOMPARE(open(tenants[1]) + open(tenants[2]), 2);
        QCOMPARE(h.manager().unusedConnectionNames().size(), 1);

        // A tenant disabled and reloaded: refused, its connection closed.
        QCOMPARE(
            TestDatabase::exec(TestDatabase::infoDatabaseName(),
                QStringLiteral("UPDATE `schemas` SET status = 0 WHERE token = '%1'").arg(tenants[1].token)),
            QString());
        h.manager().reloadTenants();
        QCOMPARE(h.request(QStringLiteral("GET"), path, tenants[1].token).status, 502);
        QTRY_COMPARE_WITH_TIMEOUT(open(tenants[1]), 0, 10000);

        h.worker().setProperty("keepIdleSeconds", 0);
        h.worker().closeIdleConnections();
        QTRY_COMPARE_WITH_TIMEOUT(open(tenants[2]), 0, 10000);
        h.manager().removeUnusedConnections();
        for (const auto &t : tenants)
            TestDatabase::dropTenant(t);
    }

    void unknownTokenIsBadGateway()
    {
        REQUIRE_TEST_DATABASE();
        WorkerHarness h;
        for (const QString &token : { QStringLiteral("no-such-tenant"), QStringLiteral("x' OR '1'='1") }) {
            const Reply reply = h.request(
                QStringLiteral("GET"), QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(1, 2), token);
            QCOMPARE(reply.status, 502);
            QCOMPARE(reply.res().toString(), QStringLiteral("Database '' not initialized!"));
        }
        // No token and no main database: the same answer, never another database.
        const Reply reply = h.request(
            QStringLiteral("GET"), QStringLiteral("/kelvo/sync/") + KelvoWorker::encodeHash(1, 2), QString());
        QCOMPARE(reply.status, 502);
    }
};

QTEST_GUILESS_MAIN(TstDispatcher)
#include "tst_dispatcher.moc"
