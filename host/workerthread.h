#pragma once

#include "workqueue.h"

#include <QThread>

#include <array>
#include <chrono>

class HttpPluginWorker;
class Metrics;
class PluginHost;

// One worker thread: owns one plug-in worker and runs the queued requests on
// it, one at a time. A request that waited in the queue past the deadline is
// handed back unexecuted. Counts the queue's wait and adds the worker's
// running totals (database errors, deadlock retries, connections opened)
// to the metrics after each request.
//
// Thread rules: the worker is created, used and destroyed in this thread, so
// its SQL connections are made and closed here. run() returns once the queue
// is closed and empty; nothing else touches the thread.
class WorkerThread : public QThread
{
public:
    WorkerThread(
        const PluginHost &host, WorkQueue &queue, std::chrono::seconds queueTimeout, Metrics &metrics);
    ~WorkerThread() override;

protected:
    void run() override;

private:
    // The worker's running totals: SQL errors, deadlock retries, connections opened.
    using Totals = std::array<quint64, 3>;

    // One queued request: answered by worker, or handed back expired or
    // without a worker; counted holds the totals already added to the metrics.
    void serve(HttpPluginWorker *worker, WorkQueue::Job &job, std::size_t depth, Totals &counted);
    bool expired(const WorkQueue::Job &job, std::size_t depth);
    static Totals totalsOf(const HttpPluginWorker *worker);

    const PluginHost &host;
    WorkQueue &queue;
    const std::chrono::seconds queueTimeout;
    Metrics &metrics;
};
