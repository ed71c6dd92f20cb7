// Terminal download through a real worker and a real server: request checks,
// full lists, the synchronisation state (plain and forced, marker
// precedence), the confirmation and the deletions, and SQL failures. Names
// are stored in byte columns throughout, so that every list decodes them.
#include "testtenant.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

namespace {

using Terminal = TestTenant::Terminal;
// Markers of a confirmation case: (kind, created relative to the confirmed time).
using Markers = QList<QPair<int, int>>;

qint64 nowSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}
QString id(quint32 number)
{
    return QString::number(number);
}
QJsonValue at(const QJsonValue &value, const char *key)
{
    return value[QLatin1String(key)];
}
QStringList keysAt(const QJsonValue &value, const char *key = nullptr)
{
    return (key ? at(value, key) : value).toObject().keys();
}
QStringList strings(const char *commaSeparated)
{
    return QString::fromUtf8(commaSeparated).split(QLatin1Char(','), Qt::SkipEmptyParts);
}
QString path(const char *operation, const Terminal &terminal, const QString &item = QString())
{
    return QStringLiteral("%1/%2").arg(QLatin1String(operation), terminal.hash())
        + (item.isEmpty() ? QString() : QLatin1Char('/') + item);
}

} // namespace

class TstDownload : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestTenant> t;
    Terminal active, inactive, noTypes;
    quint32 person = 0, retired = 0, foreignEntrance = 0;
    Terminal listed; // of personLists, with its persons by name
    QMap<QString, quint32> uids;

    Reply get(const char *operation, const Terminal &terminal, const char *item = "")
    {
        return t->send("GET", path(operation, terminal, QLatin1String(item)));
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        t = std::make_unique<TestTenant>("download");
        for (const char *table : { "people", "inters" })
            QCOMPARE(t->exec("ALTER TABLE %1 MODIFY name VARBINARY(255) NOT NULL DEFAULT ''",
                         QLatin1String(table)),
                QString());
        active = t->addTerm();
        inactive = t->addTerm(2, 3, 0);
        noTypes = t->addTerm();
        person = t->addPerson("Anna");
        retired = t->addPerson("Ret", 0);
        QCOMPARE(t->link(person, active.tid), QString());
        t->addInter("Lunch", 1, active.tid);
        foreignEntrance = t->entrance(noTypes.tid, person, 77);
        QVERIFY(active.tid && inactive.tid && person && retired && foreignEntrance);
    }
    void cleanupTestCase() { t.reset(); }

    // Bad input: one clear error answer, "st" only after the terminal check, nothing written.
    void rejectedRequests_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("stamped");
        const auto row = [](const char *method, const QString &path, int status, const QString &message,
                             bool stamped = false) {
            QTest::addRow(
                "%s %s: %s", method, qPrintable(path.section(QLatin1Char('/'), 0, 0)), qPrintable(message))
                << QString::fromLatin1(method) << path << status << message << stamped;
        };
        const auto badHash
            = [](const QString &hash) { return QStringLiteral("Invalid hash '%1'!").arg(hash); };
        const QString noTerminal = QStringLiteral("Terminal not found!"),
                      noPerson = QStringLiteral("Person not found!");
        const QString zeroVorn = KelvoWorker::encodeHash(active.tid, 0);
        const QString future = KelvoWorker::encodeHash(quint64(nowSecs() + 60), 2);
        const QString retiredHash = t->personHash(retired);

        row("GET", QStringLiteral("sync/") + zeroVorn, 400, badHash(zeroVorn));
        row("GET", path("sync", { active.tid, active.vorn + 1 }), 404, noTerminal);
        row("GET", path("person", inactive), 404, noTerminal);
        row("GET", path("person", active, QStringLiteral("xyz")), 400, badHash(QStringLiteral("xyz")), true);
        row("GET", path("saldo", active, retiredHash), 404, noPerson, true);
        row("GET", path("present", active, KelvoWorker::encodeHash(person, 1)), 404, noPerson, true);
        row("GET", path("inters", noTypes), 404, QStringLiteral("No interruptions!"), true);
        row("DELETE", path("sync", active), 400,
            QStringLiteral("Invalid path 'sync/%1'!").arg(active.hash()));
        row("DELETE", path("term", active, QStringLiteral("x")), 400,
            QStringLiteral("Invalid operation 'term'!"));
        row("DELETE", path("sync", inactive, KelvoWorker::encodeHash(1, 2)), 404, noTerminal);
        row("DELETE", path("sync", active, future), 400, badHash(future));
        row("DELETE", path("sync", active, QStringLiteral("@@")), 400, badHash(QStringLiteral("@@")));
        row("DELETE", path("person", active, retiredHash), 404, noPerson);
        row("DELETE", path("entrance", active, KelvoWorker::encodeHash(foreignEntrance, 78)), 404,
            QStringLiteral("Entrance not found!"));
    }
    void rejectedRequests()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        const int markersBefore = t->markers(active.tid);
        const Reply r = t->send(qPrintable(method), path);
        QCOMPARE(QList<int>({ r.status, r.err() }), QList<int>({ status, status }));
        QTEST(r.res().toString(), "message");
        QTEST(r.json.contains(QStringLiteral("st")), "stamped");
        QVERIFY(!r.json.contains(QStringLiteral("count")));
        QCOMPARE(t->markers(active.tid), markersBefore);
    }

    // Types come by weight; names are cut at a zero byte and decoded as
    // UTF-8. A plain sync with nothing pending answers false; a forced one
    // sends the full lists; neither writes a bit or a marker.
    void fullListsAndForcedSync()
    {
        const Terminal term = t->addTerm(0, 3);
        const quint32 uid = t->addPerson("x");
        t->link(uid, term.tid, 4);
        const quint32 doctor = t->addInter("Doctor", 30, term.tid);
        t->addInter("Break", 10, term.tid);
        t->addInter("Trip", 20, term.tid);
        t->addInter("NotOffered", 0);
        const QLatin1String zoe("CONCAT(X'5A6FC3AB', CHAR(0), 'junk')"); // "Zoë", zero, junk
        QCOMPARE(t->exec("UPDATE people SET name = %1, surname = CONCAT('Ma', CHAR(0), 'x') WHERE uid = %2",
                     zoe, uid),
            QString());
        QCOMPARE(t->exec("UPDATE inters SET name = %1 WHERE iid = %2", zoe, doctor), QString());
        for (const quint32 refId : { 41, 42, 40 })
            t->entrance(term.tid, uid, refId);
        t->exec("UPDATE term SET online = 0 WHERE tid = %1", term.tid);

        const QString zoeText = QString::fromUtf8("Zo\xc3\xab");
        const Reply inters = get("inters", term, "extra"); // a third path part is ignored
        QCOMPARE(inters.json.value(QStringLiteral("count")).toInt(), 3);
        QVERIFY(inters.json.value(QStringLiteral("st")).toDouble() >= nowSecs() - 5);
        const QJsonArray list = inters.res().toArray();
        QCOMPARE(QJsonArray({ at(list[0], "name"), at(list[1], "name"), at(list[2], "name") }),
            QJsonArray({ QStringLiteral("Break"), QStringLiteral("Trip"), zoeText }));
        QCOMPARE(keysAt(list[0]), strings("color,iid,name,shortcut,start,stop,weight"));
        QCOMPARE(QJsonArray({ at(list[0], "shortcut"), at(list[0], "start"), at(list[0], "color"),
                     at(list[0], "weight") }),
            QJsonArray({ QStringLiteral("SBreak"), QStringLiteral("08:00"), QStringLiteral("#112233"), 10 }));
        const QJsonValue p = get("person", term).res()[0];
        QCOMPARE(
            QJsonArray({ at(p, "name"), at(p, "surname") }), QJsonArray({ zoeText, QStringLiteral("Ma") }));

        const qint64 before = nowSecs();
        const Reply plain = get("sync", term);
        QCOMPARE(plain.res(), QJsonValue(false));
        QCOMPARE(plain.json.value(QStringLiteral("setOnline")), QJsonValue(true));
        QVERIFY(t->value("SELECT online FROM term WHERE tid = %1", term.tid).toLongLong() >= before);
        const QJsonValue res = get("sync", term, "fs").res();
        QCOMPARE(keysAt(res), strings("inters,lastId,people,status,sync"));
        QCOMPARE(QJsonArray({ at(res, "sync"), at(res, "status"), at(res, "lastId") }),
            QJsonArray({ 3, true, 42 }));
        QCOMPARE(keysAt(res, "inters").size(), 3);
        QCOMPARE(at(at(res, "inters")[id(doctor)], "name").toString(), zoeText);
        const QJsonValue zo = at(res, "people")[id(uid)];
        QCOMPARE(QJsonArray({ at(zo, "type"), at(zo, "name"), at(zo, "grp"), at(zo, "pid") }),
            QJsonArray({ QStringLiteral("U"), zoeText, 4, int(t->pid(uid)) }));
        QVERIFY(at(zo, "tsc").toDouble() >= before);
        QCOMPARE(QList<int>({ int(t->syn(term.tid)), t->markers(term.tid) }), QList<int>({ 0, 0 }));
    }

    // The person list follows the validity period; balances and presence go
    // to every active linked person. Inactive and unlinked persons never.
    void personLists_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("only");
        QTest::addColumn<QStringList>("expected"); // names; with balance or presence as "name:value"
        listed = t->addTerm();
        for (const auto &[name, status, begin, end, saldo] :
            { std::tuple { "Open", 1, "UNIX_TIMESTAMP() - 60", "NULL", -5 },
                { "Until", 1, "UNIX_TIMESTAMP() - 60", "UNIX_TIMESTAMP() + 3600", 7 },
                { "Expired", 1, "UNIX_TIMESTAMP() - 7200", "UNIX_TIMESTAMP() - 60", 11 },
                { "Future", 1, "UNIX_TIMESTAMP() + 3600", "NULL", 13 }, { "Inactive", 0, "0", "NULL", 17 },
                { "Unlinked", 1, "0", "NULL", 19 } }) {
            uids[QLatin1String(name)] = t->addPerson(name, status, begin, end, saldo);
            if (qstrcmp(name, "Unlinked") != 0)
                t->link(uids[QLatin1String(name)], listed.tid, 9);
        }
        QTest::newRow("person: valid now") << "person" << QString() << strings("Open,Until");
        QTest::newRow("saldo: every active")
            << "saldo" << QString() << strings("Expired:11,Future:13,Open:-5,Until:7");
        QTest::newRow("present: every active")
            << "present" << QString() << strings("Expired:111,Future:113,Open:95,Until:107");
        QTest::newRow("person: one") << "person"
                                     << "Until" << strings("Until");
        QTest::newRow("person: one, expired") << "person"
                                              << "Expired" << QStringList();
        QTest::newRow("saldo: one, expired") << "saldo"
                                             << "Expired" << strings("Expired:11");
        QTest::newRow("present: one, not linked") << "present"
                                                  << "Unlinked" << QStringList();
    }
    void personLists()
    {
        QFETCH(QString, operation);
        QFETCH(QString, only);
        QFETCH(QStringList, expected);
        const Reply r = t->send("GET",
            path(qPrintable(operation), listed, only.isEmpty() ? QString() : t->personHash(uids[only])));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QStringLiteral("count")).toInt(), expected.size());
        QStringList got;
        for (const QJsonValue &p : r.res().toArray()) {
            got << at(p, "name").toString();
            QCOMPARE(
                keysAt(p), strings("access,admin,card,grp,name,pid,present,saldo,surname,title,title2,uid"));
            QCOMPARE(QJsonArray({ at(p, "uid"), at(p, "grp"), at(p, "admin"), at(p, "access") }),
                QJsonArray({ int(uids[got.last()]), 9, true, false }));
        }
        const QJsonObject map = r.res().toObject(); // balances and presence: keyed by uid
        for (auto it = map.begin(); it != map.end(); ++it)
            got << uids.key(it.key().toUInt()) + QLatin1Char(':') + QString::number(it.value().toInt());
        got.sort();
        QCOMPARE(got, expected);
    }

    // Pending changes: the later of two markers wins, with the person's
    // current data; what no longer exists or is not a person key is skipped.
    void pendingMarkersAndPrecedence()
    {
        const qint64 t0 = nowSecs() - 100;
        const Terminal term = t->addTerm(1 | 2 | 4 | 256), other = t->addTerm(2);
        const auto linked = [&](const char *name, const Terminal &to, quint32 grp, int saldo = 0) {
            const quint32 uid = t->addPerson(name, 1, "0", "NULL", saldo);
            t->link(uid, to.tid, grp);
            return uid;
        };
        const quint32 twice = linked("Twice", term, 1, 3), grouped = linked("Grouped", term, 5),
                      quiet = linked("Quiet", term, 6), elsewhere = linked("Elsewhere", other, 0);
        const quint32 gone = t->addPerson("Gone", 1, "0", "NULL", 5), unlinked = t->addPerson("Unlinked");
        const quint32 dropped = t->addInter("Dropped", 1), changed = t->addInter("Changed", 2, term.tid),
                      offered = t->addInter("Offered", 3, term.tid);
        const quint32 tid = term.tid;
        for (const QString &error : { t->mark(tid, 2, twice, t0 - 20), t->mark(tid, 2, twice, t0 - 10),
                 t->mark(tid, 2, gone, t0 - 20), t->mark(tid, 2, gone, t0 - 10, "D"),
                 t->mark(tid, 2, unlinked, t0 - 5), t->mark(tid, 2, grouped, t0 - 5),
                 t->mark(tid, 2, 999999, t0 - 5), // person no longer exists
                 t->mark(tid, 2, quiet, t0, "U", "iid"), // not a person key
                 t->mark(other.tid, 2, elsewhere, t0), // another terminal's change
                 t->mark(tid, 1, dropped, t0 - 3, "D", "iid"), t->mark(tid, 1, changed, t0 - 2, "U", "iid"),
                 t->mark(tid, 4, twice, t0 - 2, "D"), // balances know no deletion
                 t->mark(tid, 4, gone, t0 - 2),
                 // Groups only of persons linked here; settings only if they exist.
                 t->mark(tid, 256, grouped, t0), t->mark(tid, 256, unlinked, t0),
                 t->exec("INSERT INTO vars (name, value) VALUES ('colorGroups', '[1,2]')"),
                 t->mark(tid, 256, 0, t0, "U", "colorGroups", "vars"),
                 t->mark(tid, 256, 0, t0, "U", "noSuchSetting", "vars") })
            QCOMPARE(error, QString());

        // One sorted "key type age" per entry; age counted back from t0, "now" for the request's time.
        const qint64 before = nowSecs();
        const auto summary = [t0, before](const QJsonValue &map, QStringList expected = {}) {
            QStringList entries;
            const QJsonObject object = map.toObject();
            for (auto it = object.begin(); it != object.end(); ++it) {
                const qint64 tsc = qint64(at(*it, "tsc").toDouble());
                entries << sqlText("%1 %2 %3", it.key(), at(*it, "type").toString(),
                    tsc >= before ? QStringLiteral("now") : id(t0 - tsc));
            }
            entries.sort();
            expected.sort();
            return entries == expected ? QString() : entries.join(QLatin1Char(','));
        };
        const Reply plain = get("sync", term);
        QCOMPARE(plain.status, 200);
        const QJsonValue res = plain.res();
        QCOMPARE(keysAt(res), strings("grp,inters,people,saldo,status,sync,vars"));
        QCOMPARE(at(res, "sync").toInt(), 1 | 2 | 4 | 256);
        // A deletion after an update sends key, type, time and pid only.
        QStringList people { sqlText("%1 U 10", twice), sqlText("%1 D 10", gone), sqlText("%1 U 5", unlinked),
            sqlText("%1 U 5", grouped) };
        QStringList inters { sqlText("%1 D 3", dropped), sqlText("%1 U 2", changed) };
        QCOMPARE(summary(at(res, "people"), people), QString());
        QCOMPARE(at(at(res, "people")[id(twice)], "name").toString(), QStringLiteral("Twice"));
        QCOMPARE(keysAt(at(res, "people")[id(gone)]), strings("pid,tsc,type"));
        QCOMPARE(at(at(res, "people")[id(gone)], "pid").toInt(), int(t->pid(gone)));
        // A person without a link here is still sent whole, with group 0.
        QCOMPARE(QJsonArray({ at(at(res, "people")[id(unlinked)], "grp"),
                     at(at(res, "people")[id(grouped)], "grp") }),
            QJsonArray({ 0, 5 }));
        QVERIFY(!at(at(res, "people")[id(unlinked)], "card").toString().isEmpty());
        QCOMPARE(summary(at(res, "inters"), inters), QString());
        QCOMPARE(keysAt(at(res, "inters")[id(dropped)]), strings("tsc,type"));
        QCOMPARE(at(at(res, "inters")[id(changed)], "name").toString(), QStringLiteral("Changed"));
        QCOMPARE(at(res, "saldo").toObject(), QJsonObject({ { id(gone), 5 } }));
        QCOMPARE(at(res, "grp").toObject(), QJsonObject({ { id(grouped), 5 } }));
        QCOMPARE(at(res, "vars").toObject(),
            QJsonObject({ { QStringLiteral("colorGroups"), QStringLiteral("[1,2]") } }));

        // Until confirmed, the same changes come again; only "fs" forces.
        for (const char *third : { "", "FS", "force" })
            QCOMPARE(get("sync", term, third).res(), res);
        // Forced: the full lists with the pending markers laid over them.
        const QJsonValue full = get("sync", term, "fs").res();
        QCOMPARE(summary(at(full, "people"), people << sqlText("%1 U now", quiet)), QString());
        QCOMPARE(summary(at(full, "inters"), inters << sqlText("%1 U now", offered)), QString());
        QCOMPARE(keysAt(full, "saldo").size(), 4); // 3 linked + gone
        QCOMPARE(at(full, "grp").toObject(),
            QJsonObject({ { id(twice), 1 }, { id(grouped), 5 }, { id(quiet), 6 } }));
        QCOMPARE(keysAt(full, "vars"), strings("colorGroups"));
    }

    // A terminal switched off between its check and its state read gets the
    // mask and its status, but no list.
    void inactiveTerminalGetsNoLists()
    {
        const Terminal term = t->addTerm(2, 1, 0);
        t->mark(term.tid, 2, person, nowSecs() - 5);
        WorkerHarness worker(nullptr);
        QVERIFY(worker.open(TestDatabase::adminConnection(t->schema)));
        QVERIFY(worker.dbGetSync(term.tid, true));
        QCOMPARE(worker.resultMap().value(QStringLiteral("res")).toMap(),
            QVariantMap({ { QStringLiteral("status"), false }, { QStringLiteral("sync"), 3u } }));
        QVERIFY(!worker.dbGetSync(999999, false)); // no such terminal: mask 0
        QCOMPARE(worker.resultMap().value(QStringLiteral("res")), QVariant(false));
    }

    void confirmation_data()
    {
        QTest::addColumn<Markers>("markers");
        QTest::addColumn<quint32>("syn");
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<int>("deleted");
        QTest::addColumn<quint32>("synAfter");
        QTest::newRow("persons confirmed, balance stays")
            << Markers { { 2, -10 }, { 2, -5 }, { 4, -10 } } << 7u << 2u << 2 << 4u;
        QTest::newRow("no kind matches, bits without rows go")
            << Markers { { 4, -10 } } << (1u | 2 | 4 | 256) << 8u << 0 << 4u;
        QTest::newRow("marker of the same second survives")
            << Markers { { 2, -1 }, { 2, 0 } } << 2u << 2u << 1 << 2u;
        QTest::newRow("bits 16 and above are cleared")
            << Markers { { 2, -1 }, { 2, 5 } } << 0x30002u << 2u << 1 << 2u;
        QTest::newRow("mask bit 16 is dropped")
            << Markers { { 1, -1 }, { 2, -1 } } << 3u << 0x10001u << 1 << 2u;
        QTest::newRow("mask of bit 16 alone confirms nothing")
            << Markers { { 1, -1 } } << 3u << 0x10000u << 0 << 1u;
        QTest::newRow("kinds 1 and 256 at once")
            << Markers { { 1, -1 }, { 256, -1 }, { 8, -1 } } << 265u << 257u << 2 << 8u;
        QTest::newRow("kind 16 without list") << Markers { { 16, -1 }, { 2, -1 } } << 18u << 2u << 1 << 16u;
    }
    void confirmation()
    {
        QFETCH(Markers, markers);
        QFETCH(quint32, syn);
        QFETCH(quint32, mask);
        QFETCH(int, deleted);
        // A fixed time in the past keeps the row away from the second boundary.
        const qint64 ts = nowSecs() - 100;
        const Terminal term = t->addTerm(syn), neighbour = t->addTerm(syn);
        for (const auto &[kind, offset] : markers) {
            QCOMPARE(t->mark(term.tid, kind, 1, ts + offset), QString());
            QCOMPARE(t->mark(neighbour.tid, kind, 1, ts + offset - 1), QString());
        }
        const Reply r = t->send("DELETE", path("sync", term, KelvoWorker::encodeHash(ts, mask)));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res(), QJsonValue(deleted));
        QTEST(t->syn(term.tid), "synAfter");
        QCOMPARE(t->markers(term.tid), markers.size() - deleted);
        // Another terminal's markers and bits are never touched.
        QCOMPARE(t->markers(neighbour.tid), markers.size());
        QCOMPARE(t->syn(neighbour.tid), syn);
    }

    // Unlinking persons and deleting entrances: done once, then 208.
    void deletions()
    {
        const Terminal term = t->addTerm(), other = t->addTerm();
        const quint32 uid = t->addPerson("Leaving");
        t->link(uid, term.tid);
        t->link(uid, other.tid);
        const quint32 own = t->entrance(term.tid, person, 5);
        const auto outcome = [&](const char *operation, const QString &item) {
            const Reply r = t->send("DELETE", path(operation, term, item));
            return QStringLiteral("%1 %2").arg(r.status).arg(r.res().toVariant().toString());
        };
        const auto deletedFlag = [&](quint32 entrance) {
            return t->value("SELECT del FROM inters_data WHERE id = %1", entrance).toInt();
        };
        const QString done = QStringLiteral("200 true"), again = QStringLiteral("208 false");
        QCOMPARE(outcome("person", t->personHash(uid)), done);
        QCOMPARE(outcome("person", t->personHash(uid)), again);
        QCOMPARE(t->value("SELECT GROUP_CONCAT(tid) FROM people_term WHERE uid = %1", uid).toString(),
            id(other.tid));
        // Another terminal's entrance passes the check but is not this terminal's to delete.
        QCOMPARE(outcome("entrance", KelvoWorker::encodeHash(foreignEntrance, 77)), again);
        QCOMPARE(deletedFlag(foreignEntrance), 0);
        QCOMPARE(outcome("entrance", KelvoWorker::encodeHash(own, 5)), done);
        QCOMPARE(deletedFlag(own), 1); // marked, the row stays
        QCOMPARE(outcome("entrance", KelvoWorker::encodeHash(own, 5)), again);
    }

    // A missing table: 500 with the driver's text, the critical record, the
    // error counter, and the answer still complete.
    void sqlFailures_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QString>("request"); // method, operation and third path part
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QStringList>(
            "gathered"); // keys of "res" beside the error; empty: "res" is the error
        QTest::newRow("settings: lists still sent") << "vars"
                                                    << "GET sync"
                                                    << "dbGetVars" << strings("grp,people,status,sync");
        QTest::newRow("types: forced lists go on")
            << "inters"
            << "GET sync fs"
            << "dbGetSyncInters" << strings("grp,inters,lastId,people,status,sync");
        QTest::newRow("types: type list") << "inters"
                                          << "GET inters"
                                          << "dbGetInter" << QStringList();
        QTest::newRow("markers: confirmation")
            << "term_sync" << sqlText("DELETE sync %1", KelvoWorker::encodeHash(quint64(nowSecs()), 2))
            << "dbDeleteSync" << QStringList();
        QTest::newRow("entrances: a failed check reads as not there")
            << "inters_data" << sqlText("DELETE entrance %1", KelvoWorker::encodeHash(1, 1))
            << "dbCheckEntrance" << QStringList();
    }
    void sqlFailures()
    {
        QFETCH(QString, missing);
        QFETCH(QString, request);
        QFETCH(QString, logged);
        QFETCH(QStringList, gathered);
        const Terminal term = t->addTerm(2 | 256, 1 | 2 | 256);
        const quint32 uid = t->addPerson("Kept");
        t->link(uid, term.tid, 2);
        t->addInter("Any", 1, term.tid);
        t->mark(term.tid, 2, uid, nowSecs() - 10);
        QCOMPARE(t->exec("RENAME TABLE `%1` TO `%1_away`", missing), QString());
        const auto restore = qScopeGuard([&] { t->exec("RENAME TABLE `%1_away` TO `%1`", missing); });

        QTest::ignoreMessage(QtCriticalMsg,
            QRegularExpression(
                QStringLiteral("^KelvoWorker::%1\\(\\) SQl ERROR: .*%2.*\nSQL: ").arg(logged, missing),
                QRegularExpression::DotMatchesEverythingOption));
        const quint64 errorsBefore = t->worker.property("sqlErrors").toULongLong();
        const QStringList parts = request.split(QLatin1Char(' '));
        const Reply r = t->send(qPrintable(parts[0]), path(qPrintable(parts[1]), term, parts.value(2)));
        QCOMPARE(
            t->worker.property("sqlErrors").toULongLong(), errorsBefore + 1); // what the host's metrics count
        if (gathered.isEmpty()) {
            const bool notFound = parts[1] == QLatin1String("entrance");
            QCOMPARE(r.status, notFound ? 404 : 500);
            QVERIFY2(notFound || r.res().toString().contains(missing), qPrintable(r.res().toString()));
            QCOMPARE(t->syn(term.tid), 2u | 256u);
            return;
        }
        QCOMPARE(QList<int>({ r.status, r.err() }), QList<int>({ 500, 500 }));
        QCOMPARE(keysAt(r.res()), gathered);
        QCOMPARE(keysAt(r.res(), "people"), QStringList({ id(uid) }));
        QCOMPARE(
            keysAt(r.res(), "grp").size(), parts.size() - 2); // a plain sync sends its empty group map too
        QVERIFY(keysAt(r.res(), "inters").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstDownload)
#include "tst_download.moc"
