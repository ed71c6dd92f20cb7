#include "updaterow.h"
#include "workerharness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

// Terminal uploads against the real server: registration, persons and their
// markers for other terminals, entrances (resent, concurrent, with photos),
// terminal state, and texts that must reach their columns unchanged.
namespace {

// A fresh tenant for one test, dropped again however the test ends.
struct ScopedTenant : TestDatabase::Tenant
{
    explicit ScopedTenant(const char *tag)
        : TestDatabase::Tenant(TestDatabase::createTenant(QString::fromLatin1(tag)))
    {
    }
    ~ScopedTenant() { TestDatabase::dropTenant(*this); }
    Q_DISABLE_COPY(ScopedTenant)
};

QVariant one(const QString &schema, const QString &sql)
{
    return TestDatabase::scalar(schema, sql);
}

QString text(const QString &schema, const QString &sql)
{
    return one(schema, sql).toString();
}

qint64 number(const QString &schema, const QString &sql)
{
    return one(schema, sql).toLongLong();
}

quint32 addTerm(const QString &schema, quint32 vornId, int status = 1)
{
    const QString error = TestDatabase::exec(
        schema, QStringLiteral("INSERT INTO term (vornID, status, name) VALUES (%1, %2, 't')").arg(vornId).arg(status));
    return error.isEmpty() ? one(schema, QStringLiteral("SELECT LAST_INSERT_ID()")).toUInt() : 0;
}

QString termHash(const QString &schema, quint32 tid)
{
    return WorkerHarness::hash(tid, number(schema, QStringLiteral("SELECT vornID FROM term WHERE tid = %1").arg(tid)));
}

QJsonObject entrance(int refId, const QJsonObject &extra = {})
{
    QJsonObject body { { QStringLiteral("refId"), refId }, { QStringLiteral("uid"), 5 },
                       { QStringLiteral("iid"), 2 }, { QStringLiteral("type"), QStringLiteral("in") } };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        body.insert(it.key(), it.value());
    return body;
}

QString safeBase64(const QByteArray &bytes)
{
    return QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(bytes));
}

// A resend within the same second changes nothing, one a second later stamps
// a new `online`: the expected answer follows from the stored stamps.
void verifyUnchangedAnswer(const Reply &reply, qint64 onlineBefore, qint64 onlineAfter, const QJsonValue &changedRes)
{
    if (onlineBefore == onlineAfter)
        QCOMPARE(reply.status, 208);
    else
        QCOMPARE(reply.status, 200);
    if (!changedRes.isUndefined())
        QCOMPARE(reply.res(), onlineBefore == onlineAfter ? QJsonValue(false) : changedRes);
}

} // namespace

class TstUpload : public QObject
{
    Q_OBJECT
private slots:
    void bodyValues_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("number");
        QTest::newRow("digits") << QJsonValue(QStringLiteral("42")) << QStringLiteral("42") << 42u;
        QTest::newRow("padded digits") << QJsonValue(QStringLiteral(" 42")) << QStringLiteral(" 42") << 0u;
        QTest::newRow("signed digits") << QJsonValue(QStringLiteral("+4")) << QStringLiteral("+4") << 0u;
        QTest::newRow("digits over 32 bits") << QJsonValue(QStringLiteral("4294967296")) << QStringLiteral("4294967296") << 0u;
        QTest::newRow("largest id") << QJsonValue(4294967295.0) << QStringLiteral("4294967295") << 4294967295u;
        QTest::newRow("whole number") << QJsonValue(7.0) << QStringLiteral("7") << 7u;
        QTest::newRow("big whole number") << QJsonValue(1e15) << QStringLiteral("1000000000000000") << 0u;
        QTest::newRow("fraction") << QJsonValue(2.5) << QStringLiteral("2.5") << 0u;
        QTest::newRow("negative") << QJsonValue(-3) << QStringLiteral("-3") << 0u;
        QTest::newRow("true") << QJsonValue(true) << QStringLiteral("true") << 0u;
        QTest::newRow("false") << QJsonValue(false) << QStringLiteral("false") << 0u;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QString() << 0u;
        QTest::newRow("array") << QJsonValue(QJsonArray { 1 }) << QString() << 0u;
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << QString() << 0u;
    }
    void bodyValues()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QString, text);
        QFETCH(quint32, number);
        // Through the body map, as the handlers see it.
        QJsonObject object;
        if (!value.isUndefined())
            object.insert(QStringLiteral("k"), value);
        const QVariant v = object.toVariantMap().value(QStringLiteral("k"));
        QCOMPARE(BodyValue::text(v), text);
        QCOMPARE(BodyValue::number(v), number);
    }

    void updateRowOrderAndLists()
    {
        UpdateRow row;
        row.addFields({ { QStringLiteral("name"), QStringLiteral("  a ") }, { QStringLiteral("ip"), QStringLiteral(" ") },
                        { QStringLiteral("Zed"), 1 }, { QStringLiteral("other"), 2 } },
                      { QStringLiteral("name"), QStringLiteral("ip"), QStringLiteral("Zed") }, { QStringLiteral("ip") });
        row.set(QStringLiteral("accNum"), 3);
        // capital letters sort before small ones; ip skipped, other not accepted
        QCOMPARE(row.columns(), (QStringList { QStringLiteral("Zed"), QStringLiteral("accNum"), QStringLiteral("name") }));
        QCOMPARE(row.valuesList(), QStringLiteral("Zed=VALUES(Zed), accNum=VALUES(accNum), name=VALUES(name)"));
        QCOMPARE(row.placeholders(), (QStringList { QStringLiteral(":Zed"), QStringLiteral(":accNum"), QStringLiteral(":name") }));
        QCOMPARE(row.toJson(), QByteArray(R"({"Zed":"1","accNum":3,"name":"a"})"));
        // Without an open connection nothing is escaped, so no statement can be built.
        QVERIFY(row.setList(QSqlDatabase()).isNull());
    }

    void typeFlags_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("flags");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("kr550 inside, any case") << QStringLiteral("xkr550-b") << 255;
        QTest::newRow("kr550 before dsk") << QStringLiteral("DSK-KR550") << 255;
        QTest::newRow("Kp12") << QStringLiteral("Kp12") << 2;
        QTest::newRow("vtrm equal") << QStringLiteral("vtrm") << 3;
        QTest::newRow("BRW equal") << QStringLiteral("bRw") << 3;
        QTest::newRow("BRW2 is not equal") << QStringLiteral("BRW2") << 0;
        QTest::newRow("TTRM") << QStringLiteral("Ttrm") << 263;
        QTest::newRow("TTRM inside") << QStringLiteral("TTRM1") << 0;
        QTest::newRow("DSK inside") << QStringLiteral("DSK-1") << 7;
        QTest::newRow("dsk small") << QStringLiteral("dsk") << 0;
        QTest::newRow("other") << QStringLiteral("XYZ") << 0;
    }
    void typeFlags()
    {
        QFETCH(QString, type);
        QFETCH(int, flags);
        QCOMPARE(int(KelvoWorker::terminalTypeFlags(type)), flags);
    }

    // Every refused request answers the first failing check and writes nothing.
    void checkOrder_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *method, const char *path, const char *body, int status,
                            const char *message) {
            QTest::newRow(name) << QString::fromLatin1(method) << QString::fromLatin1(path) << QByteArray(body)
                                << status << QString::fromUtf8(message);
        };
        row("unknown operation before parse", "POST", "foo/{T}", "{", 400, "Invalid operation 'foo'!");
        row("term parse error", "POST", "term", "{\"fid\":", 400, "Parse error at 7: 'unterminated object'");
        row("term empty", "POST", "term", "{}", 422, "Vorn ID is required!");
        row("term fid not digits", "POST", "term", R"({"fid":"12a","name":"n","type":"t"})", 422, "Vorn ID is required!");
        row("term without name", "POST", "term", R"({"fid":"12"})", 422, "Name is required!");
        row("term without type", "POST", "term", R"({"fid":12,"name":"n"})", 422, "Type is required!");
        row("person without hash", "POST", "person", "{}", 400, "Invalid path 'person'!");
        row("entrance bad hash", "POST", "entrance/xyz", "{}", 400, "Invalid hash 'xyz'!");
        row("post parse error before hash", "POST", "person/xyz", "[", 400, "Parse error at 1: 'unterminated array'");
        row("post unknown terminal", "POST", "person/{X}", "{}", 404, "Terminal not found!");
        row("person pid 0", "POST", "person/{T}", R"({"pid":0,"name":"a"})", 422, "Personal ID is required!");
        row("person without names", "POST", "person/{T}", R"({"pid":5,"name":"","surname":null})", 422, "Name is required!");
        row("entrance refId text", "POST", "entrance/{T}", R"({"refId":"x","uid":1})", 422, "Reference ID is required!");
        row("entrance without uid", "POST", "entrance/{T}", R"({"refId":1})", 422, "User ID is required!");
        row("entrance without type", "POST", "entrance/{T}", R"({"refId":1,"uid":1,"iid":1})", 422, "Required field is missing!");
        row("entrance iid 0", "POST", "entrance/{T}", R"({"refId":1,"uid":1,"iid":0,"type":""})", 422, "Required field is missing!");
        row("put without hash", "PUT", "term", "{}", 400, "Invalid path 'term'!");
        row("put unknown operation", "PUT", "foo/{T}", "{}", 400, "Invalid operation 'foo'!");
        row("put hash before parse", "PUT", "term/xyz", "{", 400, "Invalid hash 'xyz'!");
        row("put parse before terminal", "PUT", "term/{X}", "nope", 400, "Parse error at 1: 'illegal value'");
        row("put unknown terminal", "PUT", "term/{X}", "{}", 404, "Terminal not found!");
        row("put person without hash", "PUT", "person/{T}", "{}", 400, "Invalid path 'person/{T}'!");
        row("put person bad hash", "PUT", "person/{T}/xyz", "{}", 400, "Invalid hash 'xyz'!");
        row("put unknown person", "PUT", "person/{T}/{Q}", "{}", 404, "Person not found!");
    }
    void checkOrder()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("order");
        const quint32 tid = addTerm(tenant.schema, 31);
        QVERIFY(tid);
        const QMap<QString, QString> fill { { QStringLiteral("{T}"), WorkerHarness::hash(tid, 31) },
                                            { QStringLiteral("{X}"), WorkerHarness::hash(tid + 1, 31) },
                                            { QStringLiteral("{Q}"), WorkerHarness::hash(9, 9) } };
        for (auto it = fill.cbegin(); it != fill.cend(); ++it) {
            path.replace(it.key(), it.value());
            message.replace(it.key(), it.value());
        }
        const QString tables = QStringLiteral("SELECT (SELECT COUNT(*) FROM term) + (SELECT COUNT(*) FROM people) + "
                                              "(SELECT COUNT(*) FROM inters_data) + (SELECT COUNT(*) FROM people_term)");
        WorkerHarness h;
        QSignalSpy created(&h.worker(), &KelvoWorker::recordCreated);
        const Reply r = h.raw(method, QStringLiteral("/kelvo/") + path,
                              WorkerHarness::tokenHeaders(tenant.token) << QStringLiteral("Content-type: application/json"),
                              body);
        QCOMPARE(r.status, status);
        QCOMPARE(r.err(), status);
        QCOMPARE(r.res().toString(), message);
        QCOMPARE(number(tenant.schema, tables), 1);
        QCOMPARE(created.count(), 0);
    }

    void registration()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("reg");
        TestDatabase::exec(tenant.schema, QStringLiteral("INSERT INTO vars VALUES ('colorGroups', '[[1,\"red\"]]')"));
        WorkerHarness h;
        const auto post = [&](const QJsonObject &body) { return h.request(QStringLiteral("POST"), QStringLiteral("/kelvo/term"), tenant.token, body); };
        const auto column = [&](const char *name, quint32 tid) {
            return text(tenant.schema, QStringLiteral("SELECT `%1` FROM term WHERE tid = %2").arg(QLatin1String(name)).arg(tid));
        };

        Reply r = post({ { QStringLiteral("fid"), QStringLiteral("4711") }, { QStringLiteral("name"), QStringLiteral(" Gate ") },
                         { QStringLiteral("type"), QStringLiteral("xkr550-b") }, { QStringLiteral("ip"), QStringLiteral(" 10.0.0.1 ") },
                         { QStringLiteral("hddu"), 5 } });
        QCOMPARE(r.status, 201);
        const quint32 tid = quint32(r.res().toInt());
        QVERIFY(tid);
        QCOMPARE(r.json.value(QStringLiteral("colorGroups")).toString(), QStringLiteral("[[1,\"red\"]]"));
        QCOMPARE(column("name", tid), QStringLiteral(" Gate ")); // registration keeps the name as sent
        QCOMPARE(column("flags", tid), QStringLiteral("255"));
        QCOMPARE(column("ip", tid), QStringLiteral("10.0.0.1"));
        QVERIFY(qAbs(column("online", tid).toLongLong() - QDateTime::currentSecsSinceEpoch()) <= 2);

        // Re-registering reactivates; a blank ip keeps the stored one, empty
        // hddu and flags are written, the type default applies only without "flags".
        TestDatabase::exec(tenant.schema, QStringLiteral("UPDATE term SET status = 0"));
        const QJsonObject again { { QStringLiteral("fid"), 4711 }, { QStringLiteral("name"), QStringLiteral("Gate") },
                                  { QStringLiteral("type"), QStringLiteral("DSK-1") }, { QStringLiteral("ip"), QStringLiteral("  ") },
                                  { QStringLiteral("hddu"), QString() }, { QStringLiteral("flags"), QString() } };
        r = post(again);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res().toInt(), int(tid));
        QCOMPARE(column("status", tid), QStringLiteral("1"));
        QCOMPARE(column("ip", tid), QStringLiteral("10.0.0.1"));
        QCOMPARE(column("hddu", tid), QString());
        QCOMPARE(column("flags", tid), QString());

        const qint64 before = column("online", tid).toLongLong();
        r = post(again);
        verifyUnchangedAnswer(r, before, column("online", tid).toLongLong(), QJsonValue(QJsonValue::Undefined));
        QCOMPARE(r.res().toInt(), int(tid));

        // Two rows with this Vorn ID: the newest is the terminal.
        const quint32 newer = addTerm(tenant.schema, 4711, 0);
        QCOMPARE(post(again).res().toInt(), int(newer));
        QCOMPARE(number(tenant.schema, QStringLiteral("SELECT COUNT(*) FROM term")), 2);
    }

    // A person stored once per tenant; its other terminals learn each upload.
    void personUploadMarksOtherTerminals()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("person");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 10), t1 = addTerm(s, 11), t2 = addTerm(s, 12, 0);
        WorkerHarness h;
        const auto post = [&](quint32 tid, const QJsonObject &body) {
            return h.request(QStringLiteral("POST"), QStringLiteral("/kelvo/person/") + termHash(s, tid), tenant.token, body);
        };
        const auto markers = [&](quint32 tid) {
            return number(s, QStringLiteral("SELECT COUNT(*) FROM term_sync WHERE tid = %1 AND type = 'U' AND ref = 'people_term' "
                                            "AND ref_col = 'uid' AND flags = 2").arg(tid));
        };
        const auto syn = [&](quint32 tid) { return number(s, QStringLiteral("SELECT syn FROM term WHERE tid = %1").arg(tid)); };

        Reply r = post(t1, { { QStringLiteral("pid"), QStringLiteral("77") }, { QStringLiteral("surname"), QStringLiteral("Doe") },
                             { QStringLiteral("name"), QStringLiteral("   ") }, { QStringLiteral("card"), QStringLiteral("C1") },
                             { QStringLiteral("email"), QStringLiteral("a@b") } });
        QCOMPARE(r.status, 201);
        const int uid = r.res()[QStringLiteral("uid")].toInt();
        QCOMPARE(r.res()[QStringLiteral("pid")], QJsonValue(QStringLiteral("77"))); // as sent
        QCOMPARE(number(s, QStringLiteral("SELECT begin FROM people WHERE uid = %1").arg(uid)),
                 QDate::currentDate().startOfDay().toSecsSinceEpoch());
        QCOMPARE(text(s, QStringLiteral("SELECT CONCAT(name, '|', surname) FROM people")), QStringLiteral("|Doe"));
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM term_sync")), 0);

        TestDatabase::exec(s, QStringLiteral("INSERT INTO people_term (uid, tid) VALUES (%1, %2)").arg(uid).arg(t2));
        const QJsonObject change { { QStringLiteral("pid"), 77 }, { QStringLiteral("surname"), QStringLiteral("Doe") },
                                   { QStringLiteral("card"), QString() }, { QStringLiteral("email"), QString() },
                                   { QStringLiteral("begin"), QStringLiteral("100") } };
        r = post(t0, change);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res()[QStringLiteral("uid")].toInt(), uid);
        QCOMPARE(text(s, QStringLiteral("SELECT CONCAT(card, '|', email, '|', begin) FROM people")), QStringLiteral("C1||100"));
        QCOMPARE(markers(t0), 0);
        QCOMPARE(markers(t1), 1);
        QCOMPARE(markers(t2), 1); // rows for every other link ...
        QCOMPARE(syn(t0), 0);
        QCOMPARE(syn(t1), 2);
        QCOMPARE(syn(t2), 0); // ... the bit only for active terminals
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM people_term WHERE uid = %1").arg(uid)), 3);

        r = post(t0, change);
        QCOMPARE(r.status, 208);
        QCOMPARE(markers(t1), 2);
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM people_term")), 3);

        // An inactive person gets no rows, its terminals still get the bit.
        TestDatabase::exec(s, QStringLiteral("UPDATE people SET status = 0"));
        TestDatabase::exec(s, QStringLiteral("UPDATE term SET syn = 0"));
        QCOMPARE(post(t0, change).status, 208);
        QCOMPARE(markers(t1), 2);
        QCOMPARE(syn(t1), 2);
    }

    // The statement that raises other terminals' bits is chosen as a deadlock
    // victim against a heavier transaction; it must be run again, not lost.
    void markersSurviveDeadlock()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("dead");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 80), t1 = addTerm(s, 81), t2 = addTerm(s, 82);
        TestDatabase::exec(s, QStringLiteral("INSERT INTO people (uid, pid) VALUES (3, 33)"));
        TestDatabase::exec(s, QStringLiteral("INSERT INTO people_term (uid, tid) VALUES (3, %1), (3, %2)").arg(t1).arg(t2));
        TestDatabase::exec(s, QStringLiteral("INSERT INTO inters (name) SELECT seq FROM seq_1_to_200"));
        const QString deadlocks = QStringLiteral(
            "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'INNODB_DEADLOCKS'");
        const qint64 deadlocksBefore = number(s, deadlocks);

        QSemaphore locked;
        QStringList blockerErrors;
        std::unique_ptr<QThread> blocker(QThread::create([&] {
            const QString name = QStringLiteral("blocker");
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
                db.setHostName(TestDatabase::host());
                db.setPort(TestDatabase::port());
                db.setUserName(QStringLiteral("root"));
                db.setDatabaseName(s);
                QSqlQuery q(db);
                const auto run = [&](const QString &sql) {
                    if (!q.exec(sql))
                        blockerErrors << q.lastError().text();
                };
                if (db.open()) {
                    // Heavy transaction holding t2, then asking for t1 once the
                    // marker statement holds t1 and waits for t2.
                    run(QStringLiteral("BEGIN"));
                    run(QStringLiteral("UPDATE inters SET weight = weight + 1"));
                    run(QStringLiteral("UPDATE term SET name = 'b' WHERE tid = %1").arg(t2));
                    locked.release();
                    for (int i = 0; i < 500; ++i) {
                        run(QStringLiteral("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE 'Update `term` SET syn%'"));
                        if (q.next() && q.value(0).toInt() > 0)
                            break;
                        QThread::msleep(20);
                    }
                    run(QStringLiteral("UPDATE term SET name = 'b' WHERE tid = %1").arg(t1));
                    QThread::msleep(100);
                    run(QStringLiteral("COMMIT"));
                } else {
                    locked.release();
                }
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
        }));
        blocker->start();
        locked.acquire();
        WorkerHarness h;
        const Reply r = h.request(QStringLiteral("PUT"), QStringLiteral("/kelvo/person/%1/%2").arg(termHash(s, t0), WorkerHarness::hash(3, 33)),
                                  tenant.token, { { QStringLiteral("email"), QStringLiteral("new@x") } });
        QVERIFY(blocker->wait(60000));
        QCOMPARE(blockerErrors, QStringList());
        QVERIFY2(number(s, deadlocks) > deadlocksBefore, "no deadlock happened: the retry was not exercised");
        QCOMPARE(r.res()[QStringLiteral("setOtherTerms")], QJsonValue(true));
        QCOMPARE(text(s, QStringLiteral("SELECT GROUP_CONCAT(syn ORDER BY tid) FROM term")), QStringLiteral("0,2,2"));
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM term_sync")), 2);
    }

    void putTermAndPerson()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("put");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 20), t1 = addTerm(s, 21);
        TestDatabase::exec(s, QStringLiteral("UPDATE term SET flags = '7', type = 'DSK', online = 5"));
        TestDatabase::exec(s, QStringLiteral("INSERT INTO people (uid, pid, name, email) VALUES (3, 33, 'Ann', 'a@x')"));
        TestDatabase::exec(s, QStringLiteral("INSERT INTO people_term (uid, tid) VALUES (3, %1)").arg(t1));
        WorkerHarness h;
        const QString termPath = QStringLiteral("/kelvo/term/") + termHash(s, t0);
        const QString personPath = QStringLiteral("/kelvo/person/") + termHash(s, t0) + QLatin1Char('/') + WorkerHarness::hash(3, 33);
        const auto online = [&] { return number(s, QStringLiteral("SELECT online FROM term WHERE tid = %1").arg(t0)); };

        const QJsonObject state { { QStringLiteral("hddu"), QStringLiteral(" 42 ") }, { QStringLiteral("flags"), 99 },
                                  { QStringLiteral("type"), QStringLiteral("zz") }, { QStringLiteral("online"), 5 } };
        Reply r = h.request(QStringLiteral("PUT"), termPath, tenant.token, state);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res(), QJsonValue(true));
        QCOMPARE(text(s, QStringLiteral("SELECT CONCAT(hddu, '|', flags, '|', type, '|', status) FROM term WHERE tid = %1").arg(t0)),
                 QStringLiteral("42|7|DSK|1"));
        const qint64 stamped = online();
        QVERIFY(qAbs(stamped - QDateTime::currentSecsSinceEpoch()) <= 2);
        r = h.request(QStringLiteral("PUT"), termPath, tenant.token, state);
        verifyUnchangedAnswer(r, stamped, online(), QJsonValue(true));

        r = h.request(QStringLiteral("PUT"), personPath, tenant.token, { { QStringLiteral("email"), QStringLiteral("a@x") } });
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res(), QJsonValue(false));
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM term_sync")), 0);

        r = h.request(QStringLiteral("PUT"), personPath, tenant.token, { { QStringLiteral("email"), QStringLiteral("b@x") } });
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res().toObject(), (QJsonObject { { QStringLiteral("pid"), 33 }, { QStringLiteral("uid"), 3 },
                                                    { QStringLiteral("setOtherTerms"), true } }));
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM term_sync WHERE tid = %1 AND ref_id = 3").arg(t1)), 1);
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM people_term WHERE uid = 3 AND tid = %1").arg(t0)), 1);

        // No accepted key: the server refuses the empty update and its message stays.
        r = h.request(QStringLiteral("PUT"), personPath, tenant.token, { { QStringLiteral("pid"), 1 } });
        QCOMPARE(r.status, 500);
        QVERIFY(!r.res().toString().isEmpty());
    }

    void entranceUpload()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("entr");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 40), t1 = addTerm(s, 41);
        WorkerHarness h;
        QSignalSpy created(&h.worker(), &KelvoWorker::recordCreated);
        const QString path = QStringLiteral("/kelvo/entrance/") + termHash(s, t0);
        const auto post = [&](const QJsonObject &body) { return h.request(QStringLiteral("POST"), path, tenant.token, body); };
        const auto row = [&](int refId, const char *columns) {
            return text(s, QStringLiteral("SELECT CONCAT_WS('|', %1) FROM inters_data WHERE refId = %2").arg(QLatin1String(columns)).arg(refId));
        };
        QByteArray photo;
        for (int i = 0; i < 1024; ++i)
            photo.append(char(i * 7));

        Reply r = post(entrance(1, { { QStringLiteral("description"), QStringLiteral(" first ") } }));
        QCOMPARE(r.status, 201);
        const int eid = r.res()[QStringLiteral("eid")].toInt();
        QCOMPARE(r.res().toObject(), (QJsonObject { { QStringLiteral("rid"), 1 }, { QStringLiteral("uid"), 5 }, { QStringLiteral("eid"), eid } }));
        QCOMPARE(created.count(), 1);
        QCOMPARE(created.at(0), (QVariantList { QStringLiteral("inters_data"), uint(eid), tenant.token, quint8(3) }));
        QCOMPARE(row(1, "description, tid, date = created, photo IS NULL"), QStringLiteral("first|%1|1|1").arg(t0));

        QCOMPARE(post(entrance(2, { { QStringLiteral("date"), 0 } })).status, 201);
        QCOMPARE(post(entrance(3, { { QStringLiteral("date"), 1234 }, { QStringLiteral("tid"), QString::number(t1) } })).status, 201);
        QCOMPARE(post(entrance(4, { { QStringLiteral("image"), safeBase64(photo) } })).status, 201);
        QCOMPARE(post(entrance(5, { { QStringLiteral("image"), QStringLiteral("@@@@") } })).status, 201);
        QCOMPARE(row(2, "date = created"), QStringLiteral("1"));
        QCOMPARE(row(3, "tid, date"), QStringLiteral("%1|1234").arg(t1));
        QCOMPARE(one(s, QStringLiteral("SELECT photo FROM inters_data WHERE refId = 4")).toByteArray(), photo);
        QCOMPARE(row(5, "photo IS NULL"), QStringLiteral("1"));
        QCOMPARE(created.count(), 5);

        // A resend is answered with the stored id, also without type and iid,
        // and changes nothing.
        r = post({ { QStringLiteral("refId"), 1 }, { QStringLiteral("uid"), 6 }, { QStringLiteral("description"), QStringLiteral("other") } });
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res().toObject(), (QJsonObject { { QStringLiteral("rid"), 1 }, { QStringLiteral("uid"), 6 }, { QStringLiteral("eid"), eid } }));
        QCOMPARE(row(1, "description, uid"), QStringLiteral("first|5"));
        QCOMPARE(created.count(), 5);
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM inters_data")), 5);
    }

    // An upload that passes the duplicate check but collides with a stored
    // (tid, refId) keeps the stored row and learns its id.
    void entranceCollisionKeepsStoredRow_data()
    {
        QTest::addColumn<bool>("withPhoto");
        QTest::newRow("plain insert") << false;
        QTest::newRow("photo insert") << true;
    }
    void entranceCollisionKeepsStoredRow()
    {
        QFETCH(bool, withPhoto);
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("coll");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 50), t1 = addTerm(s, 51);
        WorkerHarness h;
        QSignalSpy created(&h.worker(), &KelvoWorker::recordCreated);
        const Reply stored = h.request(QStringLiteral("POST"), QStringLiteral("/kelvo/entrance/") + termHash(s, t1), tenant.token,
                                       entrance(7, { { QStringLiteral("description"), QStringLiteral("kept") } }));
        QCOMPARE(stored.status, 201);
        QJsonObject resend = entrance(7, { { QStringLiteral("tid"), QString::number(t1) }, { QStringLiteral("description"), QStringLiteral("new") } });
        if (withPhoto)
            resend.insert(QStringLiteral("image"), safeBase64("photo"));
        const Reply r = h.request(QStringLiteral("POST"), QStringLiteral("/kelvo/entrance/") + termHash(s, t0), tenant.token, resend);
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res()[QStringLiteral("eid")], stored.res()[QStringLiteral("eid")]);
        QCOMPARE(text(s, QStringLiteral("SELECT CONCAT(COUNT(*), MAX(description), MAX(photo IS NULL)) FROM inters_data")), QStringLiteral("1kept1"));
        QCOMPARE(created.count(), 1);
    }

    // Two serving threads, each with its own worker on the one registry,
    // resend the same entrances and persons at the same time.
    void concurrentResend()
    {
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("race");
        const QString &s = tenant.schema;
        const quint32 t0 = addTerm(s, 60);
        const QString hash = termHash(s, t0);
        constexpr int count = 60;
        struct Outcome
        {
            QMap<int, int> eids, uids, statuses;
            QSet<uint> signalled;
        };
        Outcome outcomes[2];
        WorkerHarness host;
        // The registry's template for the tenant is made here, in the owning thread.
        QCOMPARE(host.request(QStringLiteral("PUT"), QStringLiteral("/kelvo/term/") + hash, tenant.token, { { QStringLiteral("ver"), 1 } }).status, 200);
        QSemaphore ready, go;
        const auto client = [&](Outcome &out) {
            KelvoWorker worker(QStringLiteral("0.2.5"));
            worker.setDbManager(&host.manager());
            worker.setReleaseConnection(true);
            QSignalSpy created(&worker, &KelvoWorker::recordCreated);
            const auto post = [&](const QString &operation, const QJsonObject &body) {
                return WorkerHarness::parse(worker.buildResponse(
                    QStringLiteral("POST"), QUrl(QStringLiteral("/kelvo/%1/%2").arg(operation, hash)),
                    WorkerHarness::tokenHeaders(tenant.token),
                    HttpPluginWorker::encodeSafeBase64(QJsonDocument(body).toJson(QJsonDocument::Compact))));
            };
            ready.release();
            go.acquire();
            for (int i = 1; i <= count; ++i) {
                const Reply e = post(QStringLiteral("entrance"), entrance(i));
                out.eids.insert(i, e.res()[QStringLiteral("eid")].toInt());
                out.statuses[e.status] += 1;
                const Reply p = post(QStringLiteral("person"), { { QStringLiteral("pid"), 1000 + i % 10 }, { QStringLiteral("name"), QStringLiteral("P") } });
                out.uids.insert(i, p.res()[QStringLiteral("uid")].toInt());
            }
            for (const QVariantList &args : qAsConst(created))
                out.signalled.insert(args.at(1).toUInt());
        };
        std::unique_ptr<QThread> threads[2] = { std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[0]))),
                                                std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[1]))) };
        for (auto &t : threads)
            t->start();
        ready.acquire(2);
        go.release(2);
        for (auto &t : threads)
            QVERIFY(t->wait(300000));
        host.manager().removeUnusedConnections();

        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM inters_data")), count);
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM people")), 10);
        QCOMPARE(number(s, QStringLiteral("SELECT COUNT(*) FROM people_term")), 10);
        QCOMPARE(outcomes[0].eids, outcomes[1].eids);
        QCOMPARE(outcomes[0].uids, outcomes[1].uids);
        QCOMPARE(outcomes[0].statuses.value(201) + outcomes[1].statuses.value(201), count);
        QCOMPARE(outcomes[0].statuses.value(208) + outcomes[1].statuses.value(208), count);
        QVERIFY(!outcomes[0].signalled.intersects(outcomes[1].signalled));
        QSet<uint> stored;
        QSqlQuery ids(TestDatabase::adminConnection(s));
        QVERIFY_SQL(ids, exec(QStringLiteral("SELECT id FROM inters_data")));
        while (ids.next())
            stored.insert(ids.value(0).toUInt());
        QCOMPARE(outcomes[0].signalled + outcomes[1].signalled, stored);
        QCOMPARE(QSet<int>(outcomes[0].eids.cbegin(), outcomes[0].eids.cend()).size(), count);
    }

    // Texts from a terminal reach their columns unchanged, through the
    // escaped statement text and through bound values alike.
    void textsReachColumnsUnchanged_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("double quote") << QStringLiteral("say \"hi\"");
        QTest::newRow("statement breakout") << QStringLiteral("x\", status=\"0");
        QTest::newRow("single quote") << QStringLiteral("O'Brien'); DELETE FROM people; -- ");
        QTest::newRow("backslashes") << QStringLiteral("a\\\"b\\'c\\");
        QTest::newRow("percent and placeholders") << QStringLiteral("50% %1 %2 %L1 ::photo :tid");
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
        QTest::newRow("non-ASCII") << QStringLiteral(u"Zoë Ünal 漢字 \u00a0x");
        QTest::newRow("4-byte characters") << QStringLiteral(u"clock 😀 𝄞");
        QTest::newRow("surrounding spaces") << QStringLiteral("  padded\t");
        QTest::newRow("long") << QStringLiteral("'\"\\%").repeated(63);
    }
    void textsReachColumnsUnchanged()
    {
        QFETCH(QString, value);
        REQUIRE_TEST_DATABASE();
        const ScopedTenant tenant("text");
        const QString &s = tenant.schema;
        const quint32 tid = addTerm(s, 70);
        WorkerHarness h;
        const QString hash = termHash(s, tid);
        const auto upload = [&](const char *method, const QString &path, const QJsonObject &body) {
            const Reply r = h.request(QString::fromLatin1(method), QStringLiteral("/kelvo/") + path, tenant.token, body);
            return r.err() == 0 ? QString() : r.res().toString();
        };
        const auto column = [&](const char *sql) { return text(s, QString::fromLatin1(sql)); };

        QEXPECT_FAIL("4-byte characters", "the tenant connections talk utf8mb3 (no SET NAMES utf8mb4 after open)", Abort);
        QCOMPARE(upload("POST", QStringLiteral("term"), { { QStringLiteral("fid"), 71 }, { QStringLiteral("name"), value },
                                                          { QStringLiteral("type"), QStringLiteral("x") } }), QString());
        QCOMPARE(upload("POST", QStringLiteral("person/") + hash, { { QStringLiteral("pid"), 1 }, { QStringLiteral("surname"), value } }),
                 QString());
        QCOMPARE(upload("POST", QStringLiteral("entrance/") + hash, entrance(1, { { QStringLiteral("description"), value } })), QString());
        QCOMPARE(upload("POST", QStringLiteral("entrance/") + hash,
                        entrance(2, { { QStringLiteral("description"), value }, { QStringLiteral("image"), safeBase64("x") } })),
                 QString());
        QCOMPARE(column("SELECT name FROM term WHERE vornID = 71"), value); // registration stores it untrimmed
        QCOMPARE(column("SELECT surname FROM people WHERE pid = 1"), value.trimmed());
        QCOMPARE(column("SELECT description FROM inters_data WHERE refId = 1"), value.trimmed());
        QCOMPARE(column("SELECT description FROM inters_data WHERE refId = 2"), value.trimmed());

        QCOMPARE(upload("PUT", QStringLiteral("term/") + hash, { { QStringLiteral("name"), value } }), QString());
        QCOMPARE(text(s, QStringLiteral("SELECT name FROM term WHERE tid = %1").arg(tid)), value.trimmed());
        QCOMPARE(column("SELECT COUNT(*) FROM term WHERE status = 1"), QStringLiteral("2"));
        QCOMPARE(column("SELECT COUNT(*) FROM people"), QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(TstUpload)
#include "tst_upload.moc"
