#include "workerharness.h"

#include <QAtomicInteger>
#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>
#include <memory>

// The connection registry against the real server: token lookup, the tenant
// template, the host's work lists, the queue of unused connections, and many
// threads asking for the same and for different tenants at once.
class TstRegistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<DBManager> registry;
    QString infoName;
    int infoCounter = 0;

    QString infoDb() const { return TestDatabase::infoDatabaseName(); }
    void setTenantColumn(const QString &token, const QString &assignment)
    {
        QCOMPARE(TestDatabase::exec(infoDb(),
                     QStringLiteral("UPDATE `schemas` SET %1 WHERE token = '%2'").arg(assignment, token)),
            QString());
    }

private slots:
    void init()
    {
        REQUIRE_TEST_DATABASE();
        infoName = QStringLiteral("registry.info.%1").arg(++infoCounter);
        registry = std::make_unique<DBManager>();
        registry->setInfoDatabase(TestDatabase::addInfoConnection(infoName));
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

    void templateIsMadeOncePerToken()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("reg"));
        QSqlDatabase first = registry->database(tenant.token);
        QCOMPARE(first.connectionName(), QStringLiteral("dbc_") + tenant.token);
        QCOMPARE(first.databaseName(), tenant.schema);
        QCOMPARE(first.connectOptions(), QStringLiteral("MYSQL_OPT_RECONNECT=1;CLIENT_IGNORE_SPACE=1"));
        QVERIFY(!first.isOpen()); // it proved the credentials; an idle tenant holds no connection
        QTRY_COMPARE_WITH_TIMEOUT(TestDatabase::scalar(QString(),
                                      QStringLiteral("SELECT COUNT(*) FROM "
                                                     "information_schema.PROCESSLIST WHERE USER = '%1'")
                                          .arg(tenant.user))
                                      .toInt(),
            0, 10000);
        QCOMPARE(registry->schema(tenant.token).user, tenant.user);
        QCOMPARE(registry->schema(tenant.token).pass, tenant.password);
        QVERIFY(registry->isTokenConnection(tenant.token));
        QVERIFY(registry->hasConnection(tenant.token));

        // The information database is not asked again: the row may go away.
        setTenantColumn(tenant.token, QStringLiteral("status = 0"));
        QSqlDatabase second = registry->database(tenant.token);
        QCOMPARE(second.connectionName(), first.connectionName());
        QVERIFY(!second.isOpen());
        QCOMPARE(registry->tokenConnectionNames().count(first.connectionName()), 1);

        // Once removed, the template is made anew from the (now inactive) row.
        registry->addUnusedConnection(first.connectionName());
        first = second = QSqlDatabase();
        registry->removeUnusedConnections();
        QVERIFY(!registry->hasConnection(tenant.token));
        QVERIFY(!registry->isTokenConnection(tenant.token));
        QVERIFY(!registry->database(tenant.token).isValid());
        setTenantColumn(tenant.token, QStringLiteral("status = 1"));
        QVERIFY(registry->database(tenant.token).isValid());
        QVERIFY(registry->isTokenConnection(tenant.token));
    }

    // The token column compares without regard to case: another spelling of a
    // token must not get a template, a cache entry or a connection of its own.
    void otherSpellingsOfATokenGetNothing()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("Case"));
        for (const QString &spelling :
            { tenant.token.toUpper(), tenant.token.toLower(), tenant.token + QLatin1Char(' ') }) {
            QVERIFY(!registry->database(spelling).isValid());
            QVERIFY(!registry->isTokenConnection(spelling));
            QVERIFY(registry->schema(spelling).name.isEmpty());
        }
        QVERIFY(registry->database(tenant.token).isValid());
        QCOMPARE(registry->tokenConnectionNames(), QStringList { DBManager::connectionName(tenant.token) });
    }

    // After a reload every token's row is read again: a disabled tenant is
    // refused, a rotated token or a changed password takes effect at once.
    void reloadReadsTheRowsAgain()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("reload"));
        QVERIFY(registry->database(tenant.token).isValid());
        setTenantColumn(tenant.token, QStringLiteral("status = 0"));
        QVERIFY(registry->database(tenant.token).isValid()); // cached until the reload
        registry->reloadTenants();
        QVERIFY(!registry->database(tenant.token).isValid());
        QVERIFY(registry->schema(tenant.token).name.isEmpty());

        setTenantColumn(tenant.token, QStringLiteral("status = 1"));
        QVERIFY(registry->database(tenant.token).isValid());

        const QString rotated = tenant.token + QStringLiteral("-new");
        QCOMPARE(TestDatabase::exec(infoDb(),
                     QStringLiteral("ALTER USER '%1'@'%' IDENTIFIED BY 'changed'").arg(tenant.user)),
            QString());
        setTenantColumn(
            tenant.token, QStringLiteral("pass = TO_BASE64('changed'), token = '%1'").arg(rotated));
        QVERIFY(registry->database(tenant.token).isValid()); // still the old row until the reload
        registry->reloadTenants();
        QVERIFY(!registry->database(tenant.token).isValid());
        QSqlDatabase handle = registry->database(rotated);
        QCOMPARE(handle.password(), QStringLiteral("changed"));
        QSqlDatabase clone = QSqlDatabase::cloneDatabase(handle, QStringLiteral("registry.reloaded"));
        QVERIFY(clone.open());
        clone = handle = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("registry.reloaded"));
        setTenantColumn(rotated, QStringLiteral("token = '%1'").arg(tenant.token)); // for dropTenant
    }

    // A server that stops answering holds a worker no longer than the read
    // timeout: the clone inherits the template's timeouts.
    void timeoutsReachTheClones()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("slow"));
        registry->setConnectionTimeouts(2, 1, 1);
        QSqlDatabase clone
            = QSqlDatabase::cloneDatabase(registry->database(tenant.token), QStringLiteral("registry.slow"));
        QVERIFY(clone.open());
        QElapsedTimer timer;
        timer.start();
        QSqlQuery query(clone);
        QVERIFY(!query.exec(QStringLiteral("SELECT SLEEP(20)")));
        QVERIFY2(timer.elapsed() < 15000, "the read timeout did not end the statement");
        query = QSqlQuery();
        clone = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("registry.slow"));
    }

    void unusableRowsFallBack_data()
    {
        QTest::addColumn<QString>("assignment");
        QTest::addColumn<bool>("madeTemplate"); // the row was read, the connection failed
        QTest::newRow("inactive") << QStringLiteral("status = 2") << false;
        QTest::newRow("empty pass") << QStringLiteral("pass = ''") << false;
        QTest::newRow("empty user") << QStringLiteral("user = ''") << false;
        QTest::newRow("wrong pass") << QStringLiteral("pass = TO_BASE64('wrong')") << true;
    }
    void unusableRowsFallBack()
    {
        QFETCH(QString, assignment);
        QFETCH(bool, madeTemplate);
        const auto tenant = TestDatabase::createTenant(QStringLiteral("bad"));
        setTenantColumn(tenant.token, assignment);
        if (madeTemplate) {
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression(QStringLiteral("^DBManager:: database .*NOT OPEN!$")));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^SQL ERROR: .*denied.*")));
        }
        QVERIFY(!registry->database(tenant.token).isValid());
        QCOMPARE(registry->isTokenConnection(tenant.token), madeTemplate);
        QCOMPARE(registry->schema(tenant.token).name.isEmpty(), !madeTemplate);
    }

    void passwordStopsAtZeroByte()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("zero"));
        const QByteArray stored = (tenant.password.toUtf8() + QByteArray("\0tail", 5)).toBase64();
        setTenantColumn(tenant.token, QStringLiteral("pass = '%1'").arg(QString::fromLatin1(stored)));
        QVERIFY(registry->database(tenant.token).isValid()); // the template opened: not the fallback
        QCOMPARE(registry->schema(tenant.token).pass, tenant.password);
    }

    void quotesCannotChangeStatements_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("single quote") << QStringLiteral("it's");
        QTest::newRow("backslash quote") << QStringLiteral("a\\' OR 1=1 -- ");
        QTest::newRow("double quote") << QStringLiteral("say \"hi\"");
        QTest::newRow("non-ASCII") << QStringLiteral("t\u00f6k\u00e9n\u2713");
    }
    void quotesCannotChangeStatements()
    {
        QFETCH(QString, token);
        const auto tenant = TestDatabase::createTenant(QStringLiteral("quote"));
        // The tenant row answers only to its exact token text.
        QSqlQuery update(TestDatabase::adminConnection(infoDb()));
        QVERIFY_SQL(update, prepare(QStringLiteral("UPDATE `schemas` SET token = ? WHERE token = ?")));
        update.addBindValue(token);
        update.addBindValue(tenant.token);
        QVERIFY_SQL(update, exec());
        QVERIFY(!registry->database(QStringLiteral("x' OR '1'='1")).isValid());
        QVERIFY(!registry->database(token + QStringLiteral("x")).isValid());
        QCOMPARE(registry->database(token).databaseName(), tenant.schema);
        QCOMPARE(registry->tokenForSchema(tenant.schema), token);
        QVERIFY(registry->setMaintenance(token));
        QVERIFY(registry->tokenForSchema(QStringLiteral("x' OR '1'='1")).isEmpty());
    }

    void workListsAndStamps()
    {
        // A fresh information database of its own, so that other tenants of
        // this process do not take part.
        QCOMPARE(TestDatabase::exec(infoDb(), QStringLiteral("UPDATE `schemas` SET status = 0")), QString());
        QStringList tokens;
        for (int i = 0; i < 3; ++i)
            tokens << TestDatabase::createTenant(QStringLiteral("work")).token;
        const qint64 old = QDateTime::currentSecsSinceEpoch() - 1000;
        setTenantColumn(tokens[0], QStringLiteral("maintenance = %1, recalc = 30").arg(old));
        setTenantColumn(tokens[1], QStringLiteral("maintenance = %1, recalc = 10").arg(old - 5));
        setTenantColumn(tokens[2], QStringLiteral("maintenance = UNIX_TIMESTAMP(), recalc = 20"));

        QCOMPARE(registry->loadTokens4Maintenance(10), (QStringList { tokens[1], tokens[0] }));
        QCOMPARE(registry->loadTokens4Maintenance(1), QStringList { tokens[1] });
        QVERIFY(registry->loadTokens4Maintenance(0).isEmpty());
        QCOMPARE(registry->loadTokens4Recalculate(10), (QStringList { tokens[1], tokens[2], tokens[0] }));

        QVERIFY(registry->setMaintenance(tokens[1]));
        QCOMPARE(registry->loadTokens4Maintenance(10), QStringList { tokens[0] });
        QVERIFY(registry->setRecalc(tokens[1]));
        QCOMPARE(registry->loadTokens4Recalculate(10).last(), tokens[1]);

        QVERIFY(!registry->setMaintenance(QStringLiteral("absent")));
        setTenantColumn(tokens[0], QStringLiteral("status = 0"));
        QVERIFY(!registry->setRecalc(tokens[0]));
        QVERIFY(registry->tokenForSchema(registry->schema(tokens[0]).name).isEmpty());
    }

    void closeInfoDatabaseAfterEachUse()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("close"));
        registry->setCloseInfoDatabase(true);
        QVERIFY(registry->database(tenant.token).isValid());
        QVERIFY(!registry->infoDatabase().isOpen());
        QVERIFY(registry->setMaintenance(tenant.token));
        QVERIFY(!registry->infoDatabase().isOpen());
        QVERIFY(!registry->loadTokens4Recalculate(5).isEmpty());
        QVERIFY(!registry->infoDatabase().isOpen());
        QCOMPARE(registry->tokenForSchema(tenant.schema), tenant.token);
        QVERIFY(!registry->infoDatabase().isOpen());
        QVERIFY(registry->openInfoDatabase());
        QVERIFY(registry->infoDatabase().isOpen());
    }

    // The empty token names the main database, opened by nobody; the host's
    // own connections never enter the queue of unused ones.
    void mainDatabaseAndUnusedQueue()
    {
        registry->setMainDatabase(
            QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("registry.main")));
        QCOMPARE(registry->database(QString()).connectionName(), QStringLiteral("registry.main"));
        QVERIFY(registry->tokenConnectionNames().isEmpty());
        QVERIFY(!registry->infoDatabase().isOpen()); // not even opened
        for (const QString &name : QStringList { QStringLiteral("registry.main"), infoName,
                 QStringLiteral("ORV.LUMODB"), QLatin1String(QSqlDatabase::defaultConnection) }) {
            QTest::ignoreMessage(QtWarningMsg,
                qPrintable(QStringLiteral("DBManager::addUnusedConnection() Master connection \"%1\" "
                                          "cannot add to unused connections!")
                               .arg(name)));
            registry->addUnusedConnection(name);
        }
        registry->addUnusedConnection(QString());
        QVERIFY(registry->unusedConnectionNames().isEmpty());

        QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("registry.clone"));
        registry->addUnusedConnection(QStringLiteral("registry.clone"));
        registry->addUnusedConnection(QStringLiteral("registry.clone"));
        QCOMPARE(registry->unusedConnectionNames().size(), 2);
        registry->removeUnusedConnections();
        QVERIFY(registry->unusedConnectionNames().isEmpty());
        QVERIFY(!QSqlDatabase::contains(QStringLiteral("registry.clone")));
        QVERIFY(QSqlDatabase::contains(QStringLiteral("registry.main")) && QSqlDatabase::contains(infoName));
        registry->setMainDatabase(QSqlDatabase());
        QSqlDatabase::removeDatabase(QStringLiteral("registry.main"));
    }

    // A worker hands its clone back only when told to, once, and never a
    // handle that it did not clone and open itself.
    void workerReleasesOnlyItsClones()
    {
        const auto tenant = TestDatabase::createTenant(QStringLiteral("rel"));
        QString kept;
        for (const bool release : { false, true }) {
            WorkerHarness worker(registry.get());
            worker.setReleaseConnection(release);
            worker.parseHeader({ QStringLiteral("Pragma: token = ") + tenant.token });
            QVERIFY(worker.initDatabase() && worker.isDbOpened());
            const QString name = worker.database().connectionName();
            worker.closeAndRemoveDB();
            QVERIFY(!worker.isDbOpened());
            QCOMPARE(registry->unusedConnectionNames(), release ? QStringList { name } : QStringList());
            worker.closeAndRemoveDB(); // queues nothing twice
            QCOMPARE(registry->unusedConnectionNames().size(), release ? 1 : 0);
            registry->removeUnusedConnections();
            QCOMPARE(QSqlDatabase::contains(name), !release);
            if (!release)
                kept = name;
        }
        QSqlDatabase::removeDatabase(kept); // nothing queued it: the owner removes it

        WorkerHarness worker(registry.get());
        QSqlDatabase foreign = registry->database(tenant.token);
        QVERIFY(foreign.open());
        worker.HttpPluginWorker::setDatabase(foreign); // not cloned, not opened by the worker
        worker.closeAndRemoveDB();
        QVERIFY(foreign.isOpen());
        QVERIFY(registry->unusedConnectionNames().isEmpty());
    }

    // Eight threads with a worker each share one registry: four ask for the
    // same tenant, four for tenants of their own. Every request must run on a
    // connection of its own thread, against the right tenant.
    void manyThreads()
    {
        const auto shared = TestDatabase::createTenant(QStringLiteral("shared"));
        QVector<TestDatabase::Tenant> tenants;
        for (int i = 0; i < 8; ++i) {
            const TestDatabase::Tenant t = i < 4 ? shared : TestDatabase::createTenant(QStringLiteral("own"));
            if (i == 0 || i >= 4)
                QCOMPARE(TestDatabase::exec(t.schema,
                             QStringLiteral("INSERT INTO term (tid, vornID, status) "
                                            "VALUES (1, %1, 1)")
                                 .arg(1000 + i)),
                    QString());
            tenants << t;
        }
        const int baseConnections = QSqlDatabase::connectionNames().size();
        constexpr int requests = 40;
        QAtomicInteger<int> failures;
        QAtomicInteger<int> crossTenant;
        QVector<QThread *> threads;
        for (int i = 0; i < 8; ++i) {
            const TestDatabase::Tenant tenant = tenants[i];
            const quint32 vorn = i < 4 ? 1000 : 1000 + i;
            const quint32 otherVorn = i < 4 ? 1005 : 1000;
            DBManager *reg = registry.get();
            threads << QThread::create([=, &failures, &crossTenant] {
                WorkerHarness worker(reg);
                for (int r = 0; r < requests; ++r) {
                    worker.parseHeader({ QStringLiteral("Pragma: token = ") + tenant.token });
                    if (!worker.initDatabase() || !worker.dbCheckTerm(1, vorn))
                        ++failures;
                    if (worker.dbCheckTerm(1, otherVorn))
                        ++crossTenant;
                    if (worker.database().driver()->thread() != QThread::currentThread())
                        ++failures;
                    worker.database().close();
                    if (r % 10 == 9)
                        reg->removeUnusedConnections();
                }
            });
        }
        for (QThread *t : threads)
            t->start();
        for (QThread *t : threads) {
            QVERIFY(t->wait(120000));
            delete t;
        }
        QCOMPARE(int(failures), 0);
        QCOMPARE(int(crossTenant), 0);
        // One template per token, made once.
        QCOMPARE(registry->tokenConnectionNames().size(), 5);
        QCOMPARE(registry->tokenConnectionNames().count(DBManager::connectionName(shared.token)), 1);
        // Every clone went back to the registry: nothing grows.
        registry->removeUnusedConnections();
        QCOMPARE(QSqlDatabase::connectionNames().size(), baseConnections + 5);
    }
};

QTEST_GUILESS_MAIN(TstRegistry)
#include "tst_registry.moc"
