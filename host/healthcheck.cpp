#include "healthcheck.h"

#include "metrics.h"
#include "pluginhost.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace {

const QString healthConnection = QStringLiteral("kelvo-host.health");
const QString checkSql = QStringLiteral("SELECT 1");

} // namespace

HealthCheck::HealthCheck(const HostConfig &config, Metrics &metrics)
    : config(config)
    , metrics(metrics)
{ }

HealthCheck::~HealthCheck()
{
    finish(std::chrono::milliseconds::zero());
    wait();
}

bool HealthCheck::finish(std::chrono::milliseconds timeout)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    return !isRunning() || wait(QDeadlineTimer(timeout.count()));
}

bool HealthCheck::check()
{
    QSqlDatabase db = PluginHost::addConnection(healthConnection, config.infoDb, config);
    bool up = false;
    if (db.open()) {
        QSqlQuery query(db);
        up = query.exec(checkSql) && query.next();
    }
    db.close();
    return up;
}

void HealthCheck::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        lock.unlock();
        metrics.setDatabaseUp(check());
        QSqlDatabase::removeDatabase(healthConnection);
        lock.lock();
        wake.wait_for(lock, std::chrono::seconds(config.healthIntervalSeconds), [this] { return stopping; });
    }
}
