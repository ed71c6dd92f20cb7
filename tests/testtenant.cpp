#include "testtenant.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonValue untimed(const QJsonValue &value, qint64 since)
{
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &item : value.toArray())
            array << untimed(item, since);
        return array;
    }
    QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool now = since && it.key() == QLatin1String("tsc") && it->toDouble() >= double(since);
        *it = now ? QJsonValue(s("now")) : untimed(*it, since);
    }
    return value.isObject() ? QJsonValue(object) : value;
}

} // namespace

QString jsonText(const QJsonValue &value, qint64 since)
{
    const QByteArray text
        = QJsonDocument(QJsonArray { untimed(value, since) }).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

QString answerText(const Reply &reply, qint64 since)
{
    QJsonObject json = reply.json;
    for (const char *key : { "err", "ver", "st", "request" })
        json.remove(QLatin1String(key));
    return jsonText(json, since);
}

TestTenant::TestTenant(const char *tag)
    : Tenant(TestDatabase::createTenant(QString::fromUtf8(tag)))
{ }

TestTenant::~TestTenant()
{
    TestDatabase::dropTenant(*this);
}

quint32 TestTenant::inserted(const QString &error) const
{
    if (!error.isEmpty())
        qWarning() << error;
    return error.isEmpty() ? value("SELECT LAST_INSERT_ID()").toUInt() : 0;
}

TestTenant::Terminal TestTenant::addTerm(quint32 syn, quint32 flags, int status)
{
    const quint32 vorn = 7000 + ++terminals;
    const char *const sql
        = "INSERT INTO term (vornID, status, syn, flags, name, type) VALUES (%1, %2, %3, '%4', 'T', 'VTRM')";
    return { insert(sql, vorn, status, syn, flags), vorn };
}

quint32 TestTenant::addPerson(const char *name, int status, const char *begin, const char *end, int saldo)
{
    return insert(
        "INSERT INTO people (pid, status, begin, end, name, surname, title, title2, admin, access, "
        "card, saldo, present) VALUES (%1, %2, %3, %4, '%5', 'S-%5', 'Dr.', 'PhD', '1', '0', 'C%1', "
        "%6, %7)",
        500 + ++persons, status, begin, end, name, saldo, saldo + 100);
}

QString TestTenant::link(quint32 uid, quint32 tid, quint32 grp) const
{
    return exec("INSERT INTO people_term (uid, tid, grp) VALUES (%1, %2, %3)", uid, tid, grp);
}

quint32 TestTenant::addInter(const char *name, int weight, quint32 tid) const
{
    const quint32 iid = insert("INSERT INTO inters (name, shortcut, weight, start, stop, color) "
                               "VALUES ('%1', 'S%1', %2, '08:00', '16:00', '#112233')",
        name, weight);
    if (tid)
        exec("INSERT INTO inters_term (iid, tid) VALUES (%1, %2)", iid, tid);
    return iid;
}

QString TestTenant::mark(quint32 tid, quint32 kind, quint32 refId, qint64 created, const char *type,
    const char *refCol, const char *ref) const
{
    return exec("INSERT INTO term_sync VALUES (%1, '%2', '%3', '%4', %5, %6, %7)", tid, type, ref, refCol,
        refId, created, kind);
}

QString TestTenant::syncState(quint32 tid) const
{
    return value(
        "SELECT CONCAT(syn, ' ', (SELECT COUNT(*) FROM term_sync s WHERE s.tid = term.tid)) FROM term "
        "WHERE tid = %1",
        tid)
        .toString();
}

Reply TestTenant::send(const char *method, const QString &path, const QJsonObject &body)
{
    return worker.request(QString::fromLatin1(method), s("/kelvo/") + path, token, body);
}
