#include "admincommands.h"
#include "sqlscript.h"
#include "testdatabase.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QtTest>

// kelvo-admin's commands in-process against the test server, with an
// information database and host user of this process's own.
namespace {
QString s(const char *text)
{
    return QString::fromUtf8(text);
}
const QString pid = QString::number(QCoreApplication::applicationPid());
const QString info = s("kelvo_admin_") + pid;
const QString hostUser = s("kh_") + pid;
const QString tenant = s("ta_") + pid;

struct Run
{
    int code = -1;
    QString out;
    QString err;
    QString lastLine() const { return out.trimmed().split(QLatin1Char('\n')).constLast(); }
};

Run admin(QStringList args)
{
    args << s("--db") << s("mysql://root@%1:%2").arg(TestDatabase::host()).arg(TestDatabase::port())
         << s("--info-db") << info << s("--host-user") << hostUser;
    Run run;
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    run.code = AdminCommands(out, err, TestDatabase::sourceDir() + s("/db/sql")).run(args);
    return run;
}

// %1 the information database, %2 the tenant, %3 the host's user.
QString fill(QString sql)
{
    return sql.replace(s("%1"), info).replace(s("%2"), tenant).replace(s("%3"), hostUser);
}

QString scalar(const QString &sql)
{
    return TestDatabase::scalar(QString(), fill(sql)).toString();
}

// Whether user can run each statement, connected with password.
QList<bool> allowed(const QString &user, const QString &password, const QStringList &statements)
{
    QList<bool> result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(s("QMYSQL"), s("as-") + user);
        db.setHostName(TestDatabase::host());
        db.setPort(TestDatabase::port());
        db.setUserName(user);
        db.setPassword(password);
        if (db.open())
            for (const QString &sql : statements)
                result << QSqlQuery(db).exec(fill(sql));
    }
    QSqlDatabase::removeDatabase(s("as-") + user);
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
        const Run run = admin({ s("init") });
        QCOMPARE(run.code, 0);
        const QUrl url(run.lastLine().mid(s("info-db = ").size()));
        QCOMPARE(url.userName(), hostUser);
        QCOMPARE(url.path(), s("/") + info);
        hostPassword = url.password();
        QCOMPARE(hostPassword.size(), 24);
    }
    void cleanupTestCase()
    {
        if (!TestDatabase::available())
            return;
        for (const QString &sql : { s("DROP DATABASE IF EXISTS `%1`"), s("DROP DATABASE IF EXISTS `%2`"),
                 s("DROP USER IF EXISTS '%2'@'%'"), s("DROP USER IF EXISTS '%3'@'%'") })
            TestDatabase::exec(QString(), fill(sql));
    }

    void initTwiceChangesNothing()
    {
        const QString state
            = s("SELECT CONCAT((SELECT Password FROM mysql.user WHERE User = '%3'), "
                "(SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '%1'))");
        const QString before = scalar(state);
        const Run run = admin({ s("init") });
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.contains(s("nothing changed")), qPrintable(run.out));
        QCOMPARE(scalar(state), before);
    }

    // Commands in order on one tenant: what each answers and what it leaves behind.
    void commands_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("check");
        QTest::addColumn<QString>("expected");
        const QString row = s("SELECT GROUP_CONCAT(status) FROM `%1`.`schemas` WHERE name = '%2'");
        const QString schema
            = s("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE '%2%'");
        QTest::newRow("add") << s("tenant add @") << 0 << s("its token") << row << s("1");
        QTest::newRow("add again") << s("tenant add @") << 1 << s("exists already; nothing changed") << row
                                   << s("1");
        QTest::newRow("disable") << s("tenant disable @") << 0 << s("disabled") << row << s("0");
        QTest::newRow("disable again") << s("tenant disable @") << 0 << s("nothing changed") << row << s("0");
        QTest::newRow("enable") << s("tenant enable @") << 0 << s("enabled") << row << s("1");
        QTest::newRow("drop unasked") << s("tenant drop @") << 2 << s("--yes-really") << row << s("1");
        // Upper case, a digit first, a quote, 33 characters.
        for (const QString &name : { s("Ta"), s("1ta"), s("ta`x"), s("ta_") + QString(30, QLatin1Char('x')) })
            QTest::newRow(qPrintable(name))
                << s("tenant add ") + name << 2 << s("no tenant name") << schema << s("1");
        QTest::newRow("system schema")
            << s("tenant add mysql") << 1 << s("exists already") << schema << s("1");
        QTest::newRow("host user") << s("tenant add ") + hostUser << 1 << s("host's user") << schema
                                   << s("1");
        QTest::newRow("short token") << s("tenant add tb --token abc") << 2 << s("token is") << schema
                                     << s("1");
        QTest::newRow("unknown tenant")
            << s("tenant disable nosuch") << 1 << s("no tenant 'nosuch'") << row << s("1");
        QTest::newRow("no name") << s("terminals") << 2 << s("usage: kelvo-admin terminals NAME") << row
                                 << s("1");
        QTest::newRow("unknown command") << s("tenant frob @") << 2 << s("unknown command") << row << s("1");
        QTest::newRow("unknown flag")
            << s("tenant list --yes-really") << 2 << s("unknown option") << row << s("1");
    }
    void commands()
    {
        QFETCH(QString, line);
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(QString, check);
        QFETCH(QString, expected);
        const Run run = admin(line.replace(QLatin1Char('@'), tenant).split(QLatin1Char(' ')));
        QVERIFY2(run.code == code, qPrintable(run.out + run.err));
        QVERIFY2((run.out + run.err).contains(says), qPrintable(run.out + run.err));
        QCOMPARE(scalar(check), expected);
    }

    // Each account reaches its own database and nothing else.
    void rights()
    {
        const QString password = QString::fromUtf8(QByteArray::fromBase64(
            scalar(s("SELECT pass FROM `%1`.`schemas` WHERE name = '%2'")).toLatin1()));
        const QStringList statements { s("SELECT COUNT(*) FROM `%2`.term"),
            s("INSERT INTO `%2`.vars VALUES ('k', 'v')"), s("SELECT `%2`.getSaldo(1, 0)"),
            s("SELECT COUNT(*) FROM `%1`.`schemas`"), s("UPDATE `%1`.`schemas` SET recalc = 0"),
            s("INSERT INTO `%1`.`schemas` (token, name, user) VALUES ('t', 'n', 'u')") };
        QCOMPARE(
            allowed(tenant, password, statements), (QList<bool> { true, true, true, false, false, false }));
        QCOMPARE(allowed(hostUser, hostPassword, statements),
            (QList<bool> { false, false, false, true, true, false }));
    }

    void listAndTerminals()
    {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(TestDatabase::exec(tenant,
                     s("INSERT INTO term (tid, vornID, name, type, status, online, syn) "
                       "VALUES (7, 1001, 'door', 'in', 1, %1, 3), (8, 1002, 'gate', 'out', 0, 0, 0)")
                         .arg(now - 200)),
            QString());
        QCOMPARE(TestDatabase::exec(tenant, s("INSERT INTO term_sync (tid, flags) VALUES (7, 1), (7, 2)")),
            QString());

        Run run = admin({ s("tenant"), s("list"), s("--json") });
        QCOMPARE(run.code, 0);
        const QJsonArray tenants = QJsonDocument::fromJson(run.out.toUtf8()).array();
        QCOMPARE(tenants.size(), 1);
        QCOMPARE(tenants.at(0).toObject().value(s("terminals")).toInt(), 2);
        QCOMPARE(tenants.at(0).toObject().value(s("status")).toString(), s("active"));
        const QString token = scalar(s("SELECT token FROM `%1`.`schemas` WHERE name = '%2'"));
        QCOMPARE(tenants.at(0).toObject().value(s("tokenPrefix")).toString(), token.left(6) + s("..."));
        QVERIFY(!run.out.contains(token));

        run = admin({ s("terminals"), tenant, s("--json") });
        QCOMPARE(run.code, 0);
        const QJsonArray terminals = QJsonDocument::fromJson(run.out.toUtf8()).array();
        QCOMPARE(terminals.size(), 2);
        const QJsonObject door = terminals.at(0).toObject();
        QCOMPARE(door.value(s("vornID")).toInt(), 1001);
        QCOMPARE(door.value(s("lastContact")).toString(), s("3 min ago"));
        QCOMPARE(door.value(s("pendingMask")).toInt(), 3);
        QCOMPARE(door.value(s("pendingMarkers")).toInt(), 2);
        QCOMPARE(terminals.at(1).toObject().value(s("lastContact")).toString(), s("never"));

        run = admin({ s("terminals"), tenant });
        QVERIFY2(run.out.contains(QRegularExpression(s("\\n7 +1001 +door +in +active +3 min ago +3 +2\\n"))),
            qPrintable(run.out));
    }

    void rotateToken()
    {
        const QString tokenSql = s("SELECT token FROM `%1`.`schemas` WHERE name = '%2'");
        const QString old = scalar(tokenSql);
        Run run = admin({ s("tenant"), s("rotate-token"), tenant });
        QCOMPARE(run.code, 0);
        QVERIFY(run.lastLine() != old);
        QVERIFY(AdminCommands::isToken(run.lastLine()));
        QCOMPARE(scalar(tokenSql), run.lastLine());
        run = admin({ s("tenant"), s("rotate-token"), tenant, s("--token"), run.lastLine() });
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(s("in use")), qPrintable(run.err));
    }

    void drop()
    {
        const QString left
            = s("SELECT CONCAT((SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '%2'),"
                "(SELECT COUNT(*) FROM mysql.user WHERE User = '%2'),"
                "(SELECT COUNT(*) FROM `%1`.`schemas` WHERE name = '%2'))");
        QCOMPARE(scalar(left), s("111"));
        Run run = admin({ s("tenant"), s("drop"), tenant, s("--yes-really") });
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QCOMPARE(scalar(left), s("000"));
        run = admin({ s("tenant"), s("drop"), tenant, s("--yes-really") });
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains(s("nothing dropped")));
    }

    void age_data()
    {
        QTest::addColumn<qint64>("ago");
        QTest::addColumn<QString>("text");
        QTest::newRow("seconds") << qint64(59) << s("59 s ago");
        QTest::newRow("minutes") << qint64(3599) << s("59 min ago");
        QTest::newRow("hours") << qint64(7200) << s("2 h ago");
        QTest::newRow("days") << qint64(3 * 86400 + 5) << s("3 d ago");
        QTest::newRow("clock behind") << qint64(-30) << s("0 s ago");
    }
    void age()
    {
        QFETCH(qint64, ago);
        QFETCH(QString, text);
        QCOMPARE(AdminCommands::age(1000000 - ago, 1000000), text);
    }

    // Statements as the client would send them; files with stored functions need DELIMITER.
    void script_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("statements");
        QTest::newRow("plain") << s("SELECT 1;\nSELECT 2;") << QStringList { s("SELECT 1"), s("SELECT 2") };
        QTest::newRow("quoted delimiter")
            << s("SELECT ';', \"a\\\";\", `x;`;") << QStringList { s("SELECT ';', \"a\\\";\", `x;`") };
        QTest::newRow("comments") << s("-- don't; stop\n# it's;\n/* ; ' */ SELECT 1;\n-- tail")
                                  << QStringList { s("-- don't; stop\n# it's;\n/* ; ' */ SELECT 1") };
        QTest::newRow("delimiter") << s(
            "DELIMITER //\nCREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END //\n"
            "DELIMITER ;\nSELECT f();")
                                   << QStringList { s("CREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END"),
                                          s("SELECT f()") };
    }
    void script()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, statements);
        QCOMPARE(SqlScript::statements(text), statements);
    }
};

QTEST_GUILESS_MAIN(TstAdmin)
#include "tst_admin.moc"
