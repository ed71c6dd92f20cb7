#pragma once

#include "hostconfig.h"
#include "servingthread.h"

#include <QString>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

class PluginHost;

// Listens, accepts connections and hands each to a serving thread in turn;
// turns SIGINT and SIGTERM into an orderly stop.
//
// Thread rules: the acceptor and the signal set run in a thread of their own
// (a request never blocks accepting). listen(), start() and stop() are called
// from the main thread; onSignal runs in the accept thread and must only do
// what is safe from there (post a quit to the main thread).
class HttpServer
{
public:
    HttpServer(const PluginHost &host, const HostConfig &config);
    ~HttpServer();

    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds and listens; the real endpoint (port 0 resolved) is in address()/port().
    bool listen(QString *error);
    QString address() const;
    quint16 port() const;

    void start(std::function<void()> onSignal);
    // Stops accepting, lets the requests in flight finish (each thread gets
    // the deadline) and joins every thread.
    void stop(int deadlineMs);

private:
    void accept();

    const PluginHost &host;
    const HostConfig config;
    boost::asio::io_context acceptContext { 1 };
    boost::asio::ip::tcp::acceptor acceptor { acceptContext };
    boost::asio::signal_set stopSignals { acceptContext };
    boost::asio::steady_timer retryTimer { acceptContext };
    std::thread acceptThread;
    std::vector<std::unique_ptr<ServingThread>> threads;
    std::size_t nextThread = 0;
};
