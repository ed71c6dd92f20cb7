// kelvo-admin's commands in-process against the test server, with an
// information database and host user of this process's own: what each
// command says, what it leaves behind, and what each account may reach.
#include "admincommands.h"
#include "testdatabase.h"

#include <QSqlQuery>
#include <QtTest>

namespace {

const QString pid = QString::number(QCoreApplication::applicationPid());
const QString info = s("kelvo_admin_") + pid;
const QString hostUser = s("kh_") + pid;
const QString tenant = s("ta_") + pid;
const QString token = s("rotated.token-") + pid;

// %1 the information database, %2 the tenant, %3 the host's user, %4 the
// token it is given, %5 the test server.
QString fill(QString text)
{
    const QString values[]
        = { info, tenant, hostUser, token, TestDatabase::host() + s(":%1").arg(TestDatabase::port()) };
    for (int i = 0; i < 5; ++i)
        text.replace(QLatin1Char('%') + QString::number(i + 1), values[i]);
    return text;
}

// The exit code, a space, and what the command wrote.
QString admin(const QString &line)
{
    QString text;
    QTextStream out(&text);
    const int code = AdminCommands(out, out, TestDatabase::sourceDir() + s("/db/sql"))
                         .run(fill(line + s(" --db mysql://root@%5 --info-db %1 --host-user %3"))
                                  .split(QLatin1Char(' ')));
    out.flush();
    return QString::number(code) + QLatin1Char(' ') + text;
}

QString scalar(const QString &sql)
{
    return TestDatabase::scalar(QString(), fill(sql)).toString();
}

// For each statement, whether user may run it: "y" or "n".
QString allowed(const QString &user, const QString &password)
{
    QSqlDatabase db = TestDatabase::addConnection(user, QString(), user, password);
    QString result;
    for (const char *sql : { "SELECT COUNT(*) FROM `%2`.term", "INSERT INTO `%2`.vars VALUES ('k', 'v')",
             "SELECT `%2`.getSaldo(1, 0)", "SELECT COUNT(*) FROM `%1`.`schemas`",
             "UPDATE `%1`.`schemas` SET recalc = 0",
             "INSERT INTO `%1`.`schemas` (token, name, user) VALUES ('t', 'n', 'u')" })
        result += db.open() && QSqlQuery(db).exec(fill(s(sql))) ? QLatin1Char('y') : QLatin1Char('n');
    return result;
}

} // namespace

class TstAdmin : public QObject
{
    Q_OBJECT
    QString hostPassword;

private slots:
    void initTestCase()
    {
        REQUIRE_TEST_DATABASE();
        const QString said = admin(s("init"));
        QVERIFY2(said.startsWith(s("0 ")), qPrintable(said));
        const QUrl url(said.trimmed().section(QLatin1Char('\n'), -1).mid(s("info-db = ").size()));
        QCOMPARE(url.toString(QUrl::RemovePassword), fill(s("mysql://%3@%5/%1")));
        QCOMPARE((hostPassword = url.password()).size(), 24);
        const QString again = admin(s("init"));
        QVERIFY2(again.startsWith(s("0 ")) && again.contains(s("nothing changed")), qPrintable(again));
        QVERIFY(admin(s("tenant add %2")).startsWith(s("0 ")));
    }

    void cleanupTestCase()
    {
        for (const char *sql : { "DROP DATABASE IF EXISTS `%1`", "DROP DATABASE IF EXISTS `%2`",
                 "DROP USER IF EXISTS '%2'@'%'", "DROP USER IF EXISTS '%3'@'%'" })
            TestDatabase::exec(QString(), fill(s(sql)));
    }

    // Each account reaches its own database and nothing else, also after init ran again.
    void rights()
    {
        const QString password = QString::fromUtf8(QByteArray::fromBase64(
            scalar(s("SELECT pass FROM `%1`.`schemas` WHERE name = '%2'")).toLatin1()));
        QCOMPARE(allowed(tenant, password), s("yyynnn"));
        QCOMPARE(allowed(hostUser, hostPassword), s("nnnyyn"));
    }

    void listAndTerminals()
    {
        for (const char *sql :
            { "INSERT INTO term (tid, vornID, name, type, status, online, syn) VALUES (7, 1001, "
              "'door', 'in', 1, UNIX_TIMESTAMP() - 200, 3), (8, 1002, 'gate', 'out', 0, 0, 0)",
                "INSERT INTO term_sync (tid, flags) VALUES (7, 1), (7, 2)" })
            QCOMPARE(TestDatabase::exec(tenant, s(sql)), QString());
        // Columns as wide as their widest cell; the token as a prefix.
        QCOMPARE(admin(s("tenant list")).simplified(),
            fill(s("0 NAME STATUS TOKEN TERMINALS PERSONS %2 active ")
                + scalar(s("SELECT LEFT(token, 6) FROM `%1`.`schemas`")) + s("... 2 0")));
        QCOMPARE(admin(s("terminals %2")).simplified(),
            s("0 ID VORN ID NAME TYPE STATUS LAST CONTACT PENDING MARKERS "
              "7 1001 door in active 3 min ago 3 2 8 1002 gate out disabled never 0 0"));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("says"); // the exit code, then a part of what it wrote
        QTest::addColumn<QString>("state"); // the tenant's status, schema and user afterwards

        const auto row = [](const char *line, const char *says, const char *state = "1 1 1") {
            QTest::addRow("%s: %s", line, says) << s(line) << s(says) << s(state);
        };
        row("tenant add %2", "1 exists already; nothing changed");
        row("tenant disable %2", "0 disabled", "0 1 1");
        row("tenant disable %2", "0 nothing changed", "0 1 1");
        row("tenant enable %2", "0 enabled");
        row("tenant drop %2", "2 --yes-really");
        // Upper case, a digit first, a quote, 33 characters.
        for (const char *name : { "Ta", "1ta", "ta`x", "ta_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx" })
            QTest::newRow(name) << s("tenant add ") + s(name) << s("2 no tenant name") << s("1 1 1");
        row("tenant add mysql", "1 exists already");
        row("tenant add %3", "1 host's user");
        row("tenant add tb --token abc", "2 token is");
        row("tenant disable nosuch", "1 no tenant 'nosuch'");
        row("tenant list --yes-really", "2 unknown option");
        row("tenant rotate-token %2", "0 ");
        row("tenant rotate-token %2 --token %4", "0 %4");
        row("tenant rotate-token %2 --token %4", "1 in use");
        row("tenant drop %2 --yes-really", "0 ", "0 0");
        row("tenant drop %2 --yes-really", "0 nothing dropped", "0 0");
    }

    // In order on one tenant.
    void commands()
    {
        QFETCH(QString, line);
        QFETCH(QString, says);
        QFETCH(QString, state);
        const QString said = admin(line);
        QVERIFY2(said.startsWith(says.left(2)) && said.contains(fill(says.mid(2))), qPrintable(said));
        QCOMPARE(scalar(s("SELECT CONCAT_WS(' ', (SELECT GROUP_CONCAT(status) FROM `%1`.`schemas`), "
                          "(SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '%2'), "
                          "(SELECT COUNT(*) FROM mysql.user WHERE User = '%2'))")),
            state);
    }
};

QTEST_GUILESS_MAIN(TstAdmin)
#include "tst_admin.moc"
