#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// One kelvo-host process on a free loopback port, serving the built plug-in
// with the test process's information database; stderr is gathered for the
// log checks. Stopped with SIGTERM (then killed) when it goes. Use it from
// the thread that made it.
class HostProcess
{
public:
    explicit HostProcess(const QStringList &extra = {});
    ~HostProcess();
    Q_DISABLE_COPY(HostProcess)

    bool isReady() const { return port != 0; }
    QString url() const;
    QString log();
    int countInLog(const QString &text) { return log().count(text); }
    // The admin listener's port, from the log line that names it (0: none within 10 s).
    quint16 adminPort();
    void signal(int number) const;

    static QString infoUrl();

    QProcess process;
    quint16 port = 0;
    QString errors;
};
