#include "rawconnection.h"

#include <QRegularExpression>

void RawConnection::send(const QByteArray &bytes)
{
    socket.write(bytes);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) { }
}

QByteArray RawConnection::response(int timeoutMs)
{
    static const QRegularExpression contentLength(QStringLiteral("\r\nContent-Length: (\\d+)\r\n"));
    const QDeadlineTimer deadline(timeoutMs);
    qint64 length = -1;
    while (!deadline.hasExpired()) {
        const int end = pending.indexOf("\r\n\r\n");
        if (end >= 0 && length < 0) {
            const QRegularExpressionMatch m = contentLength.match(QString::fromLatin1(pending.left(end + 2)));
            length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
        }
        if (end >= 0 && pending.size() >= end + 4 + length) {
            const QByteArray one = pending.left(int(end + 4 + length));
            pending.remove(0, one.size());
            return one;
        }
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        pending += socket.readAll();
    }
    return QByteArray();
}

bool RawConnection::closedByPeer(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        pending += socket.readAll();
    }
    return socket.state() != QAbstractSocket::ConnectedState && pending.isEmpty();
}

QByteArray RawConnection::request(
    const QByteArray &method, const QString &target, const QString &token, const QByteArray &body)
{
    QByteArray r = method + ' ' + target.toUtf8() + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!token.isEmpty())
        r += "Pragma: token = " + token.toUtf8() + "\r\n";
    if (!body.isEmpty() || method == "POST" || method == "PUT")
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return r + "\r\n" + body;
}
