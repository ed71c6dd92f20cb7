#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

// The host's log: every record goes to stderr as one line with its level.
// Under systemd (the journal adds time and unit) a line is "<P>level: text",
// whose syslog priority prefix the journal turns into the record's priority;
// elsewhere "ISO-time level: text". Debug records are dropped unless a debug
// level was asked for (the worker writes them for every request). No token or
// password reaches a line: tokens are cut to a prefix, database URLs lose
// their password. So that no client can fill the disk, a record longer than
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
    static constexpr int tokenPrefixChars = 6;

    // journal: whether the lines go to the systemd journal (see underSystemd()).
    static void install(bool keepDebug, std::FILE *sink = stderr, bool journal = underSystemd());
    static void line(const QString &text, QtMsgType type = QtInfoMsg);
    // Writes the counts of folded records whose window has passed (all of
    // them when everything is true). The host calls it every second and at the end.
    static void flush(bool everything = false);

    // Whether systemd started the process with its output in the journal.
    static bool underSystemd();
    // The first characters of a token, for a log line.
    static QString tokenPrefix(const QString &token);
    // The text with tokens cut to their prefix and database passwords removed.
    static QString redact(const QString &text);

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
};
