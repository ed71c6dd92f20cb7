#include "hostlog.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>

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
bool journal = false;
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

// The syslog priority the journal reads from a line's "<P>" prefix.
int priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

// Where the plug-in or the SQL layer writes a token: "token: \"T\"", "token = T",
// a template's name "dbc_T", and the registry's "cannot set ... of \"T\"".
const QRegularExpression tokenPattern(
    QStringLiteral("(token\\s*[:=]\\s*\"?|dbc_|cannot set \\w+ of\\s+\")([^\"'\\s),;]+)"),
    QRegularExpression::CaseInsensitiveOption);
// mysql://USER:PASS@ — the password part.
const QRegularExpression passwordPattern(QStringLiteral("(\\w+://[^:/@\\s]*:)[^@\\s]*@"));

// Under logMutex: the local time of a line, as Qt::ISODateWithMs writes it.
// The local second is looked up once per second: the time-zone lookup behind
// each QDateTime::currentDateTime() cost more than the rest of a record, and
// a busy host writes one record per stored entrance.
QString localTime()
{
    static qint64 second = -1;
    static QString secondText;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        secondText = QDateTime::fromSecsSinceEpoch(second).toString(Qt::ISODate);
    }
    return secondText + QStringLiteral(".%1").arg(now % 1000, 3, 10, QLatin1Char('0'));
}

// Under logMutex: one record as one line, with its level.
void writeRecord(QtMsgType type, const QString &message)
{
    // One record, one line: what follows a line break in it stays on the line.
    const QString text = HostLog::redact(message).replace(QLatin1Char('\n'), QLatin1String(" | "));
    const QString line = journal
        ? QStringLiteral("<%1>%2: %3").arg(priority(type)).arg(QLatin1String(levelName(type)), text)
        : QStringLiteral("%1 %2: %3").arg(localTime(), QLatin1String(levelName(type)), text);
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), sink);
    std::fflush(sink);
}

// Under logMutex: the count of a folded record, then forget it.
void writeRepeats(const Recent &record)
{
    if (record.repeats > 0)
        writeRecord(
            record.type, QStringLiteral("(repeated %1 times) %2").arg(record.repeats).arg(record.message));
}

} // namespace

void HostLog::install(bool keepDebug, std::FILE *target, bool toJournal)
{
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        debugKept = keepDebug;
        sink = target;
        journal = toJournal;
        recent.clear();
        uptime.start();
    }
    qInstallMessageHandler(&HostLog::handler);
}

void HostLog::line(const QString &text, QtMsgType type)
{
    const std::lock_guard<std::mutex> lock(logMutex);
    writeRecord(type, text);
}

bool HostLog::underSystemd()
{
    return qEnvironmentVariableIsSet("JOURNAL_STREAM") || qEnvironmentVariableIsSet("INVOCATION_ID");
}

QString HostLog::tokenPrefix(const QString &token)
{
    return token.left(tokenPrefixChars) + QChar(0x2026);
}

QString HostLog::redact(const QString &text)
{
    QString result = text;
    result.replace(passwordPattern, QStringLiteral("\\1***@"));
    QRegularExpressionMatchIterator it = tokenPattern.globalMatch(result);
    QString cut;
    int done = 0;
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        cut += result.midRef(done, m.capturedStart(2) - done) + tokenPrefix(m.captured(2));
        done = m.capturedEnd(2);
    }
    return done == 0 ? result : cut + result.midRef(done);
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
