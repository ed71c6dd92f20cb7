#include "lumodbsettings.h"
#include "testtenant.h"

#include <QtTest>

// The settings store on one tenant's `vars` table, through the tenant's own
// user; every case starts from an empty table.
namespace {
QString s(const char *text)
{
    return QString::fromUtf8(text);
}
const QStringList prefixed { s("a%c"), s("a\\d"), s("a_b"), s("axb") };
} // namespace

class TstSettings : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestTenant> tenant;
    LumoDbSettings settings;

    // Names as stored, in byte order.
    QString names() const
    {
        return tenant->value("SELECT GROUP_CONCAT(name ORDER BY BINARY name SEPARATOR '|') FROM vars")
            .toString();
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        tenant = std::make_unique<TestTenant>("set");
        settings.setDatabase(
            TestDatabase::addConnection(s("settings"), tenant->schema, tenant->user, tenant->password));
    }
    void init()
    {
        QCOMPARE(tenant->exec("DELETE FROM vars"), QString());
        QVERIFY(settings.open());
    }
    void cleanupTestCase()
    {
        settings = LumoDbSettings();
        QSqlDatabase::removeDatabase(s("settings"));
        tenant.reset();
    }

    void readWriteDelete()
    {
        QCOMPARE(settings.variableGet(s("missing"), 7), QVariant(7));
        QCOMPARE(tenant->exec("INSERT INTO vars VALUES ('nothing', NULL)"), QString());
        QVERIFY(settings.variableGet(s("nothing"), 7).isNull());
        QVERIFY(settings.variableSet(s("a"), 1));
        QVERIFY(settings.variableSet(s("a"), s("two")));
        QCOMPARE(settings.variableGet(s("a")).toString(), s("two"));
        QVERIFY(settings.variableSet(QVariantMap()));
        QVERIFY(settings.variableSet(QVariantMap { { s("b"), 2 }, { s("c"), QVariant() } }));
        QCOMPARE(settings.variableGetMultiple(QStringList { s("a"), s("c"), s("x") }).keys(),
            (QStringList { s("a"), s("c") }));
        QVERIFY(settings.variableGetMultiple(QStringList()).isEmpty());
        // One entry the column refuses: the others are stored, the answer is false.
        QVERIFY(!settings.variableSet(
            QVariantMap { { s("d"), 4 }, { QString(300, QLatin1Char('n')), 5 }, { s("e"), 5 } }));
        QCOMPARE(names(), s("a|b|c|d|e|nothing"));
        QVERIFY(!settings.variableDel(s("missing")));
        QVERIFY(settings.variableDel(s("a")));
        QVERIFY(!settings.variableDel(s("a")));
        // A closed handle fails like any statement.
        settings.close();
        QVERIFY(!settings.variableSet(s("f"), 1));
        QCOMPARE(settings.variableGet(s("b"), 9), QVariant(9));
        QVERIFY(settings.variableGetMultiple(s("")).isEmpty());
    }

    // Names reach their rows unchanged and never change a statement.
    void namesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        const QString names[] { s("x' OR '1'='1"), s("say \"hi\""), s("a\\'b\\"), s("50%_off"),
            s("a") + QChar(0) + s("b"), s("Größe 漢字"), s("clock 🕰 𝄞"), s("'\\\"").repeated(63) };
        for (const QString &name : names)
            QTest::newRow(qPrintable(name.left(12))) << name;
    }
    void namesRoundTrip()
    {
        QFETCH(QString, name);
        QVERIFY(settings.variableSet(s("other"), 1));
        QVERIFY(settings.variableSet(name, name));
        QCOMPARE(settings.variableGet(name).toString(), name);
        QCOMPARE(
            settings.variableGetMultiple(QStringList { name, s("x") }), (QVariantMap { { name, name } }));
        QCOMPARE(settings.variableGetMultiple(name).value(name).toString(), name);
        QVERIFY(settings.variableDel(name));
        QCOMPARE(names(), s("other"));
    }

    // A prefix is a LIKE pattern whose "_" and "%" stay wildcards, while a
    // backslash or quote matches itself.
    void prefixPatterns_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("matched");
        QTest::newRow("plain") << s("ax") << QStringList { s("axb") };
        QTest::newRow("underscore is a wildcard") << s("a_") << prefixed;
        QTest::newRow("percent is a wildcard") << s("a%") << prefixed;
        QTest::newRow("backslash matches itself") << s("a\\") << QStringList { s("a\\d") };
        QTest::newRow("quote") << s("a'") << QStringList();
        QTest::newRow("empty matches all") << QString() << prefixed + QStringList { s("b") };
    }
    void prefixPatterns()
    {
        QFETCH(QString, prefix);
        QFETCH(QStringList, matched);
        QStringList left = prefixed + QStringList { s("b") };
        for (const QString &name : left)
            QVERIFY(settings.variableSet(name, name));
        QCOMPARE(settings.variableGetMultiple(prefix).keys(), matched);
        QCOMPARE(settings.variableDel(prefix, true), !matched.isEmpty());
        for (const QString &name : matched)
            left.removeOne(name);
        QCOMPARE(names(), left.join(QLatin1Char('|')));
    }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"