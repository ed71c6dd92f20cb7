#pragma once

#include <QProcess>
#include <QTemporaryFile>

#include <csignal>

// One kelvo-host process on a free loopback port, serving the built plug-in
// with the test process's information database, read as account; what it
// writes to stderr goes to a file for the log checks, so that a host that
// logs much never blocks on a pipe nobody reads. Stopped with SIGTERM (then
// killed) when it goes. Use it from the thread that made it.
class HostProcess
{
public:
    explicit HostProcess(const QStringList &extra = {}, const QString &account = QStringLiteral("root"));
    ~HostProcess();
    Q_DISABLE_COPY(HostProcess)

    bool isReady() const { return port != 0; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/kelvo").arg(port); }
    QString log() const;
    // The admin listener's port, from the line that names it (0: none within 10 s).
    quint16 adminPort();
    void signal(int number) const { ::kill(pid_t(process.processId()), number); }

    QProcess process;
    quint16 port = 0;

private:
    QTemporaryFile errors;
};
