// GET and DELETE handlers: synchronisation state, full and incremental lists,
// deletion and confirmation.
#include "kelvoworker.h"

#include "compactjson.h"
#include "jsonrecord.h"
#include "sqltext.h"

#include <QDebug>
#include <QSqlRecord>

#include <utility>
#include <vector>

namespace {

// ---- Full lists ------------------------------------------------------------

const QString interListSql = QStringLiteral(
    "SELECT it.iid, i.name, i.shortcut, i.weight, i.start, i.stop, i.color FROM inters_term it JOIN inters i "
    "USING(iid) JOIN term t USING(tid)WHERE it.tid=%1 AND t.status = 1 AND vornId=%2 ORDER BY weight");
const QString peopleListSql = QStringLiteral(
    "SELECT p.uid,  pid, p.name, p.surname, p.title, p.title2, p.admin, p.card, saldo, p.access, pt.grp, "
    "p.present FROM people_term pt JOIN people p USING(uid) WHERE ");
const QString saldoListSql
    = QStringLiteral("SELECT p.uid,  p.pid, getSaldo(p.uid, midnightFromTs(UNIX_TIMESTAMP()) - 43200) saldo "
                     "FROM people_term pt "
                     "JOIN people p USING(uid) WHERE %1");
const QString presentListSql
    = QStringLiteral("SELECT p.uid,  p.pid, present FROM people_term pt JOIN people p USING(uid) WHERE %1");

// The person list shows only persons whose validity period covers the present;
// balances and presence are sent for every active linked person.
const QString validLinkCondition = QStringLiteral("pt.tid=%1 AND p.status = 1 AND p.begin < UNIX_TIMESTAMP() "
                                                  "AND (p.end IS NULL OR p.end > UNIX_TIMESTAMP())");
const QString activeLinkCondition = QStringLiteral("pt.tid=%1 AND p.status = 1");
const QString onePersonCondition = QStringLiteral("pt.uid=%1");

// ---- Incremental lists: full statement (forced) and pending markers -------

const QString interFullSql
    = QStringLiteral("SELECT 'U' type, UNIX_TIMESTAMP() created, i.iid, i.name, i.shortcut, i.weight, "
                     "i.start, i.stop, i.color "
                     "FROM inters_term it JOIN inters i ON it.iid = i.iid WHERE it.tid = %1");
const QString interPendingSql = QStringLiteral(
    "SELECT s.type, s.created, i.iid, i.name, i.shortcut, i.weight, i.start, i.stop, i.color FROM term_sync "
    "s "
    "JOIN inters i ON ref_id = iid WHERE s.tid = %1 AND s.flags = 1 AND ref_col = 'iid'ORDER BY s.created");
const QString peopleFullSql = QStringLiteral(
    "SELECT 'U' type, UNIX_TIMESTAMP() created, p.uid, p.pid, p.name, p.surname, p.title, p.title2, p.admin, "
    "p.card, p.saldo, p.access, pt.grp, p.present FROM people_term pt JOIN people p ON pt.uid = p.uid "
    "WHERE pt.tid = %1 ");
const QString peoplePendingSql = QStringLiteral(
    "SELECT s.type, s.created, p.uid, p.pid, p.name, p.surname, p.title, p.title2, p.admin, p.card, p.saldo, "
    "p.access, pt.grp, p.present FROM term_sync s JOIN people p ON ref_id = uid LEFT JOIN people_term pt ON "
    "pt.uid = p.uid AND pt.tid = s.tid WHERE s.tid = %1 AND s.flags = 2 AND ref_col = 'uid'ORDER BY "
    "s.created");
const QString saldoFullSql = QStringLiteral(
    "SELECT p.uid, p.saldo FROM people_term pt JOIN people p ON pt.uid = p.uid WHERE pt.tid = %1 ");
const QString saldoPendingSql = QStringLiteral("SELECT p.uid, p.saldo FROM term_sync s JOIN people p ON "
                                               "ref_id = uid WHERE s.tid = %1 AND s.flags = 4 AND "
                                               "s.type = 'U' AND ref_col = 'uid'ORDER BY s.created");
const QString presentFullSql = QStringLiteral(
    "SELECT p.uid, p.present FROM people_term pt JOIN people p ON pt.uid = p.uid WHERE pt.tid = %1");
const QString presentPendingSql = QStringLiteral("SELECT p.uid, p.present FROM term_sync s JOIN people p ON "
                                                 "ref_id = uid WHERE s.tid = %1 AND s.flags = 8 AND "
                                                 "s.type = 'U' AND ref_col = 'uid'ORDER BY s.created");
const QString groupFullSql = QStringLiteral("SELECT pt.uid, pt.grp FROM people_term pt WHERE pt.tid = %1");
const QString groupPendingSql
    = QStringLiteral("SELECT pt.uid, pt.grp FROM term_sync s JOIN people_term pt ON s.tid = pt.tid AND "
                     "s.ref_id = pt.uid WHERE "
                     "s.tid = %1 AND s.flags = 256 AND s.type = 'U' AND ref_col = 'uid'ORDER BY s.created");
const QString varsPendingSql = QStringLiteral("SELECT name, value FROM term_sync s JOIN vars v ON  v.name = "
                                              "s.ref_col WHERE s.tid = %1 AND s.flags = 256 "
                                              "AND s.type = 'U' AND ref = 'vars'ORDER BY s.created");
const QString syncStateSql = QStringLiteral("SELECT syn, status, flags FROM term WHERE tid = %1");

// ---- Deletion and confirmation ----------------------------------------------

const QString deletePersonSql = QStringLiteral("DELETE FROM `people_term` WHERE tid= %1 AND uid = %2");
const QString checkEntranceSql
    = QStringLiteral("SELECT COUNT(*) FROM inters_data WHERE id = %1 AND refId = %2");
const QString deleteEntranceSql = QStringLiteral("UPDATE inters_data SET del = 1 WHERE id = %1 AND tid = %2");
const QString deleteMarkersSql
    = QStringLiteral("DELETE FROM term_sync WHERE tid = %1 AND created < %2 AND (flags & %3)");
// Keeps in syn only the kinds that still have marker rows (16 bits; BIT_OR of
// no rows is 0). One statement, so that no producer can slip in between
// reading the rows and writing syn: the term row is locked first, and the rows
// are read after that, as a locking read (or, at READ COMMITTED, with a read
// view opened only then). A producer inserts its row before it sets its bit,
// so either the row is seen here or the bit is set after this statement.
const QString narrowSyncMaskSql = QStringLiteral("UPDATE term SET syn = syn & (SELECT BIT_OR(flags) & 65535 "
                                                 "FROM term_sync WHERE tid = %1) WHERE tid = %1");

// Marker kinds (bits of term.syn and term.flags).
constexpr quint32 interKind = 1;
constexpr quint32 peopleKind = 2;
constexpr quint32 saldoKind = 4;
constexpr quint32 presentKind = 8;
constexpr quint32 groupKind = 256;

const QString typeDeleted = QStringLiteral("D");
const QString resKey = QStringLiteral("res");

// Named column access for the rows of one executed statement. The record is
// taken once per statement and each name looked up once: the mappers ask by
// the same literals for every row.
class Row
{
public:
    explicit Row(const QSqlQuery &query)
        : query(query)
        , record(query.record())
    { }
    QVariant operator[](const char *column) const
    {
        for (const auto &[name, index] : columns)
            if (name == column)
                return query.value(index);
        const int index = record.indexOf(QLatin1String(column));
        columns.emplace_back(column, index);
        return query.value(index);
    }

private:
    const QSqlQuery &query;
    const QSqlRecord record;
    mutable std::vector<std::pair<const char *, int>> columns;
};

// Names may be stored as UTF-8 bytes in byte-string columns, and terminals
// cut text at a zero byte: decode the bytes up to the first zero as UTF-8. A
// text that the driver decoded holds no lone surrogate, so cutting it at its
// first U+0000 gives the same text without encoding it again.
QString textUpToZero(const QVariant &value)
{
    if (value.type() == QVariant::ByteArray)
        return SqlText::utf8UpToZero(value.toByteArray());
    const QString text = value.toString();
    const int zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
}

// ---- Row mappers, one per record kind ----------------------------------------

void addInterFields(JsonRecord &record, const Row &row)
{
    record.add("name", textUpToZero(row["name"]))
        .add("shortcut", row["shortcut"].toString())
        .add("weight", row["weight"].toInt())
        .add("start", row["start"].toString())
        .add("stop", row["stop"].toString())
        .add("color", row["color"].toString());
}

void addPersonFields(JsonRecord &record, const Row &row)
{
    record.add("name", textUpToZero(row["name"]))
        .add("surname", textUpToZero(row["surname"]))
        .add("title", row["title"].toString())
        .add("title2", row["title2"].toString())
        .add("admin", row["admin"].toBool())
        .add("card", row["card"].toString())
        .add("saldo", row["saldo"].toInt())
        .add("access", row["access"].toBool())
        .add("grp", row["grp"].toUInt())
        .add("present", row["present"].toUInt());
}

// Interruption type of the full list.
void interRecord(QByteArray &out, const Row &row)
{
    JsonRecord record;
    record.add("iid", row["iid"].toUInt());
    addInterFields(record, row);
    record.appendTo(out);
}

// Person of the full list.
void personRecord(QByteArray &out, const Row &row)
{
    JsonRecord record;
    record.add("uid", row["uid"].toUInt()).add("pid", row["pid"].toUInt());
    addPersonFields(record, row);
    record.appendTo(out);
}

// Change of an interruption type; a deletion carries its key only.
void interChange(QByteArray &out, const Row &row)
{
    const QString type = row["type"].toString();
    JsonRecord record;
    record.add("type", type).add("tsc", row["created"].toUInt());
    if (type != typeDeleted)
        addInterFields(record, row);
    record.appendTo(out);
}

// Change of a person; a deletion carries the personal number beside the key.
void personChange(QByteArray &out, const Row &row)
{
    const QString type = row["type"].toString();
    JsonRecord record;
    record.add("type", type).add("tsc", row["created"].toUInt()).add("pid", row["pid"].toUInt());
    if (type != typeDeleted)
        addPersonFields(record, row);
    record.appendTo(out);
}

void saldoValue(QByteArray &out, const Row &row)
{
    CompactJson::appendInteger(out, row["saldo"].toInt());
}
void presentValue(QByteArray &out, const Row &row)
{
    CompactJson::appendInteger(out, row["present"].toUInt());
}
void groupValue(QByteArray &out, const Row &row)
{
    CompactJson::appendInteger(out, row["grp"].toUInt());
}

// ---- Shared shapes ------------------------------------------------------------

// Appends the JSON text of one row.
using RowMapper = void (*)(QByteArray &out, const Row &);

// Walks all rows into a JSON array, in the order the server returns them.
QVariant listRows(QSqlQuery &query, RowMapper map, int &count)
{
    QByteArray list;
    list.append('[');
    count = 0;
    const Row row(query);
    while (query.next()) {
        if (count++ > 0)
            list.append(',');
        map(list, row);
    }
    list.append(']');
    return QVariant::fromValue(CompactJson::Fragment { list });
}

// Walks all rows into answer, keyed by the uid or iid; a later row replaces
// an earlier one, so the latest marker of an item wins.
void addKeyedRows(JsonMap &answer, QSqlQuery &query, const char *keyColumn, RowMapper map)
{
    const Row row(query);
    while (query.next())
        map(answer.insert(row[keyColumn].toUInt()), row);
}

QStringList personConditions(const QString &linkCondition, quint32 tid, quint32 uid)
{
    QStringList where { linkCondition.arg(tid) };
    if (uid != 0)
        where << onePersonCondition.arg(uid);
    return where;
}

void writeAnswer(QVariantMap &result, const QVariant &answer, int count)
{
    result.insert(resKey, answer);
    result.insert(QStringLiteral("count"), count);
}

} // namespace

// One kind of a synchronisation: its full statement (forced), its pending
// markers, and how a row becomes an entry.
struct KelvoWorker::SyncList
{
    const char *operation;
    QString fullSql;
    QString pendingSql;
    const char *keyColumn;
    RowMapper value;
};

// Balances or presence states of the terminal's active persons, or of one.
struct KelvoWorker::PersonMap
{
    const char *operation;
    QString sql;
    RowMapper value;
};

// The full list with the pending markers (the same list, not forced) laid
// over it, or the pending markers alone, added to answer. A failed statement
// leaves its error in the result and answer with what was gathered.
void KelvoWorker::gatherSyncList(const SyncList &list, quint32 tid, bool force, JsonMap &answer)
{
    if (debugLevel)
        qDebug("KelvoWorker::%s(%u, %i)", list.operation, tid, int(force));
    QSqlQuery query(db);
    if (!execSql(query, (force ? list.fullSql : list.pendingSql).arg(tid), list.operation))
        return;
    addKeyedRows(answer, query, list.keyColumn, list.value);
    if (force)
        gatherSyncList(list, tid, false, answer);
}

JsonMap KelvoWorker::syncList(const SyncList &list, quint32 tid, bool force)
{
    JsonMap answer;
    gatherSyncList(list, tid, force, answer);
    return answer;
}

bool KelvoWorker::writePersonMap(const PersonMap &map, quint32 tid, quint32 uid)
{
    if (debugLevel)
        qDebug("KelvoWorker::%s(%u, %u)", map.operation, tid, uid);
    const QStringList where = personConditions(activeLinkCondition, tid, uid);
    if (debugLevel >= 3)
        qDebug().noquote() << QStringLiteral("KelvoWorker::%1() where:").arg(QLatin1String(map.operation))
                           << where;
    QSqlQuery query(db);
    if (!execSql(query, map.sql.arg(where.join(QLatin1String(" AND "))), map.operation))
        return false;
    JsonMap answer;
    addKeyedRows(answer, query, "uid", map.value);
    int count = 0;
    const QVariant json = answer.toVariant(&count);
    writeAnswer(result, json, count);
    return count > 0;
}

// Path length, operation, terminal hash and an active terminal.
bool KelvoWorker::acceptTerminal(
    const QStringList &parts, int minParts, const QStringList &operations, quint32 &tid, quint32 &vornID)
{
    return requirePathParts(parts, minParts) && requireOperation(parts.at(0), operations)
        && requireHash(parts.at(1), tid, vornID) && requireTerminal(tid, vornID);
}

// A person hash (uid, pid) that names an active person.
bool KelvoWorker::acceptPerson(const QString &hash, quint32 &uid)
{
    quint32 pid = 0;
    return requireHash(hash, uid, pid) && requirePerson(uid, pid);
}

// ---- GET --------------------------------------------------------------------

void KelvoWorker::buildGetResponse(const QStringList &parts)
{
    if (debugLevel)
        qDebug() << "KelvoWorker::buildGetResponse(" << parts.join(QLatin1String(" | ")) << ")";
    quint32 tid = 0;
    quint32 vornID = 0;
    if (!acceptTerminal(parts, 2, getOperations, tid, vornID))
        return;
    result.insert(QStringLiteral("st"), quint32(now()));

    const QString &operation = parts.at(0);
    if (operation == QLatin1String("inters")) {
        dbGetInter(tid, vornID);
        return;
    }
    if (operation == QLatin1String("sync")) {
        dbGetSync(tid, parts.size() > 2 && parts.at(2) == QLatin1String("fs"));
        return;
    }

    quint32 uid = 0;
    if (parts.size() > 2 && !acceptPerson(parts.at(2), uid))
        return;
    if (operation == QLatin1String("person"))
        dbGetPeople(tid, uid);
    else if (operation == QLatin1String("saldo"))
        dbGetSaldo(tid, uid);
    else
        dbGetPresent(tid, uid);
}

// What the terminal's row says: the kinds with pending markers (syn), the
// kinds it takes at all (flags), and whether it is active.
struct KelvoWorker::SyncState
{
    quint32 syn = 0;
    bool status = false;
    quint32 flags = 0;
};

bool KelvoWorker::dbGetSync(quint32 tid, bool force)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbGetSync(tid=%u, force=%i)", tid, int(force));
    SyncState state;
    if (!readSyncState(tid, state))
        return false;
    const quint32 mask = force ? (state.syn | state.flags) : state.syn;

    result.insert(QStringLiteral("setOnline"), dbSetTermOnline(tid));
    if (mask == 0) {
        result.insert(resKey, false);
        return false;
    }

    QVariantMap sync { { QStringLiteral("sync"), mask }, { QStringLiteral("status"), state.status } };
    if (state.status)
        addSyncLists(sync, tid, mask, force);
    result.insert(resKey, sync);
    return true;
}

bool KelvoWorker::readSyncState(quint32 tid, SyncState &state)
{
    QSqlQuery query(db);
    if (!execSql(query, syncStateSql.arg(tid), "dbGetSync"))
        return false;
    if (query.next()) {
        state.syn = query.value(0).toUInt();
        state.status = query.value(1).toBool();
        state.flags = query.value(2).toUInt();
    }
    return true;
}

// The lists of the kinds in mask, read in this order; a forced
// synchronisation carries the terminal's last entrance reference too.
void KelvoWorker::addSyncLists(QVariantMap &sync, quint32 tid, quint32 mask, bool force)
{
    if (mask & interKind)
        sync.insert(QStringLiteral("inters"), dbGetSyncInters(tid, force).toVariant());
    if (mask & peopleKind)
        sync.insert(QStringLiteral("people"), dbGetSyncPeople(tid, force).toVariant());
    if (mask & saldoKind)
        sync.insert(QStringLiteral("saldo"), dbGetSyncSaldo(tid, force).toVariant());
    if (mask & presentKind)
        sync.insert(QStringLiteral("present"), dbGetSyncPresent(tid, force).toVariant());
    if (force)
        sync.insert(QStringLiteral("lastId"), dbGetEntranceMaxRefId(tid));
    if (mask & groupKind) {
        sync.insert(QStringLiteral("grp"), dbGetClrGrp(tid, force).toVariant());
        const QVariantMap vars = dbGetVars(tid);
        if (!vars.isEmpty())
            sync.insert(QStringLiteral("vars"), vars);
    }
}

bool KelvoWorker::dbGetInter(quint32 tid, quint32 vornID)
{
    if (debugLevel)
        qDebug() << "KelvoWorker::dbGetInter(" << tid << vornID << ")";
    QSqlQuery query(db);
    if (!execSql(query, interListSql.arg(tid).arg(vornID), "dbGetInter"))
        return false;
    int count = 0;
    const QVariant list = listRows(query, interRecord, count);
    if (count == 0) {
        setError(QStringLiteral("No interruptions!"), 404);
        return false;
    }
    writeAnswer(result, list, count);
    return true;
}

bool KelvoWorker::dbGetPeople(quint32 tid, quint32 uid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbGetPeople(%u, %u)", tid, uid);
    const QStringList where = personConditions(validLinkCondition, tid, uid);
    if (debugLevel > 2)
        qDebug() << "KelvoWorker::dbGetPeople() where:" << where;
    QSqlQuery query(db);
    if (!execSql(query, peopleListSql + where.join(QLatin1String(" AND ")), "dbGetPeople"))
        return false;
    int count = 0;
    const QVariant list = listRows(query, personRecord, count);
    writeAnswer(result, list, count);
    return count > 0;
}

bool KelvoWorker::dbGetSaldo(quint32 tid, quint32 uid)
{
    static const PersonMap saldo { "dbGetSaldo", saldoListSql, saldoValue };
    return writePersonMap(saldo, tid, uid);
}

bool KelvoWorker::dbGetPresent(quint32 tid, quint32 uid)
{
    static const PersonMap present { "dbGetPresent", presentListSql, presentValue };
    return writePersonMap(present, tid, uid);
}

JsonMap KelvoWorker::dbGetSyncInters(quint32 tid, bool force)
{
    static const SyncList inters { "dbGetSyncInters", interFullSql, interPendingSql, "iid", interChange };
    return syncList(inters, tid, force);
}

JsonMap KelvoWorker::dbGetSyncPeople(quint32 tid, bool force)
{
    static const SyncList people { "dbGetSyncPeople", peopleFullSql, peoplePendingSql, "uid", personChange };
    return syncList(people, tid, force);
}

JsonMap KelvoWorker::dbGetSyncSaldo(quint32 tid, bool force)
{
    static const SyncList saldo { "dbGetSyncSaldo", saldoFullSql, saldoPendingSql, "uid", saldoValue };
    return syncList(saldo, tid, force);
}

JsonMap KelvoWorker::dbGetSyncPresent(quint32 tid, bool force)
{
    static const SyncList present { "dbGetSyncPresent", presentFullSql, presentPendingSql, "uid",
        presentValue };
    return syncList(present, tid, force);
}

JsonMap KelvoWorker::dbGetClrGrp(quint32 tid, bool force)
{
    static const SyncList groups { "dbGetClrGrp", groupFullSql, groupPendingSql, "uid", groupValue };
    return syncList(groups, tid, force);
}

QVariantMap KelvoWorker::dbGetVars(quint32 tid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbGetVars(%u)", tid);
    QSqlQuery query(db);
    if (!execSql(query, varsPendingSql.arg(tid), "dbGetVars"))
        return {};
    QVariantMap answer;
    while (query.next())
        answer.insert(query.value(0).toString(), query.value(1));
    return answer;
}

// ---- DELETE -------------------------------------------------------------------

void KelvoWorker::buildDeleteResponse(const QStringList &parts)
{
    if (debugLevel)
        qDebug() << "KelvoWorker::buildDeleteResponse(" << parts.join(QLatin1String(" | ")) << ")";
    quint32 tid = 0;
    quint32 vornID = 0;
    if (!acceptTerminal(parts, 3, deleteOperations, tid, vornID))
        return;
    const QString &operation = parts.at(0);
    const QString &itemHash = parts.at(2);
    if (debugLevel > 1)
        qDebug() << "KelvoWorker::buildDeleteResponse()" << operation << parts.at(1) << itemHash << ")";

    if (operation == QLatin1String("person"))
        answerPersonDeletion(tid, itemHash);
    else if (operation == QLatin1String("entrance"))
        answerEntranceDeletion(tid, itemHash);
    else
        answerSyncConfirmation(tid, itemHash);
}

void KelvoWorker::answerPersonDeletion(quint32 tid, const QString &hash)
{
    quint32 uid = 0;
    if (acceptPerson(hash, uid))
        answerChanged(dbDeletePerson(tid, uid));
}

void KelvoWorker::answerEntranceDeletion(quint32 tid, const QString &hash)
{
    quint32 id = 0;
    quint32 refId = 0;
    if (!requireHash(hash, id, refId))
        return;
    if (!dbCheckEntrance(id, refId)) {
        setError(QStringLiteral("Entrance not found!"), 404);
        return;
    }
    answerChanged(dbDeleteEntrance(tid, id));
}

// The hash holds the creation time up to which the terminal has the markers,
// and the kinds it confirms.
void KelvoWorker::answerSyncConfirmation(quint32 tid, const QString &hash)
{
    quint32 created = 0;
    quint32 mask = 0;
    if (!requireHash(hash, created, mask))
        return;
    // A confirmation from the future would delete markers the terminal has not seen yet.
    if (created > now()) {
        setError(QStringLiteral("Invalid hash '%1'!").arg(hash), 400);
        return;
    }
    const qint32 deleted = dbDeleteSync(tid, created, quint16(mask));
    if (result.value(resKey).toString().isEmpty())
        result.insert(resKey, deleted);
}

bool KelvoWorker::dbDeletePerson(quint32 tid, quint32 uid)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbDeletePerson(%u, %u)", tid, uid);
    QSqlQuery query(db);
    return execSql(query, deletePersonSql.arg(tid).arg(uid), "dbDeletePerson") && query.numRowsAffected() > 0;
}

bool KelvoWorker::dbCheckEntrance(quint32 id, quint32 refId)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbCheckEntrance(%u, %u)", id, refId);
    QSqlQuery query(db);
    quint32 count = 0;
    return selectUInt(query, checkEntranceSql.arg(id).arg(refId), "dbCheckEntrance", count) && count != 0;
}

bool KelvoWorker::dbDeleteEntrance(quint32 tid, quint32 id)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbDeleteEntrance(%u, %u)", tid, id);
    QSqlQuery query(db);
    return execSql(query, deleteEntranceSql.arg(id).arg(tid), "dbDeleteEntrance")
        && query.numRowsAffected() > 0;
}

qint32 KelvoWorker::dbDeleteSync(quint32 tid, quint32 created, quint16 mask)
{
    if (debugLevel)
        qDebug("KelvoWorker::dbDeleteSync(%u, %u, %u)", tid, created, uint(mask));
    QSqlQuery query(db);
    if (!execSql(query, deleteMarkersSql.arg(tid).arg(created).arg(mask), "dbDeleteSync"))
        return -1;
    const qint32 deleted = query.numRowsAffected();
    execSql(query, narrowSyncMaskSql.arg(tid), "dbDeleteSync");
    return deleted;
}
