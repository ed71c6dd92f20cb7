#pragma once

#include "workerharness.h"

// Each argument fills the lowest-numbered place marker, as QString::arg does.
inline QString fillText(const char *text)
{
    return QString::fromUtf8(text);
}
template<typename T> const T &fillText(const T &value)
{
    return value;
}
template<typename... Args> QString fill(const char *format, const Args &...args)
{
    QString result = QString::fromUtf8(format);
    ((result = result.arg(fillText(args))), ...);
    return result;
}

// The compact JSON text of value, with every "tsc" of since or later written
// as "now" (0: none).
QString jsonText(const QJsonValue &value, qint64 since = 0);
// jsonText of an answer without what every answer carries ("err", "ver", "st", "request").
QString answerText(const Reply &reply, qint64 since = 0);

// A tenant of one test with a worker on it, dropped again however the test
// ends. Statements given here run as root on the tenant's schema; every value
// in them is a test constant.
class TestTenant : public TestDatabase::Tenant
{
public:
    struct Terminal
    {
        quint32 tid = 0, vorn = 0;
        QString hash() const { return KelvoWorker::encodeHash(tid, vorn); }
    };

    explicit TestTenant(const char *tag);
    ~TestTenant();
    Q_DISABLE_COPY(TestTenant)

    template<typename... Args> QString exec(const char *format, const Args &...args) const
    {
        return TestDatabase::exec(schema, fill(format, args...));
    }
    template<typename... Args> QVariant value(const char *format, const Args &...args) const
    {
        return TestDatabase::scalar(schema, fill(format, args...));
    }

    // A terminal with the next Vorn ID of this tenant (from 7001 on).
    Terminal addTerm(quint32 syn = 0, quint32 flags = 0, int status = 1);
    // begin and end are SQL expressions ("UNIX_TIMESTAMP() - 60", "NULL"); presence is saldo + 100.
    quint32 addPerson(
        const char *name, int status = 1, const char *begin = "0", const char *end = "NULL", int saldo = 0);
    QString link(quint32 uid, quint32 tid, quint32 grp = 0) const;
    // An interruption type, offered to tid unless it is 0.
    quint32 addInter(const char *name, int weight, quint32 tid = 0) const;
    // A marker as the producers write it.
    QString mark(quint32 tid, quint32 kind, quint32 refId, qint64 created, const char *type = "U",
        const char *refCol = "uid", const char *ref = "people_term") const;
    // Terminal tid's pending kinds and its number of marker rows: "syn rows".
    QString syncState(quint32 tid) const;

    // path is the part after "/kelvo/".
    Reply send(const char *method, const QString &path, const QJsonObject &body = {});

    WorkerHarness worker;

private:
    // The new row's id, or 0 (with a warning) when the insert failed.
    template<typename... Args> quint32 insert(const char *format, const Args &...args) const
    {
        return inserted(exec(format, args...));
    }
    quint32 inserted(const QString &error) const;

    quint32 terminals = 0, persons = 0;
};
