// kelvo-cluster-check: what scripts/cluster-test.sh runs on a cluster of
// nodes with one host each. Terminals synchronise and confirm through the
// hosts in turn while producers write markers through every node, each
// entrance goes through two hosts at once, and one node is stopped and
// started again in the middle. Then every marker must have reached its
// terminal and no other, none again after its confirmation, and every
// entrance be stored once under the one id its answers named.
#include "httppluginworker.h"
#include "markersql.h"
#include "termclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

namespace {

constexpr int terminals = 6;
constexpr int persons = 6000;
// A marker as a terminal sees it: its kind and the uid it names.
using Item = std::pair<quint32, quint32>;
const quint32 keyedKinds[] = { 4, 8, 256 }; // besides persons: markers whose rows name a uid
const std::pair<const char *, quint32> lists[]
    = { { "inters", 1 }, { "people", 2 }, { "saldo", 4 }, { "present", 8 }, { "grp", 256 } };

QString terminalHash(quint32 tid)
{
    return HttpPluginWorker::encodeHash(tid, 900 + tid);
}

class Check
{
public:
    QStringList hosts, nodes;
    QString token, schema, clusterScript;
    int seconds = 40;
    int outageNode = 3;

    int exec();

private:
    // What a terminal received: the latest time its marker can carry, and
    // whether a confirmation deleted that marker since.
    struct Delivery
    {
        qint64 createdBound = 0;
        bool confirmed = false;
    };

    QSqlDatabase connect(const QString &name, int node) const;
    bool run(const QSqlDatabase &db, const QString &sql);
    static QString scalar(const QSqlDatabase &db, const QString &sql);
    TermClient::Answer send(
        int host, const char *method, const QString &path, const QJsonObject &body = {}) const
    {
        return TermClient(QUrl(hosts.at(host)), token, false, 60000)
            .send(QString::fromLatin1(method), path, body);
    }
    bool accept(const TermClient::Answer &a, int host, const char *what);
    void fail(const QString &line);
    bool running() const { return clock.elapsed() < seconds * 1000; }
    bool setUp();
    void produce(int node);
    bool syncOnce(int index, int host, bool *empty);
    void terminal(int index, bool drain);
    void entrances();
    void outage();
    void verify();

    QElapsedTimer clock;
    QMutex mutex; // failures, produced and the entrance records
    QStringList failures;
    // While a node is away (or not serving again yet) its host may answer errors.
    std::atomic<int> awayHost { -1 }, expectedErrors { 0 };
    std::atomic<bool> pauseProducer { false }, producerParked { false };
    std::set<Item> produced[terminals];
    std::map<Item, Delivery> received[terminals]; // each terminal's thread its own
    // (tid, refId) -> the eids its success answers named, and how many said 201.
    std::map<Item, std::set<quint32>> entranceIds;
    std::map<Item, int> created;
};

QSqlDatabase Check::connect(const QString &name, int node) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(nodes.at(node).toInt());
    db.setUserName(QStringLiteral("root"));
    db.setDatabaseName(schema);
    db.open(); // a failure shows in the first statement
    return db;
}

// A certification failure or deadlock victim was rolled back whole: run it again.
bool Check::run(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (query.exec(sql))
            return true;
        if (query.lastError().nativeErrorCode().toInt() != 1213)
            break;
    }
    fail(query.lastError().text() + QStringLiteral(" in ") + sql.left(80));
    return false;
}

QString Check::scalar(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    return query.exec(sql) && query.next() ? query.value(0).toString() : query.lastError().text();
}

void Check::fail(const QString &line)
{
    const QMutexLocker lock(&mutex);
    if (failures.size() < 50)
        std::fprintf(stderr, "FAIL: %s\n", qPrintable(line));
    failures << line;
}

// A complete answer (the envelope with "err" and "ver") that succeeded; a
// failed one is expected only from the host whose node is away.
bool Check::accept(const TermClient::Answer &a, int host, const char *what)
{
    const QJsonObject envelope = a.json.toObject();
    const bool complete = a.status != 0 && envelope.contains(QStringLiteral("err"))
        && envelope.contains(QStringLiteral("ver"));
    if (complete && !a.failed())
        return true;
    if (complete && host == awayHost)
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
    const QSqlDatabase db = connect(QStringLiteral("setup"), 0);
    // One interruption type, so that a host serving again answers terminal 1's list with 200.
    for (const char *sql : { "INSERT INTO term (tid, vornID, status, name, type) "
                             "SELECT seq, 900 + seq, 1, 'C', 'DSK' FROM seq_1_to_%1",
             "INSERT INTO people (uid, pid, status, name) SELECT seq, seq, 1, 'P' FROM seq_1_to_%2",
             "INSERT INTO people_term (uid, tid) SELECT p.seq, t.seq FROM seq_1_to_%2 p JOIN seq_1_to_%1 t",
             "INSERT INTO inters (iid, name) VALUES (1, 'Work')",
             "INSERT INTO inters_term (iid, tid) VALUES (1, 1)" })
        if (!run(db,
                QString::fromLatin1(sql)
                    .replace(QStringLiteral("%1"), QString::number(terminals))
                    .replace(QStringLiteral("%2"), QString::number(persons))))
            return false;
    // The producers start on every node at once: each node must hold the links first.
    for (int node = 0; node < nodes.size(); ++node) {
        const QSqlDatabase other = connect(QStringLiteral("setup%1").arg(node), node);
        if (!run(other, QStringLiteral("SET SESSION wsrep_sync_wait = 1"))
            || scalar(other, QStringLiteral("SELECT COUNT(*) FROM people_term")).toInt()
                != terminals * persons) {
            fail(QStringLiteral("node %1 does not hold the links").arg(node + 1));
            return false;
        }
    }
    return true;
}

// Producer `node` writes through its own node with uids of its own range, so
// that no two markers of one terminal name the same uid. The producer of the
// node that goes away stops between two operations before it goes.
void Check::produce(int node)
{
    QSqlDatabase db = connect(QStringLiteral("producer%1").arg(node), node);
    QRandomGenerator random(100 + node);
    const int share = persons / nodes.size();
    for (int uid = 1 + node * share; running() && uid <= (node + 1) * share; ++uid) {
        if (node == outageNode - 1 && pauseProducer)
            break;
        const quint32 tid = 1 + random.bounded(terminals);
        std::set<std::pair<quint32, Item>> made;
        if (random.bounded(2) == 0) {
            if (!run(db, MarkerSql::personRowsSql.arg(uid).arg(tid))
                || !run(db, MarkerSql::personBitsSql.arg(uid).arg(tid)))
                continue;
            for (quint32 other = 1; other <= terminals; ++other)
                if (other != tid)
                    made.insert({ other, { 2, quint32(uid) } });
        } else {
            const quint32 kind = keyedKinds[random.bounded(3)];
            if (!run(db, MarkerSql::kindRowSql.arg(tid).arg(uid).arg(kind))
                || !run(db, MarkerSql::kindBitSql.arg(tid).arg(kind)))
                continue;
            made.insert({ tid, { kind, quint32(uid) } });
        }
        const QMutexLocker lock(&mutex);
        for (const auto &[t, item] : made)
            produced[t - 1].insert(item);
    }
    producerParked = true; // the node may go
}

// One GET "sync" and, when it delivered lists, their confirmation through the next host that takes it.
bool Check::syncOnce(int index, int host, bool *empty)
{
    const quint32 tid = quint32(index + 1);
    const TermClient::Answer a = send(host, "GET", QStringLiteral("sync/") + terminalHash(tid));
    if (!accept(a, host, "GET sync"))
        return false;
    const qint64 st = a.json[QStringLiteral("st")].toVariant().toLongLong();
    const QJsonValue res = a.json[QStringLiteral("res")];
    *empty = !res.isObject();
    quint32 mask = 0;
    for (const auto &[key, kind] : lists) {
        mask |= res[QLatin1String(key)].isObject() ? kind : 0;
        const QJsonObject records = res[QLatin1String(key)].toObject();
        for (auto it = records.begin(); it != records.end(); ++it) {
            const auto [found, first] = received[index].try_emplace({ kind, it.key().toUInt() });
            if (!first && found->second.confirmed)
                fail(QStringLiteral("terminal %1: %2 %3 delivered again after its confirmation")
                         .arg(tid)
                         .arg(QLatin1String(key), it.key()));
            // The person list carries the marker's time; the other markers
            // were committed before their list was read, which began at st.
            if (first)
                found->second.createdBound
                    = kind == 2 ? it.value()[QStringLiteral("tsc")].toVariant().toLongLong() : st + 2;
        }
    }
    if (*empty)
        return true;
    const qint64 ts = st - 1;
    const QString confirm
        = QStringLiteral("sync/%1/%2").arg(terminalHash(tid), HttpPluginWorker::encodeHash(ts, mask));
    for (int attempt = 0; attempt < hosts.size() * 20; ++attempt) {
        const int via = (host + 1 + attempt) % hosts.size();
        if (accept(send(via, "DELETE", confirm), via, "DELETE sync")) {
            for (auto &[item, delivery] : received[index])
                delivery.confirmed
                    = delivery.confirmed || ((item.first & mask) && delivery.createdBound < ts);
            return true;
        }
        QThread::msleep(100);
    }
    fail(QStringLiteral("terminal %1: no host took the confirmation").arg(tid));
    return false;
}

// While the run lasts; when draining, until the terminal has nothing pending.
void Check::terminal(int index, bool drain)
{
    int host = index % hosts.size();
    for (int round = 0; drain ? round < 50 : running(); ++round, host = (host + 1) % hosts.size()) {
        bool empty = false;
        if (syncOnce(index, host, &empty) && empty && drain)
            return;
        QThread::msleep(drain ? 200 : 20);
    }
    if (drain)
        fail(QStringLiteral("terminal %1 still has pending changes after 50 rounds").arg(index + 1));
}

// Each entrance goes through two hosts at the same moment, again until one of them takes it.
void Check::entrances()
{
    QRandomGenerator random(7);
    for (quint32 refId = 1; running(); ++refId) {
        const quint32 tid = 1 + random.bounded(terminals);
        const int first = random.bounded(hosts.size());
        const int pair[] = { first, (first + 1 + random.bounded(hosts.size() - 1)) % hosts.size() };
        const QJsonObject body { { QStringLiteral("refId"), double(refId) }, { QStringLiteral("uid"), 1 },
            { QStringLiteral("iid"), 1 }, { QStringLiteral("type"), QStringLiteral("in") } };
        const QString path = QStringLiteral("entrance/") + terminalHash(tid);
        bool stored = false;
        for (int attempt = 0; attempt < 20 && !stored; ++attempt) {
            TermClient::Answer answers[2];
            std::thread other([&] { answers[1] = send(pair[1], "POST", path, body); });
            answers[0] = send(pair[0], "POST", path, body);
            other.join();
            for (int i = 0; i < 2; ++i) {
                if (!accept(answers[i], pair[i], "POST entrance"))
                    continue;
                stored = true;
                const QMutexLocker lock(&mutex);
                entranceIds[{ tid, refId }].insert(
                    answers[i].json[QStringLiteral("res")][QStringLiteral("eid")].toVariant().toUInt());
                created[{ tid, refId }] += answers[i].status == 201;
            }
        }
    }
}

// The node goes away a third into the run and comes back after another
// quarter; its host answers errors meanwhile and serves again after.
void Check::outage()
{
    const int host = outageNode - 1;
    const QString node = QString::number(outageNode);
    const auto probe = [&] { return send(host, "GET", QStringLiteral("inters/") + terminalHash(1)); };
    while (clock.elapsed() < seconds * 1000 / 3)
        QThread::msleep(100);
    pauseProducer = true;
    while (!producerParked && running())
        QThread::msleep(20);
    awayHost = host;
    if (QProcess::execute(clusterScript, { QStringLiteral("stop-node"), node }) != 0
        || accept(probe(), host, "GET inters without its node"))
        fail(QStringLiteral("node %1 did not stop, or its host still serves").arg(node));
    while (clock.elapsed() < seconds * 1000 * 7 / 12)
        QThread::msleep(100);
    QProcess::execute(clusterScript, { QStringLiteral("start-node"), node });
    QElapsedTimer wait;
    wait.start();
    bool back = false;
    while (!(back = probe().status == 200) && wait.elapsed() < 60000)
        QThread::msleep(200);
    if (!back)
        fail(QStringLiteral("host %1 did not serve again within 60 s").arg(host + 1));
    awayHost = -1;
}

void Check::verify()
{
    int producedCount = 0;
    for (int i = 0; i < terminals; ++i) {
        producedCount += int(produced[i].size());
        const auto marker = [i](const Item &item) {
            return QStringLiteral("terminal %1: kind %2 uid %3").arg(i + 1).arg(item.first).arg(item.second);
        };
        for (const auto &[item, delivery] : received[i])
            if (!produced[i].erase(item))
                fail(marker(item) + QStringLiteral(" delivered, not produced for it"));
        for (const Item &item : produced[i])
            fail(marker(item) + QStringLiteral(" never delivered"));
    }
    const QSqlDatabase db = connect(QStringLiteral("verify"), 0);
    const QString left = scalar(db,
        QStringLiteral(
            "SELECT CONCAT(COUNT(*), ' markers, syn ', (SELECT BIT_OR(syn) FROM term)) FROM term_sync"));
    std::printf("markers: %d produced and delivered; after the drain: %s\n", producedCount, qPrintable(left));
    if (left != QStringLiteral("0 markers, syn 0"))
        fail(QStringLiteral("after the drain: ") + left);

    for (const auto &[key, ids] : entranceIds) {
        const QString stored = scalar(db,
            QStringLiteral("SELECT GROUP_CONCAT(id) FROM inters_data WHERE tid = %1 AND refId = %2")
                .arg(key.first)
                .arg(key.second));
        if (ids.size() != 1 || stored != QString::number(*ids.begin()) || created[key] > 1)
            fail(QStringLiteral("entrance %1.%2: %3 eids answered, %4 times 201, stored as %5")
                     .arg(key.first)
                     .arg(key.second)
                     .arg(ids.size())
                     .arg(created[key])
                     .arg(stored));
    }
    const QString rows = scalar(db, QStringLiteral("SELECT COUNT(*) FROM inters_data"));
    std::printf("entrances: %d sent in pairs, %s stored\n", int(entranceIds.size()), qPrintable(rows));
    if (rows.toInt() != int(entranceIds.size()))
        fail(QStringLiteral("%1 entrances stored for %2 sent").arg(rows).arg(entranceIds.size()));
}

int Check::exec()
{
    if (!setUp())
        return 2;
    clock.start();
    std::vector<std::thread> threads;
    for (int node = 0; node < nodes.size(); ++node)
        threads.emplace_back([this, node] { produce(node); });
    for (int i = 0; i < terminals; ++i)
        threads.emplace_back([this, i] { terminal(i, false); });
    threads.emplace_back([this] { entrances(); });
    if (outageNode > 0)
        threads.emplace_back([this] { outage(); });
    for (auto &thread : threads)
        thread.join();
    threads.clear();
    for (int i = 0; i < terminals; ++i)
        threads.emplace_back([this, i] { terminal(i, true); });
    for (auto &thread : threads)
        thread.join();
    verify();
    std::printf("error answers while the node was away: %d\n%s: %d failures\n", int(expectedErrors),
        failures.isEmpty() ? "PASS" : "FAIL", int(failures.size()));
    return failures.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // --host URL (.../kelvo) and --node PORT (on 127.0.0.1, user root) once per node in the same order,
    // --token, --schema (the tenant's, empty), --seconds, --outage-node (0: none), --cluster-script.
    QHash<QString, QStringList> options;
    for (int i = 1; i + 1 < app.arguments().size(); i += 2)
        options[app.arguments().at(i)] << app.arguments().at(i + 1);
    const auto last = [&](const char *name, const char *byDefault = "") {
        return options.value(QString::fromLatin1(name), { QString::fromLatin1(byDefault) }).constLast();
    };
    Check check;
    check.hosts = options.value(QStringLiteral("--host"));
    check.nodes = options.value(QStringLiteral("--node"));
    check.token = last("--token");
    check.schema = last("--schema");
    check.seconds = qBound(5, last("--seconds", "40").toInt(), 600);
    check.outageNode = last("--outage-node", "3").toInt();
    check.clusterScript = last("--cluster-script");
    if (check.hosts.size() < 2 || check.hosts.size() != check.nodes.size() || check.token.isEmpty()
        || check.schema.isEmpty() || check.outageNode < 0 || check.outageNode > check.hosts.size()
        || (check.outageNode && check.clusterScript.isEmpty())) {
        std::fprintf(stderr,
            "kelvo-cluster-check: give --host and --node for each node, --token, --schema "
            "and --cluster-script\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return check.exec();
}
