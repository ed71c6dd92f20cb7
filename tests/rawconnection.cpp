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
    for (const QDeadlineTimer deadline(timeoutMs);; pending += socket.readAll()) {
        const int end = pending.indexOf("\r\n\r\n");
        const QRegularExpressionMatch m = contentLength.match(QString::fromLatin1(pending.left(end + 2)));
        const int size = end + 4 + (m.hasMatch() ? m.captured(1).toInt() : 0);
        if (end >= 0 && pending.size() >= size) {
            const QByteArray one = pending.left(size);
            pending.remove(0, size);
            return one;
        }
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return QByteArray();
    }
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
