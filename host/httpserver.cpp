#include "httpserver.h"

#include "hostlog.h"
#include "metrics.h"
#include "pluginhost.h"
#include "session.h"
#include "workerthread.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <csignal>
#include <cstdlib>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// After the deadline, the time the I/O threads get to write the last answers.
constexpr auto answerGrace = 2s;
// Beyond deadline and grace the process ends even if the main thread is stuck
// (waiting on the registry while a worker waits on a database that does not answer).
constexpr auto watchdogMargin = 3s;
// Admin connections beyond the cap, so that /metrics and /healthz stay
// reachable while clients fill it.
constexpr std::size_t adminReserve = 8;

} // namespace

HttpServer::HttpServer(const PluginHost &host, const HostConfig &config, Metrics &metrics)
    : host(host)
    , config(config)
    , counters(metrics)
    , sessionLimits { config.maxBody, std::chrono::seconds(config.readTimeoutSeconds),
        std::chrono::seconds(config.queueTimeoutSeconds) }
    , budget(config.bodyBudget)
    , queue(std::size_t(config.queueSize))
    , health(config, metrics)
{ }

HttpServer::~HttpServer()
{
    if (!ioThreads.empty())
        stop();
}

bool HttpServer::bind(tcp::acceptor &listener, const QString &address, quint16 port, QString *error)
{
    boost::system::error_code ec;
    const auto ip = asio::ip::make_address(address.toStdString(), ec);
    const tcp::endpoint endpoint(ip, port);
    if (!ec)
        listener.open(endpoint.protocol(), ec);
    if (!ec)
        listener.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        listener.bind(endpoint, ec);
    if (!ec)
        listener.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(address)
                     .arg(port)
                     .arg(QString::fromStdString(ec.message()));
        return false;
    }
    return true;
}

bool HttpServer::listen(QString *error)
{
    return bind(acceptor, config.listenAddress, config.listenPort, error)
        && (!config.adminListen || bind(adminAcceptor, config.adminAddress, config.adminPort, error));
}

QString HttpServer::addressOf(const tcp::acceptor &listener)
{
    boost::system::error_code ec;
    const auto endpoint = listener.local_endpoint(ec);
    const QString text = QString::fromStdString(endpoint.address().to_string());
    return endpoint.address().is_v6() ? QStringLiteral("[%1]").arg(text) : text;
}

quint16 HttpServer::portOf(const tcp::acceptor &listener)
{
    boost::system::error_code ec;
    return listener.local_endpoint(ec).port();
}

bool HttpServer::routes(const QString &path) const
{
    return host.routes(path);
}

QString HttpServer::operation(const QString &path) const
{
    return host.operation(path);
}

QByteArray HttpServer::metricsText()
{
    counters.setQueueDepth(int(queue.size()));
    return counters.render();
}

void HttpServer::start(std::function<void()> onStop, std::function<void()> onReload)
{
    for (int i = 0; i < config.threads; ++i) {
        workers.push_back(std::make_unique<WorkerThread>(host, queue, sessionLimits.queueTimeout, counters));
        workers.back()->setObjectName(QStringLiteral("worker-%1").arg(i));
        workers.back()->start();
    }
    stopSignals.add(SIGINT);
    stopSignals.add(SIGTERM);
    stopSignals.async_wait([this, onStop](const boost::system::error_code &ec, int) {
        if (ec)
            return;
        beginStop();
        onStop();
    });
    // Registered before anything is served: SIGHUP's default would end the process.
    reloadSignals.add(SIGHUP);
    awaitReload(std::move(onReload));
    if (config.adminListen) {
        health.start();
        accept(adminAcceptor, adminRetryTimer, true);
    }
    keepRunning.emplace(asio::make_work_guard(io));
    accept(acceptor, retryTimer, false);
    for (int i = 0; i < config.ioThreads; ++i)
        ioThreads.emplace_back([this] { io.run(); });
}

void HttpServer::awaitReload(std::function<void()> onReload)
{
    reloadSignals.async_wait(
        [this, onReload = std::move(onReload)](const boost::system::error_code &ec, int) {
            if (ec)
                return;
            onReload();
            awaitReload(onReload);
        });
}

void HttpServer::accept(tcp::acceptor &listener, asio::steady_timer &retry, bool admin)
{
    // Every session runs on a strand of its own: its handlers never run at once.
    listener.async_accept(asio::make_strand(io),
        [this, &listener, &retry, admin](const boost::system::error_code &ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !listener.is_open())
                return;
            if (ec) {
                // Out of descriptors or similar: try again shortly instead of spinning.
                retry.expires_after(100ms);
                retry.async_wait([this, &listener, &retry, admin](const boost::system::error_code &error) {
                    if (!error)
                        accept(listener, retry, admin);
                });
                return;
            }
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::shared_ptr<Session> session;
            {
                const std::lock_guard<std::mutex> lock(sessionsMutex);
                const std::size_t cap = std::size_t(config.maxConnections) + (admin ? adminReserve : 0);
                if (!stopping && sessions.size() < cap) {
                    session = std::make_shared<Session>(std::move(socket), *this, admin);
                    sessions.emplace(session.get(), session);
                }
            }
            if (session)
                asio::dispatch(session->executor(), [session] { session->start(); });
            else if (!stopping)
                refuse(socket);
            accept(listener, retry, admin);
        });
}

// Over the connection cap: a short 503 if the socket takes it at once, then
// close. Never waits: the send buffer of a new connection holds it.
void HttpServer::refuse(tcp::socket &socket)
{
    static const QByteArray busy = Session::hostResponse(503, QStringLiteral("Too many connections"), true);
    boost::system::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(busy.constData(), std::size_t(busy.size())), ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void HttpServer::removeSession(const Session *session)
{
    {
        const std::lock_guard<std::mutex> lock(sessionsMutex);
        if (sessions.erase(session) == 0 || !sessions.empty())
            return;
    }
    sessionsClosed.notify_all();
}

void HttpServer::forEachSession(void (Session::*step)())
{
    std::vector<std::shared_ptr<Session>> open;
    {
        const std::lock_guard<std::mutex> lock(sessionsMutex);
        for (const auto &entry : sessions) {
            if (auto session = entry.second.lock())
                open.push_back(std::move(session));
        }
    }
    for (const auto &session : open)
        asio::post(session->executor(), [session, step] { (*session.*step)(); });
}

void HttpServer::beginStop()
{
    {
        const std::lock_guard<std::mutex> lock(sessionsMutex);
        if (stopping)
            return;
        stopping = true;
        stopDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(config.shutdownTimeoutSeconds);
        // Started under the lock: stop() in the main thread joins it.
        watchdog = std::thread([this] { watch(); });
    }
    HostLog::line(QStringLiteral("kelvo-host: stopping"));
    asio::post(io, [this] {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        adminAcceptor.close(ignored);
        stopSignals.cancel(ignored);
        reloadSignals.cancel(ignored);
        retryTimer.cancel();
        adminRetryTimer.cancel();
    });
    forEachSession(&Session::stop);
}

void HttpServer::watch()
{
    std::unique_lock<std::mutex> lock(sessionsMutex);
    if (stopFinished.wait_until(
            lock, stopDeadline + answerGrace + watchdogMargin, [this] { return stopped; }))
        return;
    HostLog::line(
        QStringLiteral("kelvo-host: the stop did not end within the shutdown deadline; ending the process"),
        QtWarningMsg);
    HostLog::flush(true);
    std::_Exit(0);
}

// At the deadline: what still waits in the queue is answered 503 unexecuted,
// what a worker still runs is abandoned (logged, 503), and connections still
// reading a request close.
void HttpServer::abandon()
{
    for (WorkQueue::Job &job : queue.takeAll())
        job.done(WorkQueue::Result { WorkQueue::Result::Kind::Dropped, {} });
    forEachSession(&Session::abandon);
    std::unique_lock<std::mutex> lock(sessionsMutex);
    sessionsClosed.wait_for(lock, answerGrace, [this] { return sessions.empty(); });
}

bool HttpServer::stop()
{
    beginStop();
    bool clean = false;
    {
        std::unique_lock<std::mutex> lock(sessionsMutex);
        clean = sessionsClosed.wait_until(lock, stopDeadline, [this] { return sessions.empty(); });
    }
    if (!clean)
        abandon();
    // A check still waiting on the database holds its thread: as with a
    // busy worker, the caller then ends the process.
    clean = health.finish(answerGrace) && clean;
    queue.close();
    if (clean) {
        for (const auto &worker : workers)
            worker->wait();
        workers.clear();
    }
    keepRunning.reset();
    io.stop();
    for (std::thread &thread : ioThreads)
        thread.join();
    ioThreads.clear();
    {
        const std::lock_guard<std::mutex> lock(sessionsMutex);
        stopped = true;
    }
    stopFinished.notify_all();
    watchdog.join();
    return clean;
}
