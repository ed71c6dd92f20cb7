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
#include <memory>
#include <new>
#include <vector>

namespace {

// The host's own safe Base64, written from the contract.
QByteArray safe(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding).replace('=', '@');
}

// The registry as the host allocates it, with guard bytes right behind the
// object: a plug-in that assumes a larger object writes into them.
struct GuardedRegistry
{
    static constexpr unsigned char guardByte = 0xA5;

    GuardedRegistry() { std::fill(std::begin(storage) + sizeof(DBManager), std::end(storage), guardByte); }
    ~GuardedRegistry() { registry->~DBManager(); }
    Q_DISABLE_COPY(GuardedRegistry)
    bool guardIntact() const
    {
        return std::all_of(
            storage + sizeof(DBManager), std::end(storage), [](auto b) { return b == guardByte; });
    }

    alignas(DBManager) unsigned char storage[sizeof(DBManager) + 256];
    DBManager *const registry = new (storage) DBManager;
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
        QString trace = QString::asprintf("%d %d |", worker->dbManager == registry, worker->workerKind());
        // Adds the answer's status to the trace; gives the "res" of its body.
        const auto send = [&](const QString &token, const char *method, const QString &path,
                              const QJsonObject &body = {}) {
            const QByteArray answer = worker->buildResponse(s(method), QUrl(s("/kelvo/") + path),
                { s("Host: localhost"), s("Pragma: token = ") + token },
                body.isEmpty() ? QByteArray() : safe(QJsonDocument(body).toJson()));
            trace += QLatin1Char(' ')
                + QString::fromLatin1(answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3) : "?");
            QByteArray text = answer.mid(answer.indexOf("\r\n\r\n") + 4);
            text.replace('-', '+').replace('_', '/').replace('@', '=');
            return QJsonDocument::fromJson(QByteArray::fromBase64(text)).object().value(s("res"));
        };
        for (const TestDatabase::Tenant &tenant : tenants) {
            const quint32 fid = quint32(1000 * (thread + 1) + 1);
            const QJsonValue tid = send(tenant.token, "POST", s("term"),
                { { s("fid"), int(fid) }, { s("name"), s("Gate") }, { s("type"), s("DSK") } });
            const QString term
                = QString::fromLatin1(safe(QByteArray::number(tid.toInt()) + '.' + QByteArray::number(fid)));
            const QJsonObject entrance { { s("refId"), 7 }, { s("uid"), 5 }, { s("iid"), 2 },
                { s("type"), s("in") } };
            send(tenant.token, "GET", s("sync/") + term);
            const QJsonValue stored = send(tenant.token, "POST", s("entrance/") + term, entrance)[s("eid")];
            const bool sameEntrance
                = send(tenant.token, "POST", s("entrance/") + term, entrance)[s("eid")] == stored;
            trace += QString::asprintf(" %d %d |", sameEntrance,
                worker->dbCloned
                    && worker->db.connectionName().startsWith(s("ORV.%1.Kelvo.").arg(tenant.schema)));
        }
        send(s("no-such-tenant"), "GET", s("sync/MS4x")); // terminal 1.1
        return trace;
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
        GuardedRegistry guarded;
        DBManager *const registry = guarded.registry;
        registry->setInfoDatabase(
            TestDatabase::addConnection(s("contract.info"), TestDatabase::infoDatabaseName()));
        QSignalSpy created(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));

        QString traces[threadCount];
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back(QThread::create([&, i] { traces[i] = serve(registry, i); }));
            threads.back()->start();
        }
        for (int i = 0; i < threadCount; ++i) {
            QVERIFY(threads[i]->wait(120000));
            QCOMPARE(traces[i],
                s("1 1") + s(" | 201 200 201 208 1 1").repeated(int(tenants.size())) + s(" | 502"));
        }

        // What the plug-in wrote, read at the offsets the host knows: one row
        // and one template per tenant, whatever the threads did at once.
        QCOMPARE(QList<int>({ registry->schemaCache.size(), registry->tokenConnections.size() }),
            QList<int>({ int(tenants.size()), int(tenants.size()) }));
        for (const TestDatabase::Tenant &tenant : tenants) {
            const SchemaInfo row = registry->schemaCache.value(tenant.token);
            QCOMPARE(QStringList({ row.name, row.user, row.pass, row.token,
                         QString::number(registry->tokenConnections.count(s("dbc_") + tenant.token)) }),
                QStringList({ tenant.schema, tenant.user, tenant.password, tenant.token, s("1") }));
        }

        // Every request ran on a clone of its own, each queued once when let go.
        const QStringList queued = registry->unusedConnections;
        QCOMPARE(queued.size(), threadCount * int(tenants.size()) * 4);
        QCOMPARE(QSet<QString>(queued.cbegin(), queued.cend()).size(), queued.size());
        registry->removeUnusedConnections();
        QCOMPARE(QSqlDatabase::connectionNames().filter(s(".Kelvo.")), QStringList());

        // One relayed announcement per stored entrance, none for the resends.
        QTRY_COMPARE_WITH_TIMEOUT(created.size(), threadCount * int(tenants.size()), 30000);

        // The host drops the templates through the same queue.
        registry->unusedConnections = registry->tokenConnections;
        registry->removeUnusedConnections();
        registry->setInfoDatabase(QSqlDatabase());
        QSqlDatabase::removeDatabase(s("contract.info"));
        QVERIFY(guarded.guardIntact());
    }

    // Every worker relays its signal through the plug-in object once; the
    // shared worker is one and belongs to the plug-in object. Runs last:
    // destroying the plug-in object takes the shared worker with it, but not
    // a worker that belongs to another parent, whose relay ends.
    void workersRelayAndOwnership()
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

        const QPointer<QObject> sharedLeft = shared, foreign = a;
        delete loader.instance();
        QVERIFY(sharedLeft.isNull() && !foreign.isNull());
        QSignalSpy after(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));
        QVERIFY(after.isValid()); // the instance entry makes a new object
        QVERIFY(emitRecordCreated(a, 3));
        QCOMPARE(after.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TstContract)
#include "tst_contract.moc"
