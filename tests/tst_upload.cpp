// Terminal uploads against the real server: registration and terminal state,
// persons and their markers for other terminals, entrances (resent,
// concurrent, with photos), and texts that must reach their columns unchanged.
#include "testtenant.h"
#include "updaterow.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

namespace {

QString s(const char *text)
{
    return QString::fromUtf8(text);
}
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
QJsonObject photo(const QByteArray &bytes)
{
    return { { s("image"), QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(bytes)) } };
}

} // namespace

class TstUpload : public QObject
{
    Q_OBJECT

    // One tenant for all rows of checkOrder, one for those of textsReachColumnsUnchanged.
    std::unique_ptr<TestTenant> ordered, texts;
    TestTenant::Terminal term; // of checkOrder
    int textRows = 0;

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

    // Whole names and parts, with and without case, the first rule first.
    void typeFlags_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("flags");
        for (const auto &[type, flags] : { std::pair { "", 0 }, { "xkr550-b", 255 }, { "DSK-KR550", 255 },
                 { "Kp12", 2 }, { "bRw", 3 }, { "BRW2", 0 }, { "Ttrm", 263 }, { "DSK-1", 7 }, { "dsk", 0 } })
            QTest::newRow(*type ? type : "empty") << s(type) << flags;
    }
    void typeFlags()
    {
        QFETCH(QString, type);
        QTEST(int(WorkerHarness::terminalTypeFlags(type)), "flags");
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
        QFETCH(QString, path);
        QFETCH(QString, message);
        QFETCH(int, status);
        REQUIRE_TEST_DATABASE();
        if (!ordered) {
            ordered = std::make_unique<TestTenant>("order");
            term = ordered->addTerm();
        }
        TestTenant &t = *ordered;
        for (const auto &[key, hash] : { std::pair { "{T}", term.hash() },
                 std::pair { "{X}", KelvoWorker::encodeHash(term.tid + 1, term.vorn) },
                 std::pair { "{Q}", KelvoWorker::encodeHash(9, 9) } })
            path.replace(s(key), hash), message.replace(s(key), hash);
        QSignalSpy created(&t.worker, &KelvoWorker::recordCreated);
        QFETCH(QString, method);
        QFETCH(QByteArray, body);
        const Reply r = t.worker.raw(method, s("/kelvo/") + path,
            WorkerHarness::tokenHeaders(t.token) << s("Content-type: application/json"), body);
        QCOMPARE(QList<int>({ r.status, r.err() }), QList<int>({ status, status }));
        QCOMPARE(r.res().toString(), message);
        QCOMPARE(t.value("SELECT (SELECT COUNT(*) FROM term) + (SELECT COUNT(*) FROM people) + "
                         "(SELECT COUNT(*) FROM inters_data) + (SELECT COUNT(*) FROM people_term)")
                     .toInt(),
            1);
        QCOMPARE(created.count(), 0);
    }
    void cleanupTestCase()
    {
        ordered.reset();
        texts.reset();
    }

    // Registration, re-registration and the terminal's own state updates.
    void terminal()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant t("reg");
        t.exec(R"(INSERT INTO vars VALUES ('colorGroups', '[[1,"red"]]'))");
        const auto columns = [&](const char *names) {
            return t.value("SELECT CONCAT_WS('|', %1) FROM term", s(names)).toString();
        };
        const auto online = [&] { return t.value("SELECT online FROM term").toLongLong(); };

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
        t.exec("UPDATE term SET status = 0");
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
        const QString termPath = s("term/") + KelvoWorker::encodeHash(tid, 4711);
        const QJsonObject state = json(R"({"hddu":" 42 ","flags":99,"type":"zz","online":5})");
        t.exec("UPDATE term SET online = 5");
        r = t.send("PUT", termPath, state);
        QCOMPARE(QList<int>({ r.status, r.res().toBool() }), QList<int>({ 200, true }));
        QCOMPARE(columns("hddu, flags, type, status"), s("42||DSK-1|1"));
        QVERIFY(qAbs(online() - QDateTime::currentSecsSinceEpoch()) <= 2);
        before = online();
        r = t.send("PUT", termPath, state);
        QCOMPARE(r.status, before == online() ? 208 : 200);
        QCOMPARE(r.res(), QJsonValue(r.status == 200));

        // Two rows with this Vorn ID: the newest is the terminal.
        const quint32 newer = t.insert("INSERT INTO term (vornID, status, name) VALUES (4711, 0, 't')");
        QCOMPARE(t.send("POST", s("term"), again).res().toInt(), int(newer));
        QCOMPARE(t.value("SELECT COUNT(*) FROM term").toInt(), 2);
    }

    // A person is stored once per tenant; its other terminals learn of each
    // change by upload or update. An empty "end" means "no end".
    void person()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant t("person");
        const auto t0 = t.addTerm(), t1 = t.addTerm(), t2 = t.addTerm(0, 0, 0);
        const auto markers = [&] {
            return t
                .value(
                    "SELECT GROUP_CONCAT((SELECT COUNT(*) FROM term_sync s WHERE s.tid = term.tid AND type = "
                    "'U' AND ref = 'people_term' AND ref_col = 'uid' AND flags = 2) ORDER BY tid) FROM term")
                .toString();
        };
        const auto syn
            = [&] { return t.value("SELECT GROUP_CONCAT(syn ORDER BY tid) FROM term").toString(); };
        const auto listed
            = [&] { return t.send("GET", s("person/") + t1.hash()).json.value(s("count")).toInt(); };
        const auto post
            = [&](const QJsonObject &body) { return t.send("POST", s("person/") + t0.hash(), body); };

        Reply r = t.send("POST", s("person/") + t1.hash(),
            json(R"({"pid":"77","surname":"Doe","name":"   ","card":"C1","email":"a@b","end":""})"));
        QCOMPARE(r.status, 201);
        const int uid = r.res()[s("uid")].toInt();
        QCOMPARE(r.res()[s("pid")], QJsonValue(s("77"))); // as sent
        QCOMPARE(t.value("SELECT begin FROM people").toLongLong(),
            QDate::currentDate().startOfDay().toSecsSinceEpoch());
        QCOMPARE(t.value("SELECT CONCAT(name, '|', surname, '|', `end` IS NULL) FROM people").toString(),
            s("|Doe|1"));
        QCOMPARE(listed(), 1);
        QCOMPARE(markers(), s("0,0,0"));

        // An update through a new terminal links it; rows for every other
        // link, the bit only on the active ones.
        t.link(uid, t2.tid);
        const QString personPath = s("person/%1/%2").arg(t0.hash(), KelvoWorker::encodeHash(uid, 77));
        r = t.send("PUT", personPath, json(R"({"email":"a@b"})"));
        QCOMPARE(QList<int>({ r.status, r.res().toBool() }), QList<int>({ 208, false }));
        QCOMPARE(markers(), s("0,0,0"));
        r = t.send("PUT", personPath, json(R"({"email":"b@x"})"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res().toObject(), with(json(R"({"pid":77,"setOtherTerms":true})"), { { s("uid"), uid } }));
        QCOMPARE(t.value("SELECT COUNT(*) FROM people_term WHERE uid = %1", uid).toInt(), 3);
        QCOMPARE(markers(), s("0,1,1"));
        QCOMPARE(syn(), s("0,2,0"));

        // An upload with empty texts: card keeps its value, email is emptied.
        const QJsonObject change = json(R"({"pid":77,"surname":"Doe","card":"","email":"","begin":"100"})");
        r = post(change);
        QCOMPARE(QList<int>({ r.status, r.res()[s("uid")].toInt() }), QList<int>({ 200, uid }));
        QCOMPARE(t.value("SELECT CONCAT(card, '|', email, '|', begin) FROM people").toString(), s("C1||100"));
        QCOMPARE(markers(), s("0,2,2"));
        QCOMPARE(post(change).status, 208);
        QCOMPARE(markers(), s("0,3,3"));
        QCOMPARE(t.value("SELECT COUNT(*) FROM people_term").toInt(), 3);

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
        t.exec("UPDATE people SET status = 0");
        t.exec("UPDATE term SET syn = 0");
        const QString rows = markers();
        QCOMPARE(post(change).status, 208);
        QCOMPARE(markers(), rows);
        QCOMPARE(syn(), s("0,2,0"));
    }

    // The statement that raises other terminals' bits is chosen as a deadlock
    // victim against a heavier transaction; it must be run again, not lost.
    void markersSurviveDeadlock()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant t("dead");
        const auto t0 = t.addTerm(), t1 = t.addTerm(), t2 = t.addTerm();
        t.exec("INSERT INTO people (uid, pid) VALUES (3, 33)");
        t.exec("INSERT INTO people_term (uid, tid) VALUES (3, %1), (3, %2)", t1.tid, t2.tid);
        t.exec("INSERT INTO inters (name) SELECT seq FROM seq_1_to_200");
        const char *const deadlocks = "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                                      "VARIABLE_NAME = 'INNODB_DEADLOCKS'";
        const qint64 deadlocksBefore = t.value(deadlocks).toLongLong();

        QSemaphore locked;
        QStringList blockerErrors;
        const std::unique_ptr<QThread> blocker(QThread::create([&] {
            {
                QSqlDatabase db = TestDatabase::addConnection(s("blocker"), t.schema);
                db.open();
                QSqlQuery q(db);
                const auto run = [&](const QString &sql) {
                    if (!q.exec(sql))
                        blockerErrors << q.lastError().text();
                };
                // A heavy transaction holds t2, and asks for t1 once the
                // marker statement holds t1 and waits for t2.
                run(s("BEGIN"));
                run(s("UPDATE inters SET weight = weight + 1"));
                run(s("UPDATE term SET name = 'b' WHERE tid = %1").arg(t2.tid));
                locked.release();
                if (!TestDatabase::waitForLockWait(t.schema, s("Update `term` SET syn")))
                    blockerErrors << s("the marker statement never waited for its lock");
                run(s("UPDATE term SET name = 'b' WHERE tid = %1").arg(t1.tid));
                run(s("COMMIT"));
            }
            QSqlDatabase::removeDatabase(s("blocker"));
        }));
        blocker->start();
        locked.acquire();
        const Reply r = t.send("PUT", s("person/%1/%2").arg(t0.hash(), KelvoWorker::encodeHash(3, 33)),
            json(R"({"email":"n"})"));
        QVERIFY(blocker->wait(60000));
        QCOMPARE(blockerErrors, QStringList());
        QVERIFY2(t.value(deadlocks).toLongLong() > deadlocksBefore,
            "no deadlock happened: the retry was not exercised");
        QCOMPARE(r.res()[s("setOtherTerms")], QJsonValue(true));
        QCOMPARE(t.value("SELECT GROUP_CONCAT(syn ORDER BY tid) FROM term").toString(), s("0,2,2"));
        QCOMPARE(t.value("SELECT COUNT(*) FROM term_sync").toInt(), 2);
    }

    // Entrances: stored once, resends (also without type and iid, or through
    // another terminal's "tid") answered with the stored id and changing nothing.
    void entrances()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant t("entr");
        const auto t0 = t.addTerm(), t1 = t.addTerm();
        QSignalSpy created(&t.worker, &KelvoWorker::recordCreated);
        const auto row = [&](int refId, const char *columns) {
            return t.value("SELECT CONCAT_WS('|', %1) FROM inters_data WHERE refId = %2", s(columns), refId)
                .toString();
        };
        const auto post
            = [&](const QJsonObject &body) { return t.send("POST", s("entrance/") + t0.hash(), body); };
        QByteArray image;
        for (int i = 0; i < 1024; ++i)
            image.append(char(i * 7));

        Reply r = post(entrance(1, json(R"({"description":" first "})")));
        QCOMPARE(r.status, 201);
        const int eid = r.res()[s("eid")].toInt();
        QCOMPARE(r.res().toObject(), with(json(R"({"rid":1,"uid":5})"), { { s("eid"), eid } }));
        QCOMPARE(created.count(), 1);
        QCOMPARE(created.at(0), (QVariantList { s("inters_data"), uint(eid), t.token, quint8(3) }));
        QCOMPARE(row(1, "description, tid, date = created, photo IS NULL"), s("first|%1|1|1").arg(t0.tid));

        const QJsonObject other { { s("date"), 1234 }, { s("tid"), QString::number(t1.tid) } };
        QCOMPARE(post(entrance(2, json(R"({"date":0})"))).status, 201);
        QCOMPARE(post(entrance(3, other)).status, 201);
        QCOMPARE(post(entrance(4, photo(image))).status, 201);
        QCOMPARE(post(entrance(5, json(R"({"image":"@@@@"})"))).status, 201);
        QCOMPARE(row(2, "date = created"), s("1"));
        QCOMPARE(row(3, "tid, date"), s("%1|1234").arg(t1.tid));
        QCOMPARE(t.value("SELECT photo FROM inters_data WHERE refId = 4").toByteArray(), image);
        QCOMPARE(row(5, "photo IS NULL"), s("1"));
        QCOMPARE(created.count(), 5);

        r = post(json(R"({"refId":1,"uid":6,"description":"other"})"));
        QCOMPARE(r.status, 208);
        QCOMPARE(r.res().toObject(), with(json(R"({"rid":1,"uid":6})"), { { s("eid"), eid } }));
        QCOMPARE(row(1, "description, uid"), s("first|5"));
        // These pass the duplicate check (it looks at the sending terminal) but
        // collide with the stored (tid, refId), by plain and by photo insert.
        const int stored = t.value("SELECT id FROM inters_data WHERE refId = 3").toInt();
        for (const QJsonObject &extra : { QJsonObject { { s("description"), s("new") } }, photo("x") }) {
            r = post(entrance(3, with(other, extra)));
            QCOMPARE(QList<int>({ r.status, r.res()[s("eid")].toInt() }), QList<int>({ 208, stored }));
        }
        QCOMPARE(row(3, "description, photo IS NULL"), s("|1"));
        QCOMPARE(created.count(), 5);
        QCOMPARE(t.value("SELECT COUNT(*) FROM inters_data").toInt(), 5);
    }

    // Two serving threads, each with its own worker on the one registry,
    // resend the same entrances and persons at the same time.
    void concurrentResend()
    {
        REQUIRE_TEST_DATABASE();
        TestTenant t("race");
        const QString hash = t.addTerm().hash();
        constexpr int count = 60;
        struct Outcome
        {
            QMap<int, int> eids, uids, statuses;
            QSet<uint> signalled;
        } outcomes[2];
        // The registry's template for the tenant is made here, in the owning thread.
        QCOMPARE(t.send("PUT", s("term/") + hash, json(R"({"ver":1})")).status, 200);
        QSemaphore ready, go;
        const auto client = [&](Outcome &out) {
            WorkerHarness worker(t.worker.manager());
            QSignalSpy created(&worker, &KelvoWorker::recordCreated);
            const auto post = [&](const char *operation, const QJsonObject &body) {
                return worker.request(s("POST"), s("/kelvo/%1/%2").arg(s(operation), hash), t.token, body);
            };
            ready.release();
            go.acquire();
            for (int i = 1; i <= count; ++i) {
                const Reply e = post("entrance", entrance(i));
                out.eids.insert(i, e.res()[s("eid")].toInt());
                out.statuses[e.status] += 1;
                out.uids.insert(i,
                    post("person", { { s("pid"), 1000 + i % 10 }, { s("name"), s("P") } })
                        .res()[s("uid")]
                        .toInt());
            }
            for (const QVariantList &args : qAsConst(created))
                out.signalled.insert(args.at(1).toUInt());
        };
        const std::unique_ptr<QThread> threads[2]
            = { std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[0]))),
                  std::unique_ptr<QThread>(QThread::create(client, std::ref(outcomes[1]))) };
        for (auto &thread : threads)
            thread->start();
        ready.acquire(2);
        go.release(2);
        for (auto &thread : threads)
            QVERIFY(thread->wait(300000));
        t.worker.manager()->removeUnusedConnections();

        QCOMPARE(
            t.value(
                 "SELECT CONCAT_WS('|', (SELECT COUNT(*) FROM inters_data), (SELECT COUNT(*) FROM people), "
                 "(SELECT COUNT(*) FROM people_term), (SELECT GROUP_CONCAT(id ORDER BY id) FROM "
                 "inters_data))")
                .toString(),
            s("%1|10|10|").arg(count) + [&] {
                QList<uint> ids = (outcomes[0].signalled + outcomes[1].signalled).values();
                std::sort(ids.begin(), ids.end());
                QStringList texts;
                for (const uint id : ids)
                    texts << QString::number(id);
                return texts.join(QLatin1Char(','));
            }());
        QCOMPARE(outcomes[0].eids, outcomes[1].eids);
        QCOMPARE(outcomes[0].uids, outcomes[1].uids);
        QCOMPARE(outcomes[0].statuses.value(201) + outcomes[1].statuses.value(201), count);
        QCOMPARE(outcomes[0].statuses.value(208) + outcomes[1].statuses.value(208), count);
        QVERIFY(!outcomes[0].signalled.intersects(outcomes[1].signalled));
        QCOMPARE(QSet<int>(outcomes[0].eids.cbegin(), outcomes[0].eids.cend()).size(), count);
    }

    // Texts from a terminal reach their columns unchanged, through the
    // escaped statement text and through bound values (with a photo) alike;
    // a JSON value without text is stored as the empty text.
    void textsReachColumnsUnchanged_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("stored"); // in the trimmed columns
        const auto row = [](const char *tag, const QJsonValue &value, const QString &stored) {
            QTest::newRow(tag) << value << stored;
        };
        for (const auto &[tag, text] :
            { std::pair { "double quote", s(R"(say "hi")") }, { "statement breakout", s(R"(x", status="0)") },
                { "single quote", s("O'Brien'); DELETE FROM people; -- ") },
                { "backslashes", s("a\\\"b\\'c\\") },
                { "percent and placeholders", s("50% %1 %2 %L1 ::photo :tid") },
                { "NUL", s("a") + QChar(0) + s("b") }, { "non-ASCII", s("Zoë Ünal 漢字 \u00a0x") },
                { "4-byte characters", s("clock 😀 𝄞") }, { "surrounding spaces", s("  padded\t") },
                { "long", s("'\"\\%").repeated(63) },
                { "255 characters", s("0123456789abcdefghijklmnopqrstuvwxyz").repeated(8).left(255) } })
            row(tag, text, text.trimmed());
        row("null", QJsonValue::Null, QString());
        row("array", QJsonArray { 1 }, QString());
        row("object", QJsonObject { { s("a"), 1 } }, QString());
    }
    void textsReachColumnsUnchanged()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QString, stored);
        REQUIRE_TEST_DATABASE();
        if (!texts)
            texts = std::make_unique<TestTenant>("text");
        TestTenant &t = *texts;
        const int n = ++textRows; // this row's own terminal, person and entrances
        const auto fid = 100 + n;
        const auto upload = [&](const char *method, const QString &path, const QJsonObject &body) {
            const Reply r = t.send(method, path, body);
            return r.err() == 0 ? QString() : r.res().toString();
        };
        QCOMPARE(upload("POST", s("term"),
                     { { s("fid"), fid }, { s("name"), value.isString() ? value : s("x") },
                         { s("type"), s("x") } }),
            QString());
        const quint32 tid = t.value("SELECT tid FROM term WHERE vornID = %1", fid).toUInt();
        const QString hash = KelvoWorker::encodeHash(tid, fid);
        const QJsonObject columns { { s("description"), value }, { s("type"), value } };
        for (const int refId : { 1, 2 }) {
            QCOMPARE(upload("POST", s("entrance/") + hash,
                         entrance(refId, refId == 2 ? with(columns, photo("x")) : columns)),
                QString());
            QCOMPARE(t.value("SELECT CONCAT_WS('|', description, type) FROM inters_data WHERE tid = %1 AND "
                             "refId = %2",
                          tid, refId)
                         .toString(),
                s("%1|%1").arg(stored));
        }
        if (!value.isString())
            return;
        QCOMPARE(t.value("SELECT name FROM term WHERE tid = %1", tid).toString(),
            value.toString()); // registration stores it untrimmed
        QCOMPARE(upload("POST", s("person/") + hash,
                     { { s("pid"), n }, { s("surname"), value }, { s("card"), value } }),
            QString());
        QCOMPARE(t.value("SELECT CONCAT_WS('|', surname, card) FROM people WHERE pid = %1", n).toString(),
            s("%1|%1").arg(stored));
        QCOMPARE(upload("PUT", s("term/") + hash, { { s("name"), value } }), QString());
        QCOMPARE(t.value("SELECT name FROM term WHERE tid = %1", tid).toString(), stored);
        QCOMPARE(
            t.value("SELECT CONCAT_WS('|', COUNT(*), SUM(status), (SELECT COUNT(*) FROM people)) FROM term")
                .toString(),
            s("%1|%1|%1").arg(n));
    }
};

QTEST_GUILESS_MAIN(TstUpload)
#include "tst_upload.moc"
