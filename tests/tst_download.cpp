// Terminal download through a real worker and a real server: request checks,
// full lists, the synchronisation state (plain and forced, marker
// precedence), the confirmation and the deletions, and SQL failures.
#include "workerharness.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

namespace {

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
QString textAt(const QJsonValue &value, const char *key)
{
    return at(value, key).toString();
}
QStringList keysAt(const QJsonValue &value, const char *key)
{
    return at(value, key).toObject().keys();
}
QStringList strings(const char *commaSeparated)
{
    return QString::fromUtf8(commaSeparated).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// Markers of a confirmation case: (kind, created relative to the confirmed time).
using Markers = QList<QPair<int, int>>;

struct Terminal
{
    quint32 tid = 0;
    quint32 vorn = 0;
    QString hash() const { return KelvoWorker::encodeHash(tid, vorn); }
};

QString path(const QString &operation, const Terminal &terminal, const QString &item = QString())
{
    const QString p = QStringLiteral("/kelvo/%1/%2").arg(operation, terminal.hash());
    return item.isEmpty() ? p : p + QLatin1Char('/') + item;
}

// Each argument fills the lowest-numbered place marker, as QString::arg does.
template<typename... Args> QString text(const char *format, const Args &...args)
{
    QString result = QString::fromUtf8(format);
    ((result = result.arg(args)), ...);
    return result;
}

// Rows of one tenant, written as root. Every value here is a test constant.
class TenantRows
{
public:
    explicit TenantRows(const QString &tag)
        : tenant(TestDatabase::createTenant(tag))
    { }
    ~TenantRows() { TestDatabase::dropTenant(tenant); }
    const QString &token() const { return tenant.token; }
    const QString &schema() const { return tenant.schema; }

    template<typename... Args> QString exec(const char *format, const Args &...args) const
    {
        return TestDatabase::exec(tenant.schema, text(format, args...));
    }
    template<typename... Args> QVariant value(const char *format, const Args &...args) const
    {
        return TestDatabase::scalar(tenant.schema, text(format, args...));
    }
    template<typename... Args> quint32 insert(const char *format, const Args &...args) const
    {
        const QString error = exec(format, args...);
        if (!error.isEmpty())
            qWarning() << error;
        return error.isEmpty() ? value("SELECT LAST_INSERT_ID()").toUInt() : 0;
    }

    Terminal addTerm(quint32 syn = 0, quint32 flags = 0, int status = 1)
    {
        const quint32 vorn = 7000 + ++terminals;
        return { insert("INSERT INTO term (vornID, status, syn, flags, name, type) VALUES (%1, %2, %3, '%4', "
                        "'T', 'VTRM')",
                     vorn, status, syn, flags),
            vorn };
    }
    quint32 syn(quint32 tid) const { return value("SELECT syn FROM term WHERE tid = %1", tid).toUInt(); }
    // begin and end are SQL expressions (e.g. "UNIX_TIMESTAMP() - 60", "NULL"); presence is saldo + 100.
    quint32 addPerson(
        const char *name, int status = 1, const char *begin = "0", const char *end = "NULL", int saldo = 0)
    {
        return insert(
            "INSERT INTO people (pid, status, begin, end, name, surname, title, title2, admin, access, card, "
            "saldo, present) VALUES (%1, %2, %3, %4, '%5', 'S-%5', 'Dr.', 'PhD', '1', '0', 'C%1', %6, %7)",
            500 + ++persons, status, QLatin1String(begin), QLatin1String(end), QLatin1String(name), saldo,
            saldo + 100);
    }
    quint32 pid(quint32 uid) const { return value("SELECT pid FROM people WHERE uid = %1", uid).toUInt(); }
    QString personHash(quint32 uid) const { return KelvoWorker::encodeHash(uid, pid(uid)); }
    QString link(quint32 uid, quint32 tid, quint32 grp = 0) const
    {
        return exec("INSERT INTO people_term (uid, tid, grp) VALUES (%1, %2, %3)", uid, tid, grp);
    }
    quint32 entrance(quint32 tid, quint32 uid, quint32 refId) const
    {
        return insert("INSERT INTO inters_data (tid, uid, iid, refId, type) VALUES (%1, %2, 1, %3, 'in')",
            tid, uid, refId);
    }
    // An interruption type, offered to tid unless it is 0.
    quint32 addInter(const char *name, int weight, quint32 tid = 0) const
    {
        const quint32 iid = insert("INSERT INTO inters (name, shortcut, weight, start, stop, color) "
                                   "VALUES ('%1', 'S%1', %2, '08:00', '16:00', '#112233')",
            QLatin1String(name), weight);
        if (tid)
            exec("INSERT INTO inters_term (iid, tid) VALUES (%1, %2)", iid, tid);
        return iid;
    }
    // A marker as the producers write it.
    QString mark(quint32 tid, quint32 kind, quint32 refId, qint64 created, const char *type = "U",
        const char *refCol = "uid", const char *ref = "people_term") const
    {
        return exec("INSERT INTO term_sync VALUES (%1, '%2', '%3', '%4', %5, %6, %7)", tid,
            QLatin1String(type), QLatin1String(ref), QLatin1String(refCol), refId, created, kind);
    }
    int markers(quint32 tid) const
    {
        return value("SELECT COUNT(*) FROM term_sync WHERE tid = %1", tid).toInt();
    }

private:
    TestDatabase::Tenant tenant;
    quint32 terminals = 0;
    quint32 persons = 0;
};

// A worker whose operations can be called one by one on a connection of the test's choice.
class OpenWorker : public KelvoWorker
{
public:
    OpenWorker()
        : KelvoWorker(QStringLiteral("0.2.5"))
    { }
    bool open(const QSqlDatabase &database)
    {
        setDatabase(database);
        dbOpened = db.open();
        resetResponse();
        return dbOpened;
    }
    using KelvoWorker::dbGetSync;
};

} // namespace

class TstDownload : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TenantRows> rows;
    std::unique_ptr<WorkerHarness> harness;
    // Fixture shared by the request checks.
    Terminal active, inactive, noTypes;
    quint32 person = 0, retired = 0, foreignEntrance = 0;

    Reply send(const QString &method, const QString &path)
    {
        return harness->request(method, path, rows->token());
    }
    Reply get(const char *operation, const Terminal &t, const char *item = "")
    {
        return send(QStringLiteral("GET"), path(QLatin1String(operation), t, QLatin1String(item)));
    }
    Reply del(const char *operation, const Terminal &t, const QString &item)
    {
        return send(QStringLiteral("DELETE"), path(QLatin1String(operation), t, item));
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        rows = std::make_unique<TenantRows>(QStringLiteral("download"));
        harness = std::make_unique<WorkerHarness>();
        active = rows->addTerm();
        inactive = rows->addTerm(2, 3, 0);
        noTypes = rows->addTerm();
        const Terminal other = rows->addTerm();
        person = rows->addPerson("Anna");
        retired = rows->addPerson("Ret", 0);
        QCOMPARE(rows->link(person, active.tid), QString());
        rows->addInter("Lunch", 1, active.tid);
        foreignEntrance = rows->entrance(other.tid, person, 77);
        QVERIFY(
            active.tid && inactive.tid && noTypes.tid && other.tid && person && retired && foreignEntrance);
    }

    void cleanupTestCase()
    {
        harness.reset();
        rows.reset();
    }

    // ---- Bad input: one clear error answer, "st" only after the terminal check, nothing written.

    void rejectedRequests_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("stamped");
        const auto row
            = [](const char *method, const QString &path, int status, const QString &message, bool stamped) {
                  QTest::addRow("%s %s: %s", method, qPrintable(path.section(QLatin1Char('/'), 2, 2)),
                      qPrintable(message))
                      << QString::fromLatin1(method) << path << status << message << stamped;
              };
        const auto badHash
            = [](const QString &hash) { return QStringLiteral("Invalid hash '%1'!").arg(hash); };
        const QString noTerminal = QStringLiteral("Terminal not found!"),
                      noPerson = QStringLiteral("Person not found!");
        const QString zeroVorn = KelvoWorker::encodeHash(active.tid, 0);
        const QString future = KelvoWorker::encodeHash(quint64(nowSecs() + 60), 2);
        const QString sync = QStringLiteral("sync"), personOp = QStringLiteral("person");
        const QString retiredHash = rows->personHash(retired);

        row("GET", QStringLiteral("/kelvo/sync/") + zeroVorn, 400, badHash(zeroVorn), false);
        row("GET", path(sync, { active.tid, active.vorn + 1 }), 404, noTerminal, false);
        row("GET", path(personOp, inactive), 404, noTerminal, false);
        row("GET", path(personOp, active, QStringLiteral("xyz")), 400, badHash(QStringLiteral("xyz")), true);
        row("GET", path(QStringLiteral("saldo"), active, retiredHash), 404, noPerson, true);
        row("GET", path(QStringLiteral("present"), active, KelvoWorker::encodeHash(person, 1)), 404, noPerson,
            true);
        row("GET", path(QStringLiteral("inters"), noTypes), 404, QStringLiteral("No interruptions!"), true);
        row("DELETE", path(sync, active), 400, QStringLiteral("Invalid path 'sync/%1'!").arg(active.hash()),
            false);
        row("DELETE", path(QStringLiteral("term"), active, QStringLiteral("x")), 400,
            QStringLiteral("Invalid operation 'term'!"), false);
        row("DELETE", path(sync, inactive, KelvoWorker::encodeHash(1, 2)), 404, noTerminal, false);
        row("DELETE", path(sync, active, future), 400, badHash(future), false);
        row("DELETE", path(sync, active, QStringLiteral("@@")), 400, badHash(QStringLiteral("@@")), false);
        row("DELETE", path(personOp, active, retiredHash), 404, noPerson, false);
        row("DELETE", path(QStringLiteral("entrance"), active, KelvoWorker::encodeHash(foreignEntrance, 78)),
            404, QStringLiteral("Entrance not found!"), false);
    }

    void rejectedRequests()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, stamped);

        const int markersBefore = rows->markers(active.tid);
        const Reply r = send(method, path);
        QCOMPARE(r.status, status);
        QCOMPARE(r.err(), status);
        QCOMPARE(r.res().toString(), message);
        QCOMPARE(r.json.contains(QStringLiteral("st")), stamped);
        QVERIFY(!r.json.contains(QStringLiteral("count")));
        QCOMPARE(rows->markers(active.tid), markersBefore);
    }

    // ---- Full lists, and the forced sync with nothing pending.

    // Types come by weight. Names are cut at a zero byte and decoded as UTF-8,
    // also from byte columns. A plain sync with nothing pending answers false;
    // a forced one sends the full lists; neither writes a bit or a marker.
    void fullListsAndForcedSync()
    {
        TenantRows own(QStringLiteral("bytes"));
        for (const char *table : { "people", "inters" })
            QCOMPARE(own.exec("ALTER TABLE %1 MODIFY name VARBINARY(255) NOT NULL DEFAULT ''",
                         QLatin1String(table)),
                QString());
        const Terminal t = own.addTerm(0, 3);
        const quint32 uid = own.addPerson("x");
        own.link(uid, t.tid, 4);
        const quint32 doctor = own.addInter("Doctor", 30, t.tid);
        own.addInter("Break", 10, t.tid);
        own.addInter("Trip", 20, t.tid);
        own.addInter("NotOffered", 0);
        const QLatin1String zoe("CONCAT(X'5A6FC3AB', CHAR(0), 'junk')"); // "Zoë", zero, junk
        QCOMPARE(own.exec("UPDATE people SET name = %1, surname = CONCAT('Ma', CHAR(0), 'x') WHERE uid = %2",
                     zoe, uid),
            QString());
        QCOMPARE(own.exec("UPDATE inters SET name = %1 WHERE iid = %2", zoe, doctor), QString());
        for (const quint32 refId : { 41, 42, 40 })
            own.entrance(t.tid, uid, refId);
        own.exec("UPDATE term SET online = 0 WHERE tid = %1", t.tid);

        WorkerHarness h;
        const auto request = [&](const char *operation, const char *item = "") {
            return h.request(
                QStringLiteral("GET"), path(QLatin1String(operation), t, QLatin1String(item)), own.token());
        };
        const QString zoeText = QString::fromUtf8("Zo\xc3\xab");
        const Reply inters = request("inters", "extra"); // a third path part is ignored
        QCOMPARE(inters.json.value(QStringLiteral("count")).toInt(), 3);
        QVERIFY(inters.json.value(QStringLiteral("st")).toDouble() >= nowSecs() - 5);
        QStringList names;
        for (const QJsonValue &v : inters.res().toArray())
            names << textAt(v, "name");
        QCOMPARE(names, QStringList({ QStringLiteral("Break"), QStringLiteral("Trip"), zoeText }));
        const QJsonValue first = inters.res()[0];
        QCOMPARE(first.toObject().keys(), strings("color,iid,name,shortcut,start,stop,weight"));
        QCOMPARE(QJsonArray(
                     { at(first, "shortcut"), at(first, "start"), at(first, "color"), at(first, "weight") }),
            QJsonArray({ QStringLiteral("SBreak"), QStringLiteral("08:00"), QStringLiteral("#112233"), 10 }));
        const QJsonValue p = request("person").res()[0];
        QCOMPARE(QStringList({ textAt(p, "name"), textAt(p, "surname") }),
            QStringList({ zoeText, QStringLiteral("Ma") }));

        const qint64 before = nowSecs();
        const Reply plain = request("sync");
        QCOMPARE(plain.res(), QJsonValue(false));
        QCOMPARE(plain.json.value(QStringLiteral("setOnline")), QJsonValue(true));
        QVERIFY(own.value("SELECT online FROM term WHERE tid = %1", t.tid).toLongLong() >= before);
        const QJsonValue res = request("sync", "fs").res();
        QCOMPARE(res.toObject().keys(), strings("inters,lastId,people,status,sync"));
        QCOMPARE(QJsonArray({ at(res, "sync"), at(res, "status"), at(res, "lastId") }),
            QJsonArray({ 3, true, 42 }));
        QCOMPARE(keysAt(res, "inters").size(), 3);
        QCOMPARE(textAt(at(res, "inters")[id(doctor)], "name"), zoeText);
        const QJsonValue zo = at(res, "people")[id(uid)];
        QCOMPARE(QJsonArray({ at(zo, "type"), at(zo, "name"), at(zo, "grp"), at(zo, "pid") }),
            QJsonArray({ QStringLiteral("U"), zoeText, 4, int(own.pid(uid)) }));
        QVERIFY(at(zo, "tsc").toDouble() >= before);
        QCOMPARE(own.syn(t.tid), 0u);
        QCOMPARE(own.markers(t.tid), 0);
    }

    void personLists_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("only");
        QTest::addColumn<QStringList>("expected"); // names; with balance or presence as "name:value"

        // The person list follows the validity period; balances and presence
        // go to every active linked person. Inactive and unlinked persons never.
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

        const Terminal t = rows->addTerm();
        QMap<QString, quint32> uids;
        for (const auto &[name, status, begin, end, saldo] :
            { std::tuple { "Open", 1, "UNIX_TIMESTAMP() - 60", "NULL", -5 },
                { "Until", 1, "UNIX_TIMESTAMP() - 60", "UNIX_TIMESTAMP() + 3600", 7 },
                { "Expired", 1, "UNIX_TIMESTAMP() - 7200", "UNIX_TIMESTAMP() - 60", 11 },
                { "Future", 1, "UNIX_TIMESTAMP() + 3600", "NULL", 13 }, { "Inactive", 0, "0", "NULL", 17 },
                { "Unlinked", 1, "0", "NULL", 19 } }) {
            const quint32 uid = uids[QLatin1String(name)] = rows->addPerson(name, status, begin, end, saldo);
            if (qstrcmp(name, "Unlinked") != 0)
                rows->link(uid, t.tid, 9);
        }

        const Reply r = send(QStringLiteral("GET"),
            path(operation, t, only.isEmpty() ? QString() : rows->personHash(uids[only])));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QStringLiteral("count")).toInt(), expected.size());
        QStringList got;
        for (const QJsonValue &p : r.res().toArray()) {
            got << textAt(p, "name");
            QCOMPARE(p.toObject().keys(),
                strings("access,admin,card,grp,name,pid,present,saldo,surname,title,title2,uid"));
            QCOMPARE(QJsonArray({ at(p, "uid"), at(p, "grp"), at(p, "admin"), at(p, "access") }),
                QJsonArray({ int(uids[got.last()]), 9, true, false }));
        }
        // Balances and presence: maps keyed by uid.
        const QJsonObject map = r.res().toObject();
        for (auto it = map.begin(); it != map.end(); ++it)
            got << uids.key(it.key().toUInt()) + QLatin1Char(':') + QString::number(it.value().toInt());
        got.sort();
        QCOMPARE(got, expected);
    }

    // ---- Pending changes: marker precedence, deletions, groups and settings.

    void pendingMarkersAndPrecedence()
    {
        const qint64 t0 = nowSecs() - 100;
        const Terminal t = rows->addTerm(1 | 2 | 4 | 256);
        const Terminal other = rows->addTerm(2);
        const auto linked = [&](const char *name, const Terminal &to, quint32 grp, int saldo = 0) {
            const quint32 uid = rows->addPerson(name, 1, "0", "NULL", saldo);
            rows->link(uid, to.tid, grp);
            return uid;
        };
        const quint32 twice = linked("Twice", t, 1, 3), grouped = linked("Grouped", t, 5),
                      quiet = linked("Quiet", t, 6);
        const quint32 elsewhere = linked("Elsewhere", other, 0);
        const quint32 gone = rows->addPerson("Gone", 1, "0", "NULL", 5),
                      unlinked = rows->addPerson("Unlinked");
        const quint32 dropped = rows->addInter("Dropped", 1);
        const quint32 changed = rows->addInter("Changed", 2, t.tid);
        const quint32 offered = rows->addInter("Offered", 3, t.tid);
        for (const QString &error : {
                 rows->mark(t.tid, 2, twice, t0 - 20),
                 rows->mark(t.tid, 2, twice, t0 - 10),
                 rows->mark(t.tid, 2, gone, t0 - 20),
                 rows->mark(t.tid, 2, gone, t0 - 10, "D"),
                 rows->mark(t.tid, 2, unlinked, t0 - 5),
                 rows->mark(t.tid, 2, grouped, t0 - 5),
                 rows->mark(t.tid, 2, 999999, t0 - 5), // person no longer exists
                 rows->mark(t.tid, 2, quiet, t0, "U", "iid"), // not a person key
                 rows->mark(other.tid, 2, elsewhere, t0), // another terminal's change
                 rows->mark(t.tid, 1, dropped, t0 - 3, "D", "iid"),
                 rows->mark(t.tid, 1, changed, t0 - 2, "U", "iid"),
                 rows->mark(t.tid, 4, twice, t0 - 2, "D"), // balances know no deletion
                 rows->mark(t.tid, 4, gone, t0 - 2),
                 // Groups only of persons linked here; settings only if they exist.
                 rows->mark(t.tid, 256, grouped, t0),
                 rows->mark(t.tid, 256, unlinked, t0),
                 rows->exec("INSERT INTO vars (name, value) VALUES ('colorGroups', '[1,2]') "
                            "ON DUPLICATE KEY UPDATE value = '[1,2]'"),
                 rows->mark(t.tid, 256, 0, t0, "U", "colorGroups", "vars"),
                 rows->mark(t.tid, 256, 0, t0, "U", "noSuchSetting", "vars"),
             })
            QCOMPARE(error, QString());

        // One "key type age" per entry; age counted back from t0, "now" for the time of the request.
        const auto summary = [t0](const QJsonValue &map, qint64 now) {
            QStringList entries;
            const QJsonObject object = map.toObject();
            for (auto it = object.begin(); it != object.end(); ++it) {
                const qint64 tsc = qint64(at(*it, "tsc").toDouble());
                entries << text("%1 %2 %3", it.key(), textAt(*it, "type"),
                    tsc >= now ? QStringLiteral("now") : id(t0 - tsc));
            }
            entries.sort();
            return entries;
        };
        const auto sorted = [](QStringList list) {
            list.sort();
            return list;
        };

        const qint64 before = nowSecs();
        const Reply plain = get("sync", t);
        QCOMPARE(plain.status, 200);
        const QJsonValue res = plain.res();
        QCOMPARE(res.toObject().keys(), strings("grp,inters,people,saldo,status,sync,vars"));
        QCOMPARE(at(res, "sync").toInt(), 1 | 2 | 4 | 256);
        // The later of two markers wins, with the person's current data; a
        // deletion after an update sends key, type, time and pid only.
        QStringList pendingPeople { text("%1 U 10", twice), text("%1 D 10", gone), text("%1 U 5", unlinked),
            text("%1 U 5", grouped) };
        const QJsonValue people = at(res, "people");
        QCOMPARE(summary(people, before), sorted(pendingPeople));
        QCOMPARE(textAt(people[id(twice)], "name"), QStringLiteral("Twice"));
        QCOMPARE(people[id(gone)].toObject().keys(), strings("pid,tsc,type"));
        QCOMPARE(at(people[id(gone)], "pid").toInt(), int(rows->pid(gone)));
        // A person without a link here is still sent whole, with group 0.
        QCOMPARE(QJsonArray({ at(people[id(unlinked)], "grp"), at(people[id(grouped)], "grp") }),
            QJsonArray({ 0, 5 }));
        QVERIFY(!textAt(people[id(unlinked)], "card").isEmpty());
        QStringList pendingInters { text("%1 D 3", dropped), text("%1 U 2", changed) };
        QCOMPARE(summary(at(res, "inters"), before), sorted(pendingInters));
        QCOMPARE(at(res, "inters")[id(dropped)].toObject().keys(), strings("tsc,type"));
        QCOMPARE(textAt(at(res, "inters")[id(changed)], "name"), QStringLiteral("Changed"));
        QCOMPARE(at(res, "saldo").toObject(), QJsonObject({ { id(gone), 5 } }));
        QCOMPARE(at(res, "grp").toObject(), QJsonObject({ { id(grouped), 5 } }));
        QCOMPARE(at(res, "vars").toObject(),
            QJsonObject({ { QStringLiteral("colorGroups"), QStringLiteral("[1,2]") } }));

        // Until confirmed, the same changes come again; only "fs" forces.
        for (const char *third : { "", "FS", "force" })
            QCOMPARE(get("sync", t, third).res(), res);

        // Forced: the full lists with the pending markers laid over them.
        const QJsonValue full = get("sync", t, "fs").res();
        QCOMPARE(summary(at(full, "people"), before), sorted(pendingPeople << text("%1 U now", quiet)));
        QCOMPARE(summary(at(full, "inters"), before), sorted(pendingInters << text("%1 U now", offered)));
        QCOMPARE(keysAt(full, "saldo").size(), 4); // 3 linked + gone
        QCOMPARE(at(full, "grp").toObject(),
            QJsonObject({ { id(twice), 1 }, { id(grouped), 5 }, { id(quiet), 6 } }));
        QCOMPARE(keysAt(full, "vars"), strings("colorGroups"));
    }

    // A terminal switched off between its check and its state read gets the
    // mask and its status, but no list.
    void inactiveTerminalGetsNoLists()
    {
        const Terminal t = rows->addTerm(2, 1, 0);
        const quint32 uid = rows->addPerson("Hidden");
        rows->link(uid, t.tid);
        rows->mark(t.tid, 2, uid, nowSecs() - 5);
        OpenWorker worker;
        QVERIFY(worker.open(TestDatabase::adminConnection(rows->schema())));
        QVERIFY(worker.dbGetSync(t.tid, true));
        QCOMPARE(worker.resultMap().value(QStringLiteral("res")).toMap(),
            QVariantMap({ { QStringLiteral("status"), false }, { QStringLiteral("sync"), 3u } }));
        QVERIFY(!worker.dbGetSync(999999, false)); // no such terminal: mask 0
        QCOMPARE(worker.resultMap().value(QStringLiteral("res")), QVariant(false));
    }

    // ---- Confirmation.

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
        QFETCH(quint32, synAfter);

        // A fixed time in the past keeps the row away from the second boundary.
        const qint64 ts = nowSecs() - 100;
        const Terminal t = rows->addTerm(syn);
        const Terminal neighbour = rows->addTerm(syn);
        for (const auto &[kind, offset] : markers) {
            QCOMPARE(rows->mark(t.tid, kind, 1, ts + offset), QString());
            QCOMPARE(rows->mark(neighbour.tid, kind, 1, ts + offset - 1), QString());
        }

        const Reply r = del("sync", t, KelvoWorker::encodeHash(ts, mask));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res(), QJsonValue(deleted));
        QCOMPARE(rows->syn(t.tid), synAfter);
        QCOMPARE(rows->markers(t.tid), markers.size() - deleted);
        // Another terminal's markers and bits are never touched.
        QCOMPARE(rows->markers(neighbour.tid), markers.size());
        QCOMPARE(rows->syn(neighbour.tid), syn);
    }

    // ---- Unlinking persons and deleting entrances: done once, then 208.

    void deletions()
    {
        const Terminal t = rows->addTerm();
        const Terminal other = rows->addTerm();
        const quint32 uid = rows->addPerson("Leaving");
        rows->link(uid, t.tid);
        rows->link(uid, other.tid);
        const quint32 own = rows->entrance(t.tid, person, 5);
        const auto outcome = [](const Reply &r) {
            return QStringLiteral("%1 %2").arg(r.status).arg(r.res().toVariant().toString());
        };
        const auto deletedFlag = [&](quint32 id) {
            return rows->value("SELECT del FROM inters_data WHERE id = %1", id).toInt();
        };
        const QString done = QStringLiteral("200 true"), again = QStringLiteral("208 false");

        QCOMPARE(outcome(del("person", t, rows->personHash(uid))), done);
        QCOMPARE(outcome(del("person", t, rows->personHash(uid))), again);
        QCOMPARE(rows->value("SELECT GROUP_CONCAT(tid) FROM people_term WHERE uid = %1", uid).toString(),
            id(other.tid));
        // Another terminal's entrance passes the check but is not this terminal's to delete.
        QCOMPARE(outcome(del("entrance", t, KelvoWorker::encodeHash(foreignEntrance, 77))), again);
        QCOMPARE(deletedFlag(foreignEntrance), 0);
        QCOMPARE(outcome(del("entrance", t, KelvoWorker::encodeHash(own, 5))), done);
        QCOMPARE(deletedFlag(own), 1); // marked, the row stays
        QCOMPARE(outcome(del("entrance", t, KelvoWorker::encodeHash(own, 5))), again);
    }

    // ---- SQL failures: 500 with the driver's text, the critical record, and
    // the answer still complete.

    void sqlFailures_data()
    {
        QTest::addColumn<QString>("dropped");
        QTest::addColumn<QString>("request"); // method, operation and third path part
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QStringList>(
            "gathered"); // keys of "res" beside the error; empty: "res" is the error text

        QTest::newRow("settings missing: lists still sent")
            << "vars"
            << "GET sync"
            << "dbGetVars" << strings("grp,people,status,sync");
        QTest::newRow("types missing: forced lists go on")
            << "inters"
            << "GET sync fs"
            << "dbGetSyncInters" << strings("grp,inters,lastId,people,status,sync");
        QTest::newRow("types missing: type list") << "inters"
                                                  << "GET inters"
                                                  << "dbGetInter" << QStringList();
        QTest::newRow("markers missing: confirmation")
            << "term_sync" << text("DELETE sync %1", KelvoWorker::encodeHash(quint64(nowSecs()), 2))
            << "dbDeleteSync" << QStringList();
        QTest::newRow("entrances missing: delete entrance") // a failed check reads as "not there"
            << "inters_data" << text("DELETE entrance %1", KelvoWorker::encodeHash(1, 1)) << "dbCheckEntrance"
            << QStringList();
    }

    void sqlFailures()
    {
        QFETCH(QString, dropped);
        QFETCH(QString, request);
        QFETCH(QString, logged);
        QFETCH(QStringList, gathered);

        TenantRows own(QStringLiteral("fail"));
        const Terminal t = own.addTerm(2 | 256, 1 | 2 | 256);
        const quint32 uid = own.addPerson("Kept");
        own.link(uid, t.tid, 2);
        own.addInter("Any", 1, t.tid);
        own.mark(t.tid, 2, uid, nowSecs() - 10);
        QCOMPARE(own.exec("DROP TABLE `%1`", dropped), QString());

        QTest::ignoreMessage(QtCriticalMsg,
            QRegularExpression(
                QStringLiteral("^KelvoWorker::%1\\(\\) SQl ERROR: .*%2.*\nSQL: ").arg(logged, dropped),
                QRegularExpression::DotMatchesEverythingOption));
        WorkerHarness h;
        const QStringList parts = request.split(QLatin1Char(' '));
        const Reply r = h.request(parts[0], path(parts[1], t, parts.value(2)), own.token());
        QCOMPARE(h.worker().property("sqlErrors").toULongLong(), 1u); // what the host's metrics count
        if (gathered.isEmpty()) {
            const bool notFound = parts[1] == QLatin1String("entrance");
            QCOMPARE(r.status, notFound ? 404 : 500);
            QVERIFY2(notFound || r.res().toString().contains(dropped), qPrintable(r.res().toString()));
            QCOMPARE(own.syn(t.tid), 2u | 256u);
            return;
        }
        QCOMPARE(r.status, 500);
        QCOMPARE(r.err(), 500);
        const QJsonValue res = r.res();
        QCOMPARE(res.toObject().keys(), gathered);
        QCOMPARE(keysAt(res, "people"), QStringList({ id(uid) }));
        QCOMPARE(keysAt(res, "grp").size(), parts.size() - 2); // a plain sync sends its empty group map too
        QVERIFY(keysAt(res, "inters").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstDownload)
#include "tst_download.moc"
