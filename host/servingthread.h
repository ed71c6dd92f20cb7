#pragma once

#include <QByteArray>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_set>

class HttpPluginWorker;
class PluginHost;
class Session;

// One serving thread: an I/O context that runs the sessions handed to it and
// the one worker that answers their requests, one at a time.
//
// Thread rules: the worker is created, used and destroyed in this thread, so
// its SQL connections are made and closed here. Sessions live in this thread
// too; the session set is touched only from it. Other threads reach the
// thread only through context() (to hand over a socket) and requestStop().
class ServingThread : public QThread
{
public:
    struct Limits
    {
        qint64 maxBody = 0;
        std::chrono::seconds readTimeout { 30 };
    };

    ServingThread(const PluginHost &host, const Limits &limits);
    ~ServingThread() override;

    boost::asio::io_context &context() { return io; }
    const Limits &limits() const { return sessionLimits; }
    const PluginHost &pluginHost() const { return host; }

    // Stops taking new requests: idle connections close, requests in flight
    // are answered, then run() returns. Callable from any thread.
    void requestStop();
    // Ends run() at once (after a missed deadline). Callable from any thread.
    void abort() { io.stop(); }

    // Called by sessions, in this thread.
    bool isStopping() const { return stopping; }
    void addSession(Session *session) { sessions.insert(session); }
    void removeSession(Session *session) { sessions.erase(session); }
    // The worker's complete response bytes, or an empty array when this thread has no worker.
    QByteArray respond(const QString &method, const QUrl &url, const QStringList &headers, const QByteArray &body);

protected:
    void run() override;

private:
    const PluginHost &host;
    const Limits sessionLimits;
    boost::asio::io_context io { 1 };
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning;
    std::unique_ptr<HttpPluginWorker> worker;
    std::unordered_set<Session *> sessions;
    bool stopping = false;
};
