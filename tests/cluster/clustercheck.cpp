// kelvo-cluster-check, run by scripts/cluster-test.sh on nodes with a host each
// (and by the end-to-end suite with two hosts on one server): terminals
// synchronise and confirm through the hosts in turn while producers change
// persons through every host and write the other markers through every node,
// entrances and persons go through two hosts at once, and one node is stopped
// and started again. Every marker must reach its terminal and no other, none
// again after its confirmation, and every entrance and person be stored once
// under the one id its answers named.
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

QString q(const char *text)
{
    return QString::fromLatin1(text);
}

constexpr int terminals = 6;
constexpr int persons = 6000;
const std::pair<const char *, quint32> lists[]
    = { { "inters", 1 }, { "people", 2 }, { "saldo", 4 }, { "present", 8 }, { "grp", 256 } };
const quint32 keyedKinds[] = { 4, 8, 256 }; // besides persons: markers whose rows name a uid

// The command line: --host URL (.../kelvo) and --node PORT (on 127.0.0.1, user root) once per node in
// the same order, --token, --schema (the tenant's, empty), --seconds, --outage-node (0: none),
// --cluster-script.
QHash<QString, QStringList> options;
QStringList hosts, nodes;
int seconds = 40, outageNode = 3;

QElapsedTimer runClock;
QMutex mutex; // failures, produced and the upload records
QStringList failures;
// While a node is away (or not serving again yet) its host may answer errors.
std::atomic<int> awayHost { -1 };
std::atomic<bool> pauseProducer { false }, producerParked { false };
// A marker as a terminal sees it: its kind and the uid it names.
using Item = std::pair<quint32, quint32>;
std::set<Item> produced[terminals];
// What each terminal received: the latest time its marker can carry, and
// whether a confirmation deleted that marker since.
std::map<Item, std::pair<qint64, bool>> received[terminals];
// What is sent in pairs: the request, the answer's id, and the stored rows as
// "key.key:id" in the order of the keys.
const char *const uploadKinds[][3] = { { "POST entrance", "eid",
                                           "SELECT GROUP_CONCAT(tid, '.', refId, ':', id ORDER BY tid, refId "
                                           "SEPARATOR ' ') FROM inters_data" },
    { "POST person", "uid",
        "SELECT GROUP_CONCAT(pid, '.0:', uid ORDER BY pid SEPARATOR ' ') FROM people WHERE pid >= 100000" } };
// Per upload kind, (tid, refId) of an entrance or (pid, 0) of a person -> the
// ids its success answers named, and how many of them said 201.
std::map<Item, std::pair<std::set<quint32>, int>> uploadIds[2];

QString option(const char *name, const char *byDefault = "")
{
    return options.value(QLatin1String(name), { q(byDefault) }).constLast();
}

bool running()
{
    return runClock.elapsed() < seconds * 1000;
}

void fail(const QString &line)
{
    const QMutexLocker lock(&mutex);
    std::fprintf(stderr, "FAIL: %s\n", qPrintable(line));
    failures << line;
}

QString hash(quint32 tid)
{
    return HttpPluginWorker::encodeHash(tid, 900 + tid);
}

TermClient::Answer send(int host, const char *method, const QString &path, const QJsonObject &body = {})
{
    return TermClient(QUrl(hosts.at(host)), option("--token"), false, 60000).send(q(method), path, body);
}

// A complete answer (the envelope with "err" and "ver") that succeeded; a
// failed one is expected only from the host whose node is away.
bool accept(const TermClient::Answer &a, int host, const char *what)
{
    const bool complete = a.status != 0 && a.json[q("err")].isDouble() && a.json[q("ver")].isString();
    if (complete && !a.failed())
        return true;
    if (!complete || host != awayHost)
        fail(q("%1 through host %2: HTTP %3 ").arg(q(what)).arg(host + 1).arg(a.status) + a.error
            + QString::fromUtf8(a.body.left(200)));
    return false;
}

QSqlDatabase connect(const QString &name, int node)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(q("QMYSQL"), name);
    db.setHostName(q("127.0.0.1"));
    db.setPort(nodes.at(node).toInt());
    db.setDatabaseName(option("--schema"));
    db.open(q("root"), QString()); // a failure shows in the first statement
    return db;
}

// A certification failure or deadlock victim was rolled back whole: run it again.
bool run(const QSqlDatabase &db, const QString &sql, QString *value = nullptr)
{
    QSqlQuery query(db);
    for (int attempt = 1; !query.exec(sql); ++attempt)
        if (attempt == 50 || query.lastError().nativeErrorCode().toInt() != 1213) {
            fail(query.lastError().text() + q(" in ") + sql.left(80));
            return false;
        }
    if (value)
        *value = query.next() ? query.value(0).toString() : QString();
    return true;
}

bool setUp()
{
    const QSqlDatabase db = connect(q("setup"), 0);
    const QString personCount = QString::number(persons);
    // One interruption type, so that a host serving again answers terminal 1's list with 200.
    for (const char *sql : { "INSERT INTO term (tid, vornID, status, name, type) SELECT seq, 900 + seq, 1, "
                             "'C', 'DSK' FROM seq_1_to_%1",
             "INSERT INTO people (uid, pid, status, name) SELECT seq, seq, 1, 'P' FROM seq_1_to_%2",
             "INSERT INTO people_term (uid, tid) SELECT p.seq, t.seq FROM seq_1_to_%2 p JOIN seq_1_to_%1 t",
             "INSERT INTO inters (iid, name) VALUES (1, 'Work')",
             "INSERT INTO inters_term (iid, tid) VALUES (1, 1)" })
        if (failures.isEmpty()) // the next statements need this one
            run(db, q(sql).replace(q("%1"), QString::number(terminals)).replace(q("%2"), personCount));
    // The producers start on every node at once: each node must hold the links first.
    for (int node = 0; failures.isEmpty() && node < nodes.size(); ++node) {
        const QSqlDatabase other = connect(q("setup%1").arg(node), node);
        QString links;
        if (run(other, q("SET SESSION wsrep_sync_wait = 1"))
            && run(other, q("SELECT COUNT(*) FROM people_term"), &links)
            && links.toInt() != terminals * persons)
            fail(q("node %1 holds %2 links").arg(node + 1).arg(links));
    }
    return failures.isEmpty();
}

// Producer `node` changes persons through its own host (the worker marks their
// other terminals) and writes the other markers through its own node, with
// uids of its own range, so that no two markers of one terminal name the same
// uid. The producer of the node that goes away stops between two operations
// before it goes.
void produce(int node)
{
    const QSqlDatabase db = connect(q("producer%1").arg(node), node);
    QRandomGenerator random(100 + node);
    const int share = persons / nodes.size();
    for (int uid = 1 + node * share; running() && uid <= (node + 1) * share; ++uid) {
        if (node == outageNode - 1 && pauseProducer)
            break;
        const quint32 tid = 1 + random.bounded(terminals);
        const bool person = random.bounded(2) == 0;
        const quint32 kind = person ? 2 : keyedKinds[random.bounded(3)];
        const QString personPath = q("person/%1/%2").arg(hash(tid), HttpPluginWorker::encodeHash(uid, uid));
        if (person ? !accept(
                send(node, "PUT", personPath, { { q("email"), q("e%1").arg(uid) } }), node, "PUT person")
                   : !run(db, MarkerSql::kindRowSql.arg(tid).arg(uid).arg(kind))
                    || !run(db, MarkerSql::kindBitSql.arg(tid).arg(kind)))
            continue;
        // A person's marker goes to the person's other terminals, the others to the terminal itself.
        const QMutexLocker lock(&mutex);
        for (quint32 t = 1; t <= terminals; ++t)
            if ((t == tid) != person)
                produced[t - 1].insert({ kind, quint32(uid) });
    }
    producerParked = true; // the node may go
}

// One GET "sync" and, when it delivered lists, their confirmation through the
// next host that takes it; true when the GET succeeded and delivered nothing.
bool syncOnce(quint32 tid, int host)
{
    const TermClient::Answer a = send(host, "GET", q("sync/") + hash(tid));
    if (!accept(a, host, "GET sync"))
        return false;
    const qint64 st = a.json[q("st")].toVariant().toLongLong();
    const QJsonValue res = a.json[q("res")];
    if (!res.isObject())
        return true;
    quint32 mask = 0;
    for (const auto &[key, kind] : lists) {
        mask |= res[q(key)].isObject() ? kind : 0;
        const QJsonObject records = res[q(key)].toObject();
        for (auto it = records.begin(); it != records.end(); ++it) {
            // The person list carries the marker's time; the other markers
            // were committed before their list was read, which began at st.
            const qint64 bound = kind == 2 ? it.value()[q("tsc")].toVariant().toLongLong() : st + 2;
            const auto [found, first]
                = received[tid - 1].try_emplace({ kind, it.key().toUInt() }, bound, false);
            if (!first && found->second.second)
                fail(q("terminal %1: %2 %3 delivered again after its confirmation")
                         .arg(tid)
                         .arg(q(key), it.key()));
        }
    }
    const QString confirm = q("sync/%1/%2").arg(hash(tid), HttpPluginWorker::encodeHash(st - 1, mask));
    for (int attempt = 0; attempt < hosts.size() * 20; ++attempt) {
        const int via = (host + 1 + attempt) % hosts.size();
        if (accept(send(via, "DELETE", confirm), via, "DELETE sync")) {
            for (auto &[item, delivery] : received[tid - 1])
                delivery.second = delivery.second || ((item.first & mask) && delivery.first < st - 1);
            return false;
        }
        QThread::msleep(100);
    }
    fail(q("terminal %1: no host took the confirmation").arg(tid));
    return false;
}

// While the run lasts; when draining, until the terminal has nothing pending.
void terminal(quint32 tid, bool drain)
{
    int host = int(tid) % hosts.size();
    for (int round = 0; drain ? round < 50 : running(); ++round, host = (host + 1) % hosts.size()) {
        if (syncOnce(tid, host) && drain)
            return;
        QThread::msleep(drain ? 200 : 20);
    }
    if (drain)
        fail(q("terminal %1 still has pending changes after 50 rounds").arg(tid));
}

// Sends body through two hosts at the same moment, again until one of them
// takes it; each accepted answer's id is recorded under key.
void inPair(QRandomGenerator &random, int kind, Item key, const QString &path, const QJsonObject &body)
{
    const int first = random.bounded(hosts.size());
    const int pair[] = { first, (first + 1 + random.bounded(hosts.size() - 1)) % hosts.size() };
    bool stored = false;
    for (int attempt = 0; attempt < 20 && !stored; ++attempt) {
        TermClient::Answer answers[2];
        std::thread other([&] { answers[1] = send(pair[1], "POST", path, body); });
        answers[0] = send(pair[0], "POST", path, body);
        other.join();
        for (int i = 0; i < 2; ++i) {
            if (!accept(answers[i], pair[i], uploadKinds[kind][0]))
                continue;
            stored = true;
            const QMutexLocker lock(&mutex);
            auto &[ids, created] = uploadIds[kind][key];
            ids.insert(answers[i].json[q("res")][q(uploadKinds[kind][1])].toVariant().toUInt());
            created += answers[i].status == 201;
        }
    }
}

// Every entrance, and one of a few persons sent again and again (each always
// through its one terminal, so that no other terminal gets a marker).
void uploads()
{
    QRandomGenerator random(7);
    for (quint32 refId = 1; running(); ++refId) {
        const quint32 tid = 1 + random.bounded(terminals);
        inPair(random, 0, { tid, refId }, q("entrance/") + hash(tid),
            { { q("refId"), double(refId) }, { q("uid"), 1 }, { q("iid"), 1 }, { q("type"), q("in") } });
        const quint32 pid = 100000 + refId % 40;
        inPair(random, 1, { pid, 0 }, q("person/") + hash(1 + pid % terminals),
            { { q("pid"), double(pid) }, { q("name"), q("R") } });
    }
}

// The node goes away a third into the run and comes back after another
// quarter; its host answers errors meanwhile and serves again after.
void outage()
{
    const int host = outageNode - 1;
    const QString node = QString::number(outageNode);
    const auto probe = [&] { return send(host, "GET", q("inters/") + hash(1)); };
    while (runClock.elapsed() < seconds * 1000 / 3)
        QThread::msleep(100);
    pauseProducer = true;
    while (!producerParked && running())
        QThread::msleep(20);
    awayHost = host;
    if (QProcess::execute(option("--cluster-script"), { q("stop-node"), node }) != 0
        || accept(probe(), host, "GET inters without its node"))
        fail(q("node %1 did not stop, or its host still serves").arg(node));
    while (runClock.elapsed() < seconds * 1000 * 7 / 12)
        QThread::msleep(100);
    QProcess::execute(option("--cluster-script"), { q("start-node"), node });
    for (const QDeadlineTimer wait(60000); probe().status != 200; QThread::msleep(200))
        if (wait.hasExpired()) {
            fail(q("host %1 did not serve again within 60 s").arg(host + 1));
            break;
        }
    awayHost = -1;
}

void verify()
{
    int count = 0;
    for (quint32 tid = 1; tid <= terminals; ++tid) {
        count += int(produced[tid - 1].size());
        const auto marker = [tid](const Item &item) {
            return q("terminal %1: kind %2 uid %3").arg(tid).arg(item.first).arg(item.second);
        };
        for (const auto &[item, delivery] : received[tid - 1])
            if (!produced[tid - 1].erase(item))
                fail(marker(item) + q(" delivered, not produced for it"));
        for (const Item &item : produced[tid - 1])
            fail(marker(item) + q(" never delivered"));
    }
    const QSqlDatabase db = connect(q("verify"), 0);
    QString left;
    run(db, q("SELECT CONCAT(COUNT(*), ' markers, syn ', (SELECT BIT_OR(syn) FROM term)) FROM term_sync"),
        &left);
    std::printf("markers: %d produced and delivered; after the drain: %s\n", count, qPrintable(left));
    if (left != q("0 markers, syn 0"))
        fail(q("after the drain: ") + left);
    // Each upload stored once, under the one id its success answers named, and 201 at most once.
    for (int kind = 0; kind < 2; ++kind) {
        const QString what = q(uploadKinds[kind][0]);
        QStringList answered;
        for (const auto &[key, answers] : uploadIds[kind]) {
            answered << q("%1.%2:%3").arg(key.first).arg(key.second).arg(*answers.first.begin());
            if (answers.first.size() != 1 || answers.second > 1)
                fail(q("%1 %2: %3 ids answered, %4 times 201")
                         .arg(what, answered.last())
                         .arg(answers.first.size())
                         .arg(answers.second));
        }
        QString stored;
        run(db, q(uploadKinds[kind][2]), &stored);
        std::printf("%s: %d sent in pairs, %d stored\n", uploadKinds[kind][0], int(answered.size()),
            int(stored.count(QLatin1Char(':'))));
        if (stored != answered.join(QLatin1Char(' ')))
            fail(what + q(" stored: ") + stored.left(2000));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i + 1 < app.arguments().size(); i += 2)
        options[app.arguments().at(i)] << app.arguments().at(i + 1);
    hosts = options.value(q("--host"));
    nodes = options.value(q("--node"));
    seconds = qBound(5, option("--seconds", "40").toInt(), 600);
    outageNode = option("--outage-node", "3").toInt();
    if (hosts.size() < 2 || hosts.size() != nodes.size() || option("--token").isEmpty()
        || option("--schema").isEmpty() || outageNode < 0 || outageNode > hosts.size()
        || (outageNode && option("--cluster-script").isEmpty())) {
        std::fprintf(stderr,
            "kelvo-cluster-check: give --host and --node for each node, --token, --schema and "
            "--cluster-script\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!setUp())
        return 2;
    runClock.start();
    std::vector<std::thread> threads;
    for (int node = 0; node < nodes.size(); ++node)
        threads.emplace_back(produce, node);
    for (quint32 tid = 1; tid <= terminals; ++tid)
        threads.emplace_back(terminal, tid, false);
    threads.emplace_back(uploads);
    if (outageNode > 0)
        threads.emplace_back(outage);
    for (auto &thread : threads)
        thread.join();
    threads.clear();
    for (quint32 tid = 1; tid <= terminals; ++tid)
        threads.emplace_back(terminal, tid, true);
    for (auto &thread : threads)
        thread.join();
    verify();
    std::printf("%s: %d failures\n", failures.isEmpty() ? "PASS" : "FAIL", int(failures.size()));
    return failures.isEmpty() ? 0 : 1;
}
