#pragma once

#include "dbmanager.h"
#include "kelvoworker.h"
#include "testdatabase.h"

#include <QJsonObject>
#include <QJsonValue>
#include <memory>

// One decoded answer of a worker: status line, head and the JSON object of
// the body (Base64 variant decoded).
struct Reply
{
    int status = 0;
    QString reason;
    QByteArray head;
    QByteArray body;
    QJsonObject json;

    int err() const { return json.value(QStringLiteral("err")).toInt(); }
    QJsonValue res() const { return json.value(QStringLiteral("res")); }
};

// Feeds (method, path, headers, body) to a real KelvoWorker attached to a real
// registry over the test server, without sockets. Create it in the thread
// that sends the requests.
class WorkerHarness
{
public:
    // A registry whose information database is the test process's one, and a
    // worker configured as the host configures it.
    WorkerHarness();
    ~WorkerHarness();

    DBManager &manager() { return *registry; }
    KelvoWorker &worker() { return *kelvo; }

    // Body sent as the safe Base64 of the compact JSON (the terminal's way).
    Reply request(const QString &method, const QString &path, const QString &token,
        const QJsonObject &body = QJsonObject());
    // Body and header lines exactly as given.
    Reply raw(const QString &method, const QString &path, const QStringList &headers, const QByteArray &body);

    static Reply parse(const QByteArray &response);
    static QStringList tokenHeaders(const QString &token);

private:
    QString infoName;
    std::unique_ptr<DBManager> registry;
    std::unique_ptr<KelvoWorker> kelvo;
};
