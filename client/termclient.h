#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QUrl>

class QDeadlineTimer;
class QTcpSocket;

// One HTTP/1.1 exchange with the server over a blocking socket: the header
// lines go out exactly as written (the server finds the token line and the
// content-type line by their text), the answer's body is decoded from the
// safe Base64 envelope. A value type; use it from one thread.
class TermClient
{
public:
    struct Answer
    {
        int status = 0; // 0: no HTTP answer at all (see error)
        QString reason;
        QByteArray body;
        QJsonValue json; // the decoded envelope, undefined when it is not JSON
        QString error; // transport failure

        int err() const { return json[QStringLiteral("err")].toInt(); }
        bool failed() const { return status == 0 || status >= 400 || err() != 0; }
    };

    // base: scheme, host, port and the plug-in prefix, e.g. http://127.0.0.1:8080/kelvo
    TermClient(const QUrl &base, const QString &token, bool plainJson, int timeoutMs = 30000);

    Answer send(const QString &method, const QString &path, const QJsonValue &body = QJsonValue()) const;

    static QString hash(quint64 first, quint64 second);
    static bool unhash(const QString &hash, QString *text);

private:
    // The request's steps: body, bytes on the wire, connect and write, read the answer.
    QByteArray payload(const QJsonValue &body) const;
    QByteArray requestBytes(const QString &method, const QString &path, const QByteArray &payload) const;
    bool deliver(
        QTcpSocket &socket, const QByteArray &request, const QDeadlineTimer &deadline, QString *error) const;
    static void receive(QTcpSocket &socket, const QDeadlineTimer &deadline, Answer &answer);
    // Status and reason into answer; the Content-Length, -1 without one.
    static qint64 readHead(const QByteArray &head, Answer &answer);

    QUrl base;
    QString token;
    bool plainJson;
    int timeoutMs;
};
