#include "kelvoworker.h"

#include "compactjson.h"
#include "dbmanager.h"
#include "nativeconnection.h"
#include "responseenvelope.h"
#include "sqltext.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QTextCodec>
#include <QThread>

namespace {

const QString checkTermSql
    = QStringLiteral("SELECT COUNT(*) FROM term WHERE tid = %1 AND vornID = %2 AND status = 1 LIMIT 1");
const QString checkPersonSql
    = QStringLiteral("SELECT COUNT(*) FROM people WHERE uid = %1 AND pid = %2 AND status = 1");
const QString setTermOnlineSql = QStringLiteral("UPDATE term SET online = UNIX_TIMESTAMP() WHERE tid = %1");
const QString entranceMaxRefIdSql = QStringLiteral("SELECT MAX(refId) FROM inters_data WHERE tid = %1");

// A deadlock victim is retried a few times; each retry waits a little longer
// so that the winning transaction can finish.
constexpr int deadlockRetries = 16;
const QString deadlockError = QStringLiteral("1213");

} // namespace

KelvoWorker::KelvoWorker(const QString &version, QObject *parent)
    : HttpPluginWorker(parent)
    , version(version)
    , allowedMethods { QStringLiteral("GET"), QStringLiteral("POST"), QStringLiteral("PUT"),
        QStringLiteral("DELETE") }
    , getOperations { QStringLiteral("sync"), QStringLiteral("inters"), QStringLiteral("saldo"),
        QStringLiteral("present"), QStringLiteral("person") }
    , postOperations { QStringLiteral("term"), QStringLiteral("person"), QStringLiteral("entrance") }
    , putOperations { QStringLiteral("term"), QStringLiteral("person") }
    , deleteOperations { QStringLiteral("sync"), QStringLiteral("person"), QStringLiteral("entrance") }
{ }

KelvoWorker::~KelvoWorker()
{
    releaseConnections(keeper.closeAll());
}

QByteArray KelvoWorker::buildResponse(
    const QString &method, const QUrl &url, const QStringList &headers, const QByteArray &body)
{
    if (debugLevel == 1)
        qDebug() << "KelvoWorker::buildResponse()";
    else if (debugLevel >= 2)
        qDebug() << "KelvoWorker::buildResponse(" << method << url.toString() << headers.size() << body.size()
                 << ")";

    resetResponse();
    if (!allowedMethods.contains(method)) {
        setError(QStringLiteral("Method '%1' not allowed!").arg(method), 405);
        return renderResponse();
    }

    token.clear();
    contentType.clear();
    parseHeader(headers);
    const QStringList parts = pathParts(url);
    result.insert(QStringLiteral("request"),
        QVariantMap { { QStringLiteral("method"), method },
            { QStringLiteral("path"), parts.join(QStringLiteral("/")) } });

    if (!checkPath(method, parts)) {
        setError(QStringLiteral("Bad path '%1'!").arg(parts.join(QStringLiteral("/"))), 400);
        return renderResponse();
    }
    if (!initDatabase()) {
        setError(QStringLiteral("Database '%1' not initialized!").arg(db.databaseName()), 502);
        return renderResponse();
    }

    dispatch(method, parts, requestData(body));
    finishRequest();
    return renderResponse();
}

// The path below the plug-in's prefix, one element a part.
QStringList KelvoWorker::pathParts(const QUrl &url) const
{
    const QString path = url.path(QUrl::FullyDecoded);
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker: URL path:" << path << " query:" << url.query();
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!parts.isEmpty())
        parts.removeFirst();
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker: pathParts:" << parts.join(QStringLiteral(" | "));
    return parts;
}

// A JSON body as it came, any other in the safe Base64 of the terminals.
QByteArray KelvoWorker::requestData(const QByteArray &body) const
{
    if (body.isEmpty())
        return QByteArray();
    return contentType.contains(QLatin1String("/json")) ? body : decodeSafeBase64(body);
}

void KelvoWorker::dispatch(const QString &method, const QStringList &parts, const QByteArray &data)
{
    if (method == QLatin1String("GET"))
        buildGetResponse(parts);
    else if (method == QLatin1String("POST"))
        buildPostResponse(parts, data);
    else if (method == QLatin1String("PUT"))
        buildPutResponse(parts, data);
    else if (method == QLatin1String("DELETE"))
        buildDeleteResponse(parts);
    else
        setError(QStringLiteral("Method '%1' is not supported!").arg(method), 405);
}

// The request's connection goes to the keeper when connections are kept,
// and is closed otherwise.
void KelvoWorker::finishRequest()
{
    if (keepCapacity() > 0 && dbOpened && db.isOpen())
        keepConnection();
    else if (dbOpened)
        db.close();
}

int KelvoWorker::keepCapacity() const
{
    return property("keepConnections").toInt();
}

int KelvoWorker::keepIdleSeconds() const
{
    const QVariant seconds = property("keepIdleSeconds");
    return seconds.isValid() ? seconds.toInt() : 60;
}

void KelvoWorker::closeIdleConnections()
{
    releaseConnections(keeper.closeIdle(keepIdleSeconds()));
}

// The request's own clone goes to the keeper instead of being closed; the
// worker lets go of it, so that the next request's setDatabase() does not
// close it.
void KelvoWorker::keepConnection()
{
    releaseConnections(keeper.put(token, db, keepCapacity()));
    db = QSqlDatabase();
    dbCloned = false;
    dbOpened = false;
}

bool KelvoWorker::takeKeptConnection(const QSqlDatabase &tenantTemplate)
{
    QStringList released;
    QSqlDatabase kept = keeper.take(token, tenantTemplate, released);
    releaseConnections(released);
    if (!kept.isValid())
        return false;
    if (dbCloned)
        closeAndRemoveDB();
    db = kept;
    dbCloned = true;
    dbOpened = true;
    return true;
}

// Closed connections that this worker no longer holds, released the way
// closeAndRemoveDB() releases a clone.
void KelvoWorker::releaseConnections(const QStringList &names)
{
    if (!releaseConnection || !dbManager)
        return;
    for (const QString &name : names)
        dbManager->addUnusedConnection(name);
}

void KelvoWorker::parseHeader(const QStringList &headers)
{
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::parseHeader(" << headers.size() << ")";
    for (const QString &line : headers) {
        if (line.contains(QLatin1String("Pragma:")) && line.contains(QLatin1String("token"))) {
            const QStringList pieces = line.split(QStringLiteral(" = "), Qt::SkipEmptyParts);
            if (pieces.size() >= 2) {
                token = pieces.at(1).trimmed();
                continue;
            }
        }
        if (line.contains(QLatin1String("Content-type"))) {
            const QStringList pieces = line.split(QLatin1Char(':'), Qt::SkipEmptyParts);
            if (pieces.size() >= 2)
                contentType = pieces.at(1).trimmed();
        }
    }
}

bool KelvoWorker::checkPath(const QString &method, const QStringList &parts) const
{
    if (parts.isEmpty())
        return false;
    if (method == QLatin1String("GET"))
        return parts.size() >= 2 && getOperations.contains(parts.first());
    return true;
}

bool KelvoWorker::initDatabase()
{
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::initDatabase()";
    if (dbManager) {
        const QSqlDatabase tenantTemplate = dbManager->database(token);
        if (keepCapacity() > 0) {
            closeIdleConnections();
            if (takeKeptConnection(tenantTemplate))
                return true;
        }
        setDatabase(tenantTemplate);
    }
    if (!dbManager && token.isEmpty())
        qWarning() << "KelvoWorker: Database manager NOT initialized!";
    if (db.isValid() && !db.isOpen()) {
        dbOpened = db.open();
        if (dbOpened) {
            ++counters.connectionsOpened;
            NativeConnection::ensureUtf8mb4(db);
        }
    }
    if (db.lastError().isValid())
        qCritical() << "KelvoWorker::initDatabase() - SQL ERROR:" << db.lastError().text();
    return dbManager && db.isValid() && db.isOpen();
}

void KelvoWorker::setDatabase(const QSqlDatabase &database)
{
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::setDatabase(" << database.databaseName() << ")";
    if (dbCloned)
        closeAndRemoveDB();

    // The time alone repeats within a millisecond and across threads; the
    // process-wide counter beside it makes every clone's name unique, so a
    // connection is never shared by two workers.
    static QAtomicInteger<quint64> clones;
    const QString name
        = QStringLiteral("ORV.%1.Kelvo.%2.%3")
              .arg(database.databaseName(), QString::number(QDateTime::currentMSecsSinceEpoch(), 16),
                  QString::number(++clones, 16));
    if (QSqlDatabase::contains(name)) {
        db = QSqlDatabase::database(name, true);
        dbCloned = false;
        return;
    }
    db = QSqlDatabase::cloneDatabase(database, name);
    dbCloned = db.isValid();
}

void KelvoWorker::resetResponse()
{
    result = QVariantMap { { QStringLiteral("err"), 0 }, { QStringLiteral("res"), QString() },
        { QStringLiteral("ver"), version } };
    httpStatus = 200;
}

void KelvoWorker::setError(const QString &message, quint16 code)
{
    result.insert(QStringLiteral("err"), int(code));
    result.insert(QStringLiteral("res"), message);
}

QByteArray KelvoWorker::renderResponse()
{
    const quint16 code = quint16(result.value(QStringLiteral("err")).toInt());
    if (debugLevel >= 2 || (debugLevel == 1 && code != 0))
        qDebug("KelvoWorker::renderResponse(%i) err: %i", 1, int(code));

    QByteArray json = CompactJson::fromMap(result);
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(json.constData(), json.size(), &state);
    quint16 errorCode = code;
    if (state.invalidChars > 0) {
        qWarning() << "KelvoWorker::renderResponse: Not a valid UTF-8 sequence, invalid chars:"
                   << state.invalidChars;
        setError(QStringLiteral("Encode JSON to unicode FAIL!"), 500);
        // Answer the error itself, so that status line and body agree.
        json = CompactJson::fromMap(result);
        errorCode = 500;
    }

    const quint16 status = (errorCode >= 100 && errorCode <= 599) ? errorCode : httpStatus;
    const QByteArray response = ResponseEnvelope::render(status, json);

    const uint err = result.value(QStringLiteral("err")).toUInt();
    if (err != 0 && debugLevel >= 2)
        qDebug() << "err =" << err << " res =" << result.value(QStringLiteral("res")).toString();
    return response;
}

// Runs exec until it succeeds or fails other than as a deadlock victim (or,
// on a cluster, a certification failure: the same error number).
template<typename Exec> bool KelvoWorker::retryingDeadlocks(QSqlQuery &query, Exec exec)
{
    for (int attempt = 0;; ++attempt) {
        if (exec())
            return true;
        if (query.lastError().nativeErrorCode() != deadlockError || attempt >= deadlockRetries)
            return false;
        ++counters.deadlockRetries;
        QThread::msleep(1u << qMin(attempt, 5));
    }
}

bool KelvoWorker::execRetrying(QSqlQuery &query, const QString &sql)
{
    return retryingDeadlocks(query, [&] { return query.exec(sql); });
}

bool KelvoWorker::execLogged(QSqlQuery &query, const QString &sql, const char *prefix)
{
    if (execRetrying(query, sql))
        return true;
    reportSqlError(query.lastError(), QLatin1String(prefix), QString(), logOnly);
    return false;
}

bool KelvoWorker::execSql(QSqlQuery &query, const QString &sql, const char *operation, int code)
{
    if (execRetrying(query, sql))
        return true;
    reportSqlError(query.lastError(), statementPrefix(operation), sql, code);
    return false;
}

bool KelvoWorker::prepareSql(QSqlQuery &query, const QString &sql, const char *operation)
{
    if (query.prepare(sql))
        return true;
    reportSqlError(query.lastError(),
        QStringLiteral("KelvoWorker::%1() Prepare failed! ERROR:").arg(QLatin1String(operation)), sql);
    return false;
}

bool KelvoWorker::execPrepared(QSqlQuery &query, const char *operation, int code)
{
    if (retryingDeadlocks(query, [&] { return query.exec(); }))
        return true;
    reportSqlError(query.lastError(), statementPrefix(operation), query.lastQuery(), code);
    return false;
}

QString KelvoWorker::statementPrefix(const char *operation)
{
    return QStringLiteral("KelvoWorker::%1() SQl ERROR:").arg(QLatin1String(operation));
}

void KelvoWorker::reportSqlError(const QSqlError &error, const QString &prefix, const QString &sql, int code)
{
    ++counters.sqlErrors;
    const QString text = error.text();
    if (code == serverErrorNumber) {
        const int number = error.nativeErrorCode().toInt();
        code = number > 0 && number <= 0xffff ? number : 500;
    }
    if (code != logOnly)
        setError(text, quint16(code));
    if (sql.isEmpty())
        qCritical().noquote().nospace() << prefix << ' ' << text;
    else
        qCritical().noquote().nospace() << prefix << ' ' << text << "\nSQL: " << sql;
}

QString KelvoWorker::sqlText(const QString &value) const
{
    return SqlText::escaped(db, value);
}

quint32 KelvoWorker::firstUInt(QSqlQuery &query)
{
    return query.next() ? query.value(0).toUInt() : 0;
}

bool KelvoWorker::selectUInt(
    QSqlQuery &query, const QString &sql, const char *operation, quint32 &value, int code)
{
    if (!execSql(query, sql, operation, code))
        return false;
    value = firstUInt(query);
    return true;
}

qint64 KelvoWorker::now()
{
    return QDateTime::currentSecsSinceEpoch();
}

bool KelvoWorker::requirePathParts(const QStringList &parts, int count)
{
    if (parts.size() >= count)
        return true;
    setError(QStringLiteral("Invalid path '%1'!").arg(parts.join(QStringLiteral("/"))), 400);
    return false;
}

bool KelvoWorker::requireOperation(const QString &operation, const QStringList &operations)
{
    if (operations.contains(operation))
        return true;
    setError(QStringLiteral("Invalid operation '%1'!").arg(operation), 400);
    return false;
}

bool KelvoWorker::requireHash(const QString &part, quint32 &first, quint32 &second)
{
    if (parseHash(part, first, second))
        return true;
    setError(QStringLiteral("Invalid hash '%1'!").arg(part), 400);
    return false;
}

bool KelvoWorker::requireTerminal(quint32 tid, quint32 vornID)
{
    if (dbCheckTerm(tid, vornID))
        return true;
    setError(QStringLiteral("Terminal not found!"), 404);
    return false;
}

bool KelvoWorker::requirePerson(quint32 uid, quint32 pid)
{
    if (dbCheckPerson(uid, pid))
        return true;
    setError(QStringLiteral("Person not found!"), 404);
    return false;
}

void KelvoWorker::answerChanged(bool changed)
{
    const QString res = QStringLiteral("res");
    if (changed) {
        result.insert(res, true);
        return;
    }
    httpStatus = 208;
    if (result.value(res).toString().isEmpty())
        result.insert(res, false);
}

bool KelvoWorker::dbCheckTerm(quint32 tid, quint32 vornID)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbCheckTerm(%u, %u)", tid, vornID);
    QSqlQuery query(db);
    quint32 count = 0;
    // The terminal check answers with the server's own error number.
    return selectUInt(query, checkTermSql.arg(tid).arg(vornID), "dbCheckTerm", count, serverErrorNumber)
        && count != 0;
}

bool KelvoWorker::dbCheckPerson(quint32 uid, quint32 pid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbCheckPerson(%u, %u)", uid, pid);
    QSqlQuery query(db);
    quint32 count = 0;
    return selectUInt(query, checkPersonSql.arg(uid).arg(pid), "dbCheckPerson", count) && count != 0;
}

bool KelvoWorker::dbSetTermOnline(quint32 tid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbSetTermOnline(%u)", tid);
    QSqlQuery query(db);
    return execSql(query, setTermOnlineSql.arg(tid), "dbSetTermOnline");
}

quint32 KelvoWorker::dbGetEntranceMaxRefId(quint32 tid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbGetEntranceMaxRefId(%u)", tid);
    QSqlQuery query(db);
    quint32 refId = 0;
    selectUInt(query, entranceMaxRefIdSql.arg(tid), "dbGetEntranceMaxRefId", refId);
    return refId;
}
