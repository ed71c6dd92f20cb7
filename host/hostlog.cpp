#include "hostlog.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// A record written recently, and how often it came again since.
struct Recent
{
    QtMsgType type;
    QString message;
    qint64 firstMs;
    int repeats;
};

// Enough for the records that repeat at once; the oldest is dropped first.
constexpr std::size_t recentLimit = 64;

std::atomic<bool> debugKept { false };
std::mutex logMutex;
std::FILE *sink = stderr;
std::vector<Recent> recent;
QElapsedTimer uptime;

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "log";
}

// Under logMutex.
void writeLine(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), sink);
    std::fflush(sink);
}

void writeRecord(QtMsgType type, const QString &message)
{
    writeLine(QStringLiteral("%1 %2: %3")
                  .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs),
                      QLatin1String(levelName(type)), message));
}

// Under logMutex: the count of a folded record, then forget it.
void writeRepeats(const Recent &record)
{
    if (record.repeats > 0)
        writeRecord(
            record.type, QStringLiteral("(repeated %1 times) %2").arg(record.repeats).arg(record.message));
}

} // namespace

void HostLog::install(bool keepDebug, std::FILE *target)
{
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        debugKept = keepDebug;
        sink = target;
        recent.clear();
        uptime.start();
    }
    qInstallMessageHandler(&HostLog::handler);
}

void HostLog::line(const QString &text)
{
    const std::lock_guard<std::mutex> lock(logMutex);
    writeLine(text);
}

void HostLog::flush(bool everything)
{
    const std::lock_guard<std::mutex> lock(logMutex);
    const qint64 now = uptime.elapsed();
    auto it = recent.begin();
    while (it != recent.end()) {
        if (everything || now - it->firstMs >= foldWindowMs) {
            writeRepeats(*it);
            it = recent.erase(it);
        } else {
            ++it;
        }
    }
}

void HostLog::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !debugKept)
        return;
    const QString text = message.size() <= maxRecordChars ? message
                                                          : message.left(maxRecordChars)
            + QStringLiteral(" ... (%1 more characters)").arg(message.size() - maxRecordChars);
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        const qint64 now = uptime.elapsed();
        auto same = std::find_if(recent.begin(), recent.end(),
            [&](const Recent &r) { return r.type == type && r.message == text; });
        if (same != recent.end() && now - same->firstMs < foldWindowMs) {
            ++same->repeats;
        } else {
            if (same != recent.end()) {
                writeRepeats(*same);
                recent.erase(same);
            } else if (recent.size() >= recentLimit) {
                writeRepeats(recent.front());
                recent.erase(recent.begin());
            }
            recent.push_back(Recent { type, text, now, 0 });
            writeRecord(type, text);
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}
