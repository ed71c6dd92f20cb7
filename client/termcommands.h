#pragma once

#include "termclient.h"

#include <QJsonObject>
#include <QStringList>
#include <QTextStream>

// The terminal's commands: one table (name, argument shape, handler) turns a
// command line into a request description, which run() sends through a
// TermClient and prints as status line plus indented JSON. The same table
// writes the usage text. Used from one thread.
class TermCommands
{
public:
    // What one command line asks for, before anything goes over the wire.
    struct Request
    {
        QString error; // wrong usage: nothing is sent
        QString output; // a local command's text: nothing is sent
        QString method; // GET, POST, PUT or DELETE
        QString path; // after the plug-in prefix
        QJsonValue body; // null: no body
        QString acknowledgeFor; // sync --ack: the terminal hash whose delivery is confirmed
    };

    TermCommands(const TermClient &client, QTextStream &out, QTextStream &err);

    // Runs one command (its name first); the result is the exit code:
    // 0 success, 1 an error answer, 2 wrong usage or no answer at all.
    int run(const QStringList &args);

    // The command line (name first) checked against its command's shape;
    // now: the time an entrance without "date" is stamped with.
    static Request parse(const QStringList &args, qint64 now);
    // The confirmation of what a synchronisation answer delivered, or a
    // request with neither method nor error when nothing is to be confirmed.
    static Request acknowledgement(const QString &term, const QJsonValue &envelope);

    static QString usage();

private:
    int print(const TermClient::Answer &answer);
    int usageError(const QString &message);
    int send(const Request &request);

    const TermClient &client;
    QTextStream &out;
    QTextStream &err;
};
