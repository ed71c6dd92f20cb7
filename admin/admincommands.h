#pragma once

#include "adminconnection.h"
#include "adminsettings.h"

#include <QHash>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <memory>

// kelvo-admin's commands for the operator: the information database and the
// host's user (init), the tenants (schema, user, row, token) and their
// terminals. One table of commands drives the usage text, the parsing of a
// command line and the dispatch to its handler; every handler validates
// first, then either leaves things as it found them and says why, or
// reaches the state asked for (running it again changes nothing). Exit
// codes: 0 done or nothing to do, 1 refused or failed, 2 wrong usage.
// Used from one thread; it opens its own server connection per run().
class AdminCommands
{
public:
    AdminCommands(QTextStream &out, QTextStream &err, const QString &sqlDir);
    ~AdminCommands();

    // Runs one command line (without the program name).
    int run(const QStringList &arguments);

    static QString usage();
    // Lower-case letters, digits and '_', a letter first, at most 32 characters.
    static bool isTenantName(const QString &name);
    // 16 to 191 letters, digits, '_', '-' or '.'.
    static bool isToken(const QString &token);
    // Time since a Unix time as "3 min ago"; 0 is "never".
    static QString age(qint64 unixTime, qint64 now);
    // length characters of [A-Za-z0-9] from the system's random source.
    static QString randomSecret(int length);

private:
    struct Invocation
    {
        QString name;
        QHash<QString, QString> flags;
    };
    using Handler = int (AdminCommands::*)(const Invocation &);
    struct Command
    {
        const char *words;
        const char *shape;
        const char *help;
        Handler handler;
    };
    static const Command commands[];

    // A result for text or --json: columns with empty headers go to JSON only.
    struct Table
    {
        QStringList keys;
        QStringList headers;
        QVector<QVariantList> rows;
    };

    bool applyOptions(const QStringList &arguments, QStringList *rest, QString *error);
    const Command *parseCommand(const QStringList &rest, Invocation &call, QString *error);
    // The command whose words begin rest, the longest such; wordCount: how many words it has.
    static const Command *findCommand(const QStringList &rest, int *wordCount);
    // The words after the command's against its shape: flags into call, the tenant name checked.
    static bool readArguments(
        const Command &command, const QStringList &words, Invocation &call, QString *error);

    int init(const Invocation &call);
    int addTenant(const Invocation &call);
    int listTenants(const Invocation &call);
    int disableTenant(const Invocation &call);
    int enableTenant(const Invocation &call);
    int rotateToken(const Invocation &call);
    int dropTenant(const Invocation &call);
    int terminals(const Invocation &call);

    // The steps of init, add and drop; each says why when it fails.
    bool initInfoDatabase(QStringList &changes);
    bool initHostUser(QString *password, QStringList &changes);
    bool createMissing(const QString &existsSql, const QVariantList &values,
        const std::function<bool()> &create, const QString &created, QStringList &changes);
    void reportInit(const QStringList &changes, const QString &password);
    bool canAddTenant(const QString &name);
    bool createTenant(const QString &name, const QString &token);
    bool removeTenant(const QString &name, const QString &user, bool keepUser);

    int setStatus(const QString &name, int status);
    bool requireInfoDatabase();
    bool requireTenant(const QString &name);
    bool exists(const QString &sql, const QVariantList &values, bool &result);
    // True when existsSql finds something exactly when wanted; otherwise says message (or the failure).
    bool expect(const QString &existsSql, const QVariantList &values, bool wanted, const QString &message);
    bool newToken(const Invocation &call, QString *token);
    QString infoTable() const;
    void print(const Table &table, bool json);
    int fail(const QString &message, int code = 1);

    QTextStream &out;
    QTextStream &err;
    AdminSettings settings;
    std::unique_ptr<AdminConnection> db;
};
