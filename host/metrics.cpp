#include "metrics.h"

#include <QFile>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>

// Before the word lists that hold it: one translation unit initialises in order.
const QString Metrics::hostOperation = QStringLiteral("host");

namespace {

const QStringList methods { QStringLiteral("GET"), QStringLiteral("POST"), QStringLiteral("PUT"),
    QStringLiteral("DELETE") };
const QStringList operations { QStringLiteral("sync"), QStringLiteral("inters"), QStringLiteral("person"),
    QStringLiteral("saldo"), QStringLiteral("present"), QStringLiteral("term"), QStringLiteral("entrance"),
    Metrics::hostOperation };

void header(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray &out, const char *name, quint64 value)
{
    out += name;
    out += ' ';
    out += QByteArray::number(value);
    out += '\n';
}

// The resident set of this process, from the kernel's own account.
quint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toULongLong() * 1024;
    }
    return 0;
}

} // namespace

void Metrics::Histogram::observe(double seconds)
{
    const auto bucket = std::lower_bound(latencyBuckets.cbegin(), latencyBuckets.cend(), seconds);
    if (bucket != latencyBuckets.cend())
        buckets[size_t(bucket - latencyBuckets.cbegin())].fetch_add(1, std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
    sumMicroseconds.fetch_add(quint64(std::max(seconds, 0.0) * 1e6), std::memory_order_relaxed);
}

void Metrics::Histogram::render(QByteArray &out, const char *name) const
{
    // Buckets are cumulative in the text format.
    quint64 below = 0;
    for (size_t i = 0; i < latencyBuckets.size(); ++i) {
        below += buckets[i].load(std::memory_order_relaxed);
        out += name;
        out += "_bucket{le=\"" + QByteArray::number(latencyBuckets[i], 'g', 6) + "\"} "
            + QByteArray::number(below) + '\n';
    }
    const quint64 total = std::max(count.load(std::memory_order_relaxed), below);
    out += name;
    out += "_bucket{le=\"+Inf\"} " + QByteArray::number(total) + '\n';
    out += name;
    out += "_sum " + QByteArray::number(double(sumMicroseconds.load(std::memory_order_relaxed)) / 1e6, 'f', 6)
        + '\n';
    out += name;
    out += "_count " + QByteArray::number(total) + '\n';
}

QString Metrics::methodLabel(const QString &method)
{
    return methods.contains(method) ? method : QStringLiteral("other");
}

QString Metrics::operationLabel(const QString &operation)
{
    return operations.contains(operation) ? operation : QStringLiteral("other");
}

void Metrics::countRequest(const QString &method, const QString &operation, int status, double seconds)
{
    latency.observe(seconds);
    const QString key = methodLabel(method) + QLatin1Char(' ') + operationLabel(operation) + QLatin1Char(' ')
        + QString::number(std::clamp(status, 0, 999));
    QMutexLocker lock(&requestsLock);
    ++requests[key];
}

void Metrics::addWorkerTotals(quint64 errors, quint64 retries, quint64 opened)
{
    sqlErrors.fetch_add(errors, std::memory_order_relaxed);
    deadlockRetries.fetch_add(retries, std::memory_order_relaxed);
    connectionsOpened.fetch_add(opened, std::memory_order_relaxed);
}

QByteArray Metrics::render() const
{
    QByteArray out;
    out.reserve(4096);
    header(out, "kelvo_requests_total", "counter", "Requests answered, by method, operation and status.");
    {
        QMutexLocker lock(&requestsLock);
        QStringList keys = requests.keys();
        keys.sort();
        for (const QString &key : keys) {
            const QStringList labels = key.split(QLatin1Char(' '));
            out += "kelvo_requests_total{method=\"" + labels.at(0).toLatin1() + "\",operation=\""
                + labels.at(1).toLatin1() + "\",status=\"" + labels.at(2).toLatin1() + "\"} "
                + QByteArray::number(requests.value(key)) + '\n';
        }
    }
    header(out, "kelvo_request_duration_seconds", "histogram", "Time from a complete request to its answer.");
    latency.render(out, "kelvo_request_duration_seconds");
    header(out, "kelvo_work_queue_depth", "gauge", "Requests waiting for a worker thread.");
    sample(out, "kelvo_work_queue_depth", quint64(std::max(queueDepth.load(std::memory_order_relaxed), 0)));
    header(out, "kelvo_work_queue_wait_seconds", "histogram", "Time requests waited for a worker thread.");
    queueWait.render(out, "kelvo_work_queue_wait_seconds");
    header(out, "kelvo_database_errors_total", "counter", "Failed database statements.");
    sample(out, "kelvo_database_errors_total", sqlErrors.load(std::memory_order_relaxed));
    header(out, "kelvo_deadlock_retries_total", "counter",
        "Statements run again after the server chose them as a deadlock victim.");
    sample(out, "kelvo_deadlock_retries_total", deadlockRetries.load(std::memory_order_relaxed));
    header(out, "kelvo_database_connections_opened_total", "counter",
        "Tenant connections opened by the workers.");
    sample(out, "kelvo_database_connections_opened_total", connectionsOpened.load(std::memory_order_relaxed));
    header(out, "kelvo_entrances_stored_total", "counter", "New entrances stored (recordCreated).");
    sample(out, "kelvo_entrances_stored_total", entrances.load(std::memory_order_relaxed));
    header(out, "kelvo_information_database_up", "gauge",
        "Whether the information database answered its last check.");
    sample(out, "kelvo_information_database_up", isDatabaseUp() ? 1 : 0);
    header(out, "process_resident_memory_bytes", "gauge", "Resident memory of the host process.");
    sample(out, "process_resident_memory_bytes", residentBytes());
    return out;
}
