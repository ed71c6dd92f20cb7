// The built libkelvo.so loaded as a host loads it, inside a host that knows
// nothing but the contract: its own declarations (contract/hostcontract.h),
// its own registry object with guard bytes behind it, its own removal of
// released connections. Several threads serve several tenants through workers
// of the loaded plug-in.
#include "contract/hostcontract.h"
#include "testdatabase.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// The host's own safe Base64, written from the contract.
QByteArray safe(const QByteArray &bytes)
{
    QByteArray text = bytes.toBase64();
    text.replace('+', '-').replace('/', '_').replace('=', '@');
    return text;
}

QString hash(quint32 a, quint32 b)
{
    return QString::fromLatin1(safe(QByteArray::number(a) + '.' + QByteArray::number(b)));
}

struct Answer
{
    int status = 0;
    QJsonObject json;
};

Answer parse(const QByteArray &response)
{
    QByteArray body = response.mid(response.indexOf("\r\n\r\n") + 4);
    body.replace('-', '+').replace('_', '/').replace('@', '=');
    const bool http = response.startsWith("HTTP/1.1 ");
    return { http ? response.mid(9, 3).toInt() : 0,
        QJsonDocument::fromJson(QByteArray::fromBase64(body)).object() };
}

// The registry as the host allocates it, with guard bytes right behind the
// object: a plug-in that assumes a larger object writes into them.
class GuardedRegistry
{
public:
    static constexpr std::size_t guardSize = 256;
    static constexpr unsigned char guardByte = 0xA5;

    GuardedRegistry()
    {
        std::memset(storage + sizeof(DBManager), guardByte, guardSize);
        registry = new (storage) DBManager;
    }
    ~GuardedRegistry() { registry->~DBManager(); }
    Q_DISABLE_COPY(GuardedRegistry)

    DBManager *operator->() const { return registry; }
    DBManager *get() const { return registry; }
    bool guardIntact() const
    {
        return std::all_of(
            storage + sizeof(DBManager), std::end(storage), [](auto b) { return b == guardByte; });
    }

private:
    alignas(DBManager) unsigned char storage[sizeof(DBManager) + guardSize];
    DBManager *registry = nullptr;
};

bool emitRecordCreated(QObject *worker, uint id)
{
    return QMetaObject::invokeMethod(worker, "recordCreated", Qt::DirectConnection,
        Q_ARG(QString, s("inters_data")), Q_ARG(uint, id), Q_ARG(QString, s("tok")), Q_ARG(quint8, 3));
}

} // namespace

class TstContract : public QObject
{
    Q_OBJECT

    static constexpr int threadCount = 4;

    QPluginLoader loader { QStringLiteral(KELVO_PLUGIN_PATH) };
    HttpPluginInterface *plugin = nullptr;
    std::vector<TestDatabase::Tenant> tenants;

    // One serving thread of the host: its own worker, configured as the
    // contract says, then every tenant's terminal life in turn, written down
    // as a trace (QtTest's checks belong to the main thread): the worker's
    // fields where the host reads them; per tenant the statuses of
    // registration, sync, entrance and resend, the resend naming the stored
    // entrance, the connection a clone of the worker's own; an unknown token.
    QString serve(DBManager *registry, int thread)
    {
        std::unique_ptr<HttpPluginWorker> worker(plugin->getNewWorker(nullptr));
        worker->setDbManager(registry);
        worker->setDebugLevel(0);
        worker->setReleaseConnection(true);
        QString trace = s("%1 %2").arg(worker->dbManager == registry).arg(worker->workerKind());
        for (const TestDatabase::Tenant &tenant : tenants) {
            const auto send = [&](const char *method, const QString &path, const QJsonObject &body = {}) {
                const QByteArray bytes = body.isEmpty() ? QByteArray() : safe(QJsonDocument(body).toJson());
                return parse(worker->buildResponse(s(method), QUrl(s("/kelvo/") + path),
                    { s("Host: localhost"), s("Pragma: token = ") + tenant.token }, bytes));
            };
            const quint32 fid = quint32(1000 * (thread + 1) + 1);
            const Answer reg = send("POST", s("term"),
                { { s("fid"), int(fid) }, { s("name"), s("Gate") }, { s("type"), s("DSK") } });
            const QString term = hash(quint32(reg.json.value(s("res")).toInt()), fid);
            const QJsonObject entrance { { s("refId"), 7 }, { s("uid"), 5 }, { s("iid"), 2 },
                { s("type"), s("in") } };
            const Answer sync = send("GET", s("sync/") + term),
                         stored = send("POST", s("entrance/") + term, entrance),
                         again = send("POST", s("entrance/") + term, entrance);
            trace
                += s(" | %1 %2 %3 %4 %5 %6")
                       .arg(reg.status)
                       .arg(sync.status)
                       .arg(stored.status)
                       .arg(again.status)
                       .arg(again.json[s("res")][s("eid")] == stored.json[s("res")][s("eid")])
                       .arg(worker->dbCloned
                           && worker->db.connectionName().startsWith(s("ORV.%1.Kelvo.").arg(tenant.schema)));
        }
        return trace
            + s(" | %1").arg(parse(worker->buildResponse(s("GET"), QUrl(s("/kelvo/sync/") + hash(1, 1)),
                                       { s("Pragma: token = no-such-tenant") }, QByteArray()))
                                 .status);
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        QCOMPARE(loader.metaData().value(s("IID")).toString(), s("com.norvane.orv.HttpPluginInterface"));
        QCOMPARE(loader.metaData().value(s("className")).toString(), s("Kelvo"));
        QVERIFY2(loader.load(), qPrintable(loader.errorString()));
        plugin = qobject_cast<HttpPluginInterface *>(loader.instance());
        QVERIFY(plugin);
        QCOMPARE(plugin->paths(), QStringList { s("/kelvo") });
        QCOMPARE(plugin->getVersion(), s("0.2.5"));
        // One signal, recordCreated(QString, uint, QString, quint8), which moc records as uchar.
        const QMetaObject *meta = loader.instance()->metaObject();
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
        QCOMPARE(meta->method(meta->methodOffset()).methodSignature(),
            QByteArray("recordCreated(QString,uint,QString,uchar)"));
        for (const char *tag : { "ca", "cb", "cc" })
            tenants.push_back(TestDatabase::createTenant(s(tag)));
    }

    void cleanupTestCase()
    {
        for (const TestDatabase::Tenant &tenant : tenants)
            TestDatabase::dropTenant(tenant);
    }

    void servesThroughTheContractAlone()
    {
        GuardedRegistry registry;
        registry->setInfoDatabase(TestDatabase::addInfoConnection(s("contract.info")));
        QSignalSpy created(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));

        QString traces[threadCount];
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back(QThread::create([&, i] { traces[i] = serve(registry.get(), i); }));
            threads.back()->start();
        }
        for (int i = 0; i < threadCount; ++i) {
            QVERIFY(threads[i]->wait(120000));
            QCOMPARE(traces[i],
                s("1 1") + s(" | 201 200 201 208 1 1").repeated(int(tenants.size())) + s(" | 502"));
        }
        QVERIFY(registry.guardIntact());

        // What the plug-in wrote, read at the offsets the host knows.
        QCOMPARE(registry->schemaCache.size(), int(tenants.size()));
        for (const TestDatabase::Tenant &tenant : tenants) {
            const SchemaInfo row = registry->schemaCache.value(tenant.token);
            QCOMPARE(row.name, tenant.schema);
            QCOMPARE(row.user, tenant.user);
            QCOMPARE(row.pass, tenant.password);
            QCOMPARE(row.token, tenant.token);
            QCOMPARE(registry->tokenConnections.count(s("dbc_") + tenant.token), 1);
        }
        QCOMPARE(registry->tokenConnections.size(), int(tenants.size()));

        // Every request ran on a clone of its own, each queued once when let go.
        const QStringList queued = registry->unusedConnections;
        QCOMPARE(queued.size(), threadCount * int(tenants.size()) * 4);
        QCOMPARE(QSet<QString>(queued.cbegin(), queued.cend()).size(), queued.size());
        for (const QString &name : queued)
            QVERIFY2(name.startsWith(s("ORV.kt_c")) && name.contains(s(".Kelvo.")), qPrintable(name));
        registry->removeUnusedConnections();
        QVERIFY(registry->unusedConnections.isEmpty());
        for (const QString &name : queued)
            QVERIFY(!QSqlDatabase::contains(name));

        // One relayed announcement per stored entrance, none for the resends.
        QTRY_COMPARE_WITH_TIMEOUT(created.size(), threadCount * int(tenants.size()), 30000);

        // The host drops the templates through the same queue.
        registry->unusedConnections = registry->tokenConnections;
        registry->removeUnusedConnections();
        QVERIFY(registry->tokenConnections.isEmpty());
        registry->setInfoDatabase(QSqlDatabase());
        QSqlDatabase::removeDatabase(s("contract.info"));
        QVERIFY(registry.guardIntact());
    }

    // Every worker relays its signal through the plug-in object once; the
    // shared worker is one and belongs to the plug-in object.
    void workersAndTheirRelay()
    {
        QObject parent;
        HttpPluginWorker *a = plugin->getNewWorker(&parent), *b = plugin->getNewWorker(&parent);
        QVERIFY(a && b && a != b && a->parent() == &parent);
        QCOMPARE(QList<int>({ a->debugLevel, a->releaseConnection }), QList<int>({ 0, false }));
        HttpPluginWorker *shared = plugin->getWorker();
        QVERIFY(plugin->getWorker() == shared && shared->parent() == loader.instance());
        QSignalSpy spy(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));
        for (QObject *worker : { a, b, shared })
            QVERIFY(emitRecordCreated(worker, 7));
        QCOMPARE(spy.size(), 3);
        QCOMPARE(spy.at(0), (QVariantList { s("inters_data"), 7u, s("tok"), quint8(3) }));
    }

    // Runs last: destroying the plug-in object takes the shared worker with
    // it, but not a worker that belongs to another parent, whose relay ends.
    void destructionOwnership()
    {
        QObject parent;
        QPointer<QObject> shared = plugin->getWorker(), foreign = plugin->getNewWorker(&parent);
        delete loader.instance();
        QVERIFY(shared.isNull() && !foreign.isNull());
        QObject *again = loader.instance(); // the instance entry makes a new object
        QVERIFY(again);
        QSignalSpy spy(again, SIGNAL(recordCreated(QString, uint, QString, quint8)));
        QVERIFY(emitRecordCreated(foreign, 3));
        QCOMPARE(spy.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TstContract)
#include "tst_contract.moc"
