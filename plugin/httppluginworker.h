#pragma once

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QUrl>

class DBManager;

// Base of every worker: the type through which the host hands one HTTP
// request to the plug-in and receives the complete response bytes.
//
// A worker serves one request at a time and is used by one thread at a time;
// its database handle belongs to the thread that opened it. The virtual
// operations form the binary contract with the host: keep their order.
// There is deliberately no Q_OBJECT here: the base has no meta-object.
class HttpPluginWorker : public QObject
{
public:
    explicit HttpPluginWorker(QObject *parent = nullptr);
    ~HttpPluginWorker() override;

    virtual QByteArray buildResponse(
        const QString &method, const QUrl &url, const QStringList &headers, const QByteArray &body)
        = 0;
    virtual void setDatabase(const QSqlDatabase &database);
    virtual void setDbManager(DBManager *manager);
    virtual int workerKind() const = 0;
    virtual void setDebugLevel(quint8 level);

    void setReleaseConnection(bool release);

    // Closes the connection this worker opened and, when released connections
    // go back to the registry, queues a cloned connection's name for removal.
    void closeAndRemoveDB();

    static QByteArray encodeSafeBase64(const QByteArray &data);
    static QByteArray decodeSafeBase64(const QByteArray &text);
    static QString statusText(quint16 code);

    // Path hashes: the safe Base64 of two decimal numbers joined by ".".
    static QString encodeHash(quint64 first, quint64 second);
    // Both numbers of a hash, each non-zero; the first may be sent negative
    // and counts by its magnitude. False (and both 0) for anything else.
    static bool parseHash(const QString &hash, quint32 &first, quint32 &second);
    // The text of a hash: its bytes up to the first zero byte, as UTF-8.
    static QString hashText(const QString &hash);

    // Read access for the host and for diagnostics.
    quint8 debugLevelValue() const { return debugLevel; }
    DBManager *manager() const { return dbManager; }
    QSqlDatabase database() const { return db; }
    bool isDbOpened() const { return dbOpened; }
    bool isDbCloned() const { return dbCloned; }
    bool releasesConnection() const { return releaseConnection; }

protected:
    quint8 debugLevel = 0;
    DBManager *dbManager = nullptr;
    QSqlDatabase db;
    bool dbOpened = false;
    bool dbCloned = false;
    bool releaseConnection = false;
};
