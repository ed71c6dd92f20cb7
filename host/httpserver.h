#pragma once

#include "bodybudget.h"
#include "healthcheck.h"
#include "hostconfig.h"
#include "workqueue.h"

#include <QString>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

class Metrics;
class PluginHost;
class Session;
class WorkerThread;

// Listens and runs the client connections on I/O threads that never wait on
// the database; requests for the plug-in go through a bounded queue to a
// fixed set of worker threads. Turns SIGINT and SIGTERM into an orderly stop
// with a deadline, SIGHUP into a reload. With an admin address it serves
// /metrics and /healthz there, on the same I/O threads, from the counters and
// the last health check (never waiting on a database).
//
// Thread rules: listen(), start() and stop() are called from the main thread.
// The acceptor, the signal set and the sessions run on the I/O threads (each
// session on a strand of its own); the session table is guarded by one mutex.
// Members are declared so that everything a session or a job points to is
// destroyed after it.
class HttpServer
{
public:
    struct Limits
    {
        qint64 maxBody = 0;
        std::chrono::seconds readTimeout { 30 };
        std::chrono::seconds queueTimeout { 10 };
    };

    HttpServer(const PluginHost &host, const HostConfig &config, Metrics &metrics);
    ~HttpServer();

    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds and listens; the real endpoints (port 0 resolved) are in
    // address()/port() and adminAddress()/adminPort().
    bool listen(QString *error);
    QString address() const { return addressOf(acceptor); }
    quint16 port() const { return portOf(acceptor); }
    QString adminAddress() const { return addressOf(adminAcceptor); }
    quint16 adminPort() const { return portOf(adminAcceptor); }

    // onStop runs in an I/O thread after the stop has begun, onReload after
    // each SIGHUP; they must only do what is safe from there (post to the
    // main thread).
    void start(std::function<void()> onStop, std::function<void()> onReload);
    // Stops accepting and lets the requests in flight finish until the
    // shutdown deadline (counted from the signal). True when everything
    // finished and every thread was joined. False when workers were still
    // busy at the deadline: their clients got 503, the abandoned requests
    // were logged, and the worker threads still run, so the caller must end
    // the process without destroying what they use.
    bool stop();

    // Called by sessions, in the I/O threads.
    const Limits &limits() const { return sessionLimits; }
    bool routes(const QString &path) const;
    QString operation(const QString &path) const;
    Metrics &metrics() { return counters; }
    // The body of /metrics, with the queue's depth of this moment.
    QByteArray metricsText();
    bool isStopping() const { return stopping; }
    BodyBudget &bodyBudget() { return budget; }
    bool submit(WorkQueue::Job &&job) { return queue.push(std::move(job)); }
    // The session's connection is closed; idempotent.
    void removeSession(const Session *session);

private:
    static QString addressOf(const boost::asio::ip::tcp::acceptor &listener);
    static quint16 portOf(const boost::asio::ip::tcp::acceptor &listener);
    bool bind(boost::asio::ip::tcp::acceptor &listener, const QString &address, quint16 port, QString *error);
    void accept(boost::asio::ip::tcp::acceptor &listener, boost::asio::steady_timer &retry, bool admin);
    void awaitReload(std::function<void()> onReload);
    void refuse(boost::asio::ip::tcp::socket &socket);
    void beginStop();
    void abandon();
    void forEachSession(void (Session::*step)());
    void watch();

    const PluginHost &host;
    const HostConfig config;
    Metrics &counters;
    const Limits sessionLimits;
    BodyBudget budget;
    std::atomic<bool> stopping { false };
    std::mutex sessionsMutex;
    std::condition_variable sessionsClosed;
    std::unordered_map<const Session *, std::weak_ptr<Session>> sessions;
    std::chrono::steady_clock::time_point stopDeadline;
    bool stopped = false;
    std::condition_variable stopFinished;
    // Sessions live on the I/O context: it is destroyed after the queue and
    // the threads that hold jobs, and before the session table.
    boost::asio::io_context io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning;
    boost::asio::ip::tcp::acceptor acceptor { io };
    boost::asio::ip::tcp::acceptor adminAcceptor { io };
    boost::asio::signal_set stopSignals { io };
    boost::asio::signal_set reloadSignals { io };
    boost::asio::steady_timer retryTimer { io };
    boost::asio::steady_timer adminRetryTimer { io };
    WorkQueue queue;
    HealthCheck health;
    std::vector<std::thread> ioThreads;
    std::vector<std::unique_ptr<WorkerThread>> workers;
    std::thread watchdog;
};
