#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

// The host's log: every record goes to stderr as one line. Debug records are
// dropped unless a debug level was asked for (the worker writes one for every
// request). So that no client can fill the disk, a record longer than
// maxRecordChars is cut, and a record identical to one written in the last
// foldWindowMs is only counted: the count follows as "(repeated N times)"
// once the window has passed (flush()).
//
// Thread rules: safe to call from any thread; one mutex orders the records.
class HostLog
{
public:
    static constexpr int maxRecordChars = 4096;
    static constexpr qint64 foldWindowMs = 10000;

    static void install(bool keepDebug, std::FILE *sink = stderr);
    static void line(const QString &text);
    // Writes the counts of folded records whose window has passed (all of
    // them when everything is true). The host calls it every second and at the end.
    static void flush(bool everything = false);

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
};
