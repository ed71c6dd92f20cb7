#include "updaterow.h"
#include "workerharness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

// Terminal uploads against the real server: registration and terminal state,
// persons and their markers for other terminals, entrances (resent,
// concurrent, with photos), and texts that must reach their columns unchanged.
namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}

// Reaches the worker's type rule table.
class TypeRules : public KelvoWorker
{
public:
    using KelvoWorker::terminalTypeFlags;
};

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject with(QJsonObject body, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        body.insert(it.key(), it.value());
    return body;
}

QJsonObject entrance(int refId, const QJsonObject &extra = {})
{
    return with({ { s("refId"), refId }, { s("uid"), 5 }, { s("iid"), 2 }, { s("type"), s("in") } }, extra);
}

QString safeBase64(const QByteArray &bytes)
{
    return QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(bytes));
}

// A fresh tenant for one test with a worker on it, dropped again however the
// test ends. Statements given here run as root on the tenant's schema.
class Tenant : public TestDatabase::Tenant
{
public:
    explicit Tenant(const char *tag)
        : TestDatabase::Tenant(TestDatabase::createTenant(s(tag)))
        , harness(std::make_unique<WorkerHarness>())
    { }
    ~Tenant()
    {
        harness.reset();
        TestDatabase::dropTenant(*this);
    }
    Q_DISABLE_COPY(Tenant)

    void exec(const QString &sql) const { QCOMPARE(TestDatabase::exec(schema, sql), QString()); }
    QString text(const QString &sql) const { return TestDatabase::scalar(schema, sql).toString(); }
    qint64 number(const QString &sql) const { return TestDatabase::scalar(schema, sql).toLongLong(); }
    quint32 addTerm(quint32 vornId, int status = 1) const
    {
        exec(s("INSERT INTO term (vornID, status, name) VALUES (%1, %2, 't')").arg(vornId).arg(status));
        return quint32(number(s("SELECT LAST_INSERT_ID()")));
    }
    QString hash(quint32 tid) const
    {
        return KelvoWorker::encodeHash(tid, number(s("SELECT vornID FROM term WHERE tid = %1").arg(tid)));
    }
    Reply send(const char *method, const QString &path, const QJsonObject &body = {}) const
    {
        return harness->request(s(method), s("/kelvo/") + path, token, body);
    }
    // operation/<hash of tid>
    Reply post(const char *operation, quint32 tid, const QJsonObject &body) const
    {
        return send("POST", s("%1/%2").arg(s(operation), hash(tid)), body);
    }

    std::unique_ptr<WorkerHarness> harness;
};

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
        const std::tuple<const char *, QJsonValue, QString, quint32> rows[]
            = { { "digits", s("42"), s("42"), 42 }, { "padded digits", s(" 42"), s(" 42"), 0 },
                  { "signed digits", s("+4"), s("+4"), 0 },
                  { "digits over 32 bits", s("4294967296"), s("4294967296"), 0 },
                  { "largest id", 4294967295.0, s("4294967295"), 4294967295u },
                  { "big whole number", 1e15, s("1000000000000000"), 0 }, { "fraction", 2.5, s("2.5"), 0 },
                  { "negative", -3, s("-3"), 0 }, { "true", true, s("true"), 0 },
                  { "null", QJsonValue::Null, QString(), 0 }, { "array", QJsonArray { 1 }, QString(), 0 },
                  { "missing", QJsonValue::Undefined, QString(), 0 } };
        for (const auto &[tag, value, text, number] : rows)
            QTest::newRow(tag) << value << text << number;
    }
    void bodyValues()
    {
        QFETCH(QJsonValue, value);
        // Through the body map, as the handlers see it.
        const QVariant v = (value.isUndefined() ? QJsonObject() : QJsonObject { { s("k"), value } })
                               .toVariantMap()
                               .value(s("k"));
        QTEST(BodyValue::text(v), "text");
        QTEST(BodyValue::number(v), "number");
    }

    void updateRowOrderAndLists()
    {
        UpdateRow row;
        row.addFields(json(R"({"name":"  a ","ip":" ","Zed":1,"other":2})").toVariantMap(),
            { s("name"), s("ip"), s("Zed") }, { s("ip") });
        row.set(s("accNum"), 3);
        // capital letters sort before small ones; ip skipped, other not accepted
        QCOMPARE(row.valuesList(), s("Zed=VALUES(Zed), accNum=VALUES(accNum), name=VALUES(name)"));
        QCOMPARE(row.placeholders(), (QStringList { s(":Zed"), s(":accNum"), s(":name") }));
        QCOMPARE(row.toJson(), QByteArray(R"({"Zed":"1","accNum":3,"name":"a"})"));
        // Without an open connection nothing is escaped, so no statement can be built.
        QVERIFY(row.setList(QSqlDatabase()).isNull());
    }

    void typeFlags_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("flags");
        const std::pair<const char *, int> rows[] = { { "", 0 }, { "xkr550-b", 255 }, { "DSK-KR550", 255 },
            { "Kp12", 2 }, { "vtrm", 3 }, { "bRw", 3 }, { "BRW2", 0 }, { "Ttrm", 263 }, { "TTRM1", 0 },
            { "DSK-1", 7 }, { "dsk", 0 }, { "XYZ", 0 } };
        for (const auto &[type, flags] : rows)
            QTest::newRow(*type ? type : "empty") << s(type) << flags;
    }
    void typeFlags()
    {
        QFETCH(QString, type);
        QTEST(int(TypeRules::terminalTypeFlags(type)), "flags");
    }

    // Every refused request answers the first failing check and writes nothing.
    void checkOrder_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *method, const char *path, const char *body,
                             int status, const char *message) {
            QTest::newRow(name) << s(method) << s(path) << QByteArray(body) << status << s(message);
        };
        row("unknown operation before parse", "POST", "foo/{T}", "{", 400, "Invalid operation 'foo'!");
        row("term parse error", "POST", "term", "{\"fid\":", 400, "Parse error at 7: 'unterminated object'");
        row("term empty", "POST", "term", "{}", 422, "Vorn ID is required!");
        row("term fid not digits", "POST", "term", R"({"fid":"12a","name":"n","type":"t"})", 422,
            "Vorn ID is required!");
        row("term without name", "POST", "term", R"({"fid":"12"})", 422, "Name is required!");
        row("term without type", "POST", "term", R"({"fid":12,"name":"n"})", 422, "Type is required!");
        row("person without hash", "POST", "person", "{}", 400, "Invalid path 'person'!");
        row("entrance bad hash", "POST", "entrance/xyz", "{}", 400, "Invalid hash 'xyz'!");
        row("post parse error before hash", "POST", "person/xyz", "[", 400,
            "Parse error at 1: 'unterminated array'");
        row("post unknown terminal", "POST", "person/{X}", "{}", 404, "Terminal not found!");
        row("person pid 0", "POST", "person/{T}", R"({"pid":0,"name":"a"})", 422, "Personal ID is required!");
        row("person without names", "POST", "person/{T}", R"({"pid":5,"name":"","surname":null})", 422,
            "Name is required!");
        row("entrance refId text", "POST", "entrance/{T}", R"({"refId":"x","uid":1})", 422,
            "Reference ID is required!");
        row("entrance without uid", "POST", "entrance/{T}", R"({"refId":1})", 422, "User ID is required!");
        row("entrance without type", "POST", "entrance/{T}", R"({"refId":1,"uid":1,"iid":1})", 422,
            "Required field is missing!");
        row("entrance iid 0", "POST", "entrance/{T}", R"({"refId":1,"uid":1,"iid":0,"type":""})", 422,
            "Required field is missing!");
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
        const Tenant t("order");
        const quint32 tid = t.addTerm(31);
        for (const auto &[key, hash] : { std::pair { "{T}", KelvoWorker::encodeHash(tid, 31) },
                 std::pair { "{X}", KelvoWorker::encodeHash(tid + 1, 31) },
                 std::pair { "{Q}", KelvoWorker::encodeHash(9, 9) } })
            path.replace(s(key), hash), message.replace(s(key), hash);
        QSignalSpy created(&t.harness->worker(), &KelvoWorker::recordCreated);
        const Reply r = t.harness->raw(method, s("/kelvo/") + path,
            WorkerHarness::tokenHeaders(t.token) << s("Content-type: application/json"), body);
        QCOMPARE(QList<int>({ r.status, r.err() }), QList<int>({ status, status }));
        QCOMPARE(r.res().toString(), message);
        QCOMPARE(t.number(s("SELECT (SELECT COUNT(*) FROM term) + (SELECT COUNT(*) FROM people) + "
                            "(SELECT COUNT(*) FROM inters_data) + (SELECT COUNT(*) FROM people_term)")),
            1);
        QCOMPARE(created.count(), 0);
    }

    // Registration, re-registration and the terminal's own state updates.
    void terminal()
    {
        REQUIRE_TEST_DATABASE();
        const Tenant t("reg");
        t.exec(s(R"(INSERT INTO vars VALUES ('colorGroups', '[[1,"red"]]'))"));
        const auto columns = [&](const char *names) {
            return t.text(s("SELECT CONCAT_WS('|', %1) FROM term").arg(s(names)));
        };
        const auto online = [&] { return t.number(s("SELECT online FROM term")); };

        Reply r = t.send("POST", s("term"),
            json(R"({"fid":"4711","name":" Gate ","type":"xkr550-b","ip":" 10.0.0.1 ","hddu":5})"));
        QCOMPARE(r.status, 201);
        const int tid = r.res().toInt();
        QVERIFY(tid);
        QCOMPARE(r.json.value(s("colorGroups")).toString(), s(R"([[1,"red"]])"));
        QCOMPARE(columns("name, flags, ip"), s(" Gate |255|10.0.0.1")); // registration keeps the name as sent
        QVERIFY(qAbs(online() - QDateTime::currentSecsSinceEpoch()) <= 2);

        // Re-registering reactivates; a blank ip keeps the stored one, empty
        // hddu and flags are written, the type default applies only without "flags".
        t.exec(s("UPDATE term SET status = 0"));
        const QJsonObject again
            = json(R"({"fid":4711,"name":"Gate","type":"DSK-1","ip":"  ","hddu":"","flags":""})");
        r = t.send("POST", s("term"), again);
        QCOMPARE(QList<int>({ r.status, r.res().toInt() }), QList<int>({ 200, tid }));
        QCOMPARE(columns("status, ip, hddu, flags"), s("1|10.0.0.1||"));
        // A resend within the same second changes nothing; one a second later stamps a new `online`.
        qint64 before = online();
        r = t.send("POST", s("term"), again);
        QCOMPARE(
            QList<int>({ r.status, r.res().toInt() }), QList<int>({ before == online() ? 208 : 200, tid }));

        // A state update stamps `online` and takes only the keys a terminal may change.
        const QString termPath = s("term/") + t.hash(tid);
        const QJsonObject state = json(R"({"hddu":" 42 ","flags":99,"type":"zz","online":5})");
        t.exec(s("UPDATE term SET online = 5"));
        r = t.send("PUT", termPath, state);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res(), QJsonValue(true));
        QCOMPARE(columns("hddu, flags, type, status"), s("42||DSK-1|1"));
        QVERIFY(qAbs(online() - QDateTime::currentSecsSinceEpoch()) <= 2);
        before = online();
        r = t.send("PUT", termPath, state);
        QCOMPARE(r.status, before == online() ? 208 : 200);
        QCOMPARE(r.res(), QJsonValue(r.status == 200));

        // Two rows with this Vorn ID: the newest is the terminal.
        const quint32 newer = t.addTerm(4711, 0);
        QCOMPARE(t.send("POST", s("term"), again).res().toInt(), int(newer));
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM term")), 2);
    }

    // A person is stored once per tenant; its other terminals learn of each
    // change by upload or update. An empty "end" means "no end".
    void person()
    {
        REQUIRE_TEST_DATABASE();
        const Tenant t("person");
        const quint32 t0 = t.addTerm(10), t1 = t.addTerm(11), t2 = t.addTerm(12, 0);
        const auto markers = [&] {
            return t.text(
                s("SELECT GROUP_CONCAT((SELECT COUNT(*) FROM term_sync s WHERE s.tid = term.tid AND type = "
                  "'U' AND "
                  "ref = 'people_term' AND ref_col = 'uid' AND flags = 2) ORDER BY tid) FROM term"));
        };
        const auto syn = [&] { return t.text(s("SELECT GROUP_CONCAT(syn ORDER BY tid) FROM term")); };
        const auto listed
            = [&] { return t.send("GET", s("person/") + t.hash(t1)).json.value(s("count")).toInt(); };

        Reply r = t.post("person", t1,
            json(R"({"pid":"77","surname":"Doe","name":"   ","card":"C1","email":"a@b","end":""})"));
        QCOMPARE(r.status, 201);
        const int uid = r.res()[s("uid")].toInt();
        QCOMPARE(r.res()[s("pid")], QJsonValue(s("77"))); // as sent
        QCOMPARE(
            t.number(s("SELECT begin FROM people")), QDate::currentDate().startOfDay().toSecsSinceEpoch());
        QCOMPARE(t.text(s("SELECT CONCAT(name, '|', surname, '|', `end` IS NULL) FROM people")), s("|Doe|1"));
        QCOMPARE(listed(), 1);
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM term_sync")), 0);

        // An update through a new terminal links it; rows for every other
        // link, the bit only on the active ones.
        t.exec(s("INSERT INTO people_term (uid, tid) VALUES (%1, %2)").arg(uid).arg(t2));
        const QString personPath = s("person/%1/%2").arg(t.hash(t0), KelvoWorker::encodeHash(uid, 77));
        r = t.send("PUT", personPath, json(R"({"email":"a@b"})"));
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res(), QJsonValue(false));
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM term_sync")), 0);
        r = t.send("PUT", personPath, json(R"({"email":"b@x"})"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res().toObject(), with(json(R"({"pid":77,"setOtherTerms":true})"), { { s("uid"), uid } }));
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM people_term WHERE uid = %1").arg(uid)), 3);
        QCOMPARE(markers(), s("0,1,1"));
        QCOMPARE(syn(), s("0,2,0"));

        // An upload with empty texts: card keeps its value, email is emptied.
        const QJsonObject change = json(R"({"pid":77,"surname":"Doe","card":"","email":"","begin":"100"})");
        r = t.post("person", t0, change);
        QCOMPARE(QList<int>({ r.status, r.res()[s("uid")].toInt() }), QList<int>({ 200, uid }));
        QCOMPARE(t.text(s("SELECT CONCAT(card, '|', email, '|', begin) FROM people")), s("C1||100"));
        QCOMPARE(markers(), s("0,2,2"));
        QCOMPARE(t.post("person", t0, change).status, 208);
        QCOMPARE(markers(), s("0,3,3"));
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM people_term")), 3);

        // No accepted key: the server refuses the empty update and its message stays.
        r = t.send("PUT", personPath, json(R"({"pid":1})"));
        QCOMPARE(r.status, 500);
        QVERIFY(!r.res().toString().isEmpty());
        // A past end takes the person off the terminal's list, a blank one puts it back.
        QCOMPARE(t.send("PUT", personPath, json(R"({"end":"1000"})")).status, 200);
        QCOMPARE(listed(), 0);
        QCOMPARE(t.send("PUT", personPath, json(R"({"end":"  "})")).status, 200);
        QCOMPARE(listed(), 1);

        // An inactive person gets no rows, its terminals still get the bit.
        t.exec(s("UPDATE people SET status = 0"));
        t.exec(s("UPDATE term SET syn = 0"));
        const QString rows = markers();
        QCOMPARE(t.post("person", t0, change).status, 208);
        QCOMPARE(markers(), rows);
        QCOMPARE(syn(), s("0,2,0"));
    }
    // The statement that raises other terminals' bits is chosen as a deadlock
    // victim against a heavier transaction; it must be run again, not lost.
    void markersSurviveDeadlock()
    {
        REQUIRE_TEST_DATABASE();
        const Tenant t("dead");
        const quint32 t0 = t.addTerm(80), t1 = t.addTerm(81), t2 = t.addTerm(82);
        t.exec(s("INSERT INTO people (uid, pid) VALUES (3, 33)"));
        t.exec(s("INSERT INTO people_term (uid, tid) VALUES (3, %1), (3, %2)").arg(t1).arg(t2));
        t.exec(s("INSERT INTO inters (name) SELECT seq FROM seq_1_to_200"));
        const QString deadlocks = s("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                                    "VARIABLE_NAME = 'INNODB_DEADLOCKS'");
        const qint64 deadlocksBefore = t.number(deadlocks);

        QSemaphore locked;
        QStringList blockerErrors;
        std::unique_ptr<QThread> blocker(QThread::create([&] {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(s("QMYSQL"), s("blocker"));
                db.setHostName(TestDatabase::host());
                db.setPort(TestDatabase::port());
                db.setUserName(s("root"));
                db.setDatabaseName(t.schema);
                db.open();
                QSqlQuery q(db);
                const auto run = [&](const QString &sql) {
                    if (!q.exec(sql))
                        blockerErrors << q.lastError().text();
                    return q.next() ? q.value(0).toInt() : 0;
                };
                // A heavy transaction holds t2, and asks for t1 once the
                // marker statement holds t1 and waits for t2.
                run(s("BEGIN"));
                run(s("UPDATE inters SET weight = weight + 1"));
                run(s("UPDATE term SET name = 'b' WHERE tid = %1").arg(t2));
                locked.release();
                // Only once the marker statement waits for t2 does it hold t1.
                if (!TestDatabase::waitForLockWait(t.schema, s("Update `term` SET syn")))
                    blockerErrors << s("the marker statement never waited for its lock");
                run(s("UPDATE term SET name = 'b' WHERE tid = %1").arg(t1));
                run(s("COMMIT"));
                db.close();
            }
            QSqlDatabase::removeDatabase(s("blocker"));
        }));
        blocker->start();
        locked.acquire();
        const Reply r = t.send("PUT", s("person/%1/%2").arg(t.hash(t0), KelvoWorker::encodeHash(3, 33)),
            json(R"({"email":"n"})"));
        QVERIFY(blocker->wait(60000));
        QCOMPARE(blockerErrors, QStringList());
        QVERIFY2(t.number(deadlocks) > deadlocksBefore, "no deadlock happened: the retry was not exercised");
        QCOMPARE(r.res()[s("setOtherTerms")], QJsonValue(true));
        QCOMPARE(t.text(s("SELECT GROUP_CONCAT(syn ORDER BY tid) FROM term")), s("0,2,2"));
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM term_sync")), 2);
    }

    // Entrances: stored once, resends (also without type and iid, or through
    // another terminal's "tid") answered with the stored id and changing nothing.
    void entrances()
    {
        REQUIRE_TEST_DATABASE();
        const Tenant t("entr");
        const quint32 t0 = t.addTerm(40), t1 = t.addTerm(41);
        QSignalSpy created(&t.harness->worker(), &KelvoWorker::recordCreated);
        const auto row = [&](int refId, const char *columns) {
            return t.text(
                s("SELECT CONCAT_WS('|', %1) FROM inters_data WHERE refId = %2").arg(s(columns)).arg(refId));
        };
        QByteArray photo;
        for (int i = 0; i < 1024; ++i)
            photo.append(char(i * 7));

        Reply r = t.post("entrance", t0, entrance(1, json(R"({"description":" first "})")));
        QCOMPARE(r.status, 201);
        const int eid = r.res()[s("eid")].toInt();
        QCOMPARE(r.res().toObject(), with(json(R"({"rid":1,"uid":5})"), { { s("eid"), eid } }));
        QCOMPARE(created.count(), 1);
        QCOMPARE(created.at(0), (QVariantList { s("inters_data"), uint(eid), t.token, quint8(3) }));
        QCOMPARE(row(1, "description, tid, date = created, photo IS NULL"), s("first|%1|1|1").arg(t0));

        const QJsonObject other { { s("date"), 1234 }, { s("tid"), QString::number(t1) } };
        QCOMPARE(t.post("entrance", t0, entrance(2, json(R"({"date":0})"))).status, 201);
        QCOMPARE(t.post("entrance", t0, entrance(3, other)).status, 201);
        QCOMPARE(t.post("entrance", t0, entrance(4, { { s("image"), safeBase64(photo) } })).status, 201);
        QCOMPARE(t.post("entrance", t0, entrance(5, json(R"({"image":"@@@@"})"))).status, 201);
        QCOMPARE(row(2, "date = created"), s("1"));
        QCOMPARE(row(3, "tid, date"), s("%1|1234").arg(t1));
        QCOMPARE(
            TestDatabase::scalar(t.schema, s("SELECT photo FROM inters_data WHERE refId = 4")).toByteArray(),
            photo);
        QCOMPARE(row(5, "photo IS NULL"), s("1"));
        QCOMPARE(created.count(), 5);

        r = t.post("entrance", t0, json(R"({"refId":1,"uid":6,"description":"other"})"));
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res().toObject(), with(json(R"({"rid":1,"uid":6})"), { { s("eid"), eid } }));
        QCOMPARE(row(1, "description, uid"), s("first|5"));
        // These pass the duplicate check (it looks at the sending terminal) but
        // collide with the stored (tid, refId), by plain and by photo insert.
        const QString stored = t.text(s("SELECT id FROM inters_data WHERE refId = 3"));
        for (const QJsonObject &extra : { QJsonObject { { s("description"), s("new") } },
                 QJsonObject { { s("image"), safeBase64("x") } } }) {
            r = t.post("entrance", t0, entrance(3, with(other, extra)));
            QCOMPARE(r.status, 208);
            QCOMPARE(QString::number(r.res()[s("eid")].toInt()), stored);
        }
        QCOMPARE(row(3, "description, photo IS NULL"), s("|1"));
        QCOMPARE(created.count(), 5);
        QCOMPARE(t.number(s("SELECT COUNT(*) FROM inters_data")), 5);
    }
    // Two serving threads, each with its own worker on the one registry,
    // resend the same entrances and persons at the same time.
    void concurrentResend()
    {
        REQUIRE_TEST_DATABASE();
        const Tenant t("race");
        const QString hash = t.hash(t.addTerm(60));
        constexpr int count = 60;
        struct Outcome
        {
            QMap<int, int> eids, uids, statuses;
            QSet<uint> signalled;
        };
        Outcome outcomes[2];
        // The registry's template for the tenant is made here, in the owning thread.
        QCOMPARE(t.send("PUT", s("term/") + hash, json(R"({"ver":1})")).status, 200);
        QSemaphore ready, go;
        const auto client = [&](Outcome &out) {
            KelvoWorker worker(s("0.2.5"));
            worker.setDbManager(&t.harness->manager());
            worker.setReleaseConnection(true);
            QSignalSpy created(&worker, &KelvoWorker::recordCreated);
            const auto post = [&](const QString &operation, const QJsonObject &body) {
                return WorkerHarness::parse(worker.buildResponse(s("POST"),
                    QUrl(s("/kelvo/%1/%2").arg(operation, hash)), WorkerHarness::tokenHeaders(t.token),
                    HttpPluginWorker::encodeSafeBase64(QJsonDocument(body).toJson(QJsonDocument::Compact))));
            };
            ready.release();
            go.acquire();
            for (int i = 1; i <= count; ++i) {
                const Reply e = post(s("entrance"), entrance(i));
                out.eids.insert(i, e.res()[s("eid")].toInt());
                out.statuses[e.status] += 1;
                const Reply p = post(s("person"), { { s("pid"), 1000 + i % 10 }, { s("name"), s("P") } });
                out.uids.insert(i, p.res()[s("uid")].toInt());
            }
            for (const QVariantList &args : qAsConst(created))
                out.signalled.insert(args.at(1).toUInt());
        };
        std::unique_ptr<QThread> threads[2]
            = { std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[0]))),
                  std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[1]))) };
        for (auto &thread : threads)
            thread->start();
        ready.acquire(2);
        go.release(2);
        for (auto &thread : threads)
            QVERIFY(thread->wait(300000));
        t.harness->manager().removeUnusedConnections();

        QCOMPARE(
            t.text(
                s("SELECT CONCAT_WS('|', (SELECT COUNT(*) FROM inters_data), (SELECT COUNT(*) FROM people), "
                  "(SELECT COUNT(*) FROM people_term))")),
            s("%1|10|10").arg(count));
        QCOMPARE(outcomes[0].eids, outcomes[1].eids);
        QCOMPARE(outcomes[0].uids, outcomes[1].uids);
        QCOMPARE(outcomes[0].statuses.value(201) + outcomes[1].statuses.value(201), count);
        QCOMPARE(outcomes[0].statuses.value(208) + outcomes[1].statuses.value(208), count);
        QVERIFY(!outcomes[0].signalled.intersects(outcomes[1].signalled));
        QSet<uint> stored;
        QSqlQuery ids(TestDatabase::adminConnection(t.schema));
        QVERIFY_SQL(ids, exec(s("SELECT id FROM inters_data")));
        while (ids.next())
            stored.insert(ids.value(0).toUInt());
        QCOMPARE(outcomes[0].signalled + outcomes[1].signalled, stored);
        QCOMPARE(QSet<int>(outcomes[0].eids.cbegin(), outcomes[0].eids.cend()).size(), count);
    }

    // A JSON value without text (null, array, object) is stored as the empty
    // text, with a photo (bound values) as without one (statement text).
    void nonTextValuesWithAndWithoutPhoto_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("null") << QJsonValue(QJsonValue::Null);
        QTest::newRow("array") << QJsonValue(QJsonArray { 1 });
        QTest::newRow("object") << QJsonValue(QJsonObject { { s("a"), 1 } });
    }
    void nonTextValuesWithAndWithoutPhoto()
    {
        QFETCH(QJsonValue, value);
        REQUIRE_TEST_DATABASE();
        const Tenant t("nontext");
        const quint32 tid = t.addTerm(75);
        const QJsonObject texts { { s("description"), value }, { s("type"), value } };
        QCOMPARE(t.post("entrance", tid, entrance(1, texts)).status, 201);
        QCOMPARE(
            t.post("entrance", tid, entrance(2, with(texts, { { s("image"), safeBase64("x") } }))).status,
            201);
        QCOMPARE(t.text(s("SELECT GROUP_CONCAT(CONCAT(refId, ':', description, ':', type) ORDER BY refId) "
                          "FROM inters_data")),
            s("1::,2::"));
    }

    // Texts from a terminal reach their columns unchanged, through the
    // escaped statement text and through bound values alike.
    void textsReachColumnsUnchanged_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("double quote") << s(R"(say "hi")");
        QTest::newRow("statement breakout") << s(R"(x", status="0)");
        QTest::newRow("single quote") << s("O'Brien'); DELETE FROM people; -- ");
        QTest::newRow("backslashes") << s("a\\\"b\\'c\\");
        QTest::newRow("percent and placeholders") << s("50% %1 %2 %L1 ::photo :tid");
        QTest::newRow("NUL") << s("a") + QChar(0) + s("b");
        QTest::newRow("non-ASCII") << s("Zoë Ünal 漢字 \u00a0x");
        QTest::newRow("4-byte characters") << s("clock 😀 𝄞");
        QTest::newRow("surrounding spaces") << s("  padded\t");
        QTest::newRow("long") << s("'\"\\%").repeated(63);
        QTest::newRow("255 characters") << s("0123456789abcdefghijklmnopqrstuvwxyz").repeated(8).left(255);
    }
    void textsReachColumnsUnchanged()
    {
        QFETCH(QString, value);
        REQUIRE_TEST_DATABASE();
        const Tenant t("text");
        const quint32 tid = t.addTerm(70);
        const QString hash = t.hash(tid);
        const auto upload = [&](const char *method, const QString &path, const QJsonObject &body) {
            const Reply r = t.send(method, path, body);
            return r.err() == 0 ? QString() : r.res().toString();
        };

        QCOMPARE(upload("POST", s("term"), { { s("fid"), 71 }, { s("name"), value }, { s("type"), s("x") } }),
            QString());
        QCOMPARE(upload("POST", s("person/") + hash,
                     { { s("pid"), 1 }, { s("surname"), value }, { s("card"), value } }),
            QString());
        const QJsonObject texts { { s("description"), value }, { s("type"), value } };
        QCOMPARE(upload("POST", s("entrance/") + hash, entrance(1, texts)), QString());
        QCOMPARE(upload("POST", s("entrance/") + hash,
                     entrance(2, with(texts, { { s("image"), safeBase64("x") } }))),
            QString());
        QCOMPARE(
            t.text(s("SELECT name FROM term WHERE vornID = 71")), value); // registration stores it untrimmed
        QCOMPARE(t.text(s("SELECT CONCAT_WS('|', surname, card) FROM people WHERE pid = 1")),
            s("%1|%1").arg(value.trimmed()));
        for (const int refId : { 1, 2 })
            QCOMPARE(t.text(s("SELECT CONCAT_WS('|', description, type) FROM inters_data WHERE refId = %1")
                                .arg(refId)),
                s("%1|%1").arg(value.trimmed()));

        QCOMPARE(upload("PUT", s("term/") + hash, { { s("name"), value } }), QString());
        QCOMPARE(t.text(s("SELECT name FROM term WHERE tid = %1").arg(tid)), value.trimmed());
        QCOMPARE(t.text(s("SELECT CONCAT((SELECT COUNT(*) FROM term WHERE status = 1), (SELECT COUNT(*) FROM "
                          "people))")),
            s("21"));
    }
};

QTEST_GUILESS_MAIN(TstUpload)
#include "tst_upload.moc"
