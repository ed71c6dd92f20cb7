// kelvo-host: serves the attendance-terminal plug-in over HTTP/1.1.
#include "hostconfig.h"
#include "hostlog.h"
#include "httpserver.h"
#include "metrics.h"
#include "pluginhost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

int failWith(const QString &message, int code)
{
    std::fprintf(stderr, "kelvo-host: %s\n", qPrintable(message));
    return code;
}

// The configuration from the command line. False when the process ends here
// with exitCode: after the help or version text, or on an error.
bool configure(HostConfig &config, int &exitCode)
{
    config.pluginPath = HostConfig::defaultPluginPath(QCoreApplication::applicationDirPath());
    QString error;
    QString text;
    if (HostConfig::parse(QCoreApplication::arguments(), config, &error, &text))
        return true;
    if (error.isEmpty()) {
        std::fputs(qPrintable(text), stdout);
        exitCode = 0;
        return false;
    }
    exitCode = failWith(error, 2);
    return false;
}

void announce(const HostConfig &config, const PluginHost &host, const HttpServer &server)
{
    std::printf("listening on %s:%u\n", qPrintable(server.address()), unsigned(server.port()));
    std::fflush(stdout);
    HostLog::line(QStringLiteral("kelvo-host: plug-in %1 (version %2) serves %3 with %4 threads")
                      .arg(config.pluginPath, host.version(), host.paths().join(QLatin1Char(' ')))
                      .arg(config.threads));
    if (config.adminListen)
        HostLog::line(QStringLiteral("kelvo-host: admin listener on %1:%2 (/metrics, /healthz)")
                          .arg(server.adminAddress())
                          .arg(server.adminPort()));
}

int shutDown(HttpServer &server, PluginHost &host)
{
    const bool joined = server.stop();
    // recordCreated relayed by the last requests is still queued.
    QCoreApplication::sendPostedEvents();
    HostLog::flush(true);
    if (!joined) {
        // Worker threads are still inside abandoned requests and use the
        // registry and the plug-in: destroy nothing, end here.
        HostLog::line(QStringLiteral("kelvo-host: stopped at the shutdown deadline"), QtWarningMsg);
        std::_Exit(0);
    }
    host.sweep();
    HostLog::line(QStringLiteral("kelvo-host: stopped"));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvo-host"));

    HostConfig config;
    int exitCode = 0;
    if (!configure(config, exitCode))
        return exitCode;
    HostLog::install(config.debugLevel > 0 || config.registryDebugLevel > 0);

    Metrics metrics;
    PluginHost host(metrics);
    QString error;
    if (!host.start(config, &error))
        return failWith(error, 1);

    HttpServer server(host, config, metrics);
    if (!server.listen(&error))
        return failWith(error, 1);
    // The registry and its information database belong to the main thread.
    server.start([&app] { QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection); },
        [&host] { QMetaObject::invokeMethod(&host, &PluginHost::reloadTenants, Qt::QueuedConnection); });
    announce(config, host, server);

    // Folded log records get their counts written.
    QTimer logFlush;
    QObject::connect(&logFlush, &QTimer::timeout, [] { HostLog::flush(); });
    logFlush.start(1000);

    QCoreApplication::exec();
    return shutDown(server, host);
}
