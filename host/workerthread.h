#pragma once

#include <QThread>

#include <chrono>

class Metrics;
class PluginHost;
class WorkQueue;

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
    const PluginHost &host;
    WorkQueue &queue;
    const std::chrono::seconds queueTimeout;
    Metrics &metrics;
};
