#pragma once

#include "workerharness.h"

#include <QTcpSocket>

// A raw HTTP/1.1 connection to a loopback port: what goes out is exactly what
// the test wrote. Use it from the thread that made it.
class RawConnection
{
public:
    explicit RawConnection(quint16 port) { socket.connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool isConnected() { return socket.waitForConnected(5000); }

    void send(const QByteArray &bytes);
    // One complete answer (head and Content-Length body), or empty on timeout or close.
    QByteArray response(int timeoutMs = 15000);
    Reply ask(const QByteArray &bytes, int timeoutMs = 15000)
    {
        send(bytes);
        return WorkerHarness::parse(response(timeoutMs));
    }
    // Whether the peer closed the connection (within the time) without sending more.
    bool closedByPeer(int timeoutMs = 10000);

    // A request as the terminal writes it: Host, the token's Pragma line, Content-Length.
    static QByteArray request(const QByteArray &method, const QString &target,
        const QString &token = QString(), const QByteArray &body = QByteArray());

private:
    QTcpSocket socket;
    QByteArray pending;
};
