#include "lumodbsettings.h"
#include "testdatabase.h"

#include <QSqlQuery>
#include <QtTest>

// The settings store on a tenant's `vars` table, through the tenant's own user.
namespace {

class Store
{
public:
    explicit Store(const QString &tag)
        : tenant(TestDatabase::createTenant(tag))
        , name(QStringLiteral("settings.%1").arg(tenant.schema))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(TestDatabase::host());
        db.setPort(TestDatabase::port());
        db.setUserName(tenant.user);
        db.setPassword(tenant.password);
        db.setDatabaseName(tenant.schema);
        settings.setDatabase(db);
        opened = settings.open();
    }
    ~Store()
    {
        settings = LumoDbSettings();
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
        TestDatabase::dropTenant(tenant);
    }
    QStringList names() const
    {
        QStringList all;
        QSqlQuery q(TestDatabase::adminConnection(tenant.schema));
        q.exec(QStringLiteral("SELECT name FROM vars"));
        while (q.next())
            all << q.value(0).toString();
        all.sort();
        return all;
    }

    TestDatabase::Tenant tenant;
    QString name;
    LumoDbSettings settings;
    bool opened = false;
};

} // namespace

class TstSettings : public QObject
{
    Q_OBJECT
private slots:
    void readWriteDelete()
    {
        REQUIRE_TEST_DATABASE();
        Store store(QStringLiteral("set"));
        QVERIFY(store.opened);
        LumoDbSettings &s = store.settings;
        QCOMPARE(s.variableGet(QStringLiteral("missing"), 7), QVariant(7));
        TestDatabase::exec(store.tenant.schema, QStringLiteral("INSERT INTO vars VALUES ('nothing', NULL)"));
        const QVariant null = s.variableGet(QStringLiteral("nothing"), 7);
        QVERIFY(null.isNull());

        QVERIFY(s.variableSet(QStringLiteral("a"), 1));
        QVERIFY(s.variableSet(QStringLiteral("a"), QStringLiteral("two")));
        QCOMPARE(s.variableGet(QStringLiteral("a")).toString(), QStringLiteral("two"));
        QVERIFY(s.variableSet(QVariantMap()));
        QVERIFY(s.variableSet(QVariantMap { { QStringLiteral("b"), 2 }, { QStringLiteral("c"), QVariant() } }));
        QCOMPARE(s.variableGetMultiple(QStringList { QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("x") }).keys(),
                 (QStringList { QStringLiteral("a"), QStringLiteral("c") }));
        QVERIFY(s.variableGetMultiple(QStringList()).isEmpty());

        // One entry the column refuses: the others are stored, the answer is false.
        QVERIFY(!s.variableSet(QVariantMap { { QStringLiteral("d"), 4 }, { QString(300, QLatin1Char('n')), 5 }, { QStringLiteral("e"), 5 } }));
        QCOMPARE(store.names(), (QStringList { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"),
                                               QStringLiteral("e"), QStringLiteral("nothing") }));

        QVERIFY(!s.variableDel(QStringLiteral("missing")));
        QVERIFY(s.variableDel(QStringLiteral("a")));
        QVERIFY(!s.variableDel(QStringLiteral("a")));

        // A closed handle fails like any statement.
        s.close();
        QVERIFY(!s.variableSet(QStringLiteral("f"), 1));
        QCOMPARE(s.variableGet(QStringLiteral("b"), 9), QVariant(9));
        QVERIFY(s.variableGetMultiple(QStringLiteral("")).isEmpty());
    }

    // Names reach their rows unchanged and never change a statement.
    void namesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("single quote breakout") << QStringLiteral("x' OR '1'='1");
        QTest::newRow("double quote") << QStringLiteral("say \"hi\"");
        QTest::newRow("backslashes") << QStringLiteral("a\\'b\\");
        QTest::newRow("wildcards") << QStringLiteral("50%_off");
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
        QTest::newRow("non-ASCII") << QStringLiteral(u"Größe 漢字");
        QTest::newRow("long") << QStringLiteral("'\\\"").repeated(63);
    }
    void namesRoundTrip()
    {
        QFETCH(QString, name);
        REQUIRE_TEST_DATABASE();
        Store store(QStringLiteral("names"));
        LumoDbSettings &s = store.settings;
        QVERIFY(s.variableSet(QStringLiteral("other"), 1));
        QVERIFY(s.variableSet(name, name));
        QCOMPARE(s.variableGet(name).toString(), name);
        QCOMPARE(s.variableGetMultiple(QStringList { name, QStringLiteral("x") }), (QVariantMap { { name, name } }));
        QCOMPARE(s.variableGetMultiple(name).value(name).toString(), name);
        QVERIFY(s.variableDel(name));
        QCOMPARE(store.names(), QStringList { QStringLiteral("other") });
    }

    // A prefix is a LIKE pattern whose "_" and "%" stay wildcards, while a
    // backslash or quote matches itself.
    void prefixPatterns_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("matched");
        const QStringList allA { QStringLiteral("a%c"), QStringLiteral("a\\d"), QStringLiteral("a_b"), QStringLiteral("axb") };
        QTest::newRow("plain") << QStringLiteral("ax") << QStringList { QStringLiteral("axb") };
        QTest::newRow("underscore is a wildcard") << QStringLiteral("a_") << allA;
        QTest::newRow("percent is a wildcard") << QStringLiteral("a%") << allA;
        QTest::newRow("backslash matches itself") << QStringLiteral("a\\") << QStringList { QStringLiteral("a\\d") };
        QTest::newRow("quote") << QStringLiteral("a'") << QStringList();
        QTest::newRow("empty matches all") << QString() << allA + QStringList { QStringLiteral("b") };
    }
    void prefixPatterns()
    {
        QFETCH(QString, prefix);
        QFETCH(QStringList, matched);
        REQUIRE_TEST_DATABASE();
        Store store(QStringLiteral("prefix"));
        LumoDbSettings &s = store.settings;
        const QStringList all { QStringLiteral("a%c"), QStringLiteral("a\\d"), QStringLiteral("a_b"), QStringLiteral("axb"), QStringLiteral("b") };
        for (const QString &name : all)
            QVERIFY(s.variableSet(name, name));
        QCOMPARE(s.variableGetMultiple(prefix).keys(), matched);
        QCOMPARE(s.variableDel(prefix, true), !matched.isEmpty());
        QStringList left = all;
        for (const QString &name : matched)
            left.removeOne(name);
        QCOMPARE(store.names(), left);
    }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
