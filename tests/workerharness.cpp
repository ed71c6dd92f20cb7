#include "workerharness.h"

#include <QAtomicInteger>
#include <QJsonDocument>
#include <QUrl>

HarnessRegistry::HarnessRegistry(bool make)
{
    if (!make)
        return;
    static QAtomicInteger<int> counter;
    infoName = s("harness.info.%1").arg(++counter);
    registry = std::make_unique<DBManager>();
    if (TestDatabase::available())
        registry->setInfoDatabase(TestDatabase::addConnection(infoName, TestDatabase::infoDatabaseName()));
}

HarnessRegistry::~HarnessRegistry()
{
    if (registry)
        registry->removeUnusedConnections();
    registry.reset(); // its handle of the information database goes first
    QSqlDatabase::removeDatabase(infoName);
}

WorkerHarness::WorkerHarness()
    : HarnessRegistry(true)
    , KelvoWorker(s("0.2.5"))
{
    setDbManager(registry.get());
    setReleaseConnection(true);
}

WorkerHarness::WorkerHarness(DBManager *shared)
    : KelvoWorker(s("0.2.5"))
{
    setDbManager(shared);
    setReleaseConnection(true);
}

bool WorkerHarness::open(const QSqlDatabase &database)
{
    setDatabase(database);
    dbOpened = db.open();
    resetResponse();
    return dbOpened;
}

QStringList WorkerHarness::tokenHeaders(const QString &token)
{
    QStringList headers { s("Host: localhost") };
    if (!token.isEmpty())
        headers << s("Pragma: token = %1").arg(token);
    return headers;
}

Reply WorkerHarness::request(
    const QString &method, const QString &path, const QString &token, const QJsonObject &body)
{
    return raw(method, path, tokenHeaders(token),
        body.isEmpty() ? QByteArray() : encodeSafeBase64(QJsonDocument(body).toJson(QJsonDocument::Compact)));
}

Reply WorkerHarness::raw(
    const QString &method, const QString &path, const QStringList &headers, const QByteArray &body)
{
    return parse(buildResponse(method, QUrl(path), headers, body));
}

Reply WorkerHarness::parse(const QByteArray &response)
{
    Reply reply;
    const int end = response.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    reply.head = response.left(end + 2);
    reply.body = response.mid(end + 4);
    reply.status = response.mid(response.indexOf(' ') + 1, 3).toInt();
    reply.json = QJsonDocument::fromJson(decodeSafeBase64(reply.body)).object();
    return reply;
}
