#include "pluginhost.h"

#include "dbmanager.h"
#include "hostlog.h"
#include "httpplugininterface.h"
#include "httppluginworker.h"
#include "metrics.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>

#include <algorithm>

namespace {

// The host's own connection names; tenants' and workers' names never clash
// with them. No connection is registered under Qt's default name, so a token
// without an active tenant gets an invalid handle (502), never another
// tenant's or the main database.
const QString infoConnection = QStringLiteral("kelvo-host.info");
const QString mainConnection = QStringLiteral("kelvo-host.main");

constexpr int sweepIntervalMs = 1000;

// A server that does not answer must hold nothing for long: not the start,
// not a request, not the stop. Clones inherit these options.
QString connectOptions(const HostConfig &config)
{
    QStringList options { QStringLiteral("MYSQL_OPT_RECONNECT=1") };
    const auto add = [&options](const char *name, int seconds) {
        if (seconds > 0)
            options << QStringLiteral("%1=%2").arg(QLatin1String(name)).arg(seconds);
    };
    add("MYSQL_OPT_CONNECT_TIMEOUT", config.dbConnectTimeoutSeconds);
    add("MYSQL_OPT_READ_TIMEOUT", config.dbReadTimeoutSeconds);
    add("MYSQL_OPT_WRITE_TIMEOUT", config.dbWriteTimeoutSeconds);
    return options.join(QLatin1Char(';'));
}

QString describe(const HostConfig::DatabaseUrl &url)
{
    return QStringLiteral("%1@%2:%3/%4").arg(url.user, url.host).arg(url.port).arg(url.database);
}

} // namespace

QSqlDatabase PluginHost::addConnection(
    const QString &name, const HostConfig::DatabaseUrl &url, const HostConfig &config)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(url.host);
    db.setPort(url.port);
    db.setUserName(url.user);
    db.setPassword(url.password);
    db.setDatabaseName(url.database);
    db.setConnectOptions(connectOptions(config));
    return db;
}

PluginHost::PluginHost(Metrics &metrics, QObject *parent)
    : QObject(parent)
    , metrics(metrics)
{
    sweepTimer.setInterval(sweepIntervalMs);
    connect(&sweepTimer, &QTimer::timeout, this, &PluginHost::sweep);
}

PluginHost::~PluginHost()
{
    sweepTimer.stop();
    if (registry)
        registry->removeUnusedConnections();
    registry.reset();
    QSqlDatabase::removeDatabase(infoConnection);
    QSqlDatabase::removeDatabase(mainConnection);
}

bool PluginHost::start(const HostConfig &config, QString *error)
{
    workerDebugLevel = config.debugLevel;
    keepConnections = config.keepConnections;
    keepIdleSeconds = config.keepIdleSeconds;
    if (!openDatabases(config, error))
        return false;
    if (!loadPlugin(config.pluginPath, error))
        return false;
    sweepTimer.start();
    return true;
}

bool PluginHost::openDatabases(const HostConfig &config, QString *error)
{
    registry = std::make_unique<DBManager>();
    QSqlDatabase info = addConnection(infoConnection, config.infoDb, config);
    if (!info.open()) {
        *error = QStringLiteral("information database %1 is not reachable: %2")
                     .arg(describe(config.infoDb), info.lastError().text());
        return false;
    }
    registry->setInfoDatabase(info);
    if (config.mainDb.isValid()) {
        QSqlDatabase mainDb = addConnection(mainConnection, config.mainDb, config);
        if (!mainDb.open()) {
            *error = QStringLiteral("main database %1 is not reachable: %2")
                         .arg(describe(config.mainDb), mainDb.lastError().text());
            return false;
        }
        // Workers only clone it, in their own threads.
        mainDb.close();
        registry->setMainDatabase(mainDb);
    }
    registry->setCloseInfoDatabase(config.closeInfoDb);
    if (config.closeInfoDb)
        info.close();
    registry->debugLevel = config.registryDebugLevel;
    // The tenants' templates, and so every worker's clone, get the same bounds.
    registry->setConnectionTimeouts(
        config.dbConnectTimeoutSeconds, config.dbReadTimeoutSeconds, config.dbWriteTimeoutSeconds);
    return true;
}

bool PluginHost::loadPlugin(const QString &path, QString *error)
{
    if (!QFileInfo::exists(path)) {
        *error = QStringLiteral("plug-in '%1' not found").arg(path);
        return false;
    }
    loader.setFileName(path);
    const QString iid = loader.metaData().value(QStringLiteral("IID")).toString();
    if (iid != QLatin1String(HttpPluginInterface_iid)) {
        *error = QStringLiteral("'%1' is not an HTTP plug-in (interface '%2'): %3")
                     .arg(path, iid, loader.errorString());
        return false;
    }
    QObject *instance = loader.instance();
    plugin = qobject_cast<HttpPluginInterface *>(instance);
    if (!plugin) {
        *error = QStringLiteral("plug-in '%1' does not load: %2").arg(path, loader.errorString());
        return false;
    }
    prefixes = plugin->paths();
    if (prefixes.isEmpty()) {
        *error = QStringLiteral("plug-in '%1' serves no path").arg(path);
        return false;
    }
    // By signature: the host does not know the plug-in's class.
    if (!connect(instance, SIGNAL(recordCreated(QString, uint, QString, quint8)), this,
            SLOT(onRecordCreated(QString, uint, QString, quint8))))
        HostLog::line(QStringLiteral("the plug-in relays no recordCreated"), QtWarningMsg);
    return true;
}

QString PluginHost::version() const
{
    return plugin ? plugin->getVersion() : QString();
}

std::chrono::milliseconds PluginHost::idleTick() const
{
    return std::chrono::milliseconds(keepConnections > 0 ? std::max(1000, keepIdleSeconds * 1000 / 4) : 0);
}

std::unique_ptr<HttpPluginWorker> PluginHost::createWorker() const
{
    std::unique_ptr<HttpPluginWorker> worker(plugin->getNewWorker(nullptr));
    if (worker) {
        worker->setDbManager(registry.get());
        worker->setDebugLevel(workerDebugLevel);
        worker->setReleaseConnection(true);
        // Our plug-in's own settings beyond the contract, as dynamic
        // properties: another plug-in simply ignores them.
        if (keepConnections > 0) {
            worker->setProperty("keepConnections", keepConnections);
            worker->setProperty("keepIdleSeconds", keepIdleSeconds);
        }
    }
    return worker;
}

int PluginHost::prefixLength(const QString &path) const
{
    for (const QString &prefix : prefixes) {
        // A prefix names whole segments: "/kelvox" is not under "/kelvo".
        if (path.startsWith(prefix)
            && (path.size() == prefix.size() || prefix.endsWith(QLatin1Char('/'))
                || path.at(prefix.size()) == QLatin1Char('/')))
            return prefix.size();
    }
    return -1;
}

bool PluginHost::routes(const QString &path) const
{
    return prefixLength(path) >= 0;
}

QString PluginHost::operation(const QString &path) const
{
    const int length = prefixLength(path);
    if (length < 0)
        return QString();
    return path.mid(length).section(QLatin1Char('/'), 0, 0, QString::SectionSkipEmpty);
}

void PluginHost::sweep()
{
    if (registry)
        registry->removeUnusedConnections();
}

void PluginHost::reloadTenants()
{
    if (!registry)
        return;
    registry->reloadTenants();
    HostLog::line(QStringLiteral("kelvo-host: reloaded: tenants are read again on their next request"));
}

void PluginHost::onRecordCreated(const QString &tbl, uint id, const QString &token, quint8 flags)
{
    metrics.countEntrance();
    HostLog::line(QStringLiteral("recordCreated tbl=%1 id=%2 token=%3 flags=%4")
                      .arg(tbl)
                      .arg(id)
                      .arg(HostLog::tokenPrefix(token))
                      .arg(flags));
}
