#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QtTest>

#include <functional>

// A test's text constant.
inline QString s(const char *text)
{
    return QString::fromUtf8(text);
}

// Verifies a statement and prints the driver's error when it fails.
#define QVERIFY_SQL(q, stmt) QVERIFY2((q).stmt, qPrintable((q).lastError().text()))

// Access to the private MariaDB server that the test command starts
// (KELVO_TEST_DB_HOST / KELVO_TEST_DB_PORT, user root without password).
// Every test process gets an information database of its own and creates
// tenants in it, each with a schema and a MariaDB user of its own.
//
// Connections are per thread: call the functions from the thread that uses
// the returned handle.
class TestDatabase
{
public:
    struct Tenant
    {
        QString token, schema, user, password;
    };

    static bool available() { return qEnvironmentVariableIsSet("KELVO_TEST_DB_PORT"); }
    static QString host() { return qEnvironmentVariable("KELVO_TEST_DB_HOST", QStringLiteral("127.0.0.1")); }
    static int port() { return qEnvironmentVariableIntValue("KELVO_TEST_DB_PORT"); }
    static QString sourceDir() { return QStringLiteral(KELVO_SOURCE_DIR); }

    // The information database of this process, created and loaded on first use.
    static QString infoDatabaseName();
    // An open root connection to database (empty: none selected) for this thread.
    static QSqlDatabase adminConnection(const QString &database = QString());
    // An unopened connection registered under name, root unless user is given:
    // for a thread of its own, which removes it again.
    static QSqlDatabase addConnection(const QString &name, const QString &database,
        const QString &user = QStringLiteral("root"), const QString &password = QString());

    // A new tenant: schema loaded from db/sql/tenant.sql, its own user with
    // rights on that schema alone, and an active row in `schemas`.
    static Tenant createTenant(const QString &tag);
    static void dropTenant(const Tenant &tenant);

    // Runs an SQL file with the mariadb client (it understands DELIMITER).
    static bool loadSqlFile(const QString &database, const QString &path, QString *error = nullptr);
    // Runs one statement as root on database; returns the error text or an empty string.
    static QString exec(const QString &database, const QString &sql);
    // First column of the first row of a query as root, or an invalid variant.
    static QVariant scalar(const QString &database, const QString &sql);

    // Waits (at most timeoutMs) until a statement of a session on schema,
    // whose text starts with queryStart, waits for a row lock: the state a
    // lock-order test needs before its next step, whatever the machine's speed.
    // Stops early, returning false, when gaveUp() says nothing will wait.
    static bool waitForLockWait(const QString &schema, const QString &queryStart,
        const std::function<bool()> &gaveUp = {}, int timeoutMs = 60000);
};

#define REQUIRE_TEST_DATABASE()                                                                              \
    do {                                                                                                     \
        if (!TestDatabase::available())                                                                      \
            QSKIP("KELVO_TEST_DB_PORT is not set: run the suite through scripts/test.sh");                   \
    } while (false)
