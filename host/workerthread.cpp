#include "workerthread.h"

#include "httppluginworker.h"
#include "pluginhost.h"
#include "workqueue.h"

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
    std::size_t depth = 0;
    while (std::optional<WorkQueue::Job> job = queue.pop(&depth)) {
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
