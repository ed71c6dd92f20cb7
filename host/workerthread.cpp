#include "workerthread.h"

#include "httppluginworker.h"
#include "metrics.h"
#include "pluginhost.h"
#include "workqueue.h"

#include <QMetaObject>
#include <QtDebug>

#include <array>
#include <memory>

namespace {

// The worker's running totals, as our plug-in publishes them; another
// plug-in has none, and they read as 0.
const std::array<const char *, 3> totalNames { "sqlErrors", "deadlockRetries", "connectionsOpened" };

} // namespace

WorkerThread::WorkerThread(
    const PluginHost &host, WorkQueue &queue, std::chrono::seconds queueTimeout, Metrics &metrics)
    : host(host)
    , queue(queue)
    , queueTimeout(queueTimeout)
    , metrics(metrics)
{ }

WorkerThread::~WorkerThread()
{
    wait();
}

void WorkerThread::run()
{
    const std::unique_ptr<HttpPluginWorker> worker = host.createWorker();
    const std::chrono::milliseconds idleTick = host.idleTick();
    std::size_t depth = 0;
    bool idle = false;
    Totals counted = totalsOf(worker.get());
    for (;;) {
        std::optional<WorkQueue::Job> job = queue.pop(idleTick, &idle, &depth);
        if (idle) {
            // Kept connections that nobody used for a while are closed here,
            // in the thread that opened them.
            if (worker)
                QMetaObject::invokeMethod(worker.get(), "closeIdleConnections", Qt::DirectConnection);
            continue;
        }
        if (!job)
            break;
        serve(worker.get(), *job, depth, counted);
    }
    // The worker's SQL connections were made in this thread and close here,
    // when worker goes out of scope.
}

void WorkerThread::serve(HttpPluginWorker *worker, WorkQueue::Job &job, std::size_t depth, Totals &counted)
{
    using Result = WorkQueue::Result;
    if (expired(job, depth)) {
        job.done(Result { Result::Kind::Expired, {} });
        return;
    }
    if (!worker) {
        job.done(Result { Result::Kind::NoWorker, {} });
        return;
    }
    Result answered { Result::Kind::Answered,
        worker->buildResponse(job.method, job.url, job.headers, job.body) };
    // Counted before the answer leaves, so that a client sees its request in the metrics.
    const Totals now = totalsOf(worker);
    metrics.addWorkerTotals(now[0] - counted[0], now[1] - counted[1], now[2] - counted[2]);
    counted = now;
    job.done(std::move(answered));
}

// Logs and counts the job's wait in the queue; true when it waited too long.
bool WorkerThread::expired(const WorkQueue::Job &job, std::size_t depth)
{
    const auto waited = WorkQueue::Clock::now() - job.queued;
    qDebug("kelvo-host: queue depth %zu, request waited %lld ms", depth,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    metrics.countQueueWait(std::chrono::duration<double>(waited).count());
    return waited > queueTimeout;
}

WorkerThread::Totals WorkerThread::totalsOf(const HttpPluginWorker *worker)
{
    Totals totals {};
    for (std::size_t i = 0; worker && i < totals.size(); ++i)
        totals[i] = worker->property(totalNames[i]).toULongLong();
    return totals;
}
