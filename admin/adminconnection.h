#pragma once

#include "hostconfig.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <QVector>

// The administrator's connection to the server. Values reach SQL bound or
// escaped by the driver; names that must stand in the text (schemas,
// accounts) only after isIdentifier() said yes. The last failure is kept as
// one line. Opened, used and closed in the thread that created it.
class AdminConnection
{
public:
    using Rows = QVector<QVariantList>;

    explicit AdminConnection(const HostConfig::DatabaseUrl &server);
    ~AdminConnection();
    AdminConnection(const AdminConnection &) = delete;
    AdminConnection &operator=(const AdminConnection &) = delete;

    bool open();
    // Runs sql with values bound in order (none: sent as text, as DDL needs).
    bool exec(const QString &sql, const QVariantList &values = {}, Rows *rows = nullptr);
    // The first column of the first row, or an invalid variant (no row or a failure).
    QVariant value(const QString &sql, const QVariantList &values = {});
    // Runs every statement of an SQL file in database.
    bool execFile(const QString &database, const QString &path);
    const QString &error() const { return lastError; }

    // 'value' escaped by the driver.
    QString literal(const QString &value) const;
    // 'user'@'host'
    QString account(const QString &user, const QString &host) const;

    // Letters, digits and '_', starting with a letter, at most 64 characters:
    // what may stand in SQL text between backticks.
    static bool isIdentifier(const QString &name);
    // `name`; callers check isIdentifier() first.
    static QString quotedName(const QString &name);
    // The name as a GRANT pattern (still to be quoted): '_' would match any character.
    static QString grantPattern(const QString &name);

private:
    bool fail(const QString &message, const QString &sql);

    const QString connectionName;
    QString lastError;
};
