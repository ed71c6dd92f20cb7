#pragma once

#include <QByteArray>
#include <QString>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <memory>
#include <optional>

class ServingThread;

// One client connection: reads requests with keep-alive, hands each one under
// the plug-in's prefixes to the thread's worker and writes the worker's bytes
// back unchanged. Requests outside the prefixes, bodies over the limit,
// malformed or too slow requests get the host's own answer and the
// connection closes.
//
// Thread rules: created, run and destroyed in its serving thread; all its
// handlers run there, so it needs no lock.
class Session : public std::enable_shared_from_this<Session>
{
public:
    Session(boost::asio::ip::tcp::socket socket, ServingThread &thread);
    ~Session();

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void start();
    // The host is stopping: close now if idle, else after the answer.
    void stop();

    // A complete response in the plug-in's envelope, for the host's own errors.
    static QByteArray hostResponse(quint16 status, const QString &message);

private:
    enum class State { ReadingHead, ReadingBody, Answering };

    void readHead();
    void onHead(boost::beast::error_code ec);
    void readBody();
    void onBody(boost::beast::error_code ec);
    void answer();
    void fail(boost::beast::error_code ec);
    void write(const QByteArray &bytes, bool closeAfter);
    void onWrite(boost::beast::error_code ec);
    void close();
    void drain();

    boost::beast::tcp_stream stream;
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    ServingThread &thread;
    State state = State::ReadingHead;
    QByteArray out;
    bool closeAfterWrite = false;
    bool continueSent = false;
    bool lingerOnClose = false;
    std::array<char, 4096> discard {};
};
