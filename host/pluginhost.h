#pragma once

#include "hostconfig.h"

#include <QObject>
#include <QPluginLoader>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class DBManager;
class HttpPluginInterface;
class HttpPluginWorker;
class Metrics;
class QSqlDatabase;

// Owns the connection registry and the loaded plug-in: sets up the
// information and main databases, loads the library and accepts it by its
// interface id, hands out configured workers, logs and counts the relayed
// recordCreated, sweeps released connections and reloads the tenants.
//
// Thread rules: lives in the main thread, where start(), the sweep and the
// recordCreated slot run (workers emit from worker threads; the relay is
// queued). createWorker() and routes() may be called from any thread: the
// first only asks the plug-in for a new worker, the second reads data fixed
// at start. reloadTenants() runs in the main thread.
class PluginHost : public QObject
{
    Q_OBJECT

public:
    explicit PluginHost(Metrics &metrics, QObject *parent = nullptr);
    ~PluginHost() override;

    // A connection to url with the host's options (timeouts), registered
    // under name in the calling thread; not opened.
    static QSqlDatabase addConnection(
        const QString &name, const HostConfig::DatabaseUrl &url, const HostConfig &config);

    // Registry first, then the plug-in. On failure error holds one line.
    bool start(const HostConfig &config, QString *error);

    // A worker for the calling thread, configured as the plug-in expects.
    std::unique_ptr<HttpPluginWorker> createWorker() const;
    // How often an idle worker thread lets its worker close unused kept
    // connections; zero when workers keep none.
    std::chrono::milliseconds idleTick() const;
    // Whether a request path belongs to the plug-in.
    bool routes(const QString &path) const;
    // The first path part after the plug-in's prefix ("sync" for
    // "/kelvo/sync/..."); empty when there is none.
    QString operation(const QString &path) const;
    QStringList paths() const { return prefixes; }
    QString version() const;

    // Removes the connections that workers have released.
    void sweep();
    // Forgets the cached tenant rows, so that each token's row is read again
    // on its next request, and reopens the information database. Requests
    // in flight keep their connections.
    void reloadTenants();

private Q_SLOTS:
    void onRecordCreated(const QString &tbl, uint id, const QString &token, quint8 flags);

private:
    bool openDatabases(const HostConfig &config, QString *error);
    bool loadPlugin(const QString &path, QString *error);
    // The length of the prefix that path is under, or -1.
    int prefixLength(const QString &path) const;

    Metrics &metrics;
    std::unique_ptr<DBManager> registry;
    QPluginLoader loader;
    HttpPluginInterface *plugin = nullptr;
    QStringList prefixes;
    quint8 workerDebugLevel = 0;
    int keepConnections = 0;
    int keepIdleSeconds = 0;
    QTimer sweepTimer;
};
