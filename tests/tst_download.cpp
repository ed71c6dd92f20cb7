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

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts)
        list << QString::fromUtf8(text);
    return list;
}

// Markers of a confirmation case: (kind, created relative to the confirmed time).
using Markers = QList<QPair<int, int>>;

struct Terminal
{
    quint32 tid = 0;
    quint32 vorn = 0;
    QString hash() const { return WorkerHarness::hash(tid, vorn); }
};

// Rows of one tenant, written as root. Every value here is a test constant.
class TenantRows
{
public:
    explicit TenantRows(const QString &tag) : tenant(TestDatabase::createTenant(tag)) { }
    ~TenantRows() { TestDatabase::dropTenant(tenant); }

    const QString &token() const { return tenant.token; }
    const QString &schema() const { return tenant.schema; }

    QString exec(const QString &sql) const { return TestDatabase::exec(tenant.schema, sql); }
    QVariant value(const QString &sql) const { return TestDatabase::scalar(tenant.schema, sql); }
    quint32 insert(const QString &sql) const
    {
        const QString error = exec(sql);
        if (!error.isEmpty()) {
            qWarning() << error;
            return 0;
        }
        return value(QStringLiteral("SELECT LAST_INSERT_ID()")).toUInt();
    }

    Terminal addTerm(quint32 syn = 0, quint32 flags = 0, int status = 1)
    {
        const quint32 vorn = 7000 + ++terminals;
        const quint32 tid = insert(QStringLiteral("INSERT INTO term (vornID, status, syn, flags, name, type) "
                                                  "VALUES (%1, %2, %3, '%4', 'T%1', 'VTRM')")
                                       .arg(vorn)
                                       .arg(status)
                                       .arg(syn)
                                       .arg(flags));
        return { tid, vorn };
    }
    quint32 syn(quint32 tid) const
    {
        return value(QStringLiteral("SELECT syn FROM term WHERE tid = %1").arg(tid)).toUInt();
    }

    // begin and end are SQL expressions (e.g. "UNIX_TIMESTAMP() - 60", "NULL").
    quint32 addPerson(const QString &name, int status = 1, const QString &begin = QStringLiteral("0"),
                      const QString &end = QStringLiteral("NULL"), int saldo = 0, quint32 present = 0)
    {
        const quint32 pid = 500 + ++persons;
        return insert(QStringLiteral("INSERT INTO people (pid, status, begin, end, name, surname, title, title2, "
                                     "admin, access, card, saldo, present) VALUES (%1, %2, %3, %4, '%5', 'S-%5', "
                                     "'Dr.', 'PhD', '1', '0', 'C%1', %6, %7)")
                          .arg(pid)
                          .arg(status)
                          .arg(begin, end, name)
                          .arg(saldo)
                          .arg(present));
    }
    quint32 pid(quint32 uid) const
    {
        return value(QStringLiteral("SELECT pid FROM people WHERE uid = %1").arg(uid)).toUInt();
    }
    QString personHash(quint32 uid) const { return WorkerHarness::hash(uid, pid(uid)); }
    QString link(quint32 uid, quint32 tid, quint32 grp = 0) const
    {
        return exec(QStringLiteral("INSERT INTO people_term (uid, tid, grp) VALUES (%1, %2, %3)").arg(uid).arg(tid).arg(grp));
    }

    quint32 addInter(const QString &name, int weight)
    {
        return insert(QStringLiteral("INSERT INTO inters (name, shortcut, weight, start, stop, color) "
                                     "VALUES ('%1', 'S%1', %2, '08:00', '16:00', '#112233')")
                          .arg(name)
                          .arg(weight));
    }
    QString offer(quint32 iid, quint32 tid) const
    {
        return exec(QStringLiteral("INSERT INTO inters_term (iid, tid) VALUES (%1, %2)").arg(iid).arg(tid));
    }

    // A marker as the producers write it.
    QString mark(quint32 tid, quint32 kind, quint32 refId, qint64 created, const QString &type = QStringLiteral("U"),
                 const QString &refCol = QStringLiteral("uid"), const QString &ref = QStringLiteral("people_term")) const
    {
        return exec(QStringLiteral("INSERT INTO term_sync VALUES (%1, '%2', '%3', '%4', %5, %6, %7)")
                        .arg(tid)
                        .arg(type, ref, refCol)
                        .arg(refId)
                        .arg(created)
                        .arg(kind));
    }
    int markers(quint32 tid) const
    {
        return value(QStringLiteral("SELECT COUNT(*) FROM term_sync WHERE tid = %1").arg(tid)).toInt();
    }

private:
    TestDatabase::Tenant tenant;
    quint32 terminals = 0;
    quint32 persons = 0;
};

QString path(const QString &operation, const Terminal &terminal, const QString &item = QString())
{
    QString p = QStringLiteral("/kelvo/%1/%2").arg(operation, terminal.hash());
    if (!item.isEmpty())
        p += QLatin1Char('/') + item;
    return p;
}

QStringList keysOf(const QJsonValue &value)
{
    return value.toObject().keys();
}

// A worker whose operations can be called one by one on a connection of the
// test's choice.
class OpenWorker : public KelvoWorker
{
public:
    OpenWorker() : KelvoWorker(QStringLiteral("0.2.5")) { }
    bool open(const QSqlDatabase &database)
    {
        setDatabase(database);
        dbOpened = db.open();
        resetResponse();
        return dbOpened;
    }
};

} // namespace

class TstDownload : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TenantRows> rows;
    std::unique_ptr<WorkerHarness> harness;
    // Fixture shared by the request checks.
    Terminal active;
    Terminal inactive;
    Terminal noTypes;
    quint32 person = 0;
    quint32 retired = 0;
    quint32 foreignEntrance = 0;

    Reply send(const QString &method, const QString &path)
    {
        return harness->request(method, path, rows->token());
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
        QVERIFY(active.tid && inactive.tid && noTypes.tid && other.tid);
        person = rows->addPerson(QStringLiteral("Anna"));
        retired = rows->addPerson(QStringLiteral("Ret"), 0);
        QVERIFY(person && retired);
        QCOMPARE(rows->link(person, active.tid), QString());
        const quint32 iid = rows->addInter(QStringLiteral("Lunch"), 1);
        QCOMPARE(rows->offer(iid, active.tid), QString());
        foreignEntrance = rows->insert(QStringLiteral("INSERT INTO inters_data (tid, uid, iid, refId, type) "
                                                      "VALUES (%1, %2, 1, 77, 'in')")
                                           .arg(other.tid)
                                           .arg(person));
        QVERIFY(foreignEntrance);
    }

    void cleanupTestCase()
    {
        harness.reset();
        rows.reset();
    }

    // ---- Bad input: one clear error answer, "st" only after the terminal check.

    void rejectedRequests_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("stamped");

        const QString zeroVorn = WorkerHarness::hash(active.tid, 0);
        const QString future = WorkerHarness::hash(quint64(nowSecs() + 60), 2);
        QTest::newRow("GET second hash number 0")
            << "GET" << QStringLiteral("/kelvo/sync/%1").arg(zeroVorn) << 400
            << QStringLiteral("Invalid hash '%1'!").arg(zeroVorn) << false;
        QTest::newRow("GET wrong Vorn ID") << "GET"
                                           << QStringLiteral("/kelvo/sync/%1").arg(WorkerHarness::hash(active.tid, active.vorn + 1))
                                           << 404 << "Terminal not found!" << false;
        QTest::newRow("GET inactive terminal") << "GET" << path(QStringLiteral("person"), inactive) << 404
                                               << "Terminal not found!" << false;
        QTest::newRow("GET undecodable person hash") << "GET" << path(QStringLiteral("person"), active, QStringLiteral("xyz"))
                                                     << 400 << "Invalid hash 'xyz'!" << true;
        QTest::newRow("GET inactive person") << "GET" << path(QStringLiteral("saldo"), active, rows->personHash(retired))
                                             << 404 << "Person not found!" << true;
        QTest::newRow("GET person with a wrong pid")
            << "GET" << path(QStringLiteral("present"), active, WorkerHarness::hash(person, 1)) << 404
            << "Person not found!" << true;
        QTest::newRow("GET inters without types") << "GET" << path(QStringLiteral("inters"), noTypes) << 404
                                                  << "No interruptions!" << true;
        QTest::newRow("DELETE with two parts") << "DELETE" << path(QStringLiteral("sync"), active) << 400
                                               << QStringLiteral("Invalid path 'sync/%1'!").arg(active.hash()) << false;
        QTest::newRow("DELETE unknown operation") << "DELETE" << path(QStringLiteral("term"), active, QStringLiteral("x"))
                                                  << 400 << "Invalid operation 'term'!" << false;
        QTest::newRow("DELETE terminal unknown") << "DELETE"
                                                 << QStringLiteral("/kelvo/sync/%1/%2").arg(inactive.hash(), WorkerHarness::hash(1, 2))
                                                 << 404 << "Terminal not found!" << false;
        QTest::newRow("DELETE sync from the future") << "DELETE" << path(QStringLiteral("sync"), active, future) << 400
                                                     << QStringLiteral("Invalid hash '%1'!").arg(future) << false;
        QTest::newRow("DELETE sync undecodable") << "DELETE" << path(QStringLiteral("sync"), active, QStringLiteral("@@"))
                                                 << 400 << "Invalid hash '@@'!" << false;
        QTest::newRow("DELETE inactive person") << "DELETE" << path(QStringLiteral("person"), active, rows->personHash(retired))
                                                << 404 << "Person not found!" << false;
        QTest::newRow("DELETE entrance with a wrong refId")
            << "DELETE" << path(QStringLiteral("entrance"), active, WorkerHarness::hash(foreignEntrance, 78)) << 404
            << "Entrance not found!" << false;
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

    // ---- Full lists.

    void interruptionTypesComeByWeight()
    {
        const Terminal t = rows->addTerm();
        const std::initializer_list<std::pair<const char *, int>> types { { "Doctor", 30 }, { "Break", 10 }, { "Trip", 20 } };
        for (const auto &[name, weight] : types)
            QCOMPARE(rows->offer(rows->addInter(QLatin1String(name), weight), t.tid), QString());
        rows->addInter(QStringLiteral("NotOffered"), 0);

        // A third path part is ignored.
        const Reply r = send(QStringLiteral("GET"), path(QStringLiteral("inters"), t, QStringLiteral("extra")));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QStringLiteral("count")).toInt(), 3);
        const QJsonArray list = r.res().toArray();
        QStringList names;
        for (const QJsonValue &v : list)
            names << v[QStringLiteral("name")].toString();
        QCOMPARE(names, strings({ "Break", "Trip", "Doctor" }));
        const QJsonObject first = list.first().toObject();
        QCOMPARE(first.keys(), strings({ "color", "iid", "name", "shortcut", "start", "stop", "weight" }));
        QCOMPARE(first[QStringLiteral("shortcut")].toString(), QStringLiteral("SBreak"));
        QCOMPARE(first[QStringLiteral("weight")].toInt(), 10);
        QCOMPARE(first[QStringLiteral("start")].toString(), QStringLiteral("08:00"));
        QCOMPARE(first[QStringLiteral("color")].toString(), QStringLiteral("#112233"));
        QVERIFY(r.json.value(QStringLiteral("st")).toDouble() >= nowSecs() - 5);
    }

    void personLists_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("only");
        QTest::addColumn<QStringList>("expected");

        // The person list follows the validity period; balances and presence
        // go to every active linked person. Inactive and unlinked persons never.
        QTest::newRow("person: valid now") << "person" << QString() << strings({ "Open", "Until" });
        QTest::newRow("saldo: every active") << "saldo" << QString()
                                             << strings({ "Expired", "Future", "Open", "Until" });
        QTest::newRow("present: every active") << "present" << QString()
                                               << strings({ "Expired", "Future", "Open", "Until" });
        QTest::newRow("person: one") << "person" << "Until" << strings({ "Until" });
        QTest::newRow("person: one, expired") << "person" << "Expired" << QStringList();
        QTest::newRow("saldo: one, expired") << "saldo" << "Expired" << strings({ "Expired" });
        QTest::newRow("present: one, not linked") << "present" << "Unlinked" << QStringList();
    }

    void personLists()
    {
        QFETCH(QString, operation);
        QFETCH(QString, only);
        QFETCH(QStringList, expected);

        const Terminal t = rows->addTerm();
        QMap<QString, quint32> uids;
        const auto add = [&](const char *name, int status, const char *begin, const char *end, int saldo) {
            const quint32 uid = rows->addPerson(QLatin1String(name), status, QLatin1String(begin), QLatin1String(end),
                                                saldo, quint32(saldo + 100));
            uids.insert(QLatin1String(name), uid);
            if (qstrcmp(name, "Unlinked") != 0)
                rows->link(uid, t.tid, 9);
        };
        add("Open", 1, "UNIX_TIMESTAMP() - 60", "NULL", -5);
        add("Until", 1, "UNIX_TIMESTAMP() - 60", "UNIX_TIMESTAMP() + 3600", 7);
        add("Expired", 1, "UNIX_TIMESTAMP() - 7200", "UNIX_TIMESTAMP() - 60", 11);
        add("Future", 1, "UNIX_TIMESTAMP() + 3600", "NULL", 13);
        add("Inactive", 0, "0", "NULL", 17);
        add("Unlinked", 1, "0", "NULL", 19);

        const QString item = only.isEmpty() ? QString() : rows->personHash(uids.value(only));
        const Reply r = send(QStringLiteral("GET"), path(operation, t, item));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.err(), 0);
        QCOMPARE(r.json.value(QStringLiteral("count")).toInt(), expected.size());

        QStringList got;
        if (operation == QLatin1String("person")) {
            for (const QJsonValue &v : r.res().toArray()) {
                const QJsonObject p = v.toObject();
                got << p[QStringLiteral("name")].toString();
                QCOMPARE(p.keys(), strings({ "access", "admin", "card", "grp", "name", "pid", "present", "saldo",
                                                 "surname", "title", "title2", "uid" }));
                QCOMPARE(quint32(p[QStringLiteral("uid")].toDouble()), uids.value(got.last()));
                QCOMPARE(p[QStringLiteral("grp")].toInt(), 9);
                QCOMPARE(p[QStringLiteral("admin")].toBool(), true);
                QCOMPARE(p[QStringLiteral("access")].toBool(), false);
                QCOMPARE(p[QStringLiteral("surname")].toString(), QStringLiteral("S-") + got.last());
            }
        } else {
            // Maps keyed by uid; the balance comes from getSaldo, presence as stored.
            const QJsonObject map = r.res().toObject();
            for (auto it = uids.cbegin(); it != uids.cend(); ++it) {
                const QJsonValue v = map.value(QString::number(it.value()));
                if (v.isUndefined())
                    continue;
                got << it.key();
                const int saldo = rows->value(QStringLiteral("SELECT saldo FROM people WHERE uid = %1").arg(it.value())).toInt();
                QCOMPARE(v.toInt(), operation == QLatin1String("saldo") ? saldo : saldo + 100);
            }
            QCOMPARE(map.size(), got.size());
        }
        got.sort();
        expected.sort();
        QCOMPARE(got, expected);
    }

    // Names are cut at a zero byte and decoded as UTF-8, also from byte columns.
    void namesDecodedFromBytes()
    {
        TenantRows own(QStringLiteral("bytes"));
        QCOMPARE(own.exec(QStringLiteral("ALTER TABLE people MODIFY name VARBINARY(255) NOT NULL DEFAULT ''")), QString());
        QCOMPARE(own.exec(QStringLiteral("ALTER TABLE inters MODIFY name VARBINARY(255) NOT NULL DEFAULT ''")), QString());
        const Terminal t = own.addTerm(3);
        const quint32 uid = own.addPerson(QStringLiteral("x"), 1, QStringLiteral("0"));
        const quint32 iid = own.addInter(QStringLiteral("x"), 1);
        const QString zoe = QStringLiteral("CONCAT(X'5A6FC3AB', CHAR(0), 'junk')"); // "Zoë", zero, junk
        QCOMPARE(own.exec(QStringLiteral("UPDATE people SET name = %1, surname = CONCAT('Ma', CHAR(0), 'x') WHERE uid = %2")
                              .arg(zoe)
                              .arg(uid)),
                 QString());
        QCOMPARE(own.exec(QStringLiteral("UPDATE inters SET name = %1 WHERE iid = %2").arg(zoe).arg(iid)), QString());
        own.link(uid, t.tid);
        own.offer(iid, t.tid);

        WorkerHarness h;
        const Reply people = h.request(QStringLiteral("GET"), path(QStringLiteral("person"), t), own.token());
        const QJsonObject p = people.res().toArray().first().toObject();
        QCOMPARE(p[QStringLiteral("name")].toString(), QString::fromUtf8("Zo\xc3\xab"));
        QCOMPARE(p[QStringLiteral("surname")].toString(), QStringLiteral("Ma"));
        const Reply inters = h.request(QStringLiteral("GET"), path(QStringLiteral("inters"), t), own.token());
        QCOMPARE(inters.res().toArray().first()[QStringLiteral("name")].toString(), QString::fromUtf8("Zo\xc3\xab"));

        const Reply sync = h.request(QStringLiteral("GET"), path(QStringLiteral("sync"), t, QStringLiteral("fs")), own.token());
        const QJsonObject lists = sync.res().toObject();
        QCOMPARE(lists[QStringLiteral("people")][QString::number(uid)][QStringLiteral("name")].toString(),
                 QString::fromUtf8("Zo\xc3\xab"));
        QCOMPARE(lists[QStringLiteral("inters")][QString::number(iid)][QStringLiteral("name")].toString(),
                 QString::fromUtf8("Zo\xc3\xab"));
    }

    // ---- Synchronisation state.

    void plainAndForcedSync_data()
    {
        QTest::addColumn<QString>("third");
        QTest::addColumn<bool>("forced");
        QTest::newRow("no third part") << QString() << false;
        QTest::newRow("fs") << "fs" << true;
        QTest::newRow("FS is plain") << "FS" << false;
        QTest::newRow("force is plain") << "force" << false;
    }

    void plainAndForcedSync()
    {
        QFETCH(QString, third);
        QFETCH(bool, forced);

        // Nothing pending, but the terminal keeps types and persons.
        const Terminal t = rows->addTerm(0, 3);
        const quint32 uid = rows->addPerson(QStringLiteral("Flo"));
        rows->link(uid, t.tid, 4);
        rows->offer(rows->addInter(QStringLiteral("Sick"), 2), t.tid);
        for (const int refId : { 41, 42, 40 })
            rows->exec(QStringLiteral("INSERT INTO inters_data (tid, uid, iid, refId, type) VALUES (%1, %2, 1, %3, 'in')")
                           .arg(t.tid)
                           .arg(uid)
                           .arg(refId));
        rows->exec(QStringLiteral("UPDATE term SET online = 0 WHERE tid = %1").arg(t.tid));

        const qint64 before = nowSecs();
        const Reply r = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t, third));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QStringLiteral("setOnline")).toBool(), true);
        QVERIFY(rows->value(QStringLiteral("SELECT online FROM term WHERE tid = %1").arg(t.tid)).toLongLong() >= before);
        if (!forced) {
            QCOMPARE(r.res(), QJsonValue(false));
            return;
        }
        const QJsonObject res = r.res().toObject();
        QCOMPARE(res.keys(), strings({ "inters", "lastId", "people", "status", "sync" }));
        QCOMPARE(res[QStringLiteral("sync")].toInt(), 3);
        QCOMPARE(res[QStringLiteral("status")].toBool(), true);
        QCOMPARE(res[QStringLiteral("lastId")].toInt(), 42);
        const QJsonObject flo = res[QStringLiteral("people")][QString::number(uid)].toObject();
        QCOMPARE(flo[QStringLiteral("type")].toString(), QStringLiteral("U"));
        QVERIFY(flo[QStringLiteral("tsc")].toDouble() >= before);
        QCOMPARE(flo[QStringLiteral("grp")].toInt(), 4);
        QCOMPARE(flo[QStringLiteral("pid")].toInt(), int(rows->pid(uid)));
        QCOMPARE(res[QStringLiteral("inters")].toObject().size(), 1);
        // Reading changes nothing: no bit set, no marker written.
        QCOMPARE(rows->syn(t.tid), 0u);
        QCOMPARE(rows->markers(t.tid), 0);
    }

    void pendingMarkersAndPrecedence()
    {
        const qint64 t0 = nowSecs() - 100;
        const Terminal t = rows->addTerm(1 | 2 | 4);
        const Terminal other = rows->addTerm(2);
        const quint32 twice = rows->addPerson(QStringLiteral("Twice"), 1, QStringLiteral("0"), QStringLiteral("NULL"), 3);
        const quint32 gone = rows->addPerson(QStringLiteral("Gone"), 1, QStringLiteral("0"), QStringLiteral("NULL"), 5);
        const quint32 unlinked = rows->addPerson(QStringLiteral("Unlinked"));
        const quint32 grouped = rows->addPerson(QStringLiteral("Grouped"));
        const quint32 quiet = rows->addPerson(QStringLiteral("Quiet"));
        const quint32 elsewhere = rows->addPerson(QStringLiteral("Elsewhere"));
        rows->link(twice, t.tid, 1);
        rows->link(grouped, t.tid, 5);
        rows->link(quiet, t.tid, 6);
        rows->link(elsewhere, other.tid);
        const quint32 dropped = rows->addInter(QStringLiteral("Dropped"), 1);
        const quint32 changed = rows->addInter(QStringLiteral("Changed"), 2);
        const quint32 offered = rows->addInter(QStringLiteral("Offered"), 3);
        rows->offer(offered, t.tid);
        rows->offer(changed, t.tid);

        for (const QString &error : {
                 rows->mark(t.tid, 2, twice, t0 - 20), rows->mark(t.tid, 2, twice, t0 - 10),
                 rows->mark(t.tid, 2, gone, t0 - 20), rows->mark(t.tid, 2, gone, t0 - 10, QStringLiteral("D")),
                 rows->mark(t.tid, 2, unlinked, t0 - 5), rows->mark(t.tid, 2, grouped, t0 - 5),
                 rows->mark(t.tid, 2, 999999, t0 - 5),             // person no longer exists
                 rows->mark(t.tid, 2, quiet, t0, QStringLiteral("U"), QStringLiteral("iid")), // not a person key
                 rows->mark(other.tid, 2, elsewhere, t0),          // another terminal's change
                 rows->mark(t.tid, 1, dropped, t0 - 3, QStringLiteral("D"), QStringLiteral("iid")),
                 rows->mark(t.tid, 1, changed, t0 - 2, QStringLiteral("U"), QStringLiteral("iid")),
                 rows->mark(t.tid, 4, twice, t0 - 2, QStringLiteral("D")), // balances know no deletion
                 rows->mark(t.tid, 4, gone, t0 - 2),
             })
            QCOMPARE(error, QString());

        const Reply plain = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t));
        QCOMPARE(plain.status, 200);
        const QJsonObject res = plain.res().toObject();
        QCOMPARE(res.keys(), strings({ "inters", "people", "saldo", "status", "sync" }));
        QCOMPARE(res[QStringLiteral("sync")].toInt(), 7);

        const QJsonObject people = res[QStringLiteral("people")].toObject();
        QCOMPARE(people.keys().size(), 4);
        // The later of two markers wins, with the person's current data.
        const QJsonObject latest = people[QString::number(twice)].toObject();
        QCOMPARE(latest[QStringLiteral("type")].toString(), QStringLiteral("U"));
        QCOMPARE(qint64(latest[QStringLiteral("tsc")].toDouble()), t0 - 10);
        QCOMPARE(latest[QStringLiteral("name")].toString(), QStringLiteral("Twice"));
        // A deletion after an update: key, type, time and pid only.
        const QJsonObject deleted = people[QString::number(gone)].toObject();
        QCOMPARE(deleted.keys(), strings({ "pid", "tsc", "type" }));
        QCOMPARE(deleted[QStringLiteral("type")].toString(), QStringLiteral("D"));
        QCOMPARE(deleted[QStringLiteral("pid")].toInt(), int(rows->pid(gone)));
        // A person without a link here is still sent whole, with group 0.
        QCOMPARE(people[QString::number(unlinked)][QStringLiteral("grp")].toInt(), 0);
        QCOMPARE(people[QString::number(unlinked)][QStringLiteral("card")].toString().isEmpty(), false);
        QCOMPARE(people[QString::number(grouped)][QStringLiteral("grp")].toInt(), 5);

        const QJsonObject inters = res[QStringLiteral("inters")].toObject();
        QCOMPARE(inters.keys().size(), 2);
        QCOMPARE(keysOf(inters[QString::number(dropped)]), strings({ "tsc", "type" }));
        QCOMPARE(inters[QString::number(changed)][QStringLiteral("name")].toString(), QStringLiteral("Changed"));

        const QJsonObject saldo = res[QStringLiteral("saldo")].toObject();
        QCOMPARE(saldo.keys(), QStringList({ QString::number(gone) }));
        QCOMPARE(saldo[QString::number(gone)].toInt(), 5);

        // Until confirmed, the same changes come again.
        const Reply again = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t));
        QCOMPARE(again.res(), plain.res());

        // Forced: the full lists with the pending markers laid over them.
        const qint64 before = nowSecs();
        const Reply forced = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t, QStringLiteral("fs")));
        const QJsonObject full = forced.res().toObject();
        const QJsonObject fullPeople = full[QStringLiteral("people")].toObject();
        QCOMPARE(fullPeople.keys().size(), 5); // twice, grouped, quiet linked; gone, unlinked marked
        QCOMPARE(qint64(fullPeople[QString::number(twice)][QStringLiteral("tsc")].toDouble()), t0 - 10);
        QVERIFY(fullPeople[QString::number(quiet)][QStringLiteral("tsc")].toDouble() >= before);
        QCOMPARE(fullPeople[QString::number(quiet)][QStringLiteral("type")].toString(), QStringLiteral("U"));
        QCOMPARE(fullPeople[QString::number(gone)][QStringLiteral("type")].toString(), QStringLiteral("D"));
        const QJsonObject fullInters = full[QStringLiteral("inters")].toObject();
        QCOMPARE(fullInters.keys().size(), 3);
        QCOMPARE(fullInters[QString::number(dropped)][QStringLiteral("type")].toString(), QStringLiteral("D"));
        QCOMPARE(qint64(fullInters[QString::number(changed)][QStringLiteral("tsc")].toDouble()), t0 - 2);
        QVERIFY(fullInters[QString::number(offered)][QStringLiteral("tsc")].toDouble() >= before);
        QCOMPARE(full[QStringLiteral("saldo")].toObject().keys().size(), 4); // 3 linked + gone
    }

    void groupsAndSettings()
    {
        const qint64 t0 = nowSecs() - 50;
        const Terminal t = rows->addTerm(256, 256);
        const Reply empty = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t));
        QCOMPARE(empty.res().toObject().keys(), strings({ "grp", "status", "sync" }));
        QVERIFY(empty.res()[QStringLiteral("grp")].toObject().isEmpty());

        const quint32 linked = rows->addPerson(QStringLiteral("Linked"));
        const quint32 other = rows->addPerson(QStringLiteral("Other"));
        rows->link(linked, t.tid, 3);
        rows->link(other, t.tid, 8);
        const quint32 unlinked = rows->addPerson(QStringLiteral("Loose"));
        const QString setting = QStringLiteral("vars");
        QCOMPARE(rows->exec(QStringLiteral("INSERT INTO vars (name, value) VALUES ('colorGroups', '[1,2]') "
                                           "ON DUPLICATE KEY UPDATE value = '[1,2]'")),
                 QString());
        for (const QString &error : {
                 rows->mark(t.tid, 256, linked, t0),
                 rows->mark(t.tid, 256, unlinked, t0),
                 rows->mark(t.tid, 256, 0, t0, QStringLiteral("U"), QStringLiteral("colorGroups"), setting),
                 rows->mark(t.tid, 256, 0, t0, QStringLiteral("U"), QStringLiteral("noSuchSetting"), setting),
             })
            QCOMPARE(error, QString());

        const QJsonObject res = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t)).res().toObject();
        QCOMPARE(res[QStringLiteral("grp")].toObject(), QJsonObject({ { QString::number(linked), 3 } }));
        QCOMPARE(res[QStringLiteral("vars")].toObject(), QJsonObject({ { QStringLiteral("colorGroups"), QStringLiteral("[1,2]") } }));

        const QJsonObject forced = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t, QStringLiteral("fs"))).res().toObject();
        QCOMPARE(forced[QStringLiteral("grp")].toObject(),
                 QJsonObject({ { QString::number(linked), 3 }, { QString::number(other), 8 } }));
        QCOMPARE(forced[QStringLiteral("vars")].toObject().keys(), strings({ "colorGroups" }));
    }

    // A terminal switched off between its check and its state read gets the
    // mask and its status, but no list.
    void inactiveTerminalGetsNoLists()
    {
        const Terminal t = rows->addTerm(2, 1, 0);
        const quint32 uid = rows->addPerson(QStringLiteral("Hidden"));
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

    // Entry records name the operation and its arguments; the condition list
    // of the person lists from level 3 on.
    void entryRecordsFollowTheDebugLevel()
    {
        const Terminal t = rows->addTerm(2 | 4, 0);
        const quint32 uid = rows->addPerson(QStringLiteral("Logged"));
        rows->link(uid, t.tid);
        harness->worker().setDebugLevel(3);
        const auto expect = [](const QString &pattern) {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QLatin1Char('^') + pattern));
        };
        expect(QStringLiteral("KelvoWorker::dbGetSync\\(tid=%1, force=1\\)$").arg(t.tid));
        expect(QStringLiteral("KelvoWorker::dbGetSyncPeople\\(%1, 1\\)$").arg(t.tid));
        expect(QStringLiteral("KelvoWorker::dbGetSyncPeople\\(%1, 0\\)$").arg(t.tid));
        expect(QStringLiteral("KelvoWorker::dbGetSyncSaldo\\(%1, 1\\)$").arg(t.tid));
        const Reply sync = send(QStringLiteral("GET"), path(QStringLiteral("sync"), t, QStringLiteral("fs")));
        expect(QStringLiteral("KelvoWorker::dbGetSaldo\\(%1, %2\\)$").arg(t.tid).arg(uid));
        expect(QStringLiteral("KelvoWorker::dbGetSaldo\\(\\) where:.*pt.uid=%1").arg(uid));
        const Reply saldo = send(QStringLiteral("GET"), path(QStringLiteral("saldo"), t, rows->personHash(uid)));
        expect(QStringLiteral("KelvoWorker::dbDeleteSync\\(%1, 1000, 2\\)$").arg(t.tid));
        const Reply confirm = send(QStringLiteral("DELETE"), path(QStringLiteral("sync"), t, WorkerHarness::hash(1000, 2)));
        harness->worker().setDebugLevel(0);
        QCOMPARE(sync.status, 200);
        QCOMPARE(saldo.json.value(QStringLiteral("count")).toInt(), 1);
        QCOMPARE(confirm.res(), QJsonValue(0));
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
        QTest::newRow("marker of the same second survives") << Markers { { 2, -1 }, { 2, 0 } } << 2u << 2u << 1 << 2u;
        QTest::newRow("bits 16 and above are cleared") << Markers { { 2, -1 }, { 2, 5 } } << 0x30002u << 2u << 1 << 2u;
        QTest::newRow("mask bit 16 is dropped") << Markers { { 1, -1 }, { 2, -1 } } << 3u << 0x10001u << 1 << 2u;
        QTest::newRow("mask of bit 16 alone confirms nothing") << Markers { { 1, -1 } } << 3u << 0x10000u << 0 << 1u;
        QTest::newRow("everything confirmed") << Markers { { 1, -3 }, { 2, -2 }, { 256, -1 } } << 259u << 259u << 3 << 0u;
        QTest::newRow("bit without any row") << Markers {} << 8u << 1u << 0 << 0u;
        QTest::newRow("two kinds at once") << Markers { { 1, -1 }, { 4, -1 }, { 8, -1 } } << 13u << 5u << 2 << 8u;
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

        const Reply r = send(QStringLiteral("DELETE"), path(QStringLiteral("sync"), t, WorkerHarness::hash(ts, mask)));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.res(), QJsonValue(deleted));
        QCOMPARE(rows->syn(t.tid), synAfter);
        QCOMPARE(rows->markers(t.tid), markers.size() - deleted);
        // Another terminal's markers and bits are never touched.
        QCOMPARE(rows->markers(neighbour.tid), markers.size());
        QCOMPARE(rows->syn(neighbour.tid), syn);
    }

    // ---- Unlinking persons and deleting entrances.

    void deletePerson()
    {
        const Terminal t = rows->addTerm();
        const Terminal other = rows->addTerm();
        const quint32 uid = rows->addPerson(QStringLiteral("Leaving"));
        rows->link(uid, t.tid);
        rows->link(uid, other.tid);
        const QString p = path(QStringLiteral("person"), t, rows->personHash(uid));

        const Reply first = send(QStringLiteral("DELETE"), p);
        QCOMPARE(first.status, 200);
        QCOMPARE(first.res(), QJsonValue(true));
        const Reply second = send(QStringLiteral("DELETE"), p);
        QCOMPARE(second.status, 208);
        QCOMPARE(second.res(), QJsonValue(false));
        QCOMPARE(rows->value(QStringLiteral("SELECT GROUP_CONCAT(tid) FROM people_term WHERE uid = %1").arg(uid)).toString(),
                 QString::number(other.tid));
    }

    void deleteEntrance()
    {
        const Terminal t = rows->addTerm();
        const quint32 own = rows->insert(
            QStringLiteral("INSERT INTO inters_data (tid, uid, iid, refId, type) VALUES (%1, %2, 1, 5, 'in')").arg(t.tid).arg(person));
        const auto del = [&](quint32 id) {
            return rows->value(QStringLiteral("SELECT del FROM inters_data WHERE id = %1").arg(id)).toInt();
        };

        // Another terminal's entrance passes the check but is not this terminal's to delete.
        const Reply foreign = send(QStringLiteral("DELETE"), path(QStringLiteral("entrance"), t, WorkerHarness::hash(foreignEntrance, 77)));
        QCOMPARE(foreign.status, 208);
        QCOMPARE(foreign.res(), QJsonValue(false));
        QCOMPARE(del(foreignEntrance), 0);

        const QString p = path(QStringLiteral("entrance"), t, WorkerHarness::hash(own, 5));
        const Reply first = send(QStringLiteral("DELETE"), p);
        QCOMPARE(first.status, 200);
        QCOMPARE(first.res(), QJsonValue(true));
        QCOMPARE(del(own), 1);
        QCOMPARE(rows->value(QStringLiteral("SELECT COUNT(*) FROM inters_data WHERE id = %1").arg(own)).toInt(), 1);
        const Reply again = send(QStringLiteral("DELETE"), p);
        QCOMPARE(again.status, 208);
        QCOMPARE(again.res(), QJsonValue(false));
    }

    // ---- SQL failures: 500 with the driver's text, the critical record, and
    // the answer still complete.

    void sqlFailures_data()
    {
        QTest::addColumn<QString>("dropped");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("third");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QStringList>("gathered"); // keys of "res" beside the error; empty: "res" is the error text

        QTest::newRow("settings missing: lists still sent") << "vars" << "GET" << "sync" << QString() << "dbGetVars"
                                                           << strings({ "grp", "people", "status", "sync" });
        QTest::newRow("types missing: forced lists go on") << "inters" << "GET" << "sync" << "fs" << "dbGetSyncInters"
                                                          << strings({ "grp", "inters", "lastId", "people", "status", "sync" });
        QTest::newRow("types missing: type list") << "inters" << "GET" << "inters" << QString() << "dbGetInter"
                                                  << QStringList();
        QTest::newRow("markers missing: confirmation") << "term_sync" << "DELETE" << "sync" << "confirm"
                                                       << "dbDeleteSync" << QStringList();
        QTest::newRow("entrances missing: delete entrance")
            << "inters_data" << "DELETE" << "entrance" << "entrance" << "dbCheckEntrance" << QStringList();
    }

    void sqlFailures()
    {
        QFETCH(QString, dropped);
        QFETCH(QString, method);
        QFETCH(QString, operation);
        QFETCH(QString, third);
        QFETCH(QString, logged);
        QFETCH(QStringList, gathered);

        TenantRows own(QStringLiteral("fail"));
        const Terminal t = own.addTerm(2 | 256, 1 | 2 | 256);
        const quint32 uid = own.addPerson(QStringLiteral("Kept"));
        own.link(uid, t.tid, 2);
        own.offer(own.addInter(QStringLiteral("Any"), 1), t.tid);
        own.mark(t.tid, 2, uid, nowSecs() - 10);
        QCOMPARE(own.exec(QStringLiteral("DROP TABLE `%1`").arg(dropped)), QString());

        QString item = third;
        if (third == QLatin1String("confirm"))
            item = WorkerHarness::hash(quint64(nowSecs()), 2);
        else if (third == QLatin1String("entrance"))
            item = WorkerHarness::hash(1, 1);
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^KelvoWorker::%1\\(\\) SQl ERROR: .*%2.*\nSQL: ")
                                                    .arg(logged, dropped),
                                                QRegularExpression::DotMatchesEverythingOption));
        WorkerHarness h;
        const Reply r = h.request(method, path(operation, t, item), own.token());
        if (gathered.isEmpty()) {
            // A failed entrance check reads as "not there".
            const bool notFound = logged == QLatin1String("dbCheckEntrance");
            QCOMPARE(r.status, notFound ? 404 : 500);
            QVERIFY2(notFound || r.res().toString().contains(dropped), qPrintable(r.res().toString()));
            QCOMPARE(own.syn(t.tid), 2u | 256u);
            return;
        }
        QCOMPARE(r.status, 500);
        QCOMPARE(r.err(), 500);
        const QJsonObject res = r.res().toObject();
        QCOMPARE(res.keys(), gathered);
        QCOMPARE(res[QStringLiteral("people")].toObject().keys(), QStringList({ QString::number(uid) }));
        QCOMPARE(res[QStringLiteral("grp")].toObject().size(), third.isEmpty() ? 0 : 1);
        if (res.contains(QStringLiteral("inters")))
            QVERIFY(res[QStringLiteral("inters")].toObject().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstDownload)
#include "tst_download.moc"
