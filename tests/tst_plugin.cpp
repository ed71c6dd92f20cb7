#include "httpplugininterface.h"
#include "httppluginworker.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

// The built libkelvo.so loaded exactly as a host loads it.
class TstPlugin : public QObject
{
    Q_OBJECT

    QPluginLoader loader { QStringLiteral(KELVO_PLUGIN_PATH) };

    HttpPluginInterface *plugin() { return qobject_cast<HttpPluginInterface *>(loader.instance()); }

    static bool emitRecordCreated(
        QObject *worker, const QString &tbl, uint id, const QString &token, quint8 flags)
    {
        return QMetaObject::invokeMethod(worker, "recordCreated", Qt::DirectConnection, Q_ARG(QString, tbl),
            Q_ARG(uint, id), Q_ARG(QString, token), Q_ARG(quint8, flags));
    }

private slots:
    void metadata()
    {
        const QJsonObject meta = loader.metaData();
        QCOMPARE(meta.value(QStringLiteral("IID")).toString(),
            QStringLiteral("com.norvane.orv.HttpPluginInterface"));
        QCOMPARE(meta.value(QStringLiteral("className")).toString(), QStringLiteral("Kelvo"));
        QCOMPARE(meta.value(QStringLiteral("MetaData")).toObject(), QJsonObject());
        QVERIFY(meta.value(QStringLiteral("version")).toInt() >= 0x050000);
    }

    void instanceAndCasts()
    {
        QObject *object = loader.instance();
        QVERIFY2(object, qPrintable(loader.errorString()));
        QCOMPARE(loader.instance(), object); // one plug-in object
        QCOMPARE(object->metaObject()->className(), "Kelvo");
        void *byIid = object->qt_metacast("com.norvane.orv.HttpPluginInterface");
        void *byName = object->qt_metacast("HttpPluginInterface");
        QVERIFY(byIid && byIid != static_cast<void *>(object));
        QCOMPARE(byName, byIid);
        QCOMPARE(object->qt_metacast("Kelvo"), static_cast<void *>(object));
        QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(object));
        QVERIFY(!object->qt_metacast("Nothing"));
        QCOMPARE(static_cast<void *>(plugin()), byIid);

        const QMetaObject *meta = object->metaObject();
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
        const QMetaMethod signal = meta->method(meta->methodOffset());
        QCOMPARE(signal.name(), QByteArray("recordCreated"));
        // moc records quint8 under its built-in name uchar: the same 8-bit type.
        QCOMPARE(QList<int>({ signal.parameterType(0), signal.parameterType(1), signal.parameterType(2),
                     signal.parameterType(3) }),
            QList<int>({ QMetaType::QString, QMetaType::UInt, QMetaType::QString, qMetaTypeId<quint8>() }));
        QCOMPARE(signal.parameterNames(), (QList<QByteArray> { "tbl", "id", "token", "flags" }));
    }

    void pathsAndVersion()
    {
        QCOMPARE(plugin()->paths(), QStringList { QStringLiteral("/kelvo") });
        QCOMPARE(plugin()->getVersion(), QStringLiteral("0.2.5"));
    }

    void newWorkersRelayOnce()
    {
        QObject parent;
        HttpPluginWorker *a = plugin()->getNewWorker(&parent);
        HttpPluginWorker *b = plugin()->getNewWorker(&parent);
        QVERIFY(a && b && a != b);
        QCOMPARE(a->parent(), &parent);
        QCOMPARE(a->workerKind(), 1);

        QSignalSpy spy(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));
        QVERIFY(emitRecordCreated(a, QStringLiteral("inters_data"), 7, QStringLiteral("tok"), 3));
        QVERIFY(emitRecordCreated(b, QStringLiteral("other"), 8, QStringLiteral("tok2"), 1));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy.at(0),
            (QVariantList { QStringLiteral("inters_data"), 7u, QStringLiteral("tok"), quint8(3) }));
        QCOMPARE(spy.at(1).at(1).toUInt(), 8u);
    }

    void sharedWorkerIsOneAndRelaysOnce()
    {
        HttpPluginWorker *shared = plugin()->getWorker();
        QCOMPARE(plugin()->getWorker(), shared);
        QCOMPARE(shared->parent(), loader.instance());
        QSignalSpy spy(loader.instance(), SIGNAL(recordCreated(QString, uint, QString, quint8)));
        QVERIFY(emitRecordCreated(shared, QStringLiteral("inters_data"), 1, QString(), 3));
        QCOMPARE(spy.size(), 1);
    }

    void workerConfiguration()
    {
        std::unique_ptr<HttpPluginWorker> worker(plugin()->getNewWorker(nullptr));
        QCOMPARE(worker->debugLevelValue(), quint8(0));
        QVERIFY(!worker->releasesConnection());
        // A fresh worker's release writes its record with an empty name and does nothing else.
        QTest::ignoreMessage(QtDebugMsg, "HttpPluginWorker::closeAndRemoveDB()");
        worker->closeAndRemoveDB();
    }

    // Runs last: destroying the plug-in object takes the shared worker with
    // it, but not a worker that belongs to another parent, whose relay ends.
    void destructionOwnership()
    {
        QObject parent;
        QPointer<QObject> shared = plugin()->getWorker();
        QPointer<QObject> foreign = plugin()->getNewWorker(&parent);
        delete loader.instance();
        QVERIFY(shared.isNull());
        QVERIFY(!foreign.isNull());
        QVERIFY(emitRecordCreated(
            foreign, QStringLiteral("inters_data"), 2, QString(), 3)); // no receiver, no crash

        // The instance entry makes a new object after the old one is gone.
        QObject *again = loader.instance();
        QVERIFY(again);
        QSignalSpy spy(again, SIGNAL(recordCreated(QString, uint, QString, quint8)));
        QVERIFY(emitRecordCreated(foreign, QStringLiteral("inters_data"), 3, QString(), 3));
        QCOMPARE(spy.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TstPlugin)
#include "tst_plugin.moc"
