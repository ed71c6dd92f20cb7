#pragma once

#include "dbmanager.h"
#include "kelvoworker.h"
#include "testdatabase.h"

#include <QJsonObject>
#include <QJsonValue>
#include <memory>

// One decoded answer of a worker: head, body and the JSON object of the body.
struct Reply
{
    int status = 0;
    QByteArray head, body;
    QJsonObject json;

    int err() const { return json.value(QStringLiteral("err")).toInt(); }
    QJsonValue res() const { return json.value(QStringLiteral("res")); }
};

// The registry a harness makes for itself: a base, so that it outlives the
// worker's own release of its connections.
struct HarnessRegistry
{
    explicit HarnessRegistry(bool make = false);
    ~HarnessRegistry();
    QString infoName;
    std::unique_ptr<DBManager> registry;
};

// The worker of the tests: a real KelvoWorker configured as the host
// configures it, fed (method, path, headers, body) without sockets, with the
// operations that tests drive one by one within reach. Create it in the
// thread that sends the requests.
class WorkerHarness : private HarnessRegistry, public KelvoWorker
{
public:
    // On a registry of its own whose information database is the test process's one.
    WorkerHarness();
    // On registry (none: nullptr), which outlives the worker.
    explicit WorkerHarness(DBManager *shared);

    // Body sent as the safe Base64 of the compact JSON (the terminal's way).
    Reply request(const QString &method, const QString &path, const QString &token,
        const QJsonObject &body = QJsonObject());
    // Body and header lines exactly as given.
    Reply raw(const QString &method, const QString &path, const QStringList &headers, const QByteArray &body);
    // Runs the operations on a clone of database, opened here, instead of a request's connection.
    bool open(const QSqlDatabase &database);

    static Reply parse(const QByteArray &response);
    static QStringList tokenHeaders(const QString &token);

    using KelvoWorker::dbGetSync, KelvoWorker::httpStatus, KelvoWorker::initDatabase,
        KelvoWorker::parseHeader, KelvoWorker::renderResponse, KelvoWorker::resetResponse,
        KelvoWorker::result, KelvoWorker::setError;
};
