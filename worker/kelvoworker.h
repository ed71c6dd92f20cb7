#pragma once

#include "connectionkeeper.h"
#include "httppluginworker.h"
#include "jsonmap.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantMap>

class UpdateRow;

// The plug-in's only worker: the dispatcher that turns one HTTP request under
// the plug-in's prefix into one complete response, and the handlers of the
// four methods with their database operations.
//
// Thread rules: a worker serves one request at a time in the thread that calls
// buildResponse; each request runs on a connection that this worker clones
// from the tenant template, opens and closes in that thread. The registry call
// is the only step that takes a lock.
//
// Kept connections: a host may set the dynamic property "keepConnections"
// (an int, the most tenant connections kept open between requests; 0, the
// default, opens and closes one per request) and "keepIdleSeconds" (how long
// a kept connection may stay unused; default 60), and call the invokable
// closeIdleConnections() in the worker's thread now and then. Neither touches
// the binding interface.
//
// Public is what the host and the registry reach: the request entry, the
// database attachment, the running totals and the state of the last request.
// The handlers and their database operations are protected: a request always
// goes through buildResponse, and the tests reach single operations through a
// subclass of their own.
class KelvoWorker : public HttpPluginWorker
{
    Q_OBJECT
    // Running totals of this worker, read by the host for its metrics.
    Q_PROPERTY(quint64 sqlErrors READ sqlErrorCount)
    Q_PROPERTY(quint64 deadlockRetries READ deadlockRetryCount)
    Q_PROPERTY(quint64 connectionsOpened READ connectionsOpenedCount)

public:
    KelvoWorker(const QString &version, QObject *parent = nullptr);
    ~KelvoWorker() override;

    quint64 sqlErrorCount() const { return counters.sqlErrors; }
    quint64 deadlockRetryCount() const { return counters.deadlockRetries; }
    quint64 connectionsOpenedCount() const
    {
        return counters.connectionsOpened + quint64(keeper.reopenedCount());
    }

    // Closes the kept connections unused for longer than "keepIdleSeconds".
    Q_INVOKABLE void closeIdleConnections();

    QByteArray buildResponse(
        const QString &method, const QUrl &url, const QStringList &headers, const QByteArray &body) override;
    int workerKind() const override { return 1; }
    void setDatabase(const QSqlDatabase &database) override;

    // State of the current (or last) request, for the host's logs and the tests.
    const QVariantMap &resultMap() const { return result; }
    quint16 successStatus() const { return httpStatus; }
    QString currentToken() const { return token; }
    QString currentContentType() const { return contentType; }
    QString versionText() const { return version; }

Q_SIGNALS:
    void recordCreated(QString tbl, uint id, const QString &token, quint8 flags);

protected:
    // Steps of the dispatcher.
    bool initDatabase();
    void parseHeader(const QStringList &headers);
    bool checkPath(const QString &method, const QStringList &parts) const;

    // Response envelope.
    void resetResponse();
    void setError(const QString &message, quint16 code);
    QByteArray renderResponse();

    // Method handlers.
    void buildGetResponse(const QStringList &parts);
    void buildPostResponse(const QStringList &parts, const QByteArray &data);
    void buildPutResponse(const QStringList &parts, const QByteArray &data);
    void buildDeleteResponse(const QStringList &parts);

    // Shapes shared by the handlers: each check answers its error (400 or
    // 404) and returns false, so that a handler reads as a row of early returns.
    bool requirePathParts(const QStringList &parts, int count);
    bool requireOperation(const QString &operation, const QStringList &operations);
    bool requireHash(const QString &part, quint32 &first, quint32 &second);
    bool requireTerminal(quint32 tid, quint32 vornID);
    bool requirePerson(quint32 uid, quint32 pid);
    // "res" true; or, when nothing changed, 208 with "res" false unless an
    // error message already stands there.
    void answerChanged(bool changed);

    // Checks and stamps shared by the handlers.
    bool dbCheckTerm(quint32 tid, quint32 vornID);
    bool dbCheckPerson(quint32 uid, quint32 pid);
    bool dbSetTermOnline(quint32 tid);
    quint32 dbGetEntranceMaxRefId(quint32 tid);

    // Download: synchronisation state, full and incremental lists.
    bool dbGetSync(quint32 tid, bool force);
    bool dbGetInter(quint32 tid, quint32 vornID);
    bool dbGetPeople(quint32 tid, quint32 uid);
    bool dbGetSaldo(quint32 tid, quint32 uid);
    bool dbGetPresent(quint32 tid, quint32 uid);
    JsonMap dbGetSyncInters(quint32 tid, bool force);
    JsonMap dbGetSyncPeople(quint32 tid, bool force);
    JsonMap dbGetSyncSaldo(quint32 tid, bool force);
    JsonMap dbGetSyncPresent(quint32 tid, bool force);
    JsonMap dbGetClrGrp(quint32 tid, bool force);
    QVariantMap dbGetVars(quint32 tid);

    // Deletion and confirmation.
    bool dbDeletePerson(quint32 tid, quint32 uid);
    bool dbCheckEntrance(quint32 id, quint32 refId);
    bool dbDeleteEntrance(quint32 tid, quint32 id);
    qint32 dbDeleteSync(quint32 tid, quint32 created, quint16 mask);

    // Upload: registration, persons, entrances, terminal state.
    quint32 dbInsertTerm(const QVariantMap &data);
    static quint16 terminalTypeFlags(const QString &type);
    QString dbGetColorGroups();
    quint32 dbInsertPerson(quint32 tid, const QVariantMap &data);
    bool dbUpdatePerson(quint32 tid, quint32 uid, const QVariantMap &data);
    bool dbSetOtherTermsPeopleSync(quint32 tid, quint32 uid, const QString &type);
    quint32 dbInsertEntrance(quint32 tid, const QVariantMap &data);
    bool dbUpdateTerm(quint32 tid, const QVariantMap &data);

    // First column of the first row as unsigned; 0 when there is no row.
    static quint32 firstUInt(QSqlQuery &query);
    static qint64 now();

    struct Counters
    {
        quint64 sqlErrors = 0;
        quint64 deadlockRetries = 0;
        quint64 connectionsOpened = 0;
    };

    QString version;
    Counters counters;
    ConnectionKeeper keeper;
    QVariantMap result;
    QString token;
    QString contentType;
    QStringList allowedMethods;
    QStringList getOperations;
    QStringList postOperations;
    QStringList putOperations;
    QStringList deleteOperations;
    quint16 httpStatus = 200;

    // The deadlock retry alone (also what a producer of markers runs).
    bool execRetrying(QSqlQuery &query, const QString &sql);

private:
    // Steps of a request: the path's parts, the decoded body, the method's
    // handler, and the connection let go of after the answer.
    QStringList pathParts(const QUrl &url) const;
    QByteArray requestData(const QByteArray &body) const;
    void dispatch(const QString &method, const QStringList &parts, const QByteArray &data);
    void finishRequest();

    // The statement runner of every database operation.
    // Runs sql on the request's connection. A statement that the server rolled
    // back as a deadlock victim is run again (in autocommit mode nothing of it
    // was applied). On failure: reportSqlError() with the prefix
    // "KelvoWorker::<operation>() SQl ERROR:", false.
    bool execSql(QSqlQuery &query, const QString &sql, const char *operation, int code = 500);
    // For statements whose failure does not fail the request: the deadlock
    // retry, and on failure the critical record "<prefix> <error text>" only.
    bool execLogged(QSqlQuery &query, const QString &sql, const char *prefix);
    // execSql for a prepared query with bound values, and its preparation
    // ("KelvoWorker::<operation>() Prepare failed! ERROR:").
    bool prepareSql(QSqlQuery &query, const QString &sql, const char *operation);
    bool execPrepared(QSqlQuery &query, const char *operation, int code = 500);
    // The one report of a failed statement: the answer's error with code (the
    // server's own error number for serverErrorNumber, none for logOnly), and
    // the critical record "<prefix> <error text>", followed by "\nSQL: <sql>"
    // when a statement is given.
    static constexpr int serverErrorNumber = -1;
    static constexpr int logOnly = 0;
    void reportSqlError(const QSqlError &error, const QString &prefix, const QString &sql, int code = 500);
    static QString statementPrefix(const char *operation);
    // A value escaped by the connection's driver, to stand between quotes.
    QString sqlText(const QString &value) const;

    // Kept connections: the number wanted, the idle limit, and the request's
    // connection handed back to the keeper after the answer.
    int keepCapacity() const;
    int keepIdleSeconds() const;
    bool takeKeptConnection(const QSqlDatabase &tenantTemplate);
    void keepConnection();
    void releaseConnections(const QStringList &names);

    template<typename Exec> bool retryingDeadlocks(QSqlQuery &query, Exec exec);

    // execSql, then firstUInt() of its result in value.
    bool selectUInt(
        QSqlQuery &query, const QString &sql, const char *operation, quint32 &value, int code = 500);

    // Shapes of the uploads. A required value: without it the answer is 422
    // with message. An update of a stored row, 208 when it changed nothing.
    // The id of a new row, 201 when there is one.
    bool requireUploadValue(bool given, const QString &message);
    bool updateStored(QSqlQuery &query, const QString &sql, const char *operation);
    quint32 createdId(QSqlQuery &query);

    // Steps of the uploads: row building, insert-or-find, answer.
    static UpdateRow registrationRow(
        const QVariantMap &data, quint32 vornId, const QString &name, const QString &type);
    quint32 storeTerm(const UpdateRow &row, quint32 vornId);
    bool storePerson(QSqlQuery &query, quint32 tid, quint32 pid, UpdateRow &row, quint32 &uid);
    bool insertPerson(QSqlQuery &query, quint32 tid, quint32 pid, const UpdateRow &row, quint32 &uid);
    bool linkPersonToTerm(QSqlQuery &query, quint32 tid, quint32 uid, const char *operation);
    bool entranceRow(quint32 tid, const QVariantMap &data, UpdateRow &row);
    bool insertEntrance(QSqlQuery &query, const UpdateRow &row, const QByteArray &photo);
    quint32 answerInsertedEntrance(QSqlQuery &query, quint32 refId, quint32 uid);
    quint32 answerStoredEntrance(quint32 refId, quint32 uid, quint32 id);
    void answerEntrance(quint32 refId, quint32 uid, quint32 id);

    // Shapes of the GET and DELETE handlers, on the list tables defined
    // beside them.
    struct SyncList;
    struct PersonMap;
    bool acceptTerminal(
        const QStringList &parts, int minParts, const QStringList &operations, quint32 &tid, quint32 &vornID);
    bool acceptPerson(const QString &hash, quint32 &uid);
    JsonMap syncList(const SyncList &list, quint32 tid, bool force);
    void gatherSyncList(const SyncList &list, quint32 tid, bool force, JsonMap &answer);
    bool writePersonMap(const PersonMap &map, quint32 tid, quint32 uid);

    // Steps of the synchronisation state: the terminal's row, then the lists
    // of the pending kinds.
    struct SyncState;
    bool readSyncState(quint32 tid, SyncState &state);
    void addSyncLists(QVariantMap &sync, quint32 tid, quint32 mask, bool force);

    // The three DELETE operations on the item hash of the path.
    void answerPersonDeletion(quint32 tid, const QString &hash);
    void answerEntranceDeletion(quint32 tid, const QString &hash);
    void answerSyncConfirmation(quint32 tid, const QString &hash);
};
