#include "hostprocess.h"

#include "testdatabase.h"

#include <QRegularExpression>

HostProcess::HostProcess(const QStringList &extra, const QString &account)
{
    errors.open();
    process.setStandardErrorFile(errors.fileName());
    const QString server = TestDatabase::host() + QLatin1Char(':') + QString::number(TestDatabase::port());
    process.start(s(KELVO_HOST_PATH),
        QStringList { s("--listen"), s("127.0.0.1:0"), s("--plugin"), s(KELVO_PLUGIN_PATH), s("--info-db"),
            s("mysql://%1@%2/%3").arg(account, server, TestDatabase::infoDatabaseName()) }
            + extra);
    QByteArray out;
    while (!out.contains('\n') && process.waitForReadyRead(20000))
        out += process.readAllStandardOutput();
    if (out.startsWith("listening on 127.0.0.1:"))
        port = out.mid(out.indexOf(':') + 1).trimmed().toUShort();
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
    if (!QTest::qWaitFor([&] { return (m = line.match(log())).hasMatch(); }, 10000))
        return 0;
    return quint16(m.captured(1).toUInt());
}

QString HostProcess::log() const
{
    QFile file(errors.fileName());
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}
