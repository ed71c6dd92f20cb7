#include "testtenant.h"

#include <QtTest>
#include <memory>

// The connection registry against the real server: token lookup, the tenant
// template, the host's work lists and the queue of unused connections. Many
// threads on one registry: the contract suite; timeouts: the host suite.
class TstRegistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<DBManager> registry;
    QString infoName;
    int infoCounter = 0;

    static void setRow(const QString &token, const QString &assignment)
    {
        QCOMPARE(TestDatabase::exec(TestDatabase::infoDatabaseName(),
                     s("UPDATE `schemas` SET %1 WHERE token = '%2'").arg(assignment, token)),
            QString());
    }

private slots:
    void init()
    {
        REQUIRE_TEST_DATABASE();
        infoName = s("registry.info.%1").arg(++infoCounter);
        registry = std::make_unique<DBManager>();
        registry->setInfoDatabase(TestDatabase::addConnection(infoName, TestDatabase::infoDatabaseName()));
    }
    void cleanup()
    {
        if (!registry)
            return;
        for (const QString &name : registry->tokenConnectionNames())
            registry->addUnusedConnection(name);
        registry->removeUnusedConnections();
        registry.reset();
        QSqlDatabase::removeDatabase(infoName);
    }

    // One template per token, left closed, read from the row once: a changed
    // row counts only after the template's removal or a reload. A reload
    // reads every row again: a rotated token and a changed password take
    // effect at once (a disabled tenant: the host suite). Only the exact
    // token text finds its row; quotes never change a statement.
    void templatesAndTokens()
    {
        const auto tenant = TestDatabase::createTenant(s("reg"));
        QSqlDatabase first = registry->database(tenant.token);
        QVERIFY(first.isValid() && !first.isOpen());
        // Every clone inherits these; no request notices their loss.
        QCOMPARE(first.connectOptions(), s("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1"));
        setRow(tenant.token, s("status = 0"));
        QCOMPARE(registry->database(tenant.token).connectionName(), first.connectionName());
        registry->addUnusedConnection(first.connectionName());
        first = QSqlDatabase();
        registry->removeUnusedConnections();
        QVERIFY(!registry->hasConnection(tenant.token) && !registry->database(tenant.token).isValid());
        setRow(tenant.token, s("status = 1"));
        QVERIFY(registry->database(tenant.token).isValid());

        const QString token = s("T\u00f6k a\\' OR 1=1 -- \"x\"");
        QCOMPARE(
            TestDatabase::exec(QString(), s("ALTER USER '%1'@'%' IDENTIFIED BY 'changed'").arg(tenant.user)),
            QString());
        setRow(tenant.token,
            s("pass = TO_BASE64('changed'), token = X'%1'").arg(QString::fromLatin1(token.toUtf8().toHex())));
        registry->reloadTenants();
        QVERIFY(!registry->database(tenant.token).isValid());
        for (const QString &other : { token.toUpper(), token.toLower(), token + s(" "), s("x' OR '1'='1") })
            QVERIFY(!registry->database(other).isValid() && !registry->isTokenConnection(other)
                && registry->schema(other).name.isEmpty());
        // Valid only if the template opened with the changed password.
        QCOMPARE(registry->database(token).databaseName(), tenant.schema);
        QCOMPARE(registry->tokenForSchema(tenant.schema), token);
        QVERIFY(registry->tokenForSchema(s("x' OR '1'='1")).isEmpty());
        QVERIFY(registry->setMaintenance(token));
    }

    void tenantRows_data()
    {
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<QString>("outcome"); // usable; the row was read: a template made, the row kept
        QTest::newRow("inactive") << s("status = 2") << s("0 0 0");
        QTest::newRow("empty user") << s("user = ''") << s("0 0 0");
        QTest::newRow("wrong pass") << s("pass = TO_BASE64('wrong')") << s("0 1 1");
        QTest::newRow("pass stops at a zero byte")
            << s("pass = TO_BASE64(CONCAT(FROM_BASE64(pass), CHAR(0), 'tail'))") << s("1 1 1");
    }
    void tenantRows()
    {
        QFETCH(QString, assignment);
        const auto tenant = TestDatabase::createTenant(s("row"));
        setRow(tenant.token, assignment);
        if (qstrcmp(QTest::currentDataTag(), "wrong pass") == 0) { // the failed open is logged
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(s("^DBManager:: database .*NOT OPEN!$")));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(s("^SQL ERROR: .*denied.*")));
        }
        const bool usable = registry->database(tenant.token).isValid();
        QTEST(fill("%1 %2 %3", usable, registry->isTokenConnection(tenant.token),
                  !registry->schema(tenant.token).name.isEmpty()),
            "outcome");
        if (usable)
            QCOMPARE(registry->schema(tenant.token).pass, tenant.password);
    }

    // The host's work lists: oldest stamp first, each stamp moving its tenant
    // to the end; the information database closed after each use when asked.
    void workListsAndStamps()
    {
        QCOMPARE(TestDatabase::exec(TestDatabase::infoDatabaseName(), s("UPDATE `schemas` SET status = 0")),
            QString());
        QStringList tokens;
        for (int i = 0; i < 3; ++i)
            tokens << TestDatabase::createTenant(s("work")).token;
        const qint64 old = QDateTime::currentSecsSinceEpoch() - 1000;
        setRow(tokens[0], s("maintenance = %1, recalc = 30").arg(old));
        setRow(tokens[1], s("maintenance = %1, recalc = 10").arg(old - 5));
        setRow(tokens[2], s("maintenance = UNIX_TIMESTAMP(), recalc = 20"));
        registry->setCloseInfoDatabase(true);

        QCOMPARE(registry->loadTokens4Maintenance(10), (QStringList { tokens[1], tokens[0] }));
        QCOMPARE(registry->loadTokens4Maintenance(1), QStringList { tokens[1] });
        QCOMPARE(registry->loadTokens4Recalculate(10), (QStringList { tokens[1], tokens[2], tokens[0] }));
        QVERIFY(registry->setMaintenance(tokens[1]) && registry->setRecalc(tokens[1]));
        QCOMPARE(registry->loadTokens4Maintenance(10), QStringList { tokens[0] });
        QCOMPARE(registry->loadTokens4Recalculate(10).last(), tokens[1]);
        QVERIFY(!registry->infoDatabase().isOpen());
        QVERIFY(!registry->setMaintenance(s("absent")));
        setRow(tokens[0], s("status = 0"));
        QVERIFY(!registry->setRecalc(tokens[0]));
        QVERIFY(registry->openInfoDatabase() && registry->infoDatabase().isOpen());
    }

    // The empty token names the main database, opened by nobody; the host's
    // own connections never enter the queue of unused ones. A worker hands
    // its clone back only when told to, once, and never a handle that it did
    // not clone and open itself.
    void unusedQueue()
    {
        registry->setMainDatabase(QSqlDatabase::addDatabase(s("QMYSQL"), s("registry.main")));
        QCOMPARE(registry->database(QString()).connectionName(), s("registry.main"));
        QVERIFY(registry->tokenConnectionNames().isEmpty() && !registry->infoDatabase().isOpen());
        for (const QString &name : QStringList {
                 s("registry.main"), infoName, s("ORV.LUMODB"), s(QSqlDatabase::defaultConnection) }) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(s("cannot add to unused connections")));
            registry->addUnusedConnection(name);
        }
        registry->addUnusedConnection(QString());
        QVERIFY(registry->unusedConnectionNames().isEmpty());
        registry->setMainDatabase(QSqlDatabase());
        QSqlDatabase::removeDatabase(s("registry.main"));

        const auto tenant = TestDatabase::createTenant(s("rel"));
        for (const bool release : { false, true }) {
            WorkerHarness worker(registry.get());
            worker.setReleaseConnection(release);
            worker.parseHeader({ s("Pragma: token = ") + tenant.token });
            QVERIFY(worker.initDatabase() && worker.isDbOpened());
            const QString name = worker.database().connectionName();
            worker.closeAndRemoveDB();
            worker.closeAndRemoveDB(); // queues nothing twice
            QVERIFY(!worker.isDbOpened());
            QCOMPARE(registry->unusedConnectionNames(), release ? QStringList { name } : QStringList());
            registry->removeUnusedConnections();
            QCOMPARE(QSqlDatabase::contains(name), !release);
            if (!release)
                QSqlDatabase::removeDatabase(name); // nothing queued it: the owner removes it
        }
        WorkerHarness worker(registry.get());
        QSqlDatabase foreign = registry->database(tenant.token);
        QVERIFY(foreign.open());
        worker.HttpPluginWorker::setDatabase(foreign); // not cloned, not opened by the worker
        worker.closeAndRemoveDB();
        QVERIFY(foreign.isOpen() && registry->unusedConnectionNames().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstRegistry)
#include "tst_registry.moc"
