#include "hostprocess.h"

#include "testdatabase.h"

#include <QRegularExpression>

HostProcess::HostProcess(const QStringList &extra, const QString &account)
{
    const QString info = s("mysql://%1@%2:%3/%4")
                             .arg(account, TestDatabase::host(), QString::number(TestDatabase::port()),
                                 TestDatabase::infoDatabaseName());
    process.start(s(KELVO_HOST_PATH),
        QStringList {
            s("--listen"), s("127.0.0.1:0"), s("--info-db"), info, s("--plugin"), s(KELVO_PLUGIN_PATH) }
            + extra);
    QByteArray out;
    while (!out.contains('\n') && process.waitForReadyRead(20000))
        out += process.readAllStandardOutput();
    const QByteArray listening = "listening on 127.0.0.1:";
    if (out.startsWith(listening))
        port = out.mid(listening.size(), out.indexOf('\n') - listening.size()).toUShort();
}

HostProcess::~HostProcess()
{
    process.terminate();
    if (!process.waitForFinished(30000))
        process.kill();
    process.waitForFinished();
}

quint16 HostProcess::adminPort()
{
    const QRegularExpression line(s("admin listener on 127\\.0\\.0\\.1:(\\d+) "));
    QRegularExpressionMatch m;
    QTest::qWaitFor([&] { return (m = line.match(log())).hasMatch(); }, 10000);
    return quint16(m.captured(1).toUInt());
}
