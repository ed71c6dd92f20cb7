#include "termclient.h"

#include "httppluginworker.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace {

bool readUntil(QTcpSocket &socket, QByteArray &data, const QDeadlineTimer &deadline, qint64 wanted)
{
    while (data.size() < wanted) {
        if (socket.bytesAvailable() == 0
            && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        data += socket.readAll();
    }
    return true;
}

} // namespace

TermClient::TermClient(const QUrl &base, const QString &token, bool plainJson, int timeoutMs)
    : base(base)
    , token(token)
    , plainJson(plainJson)
    , timeoutMs(timeoutMs)
{ }

QString TermClient::hash(quint64 first, quint64 second)
{
    return QString::fromLatin1(
        HttpPluginWorker::encodeSafeBase64(QByteArray::number(first) + '.' + QByteArray::number(second)));
}

bool TermClient::unhash(const QString &hash, QString *text)
{
    const QByteArray bytes = HttpPluginWorker::decodeSafeBase64(hash.toLatin1());
    *text = QString::fromUtf8(bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0')));
    return !text->isEmpty();
}

QByteArray TermClient::payload(const QJsonValue &body) const
{
    if (body.isUndefined() || body.isNull())
        return QByteArray();
    const QByteArray json = body.isObject() ? QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact);
    return plainJson ? json : HttpPluginWorker::encodeSafeBase64(json);
}

QByteArray TermClient::requestBytes(
    const QString &method, const QString &path, const QByteArray &payload) const
{
    QString target = base.path(QUrl::FullyEncoded);
    if (!target.endsWith(QLatin1Char('/')))
        target += QLatin1Char('/');
    target += path;
    QByteArray request = method.toLatin1() + ' ' + target.toUtf8() + " HTTP/1.1\r\n";
    request += "Host: " + base.host().toUtf8() + ':' + QByteArray::number(base.port(80)) + "\r\n";
    request += "User-Agent: kelvo-term\r\n";
    if (!token.isEmpty())
        request += "Pragma: token = " + token.toUtf8() + "\r\n";
    if (!payload.isEmpty() || method == QLatin1String("POST") || method == QLatin1String("PUT")) {
        request += plainJson ? "Content-type: application/json\r\n" : "Content-type: application/att\r\n";
        request += "Content-Length: " + QByteArray::number(payload.size()) + "\r\n";
    }
    return request + "Connection: close\r\n\r\n" + payload;
}

bool TermClient::deliver(
    QTcpSocket &socket, const QByteArray &request, const QDeadlineTimer &deadline, QString *error) const
{
    const int port = base.port(80);
    socket.connectToHost(base.host(), quint16(port));
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        *error = QStringLiteral("cannot connect to %1:%2: %3")
                     .arg(base.host())
                     .arg(port)
                     .arg(socket.errorString());
        return false;
    }
    socket.write(request);
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
    return true;
}

// Status line and head; the body is read by its Content-Length, or until the
// server closes when there is none.
void TermClient::receive(QTcpSocket &socket, const QDeadlineTimer &deadline, Answer &answer)
{
    QByteArray data;
    int headEnd = -1;
    while ((headEnd = data.indexOf("\r\n\r\n")) < 0) {
        if (!readUntil(socket, data, deadline, data.size() + 1)) {
            answer.error = QStringLiteral("no complete answer: %1").arg(socket.errorString());
            return;
        }
    }
    const qint64 length = readHead(data.left(headEnd), answer);
    if (length >= 0) {
        if (!readUntil(socket, data, deadline, headEnd + 4 + length)) {
            answer.error = QStringLiteral("answer body cut short: %1").arg(socket.errorString());
            return;
        }
    } else {
        while (socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            data += socket.readAll();
    }
    answer.body = data.mid(headEnd + 4, length >= 0 ? int(length) : -1);
    const QJsonDocument doc = QJsonDocument::fromJson(HttpPluginWorker::decodeSafeBase64(answer.body));
    if (doc.isObject())
        answer.json = doc.object();
}

qint64 TermClient::readHead(const QByteArray &headBytes, Answer &answer)
{
    const QList<QByteArray> head = headBytes.split('\n');
    const QList<QByteArray> statusLine = head.value(0).trimmed().split(' ');
    answer.status = statusLine.value(1).toInt();
    answer.reason = QString::fromLatin1(head.value(0).trimmed()).section(QLatin1Char(' '), 2);
    qint64 length = -1;
    for (const QByteArray &line : head) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            length = line.mid(colon + 1).trimmed().toLongLong();
    }
    return length;
}

TermClient::Answer TermClient::send(const QString &method, const QString &path, const QJsonValue &body) const
{
    Answer answer;
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    if (deliver(socket, requestBytes(method, path, payload(body)), deadline, &answer.error))
        receive(socket, deadline, answer);
    return answer;
}
