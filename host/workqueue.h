#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// The bounded queue between the I/O threads, which put requests in, and the
// worker threads, which take them out one at a time. A full queue refuses at
// once instead of holding the connection.
//
// Thread rules: every operation may be called from any thread; one mutex
// guards the queue and is never held while a request runs.
class WorkQueue
{
public:
    using Clock = std::chrono::steady_clock;

    struct Result
    {
        enum class Kind {
            Answered, // bytes hold the worker's complete response
            Expired, // waited past the queue deadline, not executed
            Dropped, // still waiting when the host stopped, not executed
            NoWorker, // the plug-in gave this thread no worker
        };
        Kind kind = Kind::Answered;
        QByteArray bytes;
    };

    struct Job
    {
        QString method;
        QUrl url;
        QStringList headers;
        QByteArray body;
        Clock::time_point queued;
        // Called exactly once, in a worker thread or the thread that drops the job.
        std::function<void(Result)> done;
    };

    explicit WorkQueue(std::size_t capacity);

    // False when the queue is full or closed; the job is then not taken.
    bool push(Job &&job);
    // The oldest job; blocks while the queue is empty and open. Empty once
    // the queue is closed and drained.
    std::optional<Job> pop(std::size_t *depthAfter = nullptr);
    // The same, waiting at most timeout (zero: no limit); an empty result
    // with *timedOut set means nothing came in time, the queue is still open.
    std::optional<Job> pop(
        std::chrono::milliseconds timeout, bool *timedOut, std::size_t *depthAfter = nullptr);
    void close();
    // Jobs waiting now.
    std::size_t size();
    // Removes and returns every waiting job.
    std::vector<Job> takeAll();

private:
    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable available;
    std::deque<Job> jobs;
    bool closed = false;
};
