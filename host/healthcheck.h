#pragma once

#include "hostconfig.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>

class Metrics;

// Asks the information database every few seconds whether it answers, with
// a connection of its own opened for each check (so that a locked or dropped
// account shows as well as a server that is gone), and puts the answer into
// the metrics, where /healthz reads it without waiting.
//
// Thread rules: start() and finish() are called from the main thread; the
// check and its connection live in this thread alone, so a database that
// does not answer holds nothing but this thread, for at most its timeouts.
class HealthCheck : public QThread
{
public:
    HealthCheck(const HostConfig &config, Metrics &metrics);
    ~HealthCheck() override;

    // Ends the checks; true when the thread ended within timeout (a check
    // still waiting on the database keeps it longer).
    bool finish(std::chrono::milliseconds timeout);

protected:
    void run() override;

private:
    bool check();

    const HostConfig config;
    Metrics &metrics;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};
