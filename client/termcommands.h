#pragma once

#include "termclient.h"

#include <QJsonObject>
#include <QStringList>
#include <QTextStream>

// The terminal's commands: turns a command line into protocol requests, runs
// them through a TermClient and prints every answer as status line plus
// indented JSON. Used from one thread.
class TermCommands
{
public:
    TermCommands(const TermClient &client, QTextStream &out, QTextStream &err);

    // Runs one command (its name first); the result is the exit code:
    // 0 success, 1 an error answer, 2 wrong usage or no answer at all.
    int run(const QStringList &args);

    static QString usage();
    // Mask of the lists a synchronisation answer delivered.
    static quint32 deliveredMask(const QJsonValue &res);
    // key=value pairs to a JSON object: digits become numbers, the rest text.
    static bool fields(const QStringList &pairs, QJsonObject &object, QString *error);
    // "TID.FID" (or any "A.B" pair of unsigned numbers) to its path hash.
    static bool pairHash(const QString &text, QString *hash);

private:
    int print(const TermClient::Answer &answer);
    int usageError(const QString &message);
    int sync(const QString &term, bool force, bool ack);

    const TermClient &client;
    QTextStream &out;
    QTextStream &err;
};
