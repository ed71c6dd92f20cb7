#include "testdatabase.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlQuery>
#include <QThread>

#include <atomic>

namespace {

const QString clientProgram = qEnvironmentVariable("KELVO_TEST_DB_CLIENT", s("mariadb"));

// Runs program to its end; false, with its error output in error, when it failed.
bool run(QProcess &process, const QString &program, const QStringList &arguments, QString *error)
{
    process.start(program, arguments);
    const bool done = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!done && error)
        *error = QString::fromLocal8Bit(process.readAllStandardError()) + process.errorString();
    return done;
}

// scripts/tenant.sh, the databases' one set-up, against the test server; the
// tenants' users may connect from anywhere the server is reached from.
bool runTenantScript(const QStringList &arguments, QString *error)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(s("KELVO_DB_HOST"), TestDatabase::host());
    environment.insert(s("KELVO_ACCOUNT_HOST"), s("%"));
    environment.insert(s("KELVO_DB_CLIENT"), clientProgram);
    QProcess script;
    script.setProcessEnvironment(environment);
    return run(script, TestDatabase::sourceDir() + s("/scripts/tenant.sh"),
        QStringList { arguments.constFirst(), QString::number(TestDatabase::port()) } + arguments.mid(1),
        error);
}

} // namespace

QSqlDatabase TestDatabase::adminConnection(const QString &database)
{
    const QString name = s("test.admin.%1.%2").arg(quintptr(QThread::currentThreadId())).arg(database);
    QSqlDatabase db
        = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false) : addConnection(name, database);
    if (!db.isOpen() && db.open()) // read back 4-byte characters as they are stored
        QSqlQuery(db).exec(s("SET NAMES utf8mb4"));
    else if (!db.isOpen())
        qWarning() << "admin connection failed:" << db.lastError().text();
    return db;
}

QSqlDatabase TestDatabase::addConnection(
    const QString &name, const QString &database, const QString &user, const QString &password)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(s("QMYSQL"), name);
    db.setHostName(host());
    db.setPort(port());
    db.setUserName(user);
    db.setPassword(password);
    db.setDatabaseName(database);
    return db;
}

QString TestDatabase::infoDatabaseName()
{
    static const QString name = [] {
        const QString candidate = s("kelvo_info_%1").arg(QCoreApplication::applicationPid());
        // An earlier process with the same id may have left one with its tenants.
        exec(QString(), s("DROP DATABASE IF EXISTS `%1`").arg(candidate));
        QString error;
        if (!runTenantScript({ s("info"), candidate }, &error))
            qFatal("cannot create the information database: %s", qPrintable(error));
        return candidate;
    }();
    return name;
}

bool TestDatabase::loadSqlFile(const QString &database, const QString &path, QString *error)
{
    QProcess client;
    client.setStandardInputFile(path);
    return run(client, clientProgram,
        { s("--no-defaults"), s("-h"), host(), s("-P"), QString::number(port()), s("-uroot"), database },
        error);
}

QString TestDatabase::exec(const QString &database, const QString &sql)
{
    QSqlQuery query(adminConnection(database));
    return query.exec(sql) ? QString() : query.lastError().text() + s(" [") + sql + QLatin1Char(']');
}

QVariant TestDatabase::scalar(const QString &database, const QString &sql)
{
    QSqlQuery query(adminConnection(database));
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

bool TestDatabase::waitForLockWait(
    const QString &schema, const QString &queryStart, const std::function<bool()> &gaveUp, int timeoutMs)
{
    // Suites run in parallel: only sessions on this schema count.
    const QString sql
        = QStringLiteral("SELECT COUNT(*) FROM information_schema.INNODB_TRX t "
                         "JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
                         "WHERE t.trx_state = 'LOCK WAIT' AND p.DB = '%1' AND t.trx_query LIKE '%2%'")
              .arg(schema, queryStart);
    // The server refreshes its transaction list only when nobody read it for
    // 0.1 s. Suites that poll side by side would keep it stale for each other,
    // so every read, in whichever test process, holds one named lock and comes
    // 0.12 s after the one before.
    for (const QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired(); QThread::msleep(30)) {
        scalar(QString(), s("SELECT GET_LOCK('kelvo_test_innodb_trx', 60)"));
        QThread::msleep(120);
        const bool waiting = scalar(QString(), sql).toInt() > 0;
        scalar(QString(), s("SELECT RELEASE_LOCK('kelvo_test_innodb_trx')"));
        if (waiting)
            return true;
        if (gaveUp && gaveUp())
            return false;
    }
    return false;
}

TestDatabase::Tenant TestDatabase::createTenant(const QString &tag)
{
    static std::atomic<int> counter;
    const QString id = s("%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    const Tenant t { s("token-%1-%2").arg(tag, id), s("kt_%1_%2").arg(tag, id), s("ku_%1").arg(id),
        s("pw-%1-secret").arg(id) };
    QString error;
    if (!runTenantScript({ s("tenant"), infoDatabaseName(), t.schema, t.user, t.password, t.token }, &error))
        qFatal("tenant setup failed: %s", qPrintable(error));
    return t;
}

void TestDatabase::dropTenant(const Tenant &tenant)
{
    exec(QString(), s("DROP DATABASE IF EXISTS `%1`").arg(tenant.schema));
    exec(QString(), s("DROP USER IF EXISTS '%1'@'%'").arg(tenant.user));
    exec(infoDatabaseName(), s("DELETE FROM `schemas` WHERE token = '%1'").arg(tenant.token));
}
