#include "hostlog.h"

#include <QDateTime>

#include <atomic>
#include <cstdlib>
#include <cstdio>

namespace {

std::atomic<bool> debugKept { false };

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

} // namespace

void HostLog::install(bool keepDebug)
{
    debugKept = keepDebug;
    qInstallMessageHandler(&HostLog::handler);
}

void HostLog::line(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void HostLog::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !debugKept)
        return;
    line(QStringLiteral("%1 %2: %3")
             .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), QLatin1String(levelName(type)), message));
    if (type == QtFatalMsg)
        std::abort();
}
