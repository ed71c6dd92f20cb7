#pragma once

#include <QString>
#include <QtGlobal>

// The host's log: every record goes to stderr as one line. Debug records are
// dropped unless a debug level was asked for (the worker writes one for every
// request). Safe to call from any thread: each record is one write.
class HostLog
{
public:
    static void install(bool keepDebug);
    static void line(const QString &text);

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
};
