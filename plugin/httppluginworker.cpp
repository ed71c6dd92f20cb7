#include "httppluginworker.h"

#include "dbmanager.h"
#include "sqltext.h"

#include <QDebug>
#include <QHash>

#include <cstddef>

HttpPluginWorker::HttpPluginWorker(QObject *parent)
    : QObject(parent)
{
    // The host sets these fields through its own copy of the class: their
    // offsets after the QObject part are fixed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    constexpr std::size_t p = sizeof(void *);
    static_assert(sizeof(QObject) == 2 * p && offsetof(HttpPluginWorker, debugLevel) == 2 * p
            && offsetof(HttpPluginWorker, dbManager) == 3 * p && offsetof(HttpPluginWorker, db) == 4 * p
            && offsetof(HttpPluginWorker, dbOpened) == 5 * p
            && offsetof(HttpPluginWorker, dbCloned) == 5 * p + 1
            && offsetof(HttpPluginWorker, releaseConnection) == 5 * p + 2
            && sizeof(HttpPluginWorker) == 6 * p,
        "HttpPluginWorker's fields are shared with the host: order, types and size are fixed");
#pragma GCC diagnostic pop
}

HttpPluginWorker::~HttpPluginWorker()
{
    closeAndRemoveDB();
    db = QSqlDatabase();
}

void HttpPluginWorker::setDatabase(const QSqlDatabase &database)
{
    db = database;
}

void HttpPluginWorker::setDbManager(DBManager *manager)
{
    dbManager = manager;
}

void HttpPluginWorker::setDebugLevel(quint8 level)
{
    debugLevel = level;
}

void HttpPluginWorker::setReleaseConnection(bool release)
{
    releaseConnection = release;
}

void HttpPluginWorker::closeAndRemoveDB()
{
    qDebug("HttpPluginWorker::closeAndRemoveDB(%s)", qPrintable(db.connectionName()));
    if (db.isOpen() && dbOpened) {
        db.close();
        dbOpened = false;
    }
    if (releaseConnection && dbCloned && dbManager && !db.isOpen()) {
        const QString name = db.connectionName();
        if (!name.isEmpty()) {
            // Let go of our handle before the name is queued: the registry may
            // remove the connection from another thread at any moment after,
            // and a connection still referenced here would be torn down under us.
            db = QSqlDatabase();
            dbCloned = false;
            dbManager->addUnusedConnection(name);
        }
    }
}

QByteArray HttpPluginWorker::encodeSafeBase64(const QByteArray &data)
{
    // The URL alphabet already has '-' and '_'; only the padding differs.
    QByteArray text = data.toBase64(QByteArray::Base64UrlEncoding);
    for (int i = text.size() - 1; i >= 0 && text.at(i) == '='; --i)
        text[i] = '@';
    return text;
}

QByteArray HttpPluginWorker::decodeSafeBase64(const QByteArray &text)
{
    QByteArray standard = text;
    for (char &c : standard) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (c == '@')
            c = '=';
    }
    // Qt's default decoding is the lenient one: foreign characters are skipped
    // and it never fails.
    return QByteArray::fromBase64(standard);
}

QString HttpPluginWorker::statusText(quint16 code)
{
    static const QHash<quint16, QString> phrases = {
        { 100, QStringLiteral("Continue") },
        { 101, QStringLiteral("Switching Protocols") },
        { 102, QStringLiteral("Processing") },
        { 200, QStringLiteral("OK") },
        { 201, QStringLiteral("Created") },
        { 202, QStringLiteral("Accepted") },
        { 203, QStringLiteral("Non-authoritative Information") },
        { 204, QStringLiteral("No Content") },
        { 205, QStringLiteral("Reset Content") },
        { 206, QStringLiteral("Partial Content") },
        { 207, QStringLiteral("Multi-Status") },
        { 208, QStringLiteral("Already Reported") },
        { 226, QStringLiteral("IM Used") },
        { 300, QStringLiteral("Multiple Choices") },
        { 301, QStringLiteral("Moved Permanently") },
        { 302, QStringLiteral("Found") },
        { 303, QStringLiteral("See Other") },
        { 304, QStringLiteral("Not Modified") },
        { 305, QStringLiteral("Use Proxy") },
        { 307, QStringLiteral("Temporary Redirect") },
        { 308, QStringLiteral("Permanent Redirect") },
        { 400, QStringLiteral("Bad Request") },
        { 401, QStringLiteral("Unauthorized") },
        { 402, QStringLiteral("Payment Required") },
        { 403, QStringLiteral("Forbidden") },
        { 404, QStringLiteral("Not Found") },
        { 405, QStringLiteral("Method Not Allowed") },
        { 406, QStringLiteral("Not Acceptable") },
        { 407, QStringLiteral("Proxy Authentication Required") },
        { 408, QStringLiteral("Request Timeout") },
        { 409, QStringLiteral("Conflict") },
        { 410, QStringLiteral("Gone") },
        { 411, QStringLiteral("Length Required") },
        { 412, QStringLiteral("Precondition Failed") },
        { 413, QStringLiteral("Payload Too Large") },
        { 414, QStringLiteral("Request-URI Too Long") },
        { 415, QStringLiteral("Unsupported Media Type") },
        { 416, QStringLiteral("Requested Range Not Satisfiable") },
        { 417, QStringLiteral("Expectation Failed") },
        { 418, QStringLiteral("I'm a teapot") },
        { 421, QStringLiteral("Misdirected Request") },
        { 422, QStringLiteral("Unprocessable Entity") },
        { 423, QStringLiteral("Locked") },
        { 424, QStringLiteral("Failed Dependency") },
        { 426, QStringLiteral("Upgrade Required") },
        { 428, QStringLiteral("Precondition Required") },
        { 429, QStringLiteral("Too Many Requests") },
        { 431, QStringLiteral("Request Header Fields Too Large") },
        { 444, QStringLiteral("Connection Closed Without Response") },
        { 451, QStringLiteral("Unavailable For Legal Reasons") },
        { 499, QStringLiteral("Client Closed Request") },
        { 500, QStringLiteral("Internal Server Error") },
        { 501, QStringLiteral("Not Implemented") },
        { 502, QStringLiteral("Bad Gateway") },
        { 503, QStringLiteral("Service Unavailable") },
        { 504, QStringLiteral("Gateway Timeout") },
        { 505, QStringLiteral("HTTP Version Not Supported") },
        { 506, QStringLiteral("Variant Also Negotiates") },
        { 507, QStringLiteral("Insufficient Storage") },
        { 508, QStringLiteral("Loop Detected") },
        { 510, QStringLiteral("Not Extended") },
        { 511, QStringLiteral("Network Authentication Required") },
        { 599, QStringLiteral("Network Connect Timeout Error") },
    };
    const auto it = phrases.constFind(code);
    if (it != phrases.constEnd())
        return *it;
    if (code >= 101 && code <= 199)
        return QStringLiteral("Information");
    if (code >= 201 && code <= 299)
        return QStringLiteral("Success");
    if (code >= 301 && code <= 399)
        return QStringLiteral("Redirect");
    if (code >= 401 && code <= 499)
        return QStringLiteral("Client Error");
    if (code >= 501 && code <= 599)
        return QStringLiteral("Server Error");
    return QStringLiteral("Unknown");
}

QString HttpPluginWorker::encodeHash(quint64 first, quint64 second)
{
    return QString::fromLatin1(
        encodeSafeBase64(QByteArray::number(first) + '.' + QByteArray::number(second)));
}

QString HttpPluginWorker::hashText(const QString &hash)
{
    return SqlText::utf8UpToZero(decodeSafeBase64(hash.toLatin1()));
}

bool HttpPluginWorker::parseHash(const QString &hash, quint32 &first, quint32 &second)
{
    first = 0;
    second = 0;
    if (hash.isEmpty())
        return false;
    const QString text = hashText(hash);
    if (text.isEmpty() || !text.contains(QLatin1Char('.')))
        return false;
    const QStringList pieces = text.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return false;
    bool ok = false;
    const qint32 signedFirst = pieces.at(0).toInt(&ok);
    // qAbs of INT_MIN overflows; its magnitude still fits the unsigned result.
    first = ok ? (signedFirst < 0 ? 0u - quint32(signedFirst) : quint32(signedFirst)) : 0;
    second = pieces.at(1).toUInt(&ok);
    if (!ok)
        second = 0;
    return first != 0 && second != 0;
}
