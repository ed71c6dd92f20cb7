#pragma once

#include "workqueue.h"

#include <QByteArray>
#include <QString>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

class HttpServer;

// One client connection: reads requests with keep-alive, queues each one
// under the plug-in's prefixes for a worker thread and writes the worker's
// bytes back unchanged (but for "Connection: close" added to the head when
// the host closes after it). Everything else (other paths, malformed, too
// large or too slow requests, a full queue, an exhausted body budget) gets
// the host's own answer at once, and the connection closes. Every answer is
// counted in the metrics. A session of the admin listener answers only
// GET /metrics and GET /healthz, from what is in memory.
//
// Thread rules: all handlers run on the session's strand in an I/O thread;
// a worker thread only posts the result to that strand. Never blocks.
class Session : public std::enable_shared_from_this<Session>
{
public:
    using Executor = boost::asio::ip::tcp::socket::executor_type;

    Session(boost::asio::ip::tcp::socket socket, HttpServer &server, bool admin = false);
    ~Session();

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    Executor executor() { return socket.get_executor(); }

    void start();
    // The host is stopping: close now if idle, else after the answer.
    void stop();
    // The shutdown deadline passed: a request still with a worker is
    // abandoned (logged, 503); a request still arriving is cut off.
    void abandon();

    // A complete response in the plug-in's envelope, for the host's own
    // answers; retry adds "Retry-After".
    static QByteArray hostResponse(quint16 status, const QString &message, bool retry = false);

private:
    enum class State { ReadingHead, ReadingBody, Waiting, Writing, Closed };

    void readHead();
    void onHead(boost::beast::error_code ec);
    void answerAdmin(const QString &path);
    quint16 checkHead(QString *message) const;
    void readBody();
    void onBody(boost::beast::error_code ec);
    bool reserveBody(qint64 bytes);
    void releaseBody();
    void submit();
    void onResult(WorkQueue::Result result);
    void fail(boost::beast::error_code ec);
    void answer(quint16 status, const QString &message, bool retry = false);
    void write(QByteArray bytes, bool closeAfter);
    void onWrite(boost::beast::error_code ec);
    void close();
    void drain();
    void finish();
    void armTimer(std::chrono::seconds timeout);

    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer timer;
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    HttpServer &server;
    const bool admin;
    State state = State::ReadingHead;
    // The current request's labels and start, for the metrics.
    QString method;
    QString operation;
    std::optional<WorkQueue::Clock::time_point> started;
    QByteArray out;
    QString requestLine; // for the log of an abandoned request
    WorkQueue::Clock::time_point waitingSince;
    qint64 reserved = 0;
    bool keepAlive = false;
    bool closeAfterWrite = false;
    bool continueSent = false;
    bool lingerOnClose = false;
    bool timedOut = false;
    std::array<char, 4096> discard {};
};
