#pragma once

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <vector>

// The opened tenant connections that a worker keeps between requests when its
// host asks for it, instead of cloning and opening one per request: at most
// a set number, the least recently used closed first, each closed after an
// idle time, dropped when the tenant's template changes or goes away. Every
// operation that lets connections go returns their names, closed and with no
// handle left here, for the worker to release.
//
// Thread rules: owned by one worker and used only in its thread, like the
// connections it holds.
class ConnectionKeeper
{
public:
    ConnectionKeeper() = default;
    ConnectionKeeper(const ConnectionKeeper &) = delete;
    ConnectionKeeper &operator=(const ConnectionKeeper &) = delete;
    ~ConnectionKeeper();

    // Takes the kept connection of token out of the keeper, open and made
    // from the same parameters as tenantTemplate, reopened first if the
    // server dropped it; an invalid handle when there is none (a connection
    // of another template is let go into released).
    QSqlDatabase take(const QString &token, const QSqlDatabase &tenantTemplate, QStringList &released);
    // Keeps the open connection db of token; lets the least recently used go
    // while more than capacity are kept.
    QStringList put(const QString &token, const QSqlDatabase &db, int capacity);
    QStringList closeIdle(int idleSeconds);
    QStringList closeAll();

    int size() const { return int(kept.size()); }

private:
    struct Kept
    {
        QString token;
        QSqlDatabase db;
        QElapsedTimer idle;
    };

    static QString letGo(Kept &k);

    std::vector<Kept> kept; // least recently used first
};
