#include "hostprocess.h"

#include "testdatabase.h"

#include <QRegularExpression>

HostProcess::HostProcess(const QStringList &extra)
{
    process.setProgram(QStringLiteral(KELVO_HOST_PATH));
    process.setArguments(
        QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--info-db"),
            QStringLiteral("mysql://root@%1:%2/%3")
                .arg(TestDatabase::host(), QString::number(TestDatabase::port()),
                    TestDatabase::infoDatabaseName()),
            QStringLiteral("--plugin"), QStringLiteral(KELVO_PLUGIN_PATH) }
        + extra);
    process.start();
    if (!process.waitForStarted(10000))
        return;
    QByteArray out;
    while (!out.contains('\n') && process.waitForReadyRead(20000))
        out += process.readAllStandardOutput();
    const QRegularExpressionMatch m
        = QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)\n"))
              .match(QString::fromLatin1(out));
    if (m.hasMatch())
        port = quint16(m.captured(1).toUInt());
}

HostProcess::~HostProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(30000))
            process.kill();
        process.waitForFinished();
    }
}

quint16 HostProcess::adminPort()
{
    const QRegularExpression line(QStringLiteral("admin listener on 127\\.0\\.0\\.1:(\\d+) "));
    for (const QDeadlineTimer deadline(10000); !deadline.hasExpired(); QTest::qWait(20)) {
        const QRegularExpressionMatch m = line.match(log());
        if (m.hasMatch())
            return quint16(m.captured(1).toUInt());
    }
    return 0;
}
