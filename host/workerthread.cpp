#include "workerthread.h"

#include "httppluginworker.h"
#include "pluginhost.h"
#include "workqueue.h"

#include <QMetaObject>
#include <QtDebug>

#include <memory>

WorkerThread::WorkerThread(const PluginHost &host, WorkQueue &queue, std::chrono::seconds queueTimeout)
    : host(host)
    , queue(queue)
    , queueTimeout(queueTimeout)
{ }

WorkerThread::~WorkerThread()
{
    wait();
}

void WorkerThread::run()
{
    using Result = WorkQueue::Result;
    const std::unique_ptr<HttpPluginWorker> worker = host.createWorker();
    const std::chrono::milliseconds idleTick = host.idleTick();
    std::size_t depth = 0;
    bool idle = false;
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
        const auto waited
            = std::chrono::duration_cast<std::chrono::milliseconds>(WorkQueue::Clock::now() - job->queued);
        qDebug("kelvo-host: queue depth %zu, request waited %lld ms", depth,
            static_cast<long long>(waited.count()));
        if (waited > queueTimeout)
            job->done(Result { Result::Kind::Expired, {} });
        else if (!worker)
            job->done(Result { Result::Kind::NoWorker, {} });
        else
            job->done(Result { Result::Kind::Answered,
                worker->buildResponse(job->method, job->url, job->headers, job->body) });
    }
    // The worker's SQL connections were made in this thread and close here,
    // when worker goes out of scope.
}
