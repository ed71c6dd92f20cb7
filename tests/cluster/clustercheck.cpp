// kelvo-cluster-check: the end-to-end check of scripts/cluster-test.sh on a
// running cluster. Terminals (threads) synchronise and confirm through the
// hosts in turn, SQL producers write markers through every node with the
// statements of tst_syncrace, entrances are sent through two hosts at once,
// and one node is stopped and started again in the middle. Afterwards it
// checks from the records of every answer that nothing was lost, delivered to
// the wrong terminal, delivered again after its confirmation or stored twice.
// Every thread has its own database connection and its own clients.
#include "httppluginworker.h"
#include "markersql.h"
#include "termclient.h"

#include <QAtomicInteger>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace MarkerSql;
// Kinds whose markers a terminal receives as keyed records (the rows name a uid).
const quint32 kinds[] = { 4, 8, 256 };
const std::pair<const char *, quint32> lists[]
    = { { "inters", 1 }, { "people", 2 }, { "saldo", 4 }, { "present", 8 }, { "grp", 256 } };

struct Options
{
    QStringList hosts, nodePorts;
    QString token, schema, clusterScript;
    int terminals = 6, persons = 6000, seconds = 40, outageNode = 3;
};

// A marker as the terminal sees it: its kind and the uid it names.
using Item = std::pair<quint32, quint32>;

QSqlDatabase connectNode(const QString &name, const QString &port, const QString &schema)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(port.toInt());
    db.setUserName(QStringLiteral("root"));
    db.setDatabaseName(schema);
    if (!db.open())
        std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(db.lastError().text()));
    return db;
}

// A certification failure or deadlock victim was rolled back whole: run it again.
bool run(const QSqlDatabase &db, const QString &sql, QString *error = nullptr)
{
    QSqlQuery query(db);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (query.exec(sql))
            return true;
        if (query.lastError().nativeErrorCode().toInt() != 1213)
            break;
    }
    if (error)
        *error = query.lastError().text();
    return false;
}

QString scalar(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    return query.exec(sql) && query.next() ? query.value(0).toString()
                                           : QStringLiteral("(error: %1)").arg(query.lastError().text());
}

// An answer is complete when it is HTTP with the envelope: a JSON object with "err" and "ver".
bool complete(const TermClient::Answer &a)
{
    return a.status != 0 && a.json.isObject() && a.json.toObject().contains(QStringLiteral("err"))
        && a.json.toObject().contains(QStringLiteral("ver"));
}

class Check
{
public:
    explicit Check(const Options &options)
        : o(options)
        , terms(size_t(o.terminals))
        , produced(size_t(o.terminals))
    { }

    int exec();

private:
    // One terminal's record of what it received and confirmed.
    struct Delivery
    {
        qint64 createdBound = 0; // the marker was created at or before this time
        bool confirmed = false; // a confirmation after it deleted it
    };
    struct Terminal
    {
        std::map<Item, Delivery> received;
        int answers = 0;
    };

    bool setUp();
    void produce(int node);
    void terminal(int index, bool drain);
    bool syncOnce(int index, int host, bool *empty);
    void entrances();
    void outage();
    void verify();

    TermClient client(int host) const { return TermClient(QUrl(o.hosts.at(host)), o.token, false, 60000); }
    bool running() const { return clock.elapsed() < o.seconds * 1000; }
    void fail(const QString &line);
    // Records a failed or incomplete answer unless its host may fail now.
    bool accept(const TermClient::Answer &a, int host, const char *what);
    void say(const QString &line) const
    {
        std::printf("[%5.1f s] %s\n", clock.elapsed() / 1000.0, qPrintable(line));
    }

    const Options o;
    QElapsedTimer clock;
    QMutex failMutex;
    QStringList failures;
    // While a node is away (or not yet serving again) its host may answer
    // errors; every other answer must be a success.
    QAtomicInteger<int> awayHost { -1 };
    QAtomicInteger<bool> pauseProducer { false }, producerParked { false };
    QAtomicInteger<int> expectedErrors, producerOps;
    std::vector<Terminal> terms;
    // Produced markers per terminal, filled by the producers.
    QMutex producedMutex;
    std::vector<std::set<Item>> produced;
    // Entrances: (tid, refId) -> eid of every success answer, and the number of 201 answers.
    QMutex entranceMutex;
    std::map<Item, QSet<quint32>> entranceIds;
    std::map<Item, int> created;
};

void Check::fail(const QString &line)
{
    const QMutexLocker lock(&failMutex);
    if (failures.size() < 50)
        std::fprintf(stderr, "FAIL: %s\n", qPrintable(line));
    failures << line;
}

bool Check::accept(const TermClient::Answer &a, int host, const char *what)
{
    if (complete(a) && !a.failed())
        return true;
    if (complete(a) && host == awayHost.loadAcquire())
        ++expectedErrors;
    else
        fail(QStringLiteral("%1 through host %2: HTTP %3 %4 %5")
                 .arg(QLatin1String(what))
                 .arg(host + 1)
                 .arg(a.status)
                 .arg(a.error, QString::fromUtf8(a.body.left(200))));
    return false;
}

bool Check::setUp()
{
    const QSqlDatabase db = connectNode(QStringLiteral("setup"), o.nodePorts.first(), o.schema);
    QStringList terms, people, links;
    for (int tid = 1; tid <= o.terminals; ++tid)
        terms << QStringLiteral("(%1, %2, 1, 'C', 'DSK')").arg(tid).arg(900 + tid);
    for (int uid = 1; uid <= o.persons; ++uid) {
        people << QStringLiteral("(%1, %2, 1, 'P')").arg(uid).arg(uid);
        for (int tid = 1; tid <= o.terminals; ++tid)
            links << QStringLiteral("(%1, %2)").arg(uid).arg(tid);
    }
    const QLatin1Char comma(',');
    QString error;
    // One interruption type, so that a host's health is a 200 for terminal 1.
    for (const QString &sql :
        { QStringLiteral("INSERT INTO term (tid, vornID, status, name, type) VALUES ") + terms.join(comma),
            QStringLiteral("INSERT INTO people (uid, pid, status, name) VALUES ") + people.join(comma),
            QStringLiteral("INSERT INTO people_term (uid, tid) VALUES ") + links.join(comma),
            QStringLiteral("INSERT INTO inters (iid, name) VALUES (1, 'Work')"),
            QStringLiteral("INSERT INTO inters_term (iid, tid) VALUES (1, 1)") }) {
        if (!run(db, sql, &error)) {
            std::fprintf(stderr, "set-up failed: %s\n", qPrintable(error));
            return false;
        }
    }
    // The producers start on every node at once: each node must hold the links
    // first, whatever the nodes' wsrep_sync_wait (a causal read waits for them).
    for (int node = 0; node < o.nodePorts.size(); ++node) {
        const QString name = QStringLiteral("setup%1").arg(node);
        QString count;
        {
            const QSqlDatabase other = connectNode(name, o.nodePorts.at(node), o.schema);
            run(other, QStringLiteral("SET SESSION wsrep_sync_wait = 1"));
            count = scalar(other, QStringLiteral("SELECT COUNT(*) FROM people_term"));
        }
        QSqlDatabase::removeDatabase(name);
        if (count.toInt() != links.size()) {
            std::fprintf(
                stderr, "node %d holds %s links of %d\n", node + 1, qPrintable(count), int(links.size()));
            return false;
        }
    }
    return true;
}

// Producer `node` writes through its own node with uids of its own range, so
// that every marker names a uid that no other marker of its terminal names.
void Check::produce(int node)
{
    const QString name = QStringLiteral("producer%1").arg(node);
    const bool parks = node == o.outageNode - 1;
    {
        QSqlDatabase db = connectNode(name, o.nodePorts.at(node), o.schema);
        QRandomGenerator random(100 + node);
        const int share = o.persons / o.nodePorts.size();
        for (int uid = 1 + node * share; running() && uid <= (node + 1) * share;) {
            if (parks && pauseProducer.loadAcquire()) {
                // Parked between two operations, so that none is cut in half;
                // a new connection once the node is back.
                db.close();
                producerParked = true;
                while (pauseProducer.loadAcquire())
                    QThread::msleep(50);
                producerParked = false;
                if (!db.open())
                    fail(QStringLiteral("producer %1 cannot connect again: %2")
                             .arg(node + 1)
                             .arg(db.lastError().text()));
                continue;
            }
            const quint32 tid = 1 + random.bounded(o.terminals);
            QString error;
            std::vector<std::pair<quint32, Item>> made;
            bool ok;
            if (random.bounded(2) == 0) {
                ok = run(db, personRowsSql.arg(uid).arg(tid), &error)
                    && run(db, personBitsSql.arg(uid).arg(tid), &error);
                for (int other = 1; other <= o.terminals; ++other)
                    if (quint32(other) != tid)
                        made.push_back({ quint32(other), { 2, quint32(uid) } });
            } else {
                const quint32 kind = kinds[random.bounded(int(std::size(kinds)))];
                ok = run(db, kindRowSql.arg(tid).arg(uid).arg(kind), &error)
                    && run(db, kindBitSql.arg(tid).arg(kind), &error);
                made.push_back({ tid, { kind, quint32(uid) } });
            }
            if (!ok) {
                // Not recorded as produced: the failure itself fails the run.
                fail(QStringLiteral("producer %1: %2").arg(node + 1).arg(error));
                QThread::msleep(200);
                continue;
            }
            {
                const QMutexLocker lock(&producedMutex);
                for (const auto &[t, item] : made)
                    produced[t - 1].insert(item);
            }
            ++producerOps;
            ++uid;
            QThread::msleep(5);
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (parks)
        producerParked = true; // done: the node may go
}

// One GET "sync" and, when it delivered lists, its confirmation through the next host.
bool Check::syncOnce(int index, int host, bool *empty)
{
    Terminal &t = terms[size_t(index)];
    const quint32 tid = quint32(index + 1);
    const QString term = HttpPluginWorker::encodeHash(tid, 900 + tid);
    const TermClient::Answer a = client(host).send(QStringLiteral("GET"), QStringLiteral("sync/") + term);
    ++t.answers;
    if (!accept(a, host, "GET sync"))
        return false;
    const qint64 st = a.json[QStringLiteral("st")].toVariant().toLongLong();
    const QJsonValue res = a.json[QStringLiteral("res")];
    *empty = !res.isObject();
    quint32 mask = 0;
    for (const auto &[key, kind] : lists) {
        const QJsonObject records = res[QLatin1String(key)].toObject();
        mask |= res[QLatin1String(key)].isObject() ? kind : 0;
        for (auto it = records.begin(); it != records.end(); ++it) {
            const Item item { kind, it.key().toUInt() };
            const auto found = t.received.find(item);
            if (found != t.received.end() && found->second.confirmed)
                fail(QStringLiteral("terminal %1: %2 %3 delivered again after its confirmation")
                         .arg(tid)
                         .arg(QLatin1String(key))
                         .arg(item.second));
            // The person list carries the marker's time; for the others, the
            // marker was committed before the list was read, which began at st.
            if (found == t.received.end())
                t.received.emplace(item,
                    Delivery {
                        kind == 2 ? it.value()[QStringLiteral("tsc")].toVariant().toLongLong() : st + 2,
                        false });
        }
    }
    if (*empty)
        return true;
    // Confirm what was delivered, one second before st, through the next host.
    const qint64 ts = st - 1;
    for (int attempt = 0; attempt < o.hosts.size() * 20; ++attempt) {
        const int via = (host + 1 + attempt) % o.hosts.size();
        ++t.answers;
        if (accept(client(via).send(QStringLiteral("DELETE"),
                       QStringLiteral("sync/%1/%2").arg(term, HttpPluginWorker::encodeHash(ts, mask))),
                via, "DELETE sync")) {
            for (auto &[item, delivery] : t.received)
                delivery.confirmed
                    = delivery.confirmed || ((item.first & mask) && delivery.createdBound < ts);
            return true;
        }
        QThread::msleep(100);
    }
    fail(QStringLiteral("terminal %1: no host took the confirmation").arg(tid));
    return false;
}

// While the run lasts; when draining, until the terminal has nothing pending
// (every marker is older than st - 1 by then).
void Check::terminal(int index, bool drain)
{
    int host = index % o.hosts.size();
    for (int round = 0; drain ? round < 20 : running(); ++round) {
        bool empty = false;
        if (syncOnce(index, host, &empty) && empty && drain)
            return;
        host = (host + 1) % o.hosts.size();
        QThread::msleep(drain ? 200 : 20);
    }
    if (drain)
        fail(QStringLiteral("terminal %1 still has pending changes after 20 rounds").arg(index + 1));
}

// Each entrance goes through two hosts at the same moment; an error answer is
// resent (through the same two hosts) until one of them answers.
void Check::entrances()
{
    QRandomGenerator random(7);
    for (quint32 refId = 1; running(); ++refId) {
        const quint32 tid = 1 + random.bounded(o.terminals);
        const int first = random.bounded(o.hosts.size());
        const int hosts[] = { first, (first + 1 + random.bounded(o.hosts.size() - 1)) % o.hosts.size() };
        const QJsonObject body { { QStringLiteral("refId"), double(refId) }, { QStringLiteral("uid"), 1 },
            { QStringLiteral("iid"), 1 }, { QStringLiteral("type"), QStringLiteral("in") } };
        const QString path = QStringLiteral("entrance/") + HttpPluginWorker::encodeHash(tid, 900 + tid);
        bool stored = false;
        for (int attempt = 0; attempt < 20 && !stored; ++attempt) {
            TermClient::Answer answers[2];
            std::thread other(
                [&] { answers[1] = client(hosts[1]).send(QStringLiteral("POST"), path, body); });
            answers[0] = client(hosts[0]).send(QStringLiteral("POST"), path, body);
            other.join();
            const QMutexLocker lock(&entranceMutex);
            for (int i = 0; i < 2; ++i) {
                if (!accept(answers[i], hosts[i], "POST entrance"))
                    continue;
                stored = true;
                entranceIds[{ tid, refId }].insert(
                    answers[i].json[QStringLiteral("res")][QStringLiteral("eid")].toVariant().toUInt());
                created[{ tid, refId }] += answers[i].status == 201;
                if (answers[i].status != 201 && answers[i].status != 208)
                    fail(QStringLiteral("entrance answered %1").arg(answers[i].status));
            }
            if (!stored)
                QThread::msleep(100);
        }
        QThread::msleep(20);
    }
}

// The node goes away a third into the run and comes back after another
// quarter; its host must answer errors meanwhile and serve again after.
void Check::outage()
{
    const int host = o.outageNode - 1;
    const QString node = QString::number(o.outageNode);
    const auto probe = [&] {
        return client(host).send(
            QStringLiteral("GET"), QStringLiteral("inters/") + HttpPluginWorker::encodeHash(1, 901));
    };
    while (clock.elapsed() < o.seconds * 1000 / 3)
        QThread::msleep(100);
    pauseProducer = true;
    while (!producerParked.loadAcquire() && running())
        QThread::msleep(20);
    awayHost = host;
    say(QStringLiteral("stopping node ") + node);
    if (QProcess::execute(o.clusterScript, { QStringLiteral("stop-node"), node }) != 0)
        fail(QStringLiteral("could not stop node ") + node);
    const TermClient::Answer a = probe();
    say(QStringLiteral("node %1 stopped; its host answers HTTP %2").arg(node).arg(a.status));
    if (!complete(a) || !a.failed())
        fail(QStringLiteral("host %1 without its node: HTTP %2 %3").arg(host + 1).arg(a.status).arg(a.error));
    while (clock.elapsed() < o.seconds * 1000 * 7 / 12)
        QThread::msleep(100);
    say(QStringLiteral("starting node ") + node);
    if (QProcess::execute(o.clusterScript, { QStringLiteral("start-node"), node }) != 0)
        fail(QStringLiteral("could not start node ") + node);
    QElapsedTimer wait;
    wait.start();
    bool back = false;
    while (!back && wait.elapsed() < 60000) {
        const TermClient::Answer b = probe();
        back = complete(b) && b.status == 200;
        if (!back)
            QThread::msleep(200);
    }
    say(QStringLiteral("node %1 synced; host %2 serves again: %3")
            .arg(node)
            .arg(host + 1)
            .arg(QLatin1String(back ? "yes" : "NO")));
    if (!back)
        fail(QStringLiteral("host %1 did not recover within 60 s").arg(host + 1));
    awayHost = -1;
    pauseProducer = false;
}

void Check::verify()
{
    const QSqlDatabase db = connectNode(QStringLiteral("verify"), o.nodePorts.first(), o.schema);
    int producedCount = 0, receivedCount = 0;
    for (int i = 0; i < o.terminals; ++i) {
        const std::set<Item> &made = produced[size_t(i)];
        const std::map<Item, Delivery> &got = terms[size_t(i)].received;
        producedCount += int(made.size());
        receivedCount += int(got.size());
        for (const Item &item : made)
            if (!got.count(item))
                fail(QStringLiteral("terminal %1: marker kind %2 uid %3 never delivered")
                         .arg(i + 1)
                         .arg(item.first)
                         .arg(item.second));
        for (const auto &[item, delivery] : got)
            if (!made.count(item))
                fail(QStringLiteral("terminal %1: kind %2 uid %3 delivered but produced for another terminal")
                         .arg(i + 1)
                         .arg(item.first)
                         .arg(item.second));
    }
    const QString left = scalar(db,
        QStringLiteral(
            "SELECT CONCAT(COUNT(*), ' markers, syn ', (SELECT BIT_OR(syn) FROM term)) FROM term_sync"));
    std::printf("markers: %d produced (%d operations), %d delivered; after the drain: %s\n", producedCount,
        int(producerOps), receivedCount, qPrintable(left));
    if (left != QStringLiteral("0 markers, syn 0"))
        fail(QStringLiteral("after the drain: ") + left);

    int rows = 0;
    for (const auto &[key, ids] : entranceIds) {
        const QString entrance = QStringLiteral("entrance %1.%2").arg(key.first).arg(key.second);
        const QString stored = scalar(db,
            QStringLiteral("SELECT GROUP_CONCAT(id) FROM inters_data WHERE tid = %1 AND refId = %2")
                .arg(key.first)
                .arg(key.second));
        if (ids.size() != 1 || stored != QString::number(*ids.begin()))
            fail(QStringLiteral("%1: answered eids %2, stored %3").arg(entrance).arg(ids.size()).arg(stored));
        if (created[key] > 1)
            fail(QStringLiteral("%1 answered 201 %2 times").arg(entrance).arg(created[key]));
        rows += created[key];
    }
    const int tableRows = scalar(db, QStringLiteral("SELECT COUNT(*) FROM inters_data")).toInt();
    std::printf("entrances: %d sent in pairs, %d stored (%d answers 201), ids modulo 3: %s\n",
        int(entranceIds.size()), tableRows, rows,
        qPrintable(scalar(
            db, QStringLiteral("SELECT GROUP_CONCAT(DISTINCT id % 3 ORDER BY id % 3) FROM inters_data"))));
    if (tableRows != int(entranceIds.size()))
        fail(QStringLiteral("%1 entrances stored for %2 sent").arg(tableRows).arg(entranceIds.size()));
}

int Check::exec()
{
    if (!setUp())
        return 2;
    clock.start();
    std::vector<std::thread> threads;
    for (int node = 0; node < o.nodePorts.size(); ++node)
        threads.emplace_back([this, node] { produce(node); });
    for (int i = 0; i < o.terminals; ++i)
        threads.emplace_back([this, i] { terminal(i, false); });
    threads.emplace_back([this] { entrances(); });
    if (o.outageNode > 0)
        threads.emplace_back([this] { outage(); });
    for (auto &thread : threads)
        thread.join();
    threads.clear();
    {
        // Every kind that still has a marker has its bit.
        const QSqlDatabase db = connectNode(QStringLiteral("bits"), o.nodePorts.first(), o.schema);
        const QString lost = scalar(db,
            QStringLiteral(
                "SELECT COALESCE(GROUP_CONCAT('tid ', tid, ': syn ', syn, ', markers ', kinds SEPARATOR '; "
                "'), "
                "'none') FROM (SELECT t.tid, t.syn, BIT_OR(s.flags) kinds FROM term t JOIN term_sync s "
                "USING(tid) GROUP BY t.tid, t.syn HAVING BIT_OR(s.flags) & ~t.syn <> 0) lost"));
        say(QStringLiteral("run over; kinds with markers but no bit: ") + lost);
        if (lost != QStringLiteral("none"))
            fail(QStringLiteral("lost bits: ") + lost);
    }
    QThread::sleep(2); // the drain's st - 1 must lie after every marker's time
    for (int i = 0; i < o.terminals; ++i)
        threads.emplace_back([this, i] { terminal(i, true); });
    for (auto &thread : threads)
        thread.join();
    verify();
    int answers = 0;
    for (const Terminal &t : terms)
        answers += t.answers;
    std::printf("terminal requests %d, error answers while the node was away %d\n%s: %d failures\n", answers,
        int(expectedErrors), failures.isEmpty() ? "PASS" : "FAIL", int(failures.size()));
    return failures.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("End-to-end check of the sync guarantees on a cluster"));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"),
        QStringLiteral("a host's URL (…/kelvo), once per host"), QStringLiteral("URL"));
    const QCommandLineOption node(QStringLiteral("node"),
        QStringLiteral("a node's port on 127.0.0.1 (user root), once per node, in host order"),
        QStringLiteral("PORT"));
    const QCommandLineOption token(
        QStringLiteral("token"), QStringLiteral("tenant token"), QStringLiteral("TOKEN"));
    const QCommandLineOption schema(
        QStringLiteral("schema"), QStringLiteral("the tenant's empty schema"), QStringLiteral("NAME"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("length of the run"),
        QStringLiteral("S"), QStringLiteral("40"));
    const QCommandLineOption outage(QStringLiteral("outage-node"),
        QStringLiteral("node stopped and started in the middle (0: none)"), QStringLiteral("N"),
        QStringLiteral("3"));
    const QCommandLineOption script(
        QStringLiteral("cluster-script"), QStringLiteral("scripts/cluster.sh"), QStringLiteral("PATH"));
    parser.addOptions({ host, node, token, schema, seconds, outage, script });
    parser.process(app);
    Options o;
    o.hosts = parser.values(host);
    o.nodePorts = parser.values(node);
    o.token = parser.value(token);
    o.schema = parser.value(schema);
    o.seconds = qBound(5, parser.value(seconds).toInt(), 600);
    o.outageNode = parser.value(outage).toInt();
    o.clusterScript = parser.value(script);
    if (o.hosts.size() < 2 || o.hosts.size() != o.nodePorts.size() || o.token.isEmpty() || o.schema.isEmpty()
        || o.outageNode < 0 || o.outageNode > o.hosts.size() || (o.outageNode && o.clusterScript.isEmpty())) {
        std::fprintf(stderr,
            "kelvo-cluster-check: give --host and --node for each node, --token, --schema and "
            "--cluster-script\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Check(o).exec();
}
