#include "httpserver.h"

#include "pluginhost.h"
#include "session.h"

#include <QDeadlineTimer>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <csignal>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

HttpServer::HttpServer(const PluginHost &host, const HostConfig &config)
    : host(host)
    , config(config)
{
}

HttpServer::~HttpServer()
{
    stop(0);
}

bool HttpServer::listen(QString *error)
{
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(config.listenAddress.toStdString(), ec);
    const tcp::endpoint endpoint(address, config.listenPort);
    if (!ec)
        acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(config.listenAddress)
                     .arg(config.listenPort)
                     .arg(QString::fromStdString(ec.message()));
        return false;
    }
    return true;
}

QString HttpServer::address() const
{
    boost::system::error_code ec;
    const auto endpoint = acceptor.local_endpoint(ec);
    const QString text = QString::fromStdString(endpoint.address().to_string());
    return endpoint.address().is_v6() ? QStringLiteral("[%1]").arg(text) : text;
}

quint16 HttpServer::port() const
{
    boost::system::error_code ec;
    return acceptor.local_endpoint(ec).port();
}

void HttpServer::start(std::function<void()> onSignal)
{
    const ServingThread::Limits limits { config.maxBody, std::chrono::seconds(config.readTimeoutSeconds) };
    for (int i = 0; i < config.threads; ++i) {
        threads.push_back(std::make_unique<ServingThread>(host, limits));
        threads.back()->setObjectName(QStringLiteral("serving-%1").arg(i));
        threads.back()->start();
    }
    stopSignals.add(SIGINT);
    stopSignals.add(SIGTERM);
    stopSignals.async_wait([this, onSignal](const boost::system::error_code &ec, int) {
        if (ec)
            return;
        boost::system::error_code ignored;
        acceptor.close(ignored);
        onSignal();
    });
    accept();
    acceptThread = std::thread([this] { acceptContext.run(); });
}

void HttpServer::accept()
{
    ServingThread &target = *threads[nextThread];
    nextThread = (nextThread + 1) % threads.size();
    acceptor.async_accept(target.context(), [this, &target](const boost::system::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors or similar: try again shortly instead of spinning.
            retryTimer.expires_after(std::chrono::milliseconds(100));
            retryTimer.async_wait([this](const boost::system::error_code &error) {
                if (!error)
                    accept();
            });
            return;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        // The session belongs to the serving thread from its first step.
        asio::dispatch(target.context(), [socket = std::move(socket), &target]() mutable {
            std::make_shared<Session>(std::move(socket), target)->start();
        });
        accept();
    });
}

void HttpServer::stop(int deadlineMs)
{
    if (acceptThread.joinable()) {
        asio::post(acceptContext, [this] {
            boost::system::error_code ignored;
            acceptor.close(ignored);
            stopSignals.cancel(ignored);
            retryTimer.cancel();
        });
        acceptThread.join();
    }
    for (const auto &thread : threads)
        thread->requestStop();
    const QDeadlineTimer deadline(deadlineMs);
    for (const auto &thread : threads) {
        if (!thread->wait(deadline)) {
            thread->abort();
            thread->wait();
        }
    }
    threads.clear();
}
