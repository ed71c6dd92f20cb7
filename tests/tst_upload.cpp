// Terminal uploads against the real server: registration and terminal state,
// persons and their markers for other terminals, entrances (resent, with
// photos), texts that must reach their columns unchanged, and the settings
// store. The same uploads through two hosts at once: kelvo-cluster-check in
// the end-to-end suite.
#include "lumodbsettings.h"
#include "testtenant.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

namespace {

// An entrance of user 5 with the keys of extra over its own, and a photo as a terminal sends it.
QJsonObject entrance(int refId, const QJsonObject &extra = {}, const QByteArray &photo = {})
{
    QVariantMap body { { s("refId"), refId }, { s("uid"), 5 }, { s("iid"), 2 }, { s("type"), s("in") } };
    body.insert(extra.toVariantMap());
    if (!photo.isEmpty())
        body.insert(s("image"), QString::fromLatin1(HttpPluginWorker::encodeSafeBase64(photo)));
    return QJsonObject::fromVariantMap(body);
}

} // namespace

class TstUpload : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestTenant> shared; // of checkOrder, textsReachColumnsUnchanged and settingsStore

    static QJsonObject json(const char *text) { return QJsonDocument::fromJson(text).object(); }
    static QString answer(const Reply &r) { return fill("%1 %2", r.status, jsonText(r.res())); }

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        shared = std::make_unique<TestTenant>("upload");
        shared->addTerm();
    }
    void cleanupTestCase()
    {
        QSqlDatabase::removeDatabase(s("settings"));
        shared.reset();
    }

    // Every refused request answers the first failing check and writes nothing.
    void checkOrder_data()
    {
        QTest::addColumn<QString>("request"); // method, path ({T} a terminal, {X} none), body
        QTest::addColumn<QString>("answer");
        const auto row = [](const char *request, int status, const char *message) {
            QTest::newRow(request) << s(request) << fill("%1 \"%2\"", status, message);
        };
        row("POST foo/{T} {", 400, "Invalid operation 'foo'!");
        row("POST term {\"fid\":", 400, "Parse error at 7: 'unterminated object'");
        row("POST term {\"fid\":\"12a\",\"name\":\"n\",\"type\":\"t\"}", 422, "Vorn ID is required!");
        row("POST term {\"fid\":\"4294967296\",\"name\":\"n\",\"type\":\"t\"}", 422, "Vorn ID is required!");
        row("POST term {\"fid\":\"12\"}", 422, "Name is required!");
        row("POST term {\"fid\":12,\"name\":\"n\"}", 422, "Type is required!");
        row("POST entrance/xyz [", 400, "Parse error at 1: 'unterminated array'");
        row("POST person/{X} {}", 404, "Terminal not found!");
        row("POST person/{T} {\"pid\":0,\"name\":\"a\"}", 422, "Personal ID is required!");
        row("POST person/{T} {\"pid\":5,\"name\":\"\",\"surname\":null}", 422, "Name is required!");
        row("POST entrance/{T} {\"refId\":\"x\",\"uid\":1}", 422, "Reference ID is required!");
        row("POST entrance/{T} {\"refId\":1}", 422, "User ID is required!");
        row("POST entrance/{T} {\"refId\":1,\"uid\":1,\"iid\":0,\"type\":\"\"}", 422,
            "Required field is missing!");
        row("PUT term {}", 400, "Invalid path 'term'!");
        row("PUT term/xyz {", 400, "Invalid hash 'xyz'!");
        row("PUT term/{X} nope", 400, "Parse error at 1: 'illegal value'");
        row("PUT person/{T}/xyz {}", 400, "Invalid hash 'xyz'!");
        row("PUT person/{T}/{X} {}", 404, "Person not found!");
    }
    void checkOrder()
    {
        QFETCH(QString, request);
        TestTenant &t = *shared;
        const QStringList parts = request.replace(s("{T}"), KelvoWorker::encodeHash(1, 7001))
                                      .replace(s("{X}"), KelvoWorker::encodeHash(9, 9))
                                      .split(QLatin1Char(' '));
        const Reply r = t.worker.raw(parts[0], s("/kelvo/") + parts[1],
            WorkerHarness::tokenHeaders(t.token) << s("Content-type: application/json"), parts[2].toUtf8());
        QTEST(answer(r), "answer");
        QCOMPARE(r.err(), r.status);
        // The set-up's terminal is the only row (a record is announced only after its insert).
        const char *const rows = "SELECT (SELECT COUNT(*) FROM term) + (SELECT COUNT(*) FROM people) + "
                                 "(SELECT COUNT(*) FROM inters_data) + (SELECT COUNT(*) FROM people_term)";
        QCOMPARE(t.value(rows).toInt(), 1);
    }

    // Registration, re-registration and the terminal's own state updates.
    void terminal()
    {
        TestTenant t("reg");
        t.exec(R"(INSERT INTO vars VALUES ('colorGroups', '[[1,"red"]]'))");
        const auto columns = [&](const char *names) {
            // Added to online, never subtracted from it: the column is unsigned.
            return t.value("SELECT CONCAT_WS('|', %1, online + 5 >= UNIX_TIMESTAMP()) FROM term", names)
                .toString();
        };
        const Reply r = t.send("POST", s("term"),
            json(R"({"fid":"4711","name":" Gate ","type":"xkr550-b","ip":" 10.0.0.1 ","hddu":5})"));
        QCOMPARE(fill("%1 %2", r.status, answerText(r)),
            s("201 {\"colorGroups\":\"[[1,\\\"red\\\"]]\",\"res\":1}"));
        QCOMPARE(columns("name, flags, ip"), s(" Gate |255|10.0.0.1|1")); // the name as sent

        // Re-registering reactivates; a blank ip keeps the stored one, empty
        // hddu and flags are written, the type default applies only without "flags".
        t.exec("UPDATE term SET status = 0, online = 5");
        const QJsonObject again
            = json(R"({"fid":4711,"name":"Gate","type":"DSK-1","ip":"  ","hddu":"","flags":""})");
        QCOMPARE(answer(t.send("POST", s("term"), again)), s("200 1"));
        QCOMPARE(columns("status, ip, hddu, flags"), s("1|10.0.0.1|||1"));
        // A resend within the same second changes nothing; one a second later stamps a new `online`.
        const auto resend = [&](const char *method, const QString &path, const QJsonObject &body) {
            const QVariant before = t.value("SELECT online FROM term");
            const Reply r = t.send(method, path, body);
            return fill("%1 %2", r.status == (before == t.value("SELECT online FROM term") ? 208 : 200),
                jsonText(r.res()));
        };
        QCOMPARE(resend("POST", s("term"), again), s("1 1"));

        // A state update stamps `online` and takes only the keys a terminal may change.
        const QString termPath = s("term/") + KelvoWorker::encodeHash(1, 4711);
        const QJsonObject state = json(R"({"hddu":" 42 ","flags":99,"type":"zz","online":5})");
        t.exec("UPDATE term SET online = 5");
        QCOMPARE(answer(t.send("PUT", termPath, state)), s("200 true"));
        QCOMPARE(columns("hddu, flags, type, status"), s("42||DSK-1|1|1"));
        QVERIFY(resend("PUT", termPath, state).startsWith(s("1 ")));

        // Two rows with this Vorn ID: the newest is the terminal.
        t.exec("INSERT INTO term (vornID, status, name) VALUES (4711, 0, 't')");
        QCOMPARE(answer(t.send("POST", s("term"), again)), s("200 2"));
    }

    // A person is stored once per tenant; its other terminals learn of each
    // change by upload or update. An empty "end" means "no end".
    void person()
    {
        TestTenant t("person");
        const auto t0 = t.addTerm(), t1 = t.addTerm(), t2 = t.addTerm(0, 0, 0);
        const QString path = s("person/%1/%2").arg(t0.hash(), KelvoWorker::encodeHash(1, 77));
        // Terminal 1 puts, posts; the answer, per terminal this person's marker rows and the pending
        // mask, and whether terminal 2 lists it.
        const auto step = [&](const char *method, const char *body) {
            const QString to = qstrcmp(method, "PUT") == 0 ? path : s("person/") + t0.hash();
            const QString answered = answer(t.send(method, to, json(body)));
            return answered
                + t.value(
                       "SELECT CONCAT(' ', GROUP_CONCAT((SELECT COUNT(*) FROM term_sync s WHERE s.tid = "
                       "term.tid AND type = 'U' AND ref = 'people_term' AND ref_col = 'uid' AND flags = 2), "
                       "':', syn ORDER BY tid)) FROM term")
                      .toString()
                + fill(" %1", t.send("GET", s("person/") + t1.hash()).json.value(s("count")).toInt());
        };

        QCOMPARE(
            answer(t.send("POST", s("person/") + t1.hash(),
                json(R"({"pid":"77","surname":"Doe","name":"   ","card":"C1","email":"a@b","end":""})"))),
            s(R"(201 {"pid":"77","uid":1})")); // pid as sent
        QCOMPARE(t.value("SELECT begin FROM people").toLongLong(),
            QDate::currentDate().startOfDay().toSecsSinceEpoch());
        t.link(1, t2.tid);
        const char *const change = R"({"pid":77,"surname":"Doe","card":"","email":"","begin":"100"})";
        const QString updated = s(R"(200 {"pid":77,"setOtherTerms":true,"uid":1} )");
        for (const auto &[method, body, expected] :
            { std::tuple { "PUT", R"({"email":"a@b"})", s("208 false 0:0,0:0,0:0 1") },
                // An update through a new terminal links it; rows for every other
                // link, the bit only on the active ones.
                { "PUT", R"({"email":"b@x"})", updated + s("0:0,1:2,1:0 1") },
                // An upload with empty texts: card keeps its value, email is emptied.
                { "POST", change, s(R"(200 {"pid":77,"uid":1} 0:0,2:2,2:0 1)") },
                { "POST", change, s(R"(208 {"pid":77,"uid":1} 0:0,3:2,3:0 1)") },
                // A past end takes the person off the list, a blank one puts it back.
                { "PUT", R"({"end":"1000"})", updated + s("0:0,4:2,4:0 0") },
                { "PUT", R"({"end":"  "})", updated + s("0:0,5:2,5:0 1") } })
            QCOMPARE(step(method, body), expected);
        // No accepted key: the server refuses the empty update and its message stays.
        QVERIFY(step("PUT", R"({"pid":1})").startsWith(s("500 \"")));
        // An inactive person gets no rows, its terminals still get the bit.
        t.exec("UPDATE people, term SET people.status = 0, term.syn = 0");
        QCOMPARE(step("POST", change), s(R"(208 {"pid":77,"uid":1} 0:0,5:2,5:0 0)"));
        QCOMPARE(t.value("SELECT CONCAT_WS('|', name, surname, card, email, begin, `end` IS NULL, "
                         "(SELECT COUNT(*) FROM people_term)) FROM people")
                     .toString(),
            s("|Doe|C1||100|1|3"));
    }

    // The statement that raises other terminals' bits is chosen as a deadlock
    // victim against a heavier transaction; it must be run again, not lost.
    void markersSurviveDeadlock()
    {
        TestTenant t("dead");
        const auto t0 = t.addTerm(), t1 = t.addTerm(), t2 = t.addTerm();
        t.exec("INSERT INTO people (uid, pid) VALUES (3, 33)");
        t.exec("INSERT INTO people_term (uid, tid) VALUES (3, %1), (3, %2)", t1.tid, t2.tid);
        t.exec("INSERT INTO inters (name) SELECT seq FROM seq_1_to_200");
        const char *const deadlocks = "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                                      "VARIABLE_NAME = 'INNODB_DEADLOCKS'";
        const qint64 deadlocksBefore = t.value(deadlocks).toLongLong();

        QSemaphore locked;
        QString blockerErrors;
        const std::unique_ptr<QThread> blocker(QThread::create([&] {
            {
                QSqlDatabase db = TestDatabase::addConnection(s("blocker"), t.schema);
                db.open();
                QSqlQuery q(db);
                const auto run = [&](const QString &sql) {
                    blockerErrors += q.exec(sql) ? QString() : q.lastError().text();
                };
                // A heavy transaction holds t2, and asks for t1 once the
                // marker statement holds t1 and waits for t2.
                run(s("BEGIN"));
                run(s("UPDATE inters SET weight = weight + 1"));
                run(fill("UPDATE term SET name = 'b' WHERE tid = %1", t2.tid));
                locked.release();
                if (!TestDatabase::waitForLockWait(t.schema, s("Update `term` SET syn")))
                    blockerErrors += s("the marker statement never waited for its lock");
                run(fill("UPDATE term SET name = 'b' WHERE tid = %1", t1.tid));
                run(s("COMMIT"));
            }
            QSqlDatabase::removeDatabase(s("blocker"));
        }));
        blocker->start();
        locked.acquire();
        const Reply r = t.send("PUT", s("person/%1/%2").arg(t0.hash(), KelvoWorker::encodeHash(3, 33)),
            json(R"({"email":"n"})"));
        QVERIFY(blocker->wait(60000));
        QCOMPARE(blockerErrors, QString());
        QVERIFY2(t.value(deadlocks).toLongLong() > deadlocksBefore,
            "no deadlock happened: the retry was not exercised");
        QCOMPARE(answer(r), s(R"(200 {"pid":33,"setOtherTerms":true,"uid":3})"));
        QCOMPARE(t.value("SELECT CONCAT(GROUP_CONCAT(syn ORDER BY tid), '|', (SELECT COUNT(*) FROM "
                         "term_sync)) FROM term")
                     .toString(),
            s("0,2,2|2"));
    }

    // Entrances: stored once, resends (also without type and iid, or through
    // another terminal's "tid") answered with the stored id and changing nothing.
    void entrances()
    {
        TestTenant t("entr");
        const auto t0 = t.addTerm(), t1 = t.addTerm();
        QSignalSpy created(&t.worker, &KelvoWorker::recordCreated);
        // What a statement or a text conversion would change: NUL, quotes, backslash, bytes above 127.
        const QByteArray image = QByteArray("\0'\"\\\x7f\x80\xff", 7).repeated(100);
        const QJsonValue viaT1(QString::number(t1.tid));
        const QJsonObject collision { { s("tid"), viaT1 }, { s("description"), s("new") } };
        for (const auto &[body, expected] : { std::pair { entrance(1, json(R"({"description":" first "})")),
                                                  R"(201 {"eid":1,"rid":1,"uid":5})" },
                 { entrance(2, { { s("date"), 1234 }, { s("tid"), viaT1 } }),
                     R"(201 {"eid":2,"rid":2,"uid":5})" },
                 { entrance(3, json(R"({"image":"@@@@"})")), R"(201 {"eid":3,"rid":3,"uid":5})" },
                 { entrance(4, {}, image), R"(201 {"eid":4,"rid":4,"uid":5})" },
                 { json(R"({"refId":1,"uid":6,"description":"other"})"), R"(208 {"eid":1,"rid":1,"uid":6})" },
                 // These pass the duplicate check (it looks at the sending terminal) but
                 // collide with the stored (tid, refId), by plain and by photo insert.
                 { entrance(2, collision), R"(208 {"eid":2,"rid":2,"uid":5})" },
                 { entrance(2, collision, "x"), R"(208 {"eid":2,"rid":2,"uid":5})" } })
            QCOMPARE(answer(t.send("POST", s("entrance/") + t0.hash(), body)), s(expected));
        QCOMPARE(t.value("SELECT GROUP_CONCAT(CONCAT_WS('|', id, tid, description, uid, IF(date = created, "
                         "'now', date), IFNULL(photo = X'%1', 'none')) ORDER BY id) FROM inters_data",
                      QLatin1String(image.toHex()))
                     .toString(),
            s("1|1|first|5|now|none,2|2||5|1234|none,3|1||5|now|none,4|1||5|now|1"));
        QCOMPARE(created.count(), 4);
        QCOMPARE(created.at(0), (QVariantList { s("inters_data"), 1u, t.token, quint8(3) }));
    }

    // Texts from a terminal reach their columns unchanged, through the
    // escaped statement text and through bound values (with a photo) alike;
    // a JSON value without text is stored as the empty text.
    void textsReachColumnsUnchanged_data()
    {
        QTest::addColumn<QJsonValue>("value");
        for (const auto &[tag, text] : { std::pair { "statement breakout", s(R"(x", status="0)") },
                 { "quotes and backslashes", s("O'Brien\\'); DELETE FROM people; -- ") },
                 { "percent, placeholders, NUL", s("50% %1 %L1 ::photo :tid") + QChar(0) + s("b") },
                 { "4-byte characters and spaces", s("  Zoë 漢字 😀 𝄞\t") },
                 { "255 characters", s("'\"\\%").repeated(64).left(255) } })
            QTest::newRow(tag) << QJsonValue(text);
        QTest::newRow("array") << QJsonValue(QJsonArray { 1 });
    }
    void textsReachColumnsUnchanged()
    {
        QFETCH(QJsonValue, value);
        TestTenant &t = *shared;
        // This row's own terminal, person and entrances.
        const int fid = 100 + t.value("SELECT COUNT(*) FROM term").toInt();
        const QJsonValue name = value.isString() ? value : s("x");
        const QJsonObject registration { { s("fid"), fid }, { s("name"), name }, { s("type"), s("x") } };
        const quint32 tid = quint32(t.send("POST", s("term"), registration).res().toInt()); // 0: refused
        // Registration stores the name untrimmed, the update trimmed.
        QCOMPARE(t.value("SELECT name FROM term WHERE tid = %1", tid).toString(), name.toString());
        const QString hash = KelvoWorker::encodeHash(tid, fid);
        const QJsonObject columns { { s("description"), value }, { s("type"), value } };
        const QJsonObject person { { s("pid"), fid }, { s("name"), s("n") }, { s("surname"), value },
            { s("card"), value } };
        QCOMPARE(t.send("POST", s("entrance/") + hash, entrance(1, columns)).err()
                + t.send("POST", s("entrance/") + hash, entrance(2, columns, "x")).err()
                + t.send("POST", s("person/") + hash, person).err()
                + t.send("PUT", s("term/") + hash, { { s("name"), value } }).err(),
            0);
        QCOMPARE(
            t.value("SELECT CONCAT_WS('|', (SELECT GROUP_CONCAT(CONCAT_WS('|', description, type)) FROM "
                    "inters_data WHERE tid = %1), surname, card, (SELECT name FROM term WHERE tid = %1)) "
                    "FROM people WHERE pid = %2",
                 tid, fid)
                .toString(),
            fill("%1|%1,%1|%1|%1|%1|%1", value.toString().trimmed()));
    }

    // The settings store on the tenant's `vars` table through the tenant's own user.
    void settingsStore()
    {
        const TestTenant &t = *shared;
        LumoDbSettings settings(TestDatabase::addConnection(s("settings"), t.schema, t.user, t.password));
        QVERIFY(settings.open());
        const auto names = [&](const char *prefix = "") { // in QString order
            return settings.variableGetMultiple(s(prefix)).keys().join(QLatin1Char('|'));
        };
        QCOMPARE(settings.variableGet(s("missing"), 7), QVariant(7));
        QCOMPARE(t.exec("INSERT INTO vars VALUES ('nothing', NULL)"), QString());
        QVERIFY(settings.variableGet(s("nothing"), 7).isNull());
        QVERIFY(settings.variableSet(s("a"), 1) && settings.variableSet(s("a"), s("two")));
        QCOMPARE(settings.variableGet(s("a")).toString(), s("two"));
        QVERIFY(settings.variableSet(QVariantMap { { s("b"), 2 }, { s("c"), QVariant() } }));
        QCOMPARE(settings.variableGetMultiple(QStringList { s("a"), s("c"), s("x") }).keys(),
            (QStringList { s("a"), s("c") }));
        // One entry the column refuses: the others are stored, the answer is false.
        QVERIFY(!settings.variableSet(
            QVariantMap { { s("d"), 4 }, { QString(300, QLatin1Char('n')), 5 }, { s("e"), 5 } }));
        QCOMPARE(names(), s("a|b|c|d|e|nothing"));
        QVERIFY(settings.variableDel(s("a")) && !settings.variableDel(s("a")));
        // Names reach their rows unchanged and never change a statement.
        for (const QString &name :
            { s("x' OR '1'='1"), s("a\\'b\\%_"), s("a") + QChar(0) + s("b"), s("clock 😀 𝄞") }) {
            QVERIFY(settings.variableSet(name, name));
            QCOMPARE(
                settings.variableGetMultiple(QStringList { name, s("x") }), (QVariantMap { { name, name } }));
            QVERIFY(settings.variableDel(name));
        }
        // A prefix is a LIKE pattern whose "_" and "%" stay wildcards, while a
        // backslash or quote matches itself. Each is deleted after it is read.
        for (const char *name : { "a%c", "a'b", "a\\d", "a_b", "axb" })
            QVERIFY(settings.variableSet(s(name), 1));
        QStringList matched;
        for (const char *prefix : { "a'", "a\\", "ax", "a_" }) {
            matched << names(prefix);
            QVERIFY(settings.variableDel(s(prefix), true));
        }
        QCOMPARE(matched.join(QLatin1Char(' ')), s("a'b a\\d axb a%c|a_b"));
        QCOMPARE(names(), s("b|c|d|e|nothing"));
        // A closed handle fails like any statement.
        settings.close();
        QVERIFY(!settings.variableSet(s("f"), 1));
        QCOMPARE(settings.variableGet(s("b"), 9), QVariant(9));
    }
};

QTEST_GUILESS_MAIN(TstUpload)
#include "tst_upload.moc"
