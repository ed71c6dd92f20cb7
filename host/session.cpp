#include "session.h"

#include "hostlog.h"
#include "httppluginworker.h"
#include "httpserver.h"
#include "metrics.h"
#include "responseenvelope.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/post.hpp>
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
// What a refused client is told to wait before it tries again.
constexpr int retryAfterSeconds = 1;

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

// The worker's response with "Connection: close" in its head (unless it says
// so already); the body stays as it is.
QByteArray withConnectionClose(const QByteArray &response)
{
    const int headEnd = response.indexOf("\r\n\r\n");
    if (headEnd < 0 || response.left(headEnd + 2).toLower().contains("\r\nconnection: close\r\n"))
        return response;
    QByteArray closing = response;
    closing.insert(headEnd + 2, "Connection: close\r\n");
    return closing;
}

// The status code of a complete response: "HTTP/1.1 201 Created" gives 201.
int statusOf(const QByteArray &response)
{
    return response.startsWith("HTTP/") ? response.mid(response.indexOf(' ') + 1, 3).toInt() : 0;
}

// An answer of the admin listener, in plain text.
QByteArray plainResponse(int status, const QByteArray &contentType, const QByteArray &body, bool close)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' '
        + HttpPluginWorker::statusText(quint16(status)).toLatin1() + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + (close ? "\r\nConnection: close" : "")
        + "\r\n\r\n" + body;
}

const QByteArray metricsType = "text/plain; version=0.0.4; charset=utf-8";
const QByteArray textType = "text/plain; charset=utf-8";

} // namespace

Session::Session(asio::ip::tcp::socket socket, HttpServer &server, bool admin)
    : socket(std::move(socket))
    , timer(this->socket.get_executor())
    , server(server)
    , admin(admin)
{ }

Session::~Session()
{
    releaseBody();
    server.removeSession(this);
}

QByteArray Session::hostResponse(quint16 status, const QString &message, bool retry)
{
    const QJsonObject result { { QStringLiteral("err"), int(status) }, { QStringLiteral("res"), message },
        { QStringLiteral("ver"), QStringLiteral("host") } };
    const QByteArray retryLine
        = retry ? "Retry-After: " + QByteArray::number(retryAfterSeconds) + "\r\n" : QByteArray();
    return ResponseEnvelope::render(
        status, QJsonDocument(result).toJson(QJsonDocument::Compact), retryLine + "Connection: close\r\n");
}

void Session::start()
{
    if (server.isStopping())
        return close();
    readHead();
}

void Session::stop()
{
    if (state == State::ReadingHead && !(parser && parser->got_some()) && buffer.size() == 0)
        return close();
    closeAfterWrite = true;
}

void Session::abandon()
{
    if (state == State::Waiting) {
        const auto running
            = std::chrono::duration_cast<std::chrono::milliseconds>(WorkQueue::Clock::now() - waitingSince);
        HostLog::line(QStringLiteral("kelvo-host: abandoned at the shutdown deadline after %1 ms: %2")
                          .arg(running.count())
                          .arg(requestLine),
            QtWarningMsg);
        return answer(503,
            QStringLiteral("The host stopped before the answer was ready; send the request again"), true);
    }
    if (state == State::ReadingHead || state == State::ReadingBody) {
        lingerOnClose = false;
        close();
    }
}

void Session::armTimer(std::chrono::seconds timeout)
{
    timedOut = false;
    timer.expires_after(timeout);
    timer.async_wait([weak = weak_from_this()](beast::error_code ec) {
        const auto self = weak.lock();
        if (ec || !self)
            return;
        // Pending reads or writes end with operation_aborted; their handlers see the flag.
        self->timedOut = true;
        self->socket.cancel(ec);
    });
}

void Session::readHead()
{
    state = State::ReadingHead;
    continueSent = false;
    method.clear();
    operation = Metrics::hostOperation;
    started.reset();
    parser.emplace();
    parser->header_limit(headLimit);
    parser->body_limit(std::uint64_t(server.limits().maxBody));
    armTimer(server.limits().readTimeout);
    http::async_read_header(socket, buffer, *parser,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHead(ec); });
}

// RFC 9112: an HTTP/1.1 request names exactly one Host; a body's transfer
// codings must end with chunked, and chunked is the only one understood.
quint16 Session::checkHead(QString *message) const
{
    const auto &head = parser->get();
    const std::size_t hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && head.version() >= 11)) {
        *message = QStringLiteral("An HTTP/1.1 request needs exactly one Host header line");
        return 400;
    }
    QStringList codings;
    const auto fields = head.equal_range(http::field::transfer_encoding);
    for (auto it = fields.first; it != fields.second; ++it) {
        for (const QString &coding : text(it->value()).split(QLatin1Char(','))) {
            const QString name = coding.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
            if (!name.isEmpty())
                codings << name;
        }
    }
    if (fields.first == fields.second)
        return 0;
    if (codings.isEmpty() || codings.constLast() != QLatin1String("chunked")
        || codings.count(QStringLiteral("chunked")) > 1) {
        *message = QStringLiteral("The final transfer coding must be chunked, and only it");
        return 400;
    }
    if (codings.size() > 1) {
        *message = QStringLiteral("Transfer coding '%1' is not implemented").arg(codings.constFirst());
        return 501;
    }
    return 0;
}

void Session::onHead(beast::error_code ec)
{
    if (ec)
        return fail(ec);
    const auto &head = parser->get();
    const QUrl url = targetUrl(head.target());
    method = text(head.method_string());
    started = WorkQueue::Clock::now();
    QString message;
    if (const quint16 status = checkHead(&message))
        return answer(status, message);
    if (admin)
        return answerAdmin(url.path(QUrl::FullyDecoded));
    if (!server.routes(url.path(QUrl::FullyDecoded)))
        return answer(404, QStringLiteral("No service at '%1'").arg(url.path()));
    if (const auto length = parser->content_length(); length && !reserveBody(qint64(*length)))
        return answer(503, QStringLiteral("Too many request bodies in transit"), true);
    if (beast::iequals(head[http::field::expect], "100-continue") && !parser->is_done()) {
        continueSent = true;
        asio::async_write(socket, asio::buffer(continueLine, sizeof continueLine - 1),
            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec)
                    return self->fail(ec);
                self->readBody();
            });
        return;
    }
    readBody();
}

// Only what is in memory: the counters and the last health check.
void Session::answerAdmin(const QString &path)
{
    const bool bodyless = parser->is_done();
    const bool again = bodyless && parser->get().keep_alive() && !server.isStopping();
    if (parser->get().method() == http::verb::get && bodyless) {
        if (path == QLatin1String("/metrics"))
            return write(plainResponse(200, metricsType, server.metricsText(), !again), !again);
        if (path == QLatin1String("/healthz")) {
            const bool up = server.metrics().isDatabaseUp();
            return write(
                plainResponse(up ? 200 : 503, textType,
                    up ? "ok\n" : "the information database did not answer its last check\n", !again),
                !again);
        }
    }
    lingerOnClose = !bodyless;
    write(plainResponse(404, textType, "only GET /metrics and GET /healthz are served here\n", true), true);
}

void Session::readBody()
{
    state = State::ReadingBody;
    if (parser->is_done())
        return submit();
    // The timer counts silence: every part of the body that arrives renews it.
    armTimer(server.limits().readTimeout);
    http::async_read_some(socket, buffer, *parser,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onBody(ec); });
}

void Session::onBody(beast::error_code ec)
{
    if (ec)
        return fail(ec);
    // A chunked body announces no length: it takes from the budget as it grows.
    const qint64 held = qint64(parser->get().body().size());
    if (held > reserved && !reserveBody(held - reserved))
        return answer(503, QStringLiteral("Too many request bodies in transit"), true);
    readBody();
}

bool Session::reserveBody(qint64 bytes)
{
    if (!server.bodyBudget().reserve(bytes))
        return false;
    reserved += bytes;
    return true;
}

void Session::releaseBody()
{
    server.bodyBudget().release(reserved);
    reserved = 0;
}

void Session::submit()
{
    timer.cancel();
    state = State::Waiting;
    waitingSince = WorkQueue::Clock::now();
    started = waitingSince;
    const auto &request = parser->get();
    keepAlive = request.keep_alive();
    requestLine = text(request.method_string()) + QLatin1Char(' ') + text(request.target());
    QStringList headers;
    for (const auto &field : request.base())
        headers << text(field.name_string()) + QStringLiteral(": ") + text(field.value());
    const std::string &body = request.body();
    const QUrl url = targetUrl(request.target());
    operation = server.operation(url.path(QUrl::FullyDecoded));
    WorkQueue::Job job { method, url, headers, QByteArray(body.data(), int(body.size())), waitingSince,
        // The last reference travels to the strand, so the session ends in its I/O thread.
        [self = shared_from_this()](WorkQueue::Result result) mutable {
            const Executor executor = self->executor();
            asio::post(executor, [self = std::move(self), result = std::move(result)]() mutable {
                self->onResult(std::move(result));
            });
        } };
    // The body now lives in the job only.
    parser.reset();
    if (!server.submit(std::move(job)))
        answer(503, QStringLiteral("All workers are busy"), true);
}

void Session::onResult(WorkQueue::Result result)
{
    if (state != State::Waiting)
        return; // abandoned at the shutdown deadline and answered then
    releaseBody();
    using Kind = WorkQueue::Result::Kind;
    switch (result.kind) {
    case Kind::Answered: {
        const bool again = keepAlive && !closeAfterWrite && !server.isStopping();
        return write(again ? result.bytes : withConnectionClose(result.bytes), !again);
    }
    case Kind::Expired:
        return answer(503,
            QStringLiteral("Waited more than %1 s for a worker; not executed")
                .arg(server.limits().queueTimeout.count()),
            true);
    case Kind::Dropped:
        return answer(503, QStringLiteral("The host is stopping; not executed"), true);
    case Kind::NoWorker:
        return answer(503, QStringLiteral("No worker in this thread"));
    }
}

void Session::fail(beast::error_code ec)
{
    if (timedOut)
        ec = beast::error::timeout;
    const bool started = state == State::ReadingBody || (parser && parser->got_some());
    if (ec == http::error::body_limit)
        answer(413, QStringLiteral("Body larger than %1 bytes").arg(server.limits().maxBody));
    else if (ec == http::error::header_limit)
        answer(431, QStringLiteral("Request head too large"));
    else if (ec == beast::error::timeout && started && state != State::Writing)
        answer(408, QStringLiteral("Request not complete in time"));
    else if (ec.category() == http::make_error_code(http::error::bad_method).category()
        && ec != http::error::end_of_stream && ec != http::error::partial_message)
        answer(400, QStringLiteral("Malformed request: %1").arg(QString::fromStdString(ec.message())));
    else
        close(); // the client went away, stayed silent, or the host stops
}

// The host's own answer; the connection closes after it.
void Session::answer(quint16 status, const QString &message, bool retry)
{
    releaseBody();
    operation = Metrics::hostOperation;
    lingerOnClose = true;
    write(hostResponse(status, message, retry), true);
}

void Session::write(QByteArray bytes, bool closeAfter)
{
    if (!admin) {
        const auto took = started ? WorkQueue::Clock::now() - *started : WorkQueue::Clock::duration::zero();
        server.metrics().countRequest(
            method, operation, statusOf(bytes), std::chrono::duration<double>(took).count());
    }
    state = State::Writing;
    out = std::move(bytes);
    closeAfterWrite = closeAfterWrite || closeAfter;
    armTimer(server.limits().readTimeout);
    asio::async_write(socket, asio::buffer(out.constData(), std::size_t(out.size())),
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWrite(ec); });
}

void Session::onWrite(beast::error_code ec)
{
    if (ec || closeAfterWrite || server.isStopping()) {
        if (ec)
            lingerOnClose = false;
        return close();
    }
    readHead();
}

void Session::close()
{
    state = State::Closed;
    beast::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    if (!lingerOnClose)
        return finish();
    // After an error answer the client may still be sending (a refused body):
    // closing with unread input would reset the connection and could destroy
    // the answer in flight. Read and drop its input for a short while first.
    lingerOnClose = false;
    armTimer(lingerTime);
    drain();
}

void Session::drain()
{
    socket.async_read_some(
        asio::buffer(discard), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->finish();
            self->drain();
        });
}

void Session::finish()
{
    timer.cancel();
    beast::error_code ignored;
    socket.close(ignored);
    releaseBody();
    server.removeSession(this);
}
