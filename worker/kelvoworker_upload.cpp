// POST and PUT handlers: terminal registration and state, person and entrance
// upload, and the marking of a person's other terminals.
#include "kelvoworker.h"

#include "updaterow.h"

#include <QDate>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSqlError>

namespace {

// A request body as the upload operations read it: a JSON object as a map
// (any other document is an empty map), or the message for a body that is
// not JSON. Parsing and reporting are apart because POST and PUT report the
// parse error at different points of their checks.
struct RequestBody
{
    QVariantMap map;
    QString parseError;
};

RequestBody parseRequestBody(const QByteArray &data)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    RequestBody body;
    if (error.error != QJsonParseError::NoError)
        body.parseError = QStringLiteral("Parse error at %2: '%1'")
                              .arg(error.errorString(), QString::number(error.offset));
    else
        body.map = document.object().toVariantMap();
    return body;
}

const QString operationTerm = QStringLiteral("term");
const QString operationPerson = QStringLiteral("person");
const QString changeUpdated = QStringLiteral("U");

// --- terminals ---

const QString termByVornIdSql
    = QStringLiteral("SELECT tid FROM term WHERE vornID = %1 ORDER BY tid DESC LIMIT 1");
const QString updateTermSql = QStringLiteral("UPDATE term SET %1 WHERE tid = %2");
const QString insertTermSql = QStringLiteral("INSERT INTO term SET %1 ON DUPLICATE KEY UPDATE %2");
const QString colorGroupsSql = QStringLiteral("SELECT value FROM vars WHERE name = 'colorGroups'");

const QStringList registrationKeys { QStringLiteral("flags"), QStringLiteral("fpu"), QStringLiteral("sdu"),
    QStringLiteral("hddu"), QStringLiteral("cpuu"), QStringLiteral("memu"), QStringLiteral("accNum"),
    QStringLiteral("crNum"), QStringLiteral("btime"), QStringLiteral("ver"), QStringLiteral("ip"),
    QStringLiteral("mac") };
const QStringList termStateKeys { QStringLiteral("fpu"), QStringLiteral("sdu"), QStringLiteral("hddu"),
    QStringLiteral("cpuu"), QStringLiteral("memu"), QStringLiteral("accNum"), QStringLiteral("crNum"),
    QStringLiteral("btime"), QStringLiteral("online"), QStringLiteral("ver"), QStringLiteral("ip"),
    QStringLiteral("mac"), QStringLiteral("name") };
// An address that a terminal could not determine must not wipe the stored one.
const QStringList addressKeys { QStringLiteral("ip"), QStringLiteral("mac") };

// Default flags by terminal type; the first matching rule wins.
struct TypeRule
{
    QLatin1String text;
    bool whole;
    Qt::CaseSensitivity sensitivity;
    quint16 flags;
};

const TypeRule typeRules[] = {
    { QLatin1String("KR550"), false, Qt::CaseInsensitive, 255 },
    { QLatin1String("KP12"), false, Qt::CaseInsensitive, 2 },
    { QLatin1String("VTRM"), true, Qt::CaseInsensitive, 3 },
    { QLatin1String("BRW"), true, Qt::CaseInsensitive, 3 },
    { QLatin1String("TTRM"), true, Qt::CaseInsensitive, 263 },
    { QLatin1String("DSK"), false, Qt::CaseSensitive, 7 },
};

// --- persons ---

const QString personByPidSql = QStringLiteral("SELECT uid FROM people WHERE pid = %1 LIMIT 1");
const QString updatePersonSql = QStringLiteral("UPDATE people SET %1 WHERE uid = %2");
const QString insertPersonSql = QStringLiteral("INSERT INTO people SET %1 ON DUPLICATE KEY UPDATE %2");
const QString countLinkSql
    = QStringLiteral("SELECT COUNT(*) FROM people_term WHERE uid= %1 AND tid = %2 LIMIT 1");
const QString insertLinkSql
    = QStringLiteral("INSERT INTO people_term SET uid=%1, tid=%2 ON DUPLICATE KEY UPDATE uid=VALUES(uid)");
const QString markOtherTermsSql = QStringLiteral(
    "INSERT INTO `term_sync` SELECT tid, '%1' type, 'people_term' ref, 'uid' ref_col, `uid` ref_id, "
    "UNIX_TIMESTAMP() created, 2 flags FROM people_term pt JOIN people p USING(uid) "
    "WHERE p.status = 1 AND pt.uid = %2 AND pt.tid != %3;");
const QString raiseOtherTermsSql
    = QStringLiteral("Update `term` SET syn = syn | 2 WHERE status = 1 AND "
                     "tid IN(SELECT tid FROM people_term WHERE uid = %1 AND tid != %2)");

const QStringList personKeys { QStringLiteral("access"), QStringLiteral("card"), QStringLiteral("admin"),
    QStringLiteral("end"), QStringLiteral("begin"), QStringLiteral("email"), QStringLiteral("phone"),
    QStringLiteral("title2"), QStringLiteral("surname"), QStringLiteral("name"), QStringLiteral("title") };
// A terminal that lacks a card or one of the names must not wipe the stored one.
const QStringList personSkipWhenEmpty { QStringLiteral("card"), QStringLiteral("surname"),
    QStringLiteral("name") };

qint64 startOfToday()
{
    return QDate::currentDate().startOfDay().toSecsSinceEpoch();
}

// --- entrances ---

const QString entranceByRefSql
    = QStringLiteral("SELECT id FROM inters_data WHERE tid = %1 AND refId = %2 ORDER BY id DESC LIMIT 1");
const QString insertEntranceSql = QStringLiteral("INSERT INTO inters_data SET %1 ON DUPLICATE KEY UPDATE %2");
const QString insertEntrancePhotoSql
    = QStringLiteral("INSERT INTO inters_data (%1) VALUES(%2)  ON DUPLICATE KEY UPDATE %3");
// An entrance resent concurrently passes the duplicate check and collides
// with the unique (tid, refId) key. The stored row must stay as it is, and
// its id becomes the insert id so that the terminal learns it.
const QString keepStoredEntrance = QStringLiteral("id=LAST_INSERT_ID(id)");

const QString entranceTable = QStringLiteral("inters_data");
constexpr quint8 entranceCreatedFlags = 3;

const QStringList entranceKeys { QStringLiteral("refId"), QStringLiteral("description"),
    QStringLiteral("date"), QStringLiteral("tid"), QStringLiteral("type"), QStringLiteral("iid"),
    QStringLiteral("uid") };
const QStringList entranceNumericKeys { QStringLiteral("date"), QStringLiteral("refId"),
    QStringLiteral("iid"), QStringLiteral("uid") };
const QStringList entranceRequiredKeys { QStringLiteral("refId"), QStringLiteral("type"),
    QStringLiteral("iid"), QStringLiteral("uid") };

} // namespace

// ---------------------------------------------------------------- handlers

void KelvoWorker::buildPostResponse(const QStringList &parts, const QByteArray &data)
{
    if (debugLevel)
        qDebug() << "KelvoWorker::buildPostResponse(" << parts.join(QStringLiteral(" | ")) << data.size()
                 << ")";
    const RequestBody body = parseRequestBody(data);
    const QString operation = parts.value(0);
    if (!requireOperation(operation, postOperations))
        return;
    if (!body.parseError.isEmpty()) {
        setError(body.parseError, 400);
        return;
    }
    if (operation == operationTerm) {
        // The terminal needs its colour groups also when the registration failed.
        dbInsertTerm(body.map);
        result.insert(QStringLiteral("colorGroups"), dbGetColorGroups());
        return;
    }
    quint32 tid = 0;
    quint32 vornId = 0;
    if (!requirePathParts(parts, 2) || !requireHash(parts.at(1), tid, vornId))
        return;
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::buildPostResponse()" << operation << parts.at(1);
    if (!requireTerminal(tid, vornId))
        return;
    if (operation == operationPerson) {
        const quint32 uid = dbInsertPerson(tid, body.map);
        if (uid)
            result.insert(QStringLiteral("res"),
                QVariantMap { { QStringLiteral("pid"), body.map.value(QStringLiteral("pid")) },
                    { QStringLiteral("uid"), uid } });
        return;
    }
    dbInsertEntrance(tid, body.map);
}

void KelvoWorker::buildPutResponse(const QStringList &parts, const QByteArray &data)
{
    if (debugLevel)
        qDebug() << "KelvoWorker::buildPutResponse(" << parts.join(QStringLiteral(" | ")) << data.size()
                 << ")";
    const RequestBody body = parseRequestBody(data);
    if (!requirePathParts(parts, 2) || !requireOperation(parts.at(0), putOperations))
        return;
    const QString &operation = parts.at(0);
    quint32 tid = 0;
    quint32 vornId = 0;
    if (!requireHash(parts.at(1), tid, vornId))
        return;
    if (debugLevel)
        qDebug() << "KelvoWorker::buildPutResponse()" << operation << parts.at(1) << ")";
    if (!body.parseError.isEmpty()) {
        setError(body.parseError, 400);
        return;
    }
    if (!requireTerminal(tid, vornId))
        return;

    if (operation == operationTerm) {
        answerChanged(dbUpdateTerm(tid, body.map));
        return;
    }

    quint32 uid = 0;
    quint32 pid = 0;
    if (!requirePathParts(parts, 3) || !requireHash(parts.at(2), uid, pid) || !requirePerson(uid, pid))
        return;
    if (!dbUpdatePerson(tid, uid, body.map)) {
        answerChanged(false);
        return;
    }
    const bool marked = dbSetOtherTermsPeopleSync(tid, uid, changeUpdated);
    result.insert(QStringLiteral("res"),
        QVariantMap { { QStringLiteral("pid"), pid }, { QStringLiteral("uid"), uid },
            { QStringLiteral("setOtherTerms"), marked } });
}

// ---------------------------------------------------------------- terminals

quint16 KelvoWorker::terminalTypeFlags(const QString &type)
{
    if (type.isEmpty())
        return 0;
    for (const TypeRule &rule : typeRules) {
        const bool matches = rule.whole ? type.compare(rule.text, rule.sensitivity) == 0
                                        : type.contains(rule.text, rule.sensitivity);
        if (matches)
            return rule.flags;
    }
    return 0;
}

quint32 KelvoWorker::dbInsertTerm(const QVariantMap &data)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbInsertTerm()");
    const quint32 vornId = BodyValue::number(data.value(QStringLiteral("fid")));
    if (!requireUploadValue(vornId != 0, QStringLiteral("Vorn ID is required!")))
        return 0;
    // Registration stores name and type as the terminal sent them.
    const QString name = BodyValue::text(data.value(QStringLiteral("name")));
    if (!requireUploadValue(!name.isEmpty(), QStringLiteral("Name is required!")))
        return 0;
    const QString type = BodyValue::text(data.value(QStringLiteral("type")));
    if (!requireUploadValue(!type.isEmpty(), QStringLiteral("Type is required!")))
        return 0;

    const UpdateRow row = registrationRow(data, vornId, name, type);
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::dbInsertTerm() data:" << row.toJson();
    return storeTerm(row, vornId);
}

UpdateRow KelvoWorker::registrationRow(
    const QVariantMap &data, quint32 vornId, const QString &name, const QString &type)
{
    UpdateRow row;
    row.set(QStringLiteral("online"), now());
    row.set(QStringLiteral("status"), 1);
    row.set(QStringLiteral("name"), name);
    row.set(QStringLiteral("type"), type);
    row.set(QStringLiteral("vornID"), vornId);
    row.addFields(data, registrationKeys, addressKeys);
    if (!row.contains(QStringLiteral("flags")))
        row.set(QStringLiteral("flags"), terminalTypeFlags(type));
    return row;
}

// Registering again reactivates and rewrites the newest row of this Vorn ID;
// otherwise the terminal gets a new row.
quint32 KelvoWorker::storeTerm(const UpdateRow &row, quint32 vornId)
{
    const QString setList = row.setList(db);
    QSqlQuery query(db);
    quint32 stored = 0;
    // The lookup answers with the server's own error number.
    if (!selectUInt(query, termByVornIdSql.arg(vornId), "dbInsertTerm", stored, serverErrorNumber))
        return 0;
    if (stored) {
        result.insert(QStringLiteral("res"), stored);
        if (!updateStored(query, updateTermSql.arg(setList, QString::number(stored)), "dbInsertTerm"))
            return 0;
        return stored;
    }
    if (!execSql(query, insertTermSql.arg(setList, row.valuesList()), "dbInsertTerm"))
        return 0;
    const quint32 tid = createdId(query);
    result.insert(QStringLiteral("res"), tid);
    return tid;
}

QString KelvoWorker::dbGetColorGroups()
{
    QSqlQuery query(db);
    if (!execSql(query, colorGroupsSql, "dbGetColorGroups"))
        return QString();
    return query.next() ? query.value(0).toString() : QString();
}

bool KelvoWorker::dbUpdateTerm(quint32 tid, const QVariantMap &data)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbUpdateTerm(%u)", tid);
    UpdateRow row;
    row.set(QStringLiteral("status"), 1);
    row.addFields(data, termStateKeys, addressKeys);
    if (debugLevel >= 2)
        qDebug() << "KelvoWorker::dbUpdateTerm() data:" << row.toJson();
    // The terminal's own clock is not trusted for its last contact.
    row.set(QStringLiteral("online"), now());

    QSqlQuery query(db);
    if (!execSql(query, updateTermSql.arg(row.setList(db), QString::number(tid)), "dbUpdateTerm"))
        return false;
    return query.numRowsAffected() > 0;
}

// ---------------------------------------------------------------- persons

quint32 KelvoWorker::dbInsertPerson(quint32 tid, const QVariantMap &data)
{
    const quint32 pid = BodyValue::number(data.value(QStringLiteral("pid")));
    if (debugLevel)
        qDebug("KelvoWorker::dbInsertPerson(%u, %u)", tid, pid);
    if (!requireUploadValue(pid != 0, QStringLiteral("Personal ID is required!")))
        return 0;
    const bool named = !BodyValue::text(data.value(QStringLiteral("name"))).isEmpty()
        || !BodyValue::text(data.value(QStringLiteral("surname"))).isEmpty();
    if (!requireUploadValue(named, QStringLiteral("Name is required!")))
        return 0;

    UpdateRow row;
    row.set(QStringLiteral("pid"), pid);
    row.addFields(data, personKeys, personSkipWhenEmpty);

    QSqlQuery query(db);
    quint32 uid = 0;
    if (!storePerson(query, tid, pid, row, uid))
        return 0;
    result.insert(QStringLiteral("res"), uid);
    if (!uid || !linkPersonToTerm(query, tid, uid, "dbInsertPerson"))
        return 0;
    return uid;
}

// A person already stored under pid is rewritten and its other terminals are
// marked; otherwise a new row is inserted, valid from today unless the body
// says when. uid: the person's id, 0 when none came back.
bool KelvoWorker::storePerson(QSqlQuery &query, quint32 tid, quint32 pid, UpdateRow &row, quint32 &uid)
{
    if (!selectUInt(query, personByPidSql.arg(pid), "dbInsertPerson", uid))
        return false;
    if (uid) {
        dbSetOtherTermsPeopleSync(tid, uid, changeUpdated);
        return updateStored(
            query, updatePersonSql.arg(row.setList(db), QString::number(uid)), "dbInsertPerson");
    }
    if (!row.contains(QStringLiteral("begin")))
        row.set(QStringLiteral("begin"), startOfToday());
    return insertPerson(query, tid, pid, row, uid);
}

bool KelvoWorker::insertPerson(QSqlQuery &query, quint32 tid, quint32 pid, const UpdateRow &row, quint32 &uid)
{
    if (!execSql(query, insertPersonSql.arg(row.setList(db), row.valuesList()), "dbInsertPerson"))
        return false;
    // 1: a new row; 2: the concurrently stored person was changed; 0: it
    // already held these values.
    const int affected = query.numRowsAffected();
    if (affected == 1) {
        uid = createdId(query);
        return true;
    }
    // Read the stored row's id back: a trigger on the table makes the server
    // forget the id that the duplicate branch reported.
    if (!selectUInt(query, personByPidSql.arg(pid), "dbInsertPerson", uid))
        return false;
    if (uid) {
        if (affected == 0)
            httpStatus = 208;
        dbSetOtherTermsPeopleSync(tid, uid, changeUpdated);
    }
    return true;
}

bool KelvoWorker::dbUpdatePerson(quint32 tid, quint32 uid, const QVariantMap &data)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbUpdatePerson(%u, %u)", tid, uid);
    UpdateRow row;
    row.addFields(data, personKeys, personSkipWhenEmpty);

    QSqlQuery query(db);
    // A body without any accepted key leaves an empty SET list, which the
    // server refuses: reported like any failed statement.
    if (!execSql(query, updatePersonSql.arg(row.setList(db), QString::number(uid)), "dbUpdatePerson"))
        return false;
    const bool changed = query.numRowsAffected() > 0;
    if (!linkPersonToTerm(query, tid, uid, "dbUpdatePerson"))
        return false;
    return changed;
}

// Links the person to the uploading terminal unless the link exists. False
// only when the link could not be counted: a failed link insert is reported,
// but the person itself was stored.
bool KelvoWorker::linkPersonToTerm(QSqlQuery &query, quint32 tid, quint32 uid, const char *operation)
{
    if (!execSql(query, countLinkSql.arg(uid).arg(tid), operation))
        return false;
    if (query.next() && query.value(0).toUInt() != 0)
        return true;
    execSql(query, insertLinkSql.arg(uid).arg(tid), operation);
    return true;
}

bool KelvoWorker::dbSetOtherTermsPeopleSync(quint32 tid, quint32 uid, const QString &type)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbSetOtherTermsPeopleSync(tid: %u, uid: %u)", tid, uid);
    // Failures are logged only: the upload that changed the person goes on.
    // Markers are written while terminals confirm theirs, so the server may
    // pick these statements as deadlock victims: they are run again.
    QSqlQuery query(db);
    return execLogged(query, markOtherTermsSql.arg(sqlText(type), QString::number(uid), QString::number(tid)),
               "TermSyncRepository::dbSetOtherTermsPeopleSync() ERROR:")
        && execLogged(query, raiseOtherTermsSql.arg(QString::number(uid), QString::number(tid)),
            "KelvoWorker::dbSetOtherTermsPeopleSync() ERROR:");
}

// ---------------------------------------------------------------- entrances

quint32 KelvoWorker::dbInsertEntrance(quint32 tid, const QVariantMap &data)
{
    const quint32 refId = BodyValue::number(data.value(QStringLiteral("refId")));
    if (debugLevel)
        qDebug("KelvoWorker::dbInsertEntrance(%u, %u)", tid, refId);
    if (!requireUploadValue(refId != 0, QStringLiteral("Reference ID is required!")))
        return 0;
    const quint32 uid = BodyValue::number(data.value(QStringLiteral("uid")));
    if (!requireUploadValue(uid != 0, QStringLiteral("User ID is required!")))
        return 0;

    QSqlQuery query(db);
    quint32 stored = 0;
    if (!selectUInt(query, entranceByRefSql.arg(tid).arg(refId), "dbInsertEntrance", stored))
        return 0;
    // A stored entrance is answered with its id and never written again.
    if (stored)
        return answerStoredEntrance(refId, uid, stored);
    UpdateRow row;
    if (!entranceRow(tid, data, row))
        return 0;
    const QByteArray photo = decodeSafeBase64(BodyValue::text(data.value(QStringLiteral("image"))).toUtf8());
    if (!insertEntrance(query, row, photo))
        return 0;
    return answerInsertedEntrance(query, refId, uid);
}

// The accepted keys that data holds (a numeric key only when it is not 0),
// the terminal, and the time of the upload; false (422) when one of the
// required keys is missing.
bool KelvoWorker::entranceRow(quint32 tid, const QVariantMap &data, UpdateRow &row)
{
    row.set(QStringLiteral("tid"), tid);
    int required = 0;
    for (const QString &key : entranceKeys) {
        const auto it = data.constFind(key);
        if (it == data.cend() || (entranceNumericKeys.contains(key) && BodyValue::number(it.value()) == 0))
            continue;
        if (entranceRequiredKeys.contains(key))
            ++required;
        row.set(key, BodyValue::text(it.value()).trimmed());
    }
    if (!requireUploadValue(
            required >= entranceRequiredKeys.size(), QStringLiteral("Required field is missing!")))
        return false;
    const qint64 created = now();
    row.set(QStringLiteral("created"), created);
    if (!row.contains(QStringLiteral("date")))
        row.set(QStringLiteral("date"), created);
    return true;
}

bool KelvoWorker::insertEntrance(QSqlQuery &query, const UpdateRow &row, const QByteArray &photo)
{
    if (photo.isEmpty())
        return execSql(query, insertEntranceSql.arg(row.setList(db), keepStoredEntrance), "dbInsertEntrance");
    // The photo travels as a bound value; the statement text never holds it.
    const QString sql
        = insertEntrancePhotoSql.arg((row.columns() << QStringLiteral("photo")).join(QStringLiteral(", ")),
            (row.placeholders() << QStringLiteral(":photo")).join(QStringLiteral(", ")), keepStoredEntrance);
    if (!prepareSql(query, sql, "dbInsertEntrance"))
        return false;
    row.bindValues(query);
    query.bindValue(QStringLiteral(":photo"), photo, QSql::In | QSql::Binary);
    return execPrepared(query, "dbInsertEntrance");
}

// A new row is answered 201 and announced; a row that a concurrent upload
// stored first is answered as stored.
quint32 KelvoWorker::answerInsertedEntrance(QSqlQuery &query, quint32 refId, quint32 uid)
{
    const quint32 id = query.lastInsertId().toUInt();
    if (id && query.numRowsAffected() != 1)
        return answerStoredEntrance(refId, uid, id);
    answerEntrance(refId, uid, id);
    if (!id)
        return 0;
    httpStatus = 201;
    Q_EMIT recordCreated(entranceTable, id, token, entranceCreatedFlags);
    return id;
}

quint32 KelvoWorker::answerStoredEntrance(quint32 refId, quint32 uid, quint32 id)
{
    answerEntrance(refId, uid, id);
    httpStatus = 208;
    return id;
}

void KelvoWorker::answerEntrance(quint32 refId, quint32 uid, quint32 id)
{
    result.insert(QStringLiteral("res"),
        QVariantMap { { QStringLiteral("rid"), refId }, { QStringLiteral("uid"), uid },
            { QStringLiteral("eid"), id } });
}

// ---------------------------------------------------------------- shared shapes

bool KelvoWorker::requireUploadValue(bool given, const QString &message)
{
    if (given)
        return true;
    setError(message, 422);
    return false;
}

bool KelvoWorker::updateStored(QSqlQuery &query, const QString &sql, const char *operation)
{
    if (!execSql(query, sql, operation))
        return false;
    if (query.numRowsAffected() == 0)
        httpStatus = 208;
    return true;
}

quint32 KelvoWorker::createdId(QSqlQuery &query)
{
    const quint32 id = query.lastInsertId().toUInt();
    if (id)
        httpStatus = 201;
    return id;
}
