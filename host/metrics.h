#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <array>
#include <atomic>

// The host's counters, gauges and histograms, written in Prometheus' text
// exposition format for the admin listener's /metrics. Debian packages no
// client library for the format, and the part the host needs is small.
//
// Thread rules: every update may come from any thread. Plain counters are
// relaxed atomics; the request counter keyed by method, operation and status
// takes a lock of its own for the moment of an increment. render() runs in
// any thread and reads each series once; counters only grow, and a
// histogram's +Inf bucket and count never fall below its buckets.
class Metrics
{
public:
    // Upper bounds of the latency buckets, in seconds.
    static constexpr std::array<double, 13> latencyBuckets { 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
        0.25, 0.5, 1, 2.5, 5, 10 };

    class Histogram
    {
    public:
        void observe(double seconds);
        void render(QByteArray &out, const char *name) const;

    private:
        std::array<std::atomic<quint64>, latencyBuckets.size()> buckets {};
        std::atomic<quint64> count { 0 };
        std::atomic<quint64> sumMicroseconds { 0 };
    };

    // The operation of the host's own answers.
    static const QString hostOperation;

    // One answered request: its method, the operation (the first path part
    // after the prefix, or hostOperation for the host's own answers), status.
    void countRequest(const QString &method, const QString &operation, int status, double seconds);
    void countQueueWait(double seconds) { queueWait.observe(seconds); }
    void setQueueDepth(int depth) { queueDepth.store(depth, std::memory_order_relaxed); }
    void countEntrance() { entrances.fetch_add(1, std::memory_order_relaxed); }
    // The workers' running totals, added as differences since the last call.
    void addWorkerTotals(quint64 sqlErrors, quint64 deadlockRetries, quint64 connectionsOpened);
    void setDatabaseUp(bool up) { databaseUp.store(up, std::memory_order_relaxed); }
    bool isDatabaseUp() const { return databaseUp.load(std::memory_order_relaxed); }

    QByteArray render() const;

    // The request counter's labels: anything a client sends that is not one
    // of the known words is counted as "other", so that no client can make
    // the label set grow.
    static QString methodLabel(const QString &method);
    static QString operationLabel(const QString &operation);

private:
    mutable QMutex requestsLock;
    QHash<QString, quint64> requests; // "method operation status" → count
    Histogram latency;
    Histogram queueWait;
    std::atomic<int> queueDepth { 0 };
    std::atomic<quint64> entrances { 0 };
    std::atomic<quint64> sqlErrors { 0 };
    std::atomic<quint64> deadlockRetries { 0 };
    std::atomic<quint64> connectionsOpened { 0 };
    std::atomic<bool> databaseUp { false };
};
