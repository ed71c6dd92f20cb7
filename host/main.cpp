// kelvo-host: serves the attendance-terminal plug-in over HTTP/1.1.
#include "hostconfig.h"
#include "hostlog.h"
#include "httpserver.h"
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvo-host"));

    HostConfig config;
    config.pluginPath = HostConfig::defaultPluginPath(QCoreApplication::applicationDirPath());
    QString error;
    QString text;
    if (!HostConfig::parse(QCoreApplication::arguments(), config, &error, &text)) {
        if (error.isEmpty()) {
            std::fputs(qPrintable(text), stdout);
            return 0;
        }
        return failWith(error, 2);
    }
    HostLog::install(config.debugLevel > 0 || config.registryDebugLevel > 0);

    PluginHost host;
    if (!host.start(config, &error))
        return failWith(error, 1);

    HttpServer server(host, config);
    if (!server.listen(&error))
        return failWith(error, 1);
    server.start([&app] { QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection); });

    std::printf("listening on %s:%u\n", qPrintable(server.address()), unsigned(server.port()));
    std::fflush(stdout);
    HostLog::line(QStringLiteral("kelvo-host: plug-in %1 (version %2) serves %3 with %4 threads")
                      .arg(config.pluginPath, host.version(), host.paths().join(QLatin1Char(' ')))
                      .arg(config.threads));

    // Folded log records get their counts written.
    QTimer logFlush;
    QObject::connect(&logFlush, &QTimer::timeout, [] { HostLog::flush(); });
    logFlush.start(1000);

    QCoreApplication::exec();

    const bool joined = server.stop();
    // recordCreated relayed by the last requests is still queued.
    QCoreApplication::sendPostedEvents();
    HostLog::flush(true);
    if (!joined) {
        // Worker threads are still inside abandoned requests and use the
        // registry and the plug-in: destroy nothing, end here.
        HostLog::line(QStringLiteral("kelvo-host: stopped at the shutdown deadline"));
        std::_Exit(0);
    }
    host.sweep();
    HostLog::line(QStringLiteral("kelvo-host: stopped"));
    return 0;
}
