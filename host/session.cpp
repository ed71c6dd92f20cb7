#include "session.h"

#include "httppluginworker.h"
#include "pluginhost.h"
#include "servingthread.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// Head fields larger than this are refused; terminals send a handful of lines.
constexpr std::uint32_t headLimit = 16 * 1024;
constexpr std::chrono::seconds lingerTime { 2 };

const char continueLine[] = "HTTP/1.1 100 Continue\r\n\r\n";

QString text(beast::string_view s)
{
    return QString::fromUtf8(s.data(), int(s.size()));
}

// The request target as a URL: path and query as sent. Built from its parts
// so that a target such as "//x/y" stays a path, not an authority.
QUrl targetUrl(beast::string_view target)
{
    const QString t = text(target);
    if (!t.startsWith(QLatin1Char('/')))
        return QUrl(t, QUrl::TolerantMode);
    QUrl url;
    const int query = t.indexOf(QLatin1Char('?'));
    url.setPath(query < 0 ? t : t.left(query), QUrl::TolerantMode);
    if (query >= 0)
        url.setQuery(t.mid(query + 1), QUrl::TolerantMode);
    return url;
}

} // namespace

Session::Session(asio::ip::tcp::socket socket, ServingThread &thread)
    : stream(std::move(socket))
    , thread(thread)
{
}

Session::~Session()
{
    thread.removeSession(this);
}

QByteArray Session::hostResponse(quint16 status, const QString &message)
{
    const QJsonObject result { { QStringLiteral("err"), int(status) },
                               { QStringLiteral("res"), message },
                               { QStringLiteral("ver"), QStringLiteral("host") } };
    const QByteArray body = HttpPluginWorker::encodeSafeBase64(QJsonDocument(result).toJson(QJsonDocument::Compact));
    return QStringLiteral("HTTP/1.1 %1 %2\r\nContent-Type: application/att; charset=\"utf-8\"\r\n"
                          "Content-Length: %3\r\nConnection: close\r\n\r\n")
               .arg(status)
               .arg(HttpPluginWorker::statusText(status))
               .arg(body.size())
               .toLatin1()
        + body;
}

void Session::start()
{
    thread.addSession(this);
    if (thread.isStopping()) {
        close();
        return;
    }
    readHead();
}

void Session::stop()
{
    if (state == State::ReadingHead && !(parser && parser->got_some()) && buffer.size() == 0) {
        close();
        return;
    }
    closeAfterWrite = true;
}

void Session::readHead()
{
    state = State::ReadingHead;
    continueSent = false;
    parser.emplace();
    parser->header_limit(headLimit);
    parser->body_limit(std::uint64_t(thread.limits().maxBody));
    stream.expires_after(thread.limits().readTimeout);
    http::async_read_header(stream, buffer, *parser,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHead(ec); });
}

void Session::onHead(beast::error_code ec)
{
    if (ec)
        return fail(ec);
    const auto &head = parser->get();
    const QUrl url = targetUrl(head.target());
    if (!thread.pluginHost().routes(url.path(QUrl::FullyDecoded))) {
        lingerOnClose = true;
        write(hostResponse(404, QStringLiteral("No service at '%1'").arg(url.path())), true);
        return;
    }
    if (beast::iequals(head[http::field::expect], "100-continue") && !parser->is_done()) {
        continueSent = true;
        asio::async_write(stream, asio::buffer(continueLine, sizeof continueLine - 1),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return self->fail(ec);
                              self->readBody();
                          });
        return;
    }
    readBody();
}

void Session::readBody()
{
    state = State::ReadingBody;
    if (parser->is_done())
        return answer();
    http::async_read(stream, buffer, *parser,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onBody(ec); });
}

void Session::onBody(beast::error_code ec)
{
    if (ec)
        return fail(ec);
    answer();
}

void Session::answer()
{
    state = State::Answering;
    const auto &request = parser->get();
    QStringList headers;
    for (const auto &field : request.base())
        headers << text(field.name_string()) + QStringLiteral(": ") + text(field.value());
    const std::string &body = request.body();
    const QByteArray response = thread.respond(text(request.method_string()), targetUrl(request.target()), headers,
                                               QByteArray(body.data(), int(body.size())));
    const bool keepAlive = request.keep_alive() && !thread.isStopping() && !closeAfterWrite;
    if (response.isEmpty())
        write(hostResponse(503, QStringLiteral("No worker in this thread")), true);
    else
        write(response, !keepAlive);
}

void Session::fail(beast::error_code ec)
{
    const bool started = parser && parser->got_some();
    lingerOnClose = true;
    if (ec == http::error::body_limit)
        write(hostResponse(413, QStringLiteral("Body larger than %1 bytes").arg(thread.limits().maxBody)), true);
    else if (ec == http::error::header_limit)
        write(hostResponse(431, QStringLiteral("Request head too large")), true);
    else if (ec == beast::error::timeout && started && !continueSent)
        write(hostResponse(408, QStringLiteral("Request not complete in time")), true);
    else if (ec.category() == http::make_error_code(http::error::bad_method).category() && ec != http::error::end_of_stream
             && ec != http::error::partial_message)
        write(hostResponse(400, QStringLiteral("Malformed request: %1").arg(QString::fromStdString(ec.message()))),
              true);
    else {
        lingerOnClose = false;
        close(); // the client went away, stayed silent, or the host stops
    }
}

void Session::write(const QByteArray &bytes, bool closeAfter)
{
    state = State::Answering;
    out = bytes;
    closeAfterWrite = closeAfterWrite || closeAfter;
    stream.expires_after(thread.limits().readTimeout);
    asio::async_write(stream, asio::buffer(out.constData(), std::size_t(out.size())),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWrite(ec); });
}

void Session::onWrite(beast::error_code ec)
{
    if (ec || closeAfterWrite || thread.isStopping())
        return close();
    readHead();
}

void Session::close()
{
    beast::error_code ignored;
    stream.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    if (!lingerOnClose) {
        stream.socket().close(ignored);
        return;
    }
    // After an error answer the client may still be sending (a refused body):
    // closing with unread input would reset the connection and could destroy
    // the answer in flight. Read and drop its input for a short while first.
    lingerOnClose = false;
    stream.expires_after(lingerTime);
    drain();
}

void Session::drain()
{
    stream.async_read_some(asio::buffer(discard), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) {
            beast::error_code ignored;
            self->stream.socket().close(ignored);
            return;
        }
        self->drain();
    });
}
