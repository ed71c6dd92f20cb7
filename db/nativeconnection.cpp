#include "nativeconnection.h"

#include <QSqlDriver>
#include <QVariant>

#include <mysql.h>
#include <poll.h>

#include <cstring>

namespace {

// The QMYSQL driver's handle is the client library's MYSQL pointer.
MYSQL *mysqlOf(const QSqlDatabase &db)
{
    if (!db.isOpen() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "MYSQL*") != 0)
        return nullptr;
    return *static_cast<MYSQL *const *>(handle.constData());
}

} // namespace

namespace NativeConnection {

bool ensureUtf8mb4(const QSqlDatabase &db)
{
    MYSQL *mysql = mysqlOf(db);
    if (!mysql)
        return false;
    if (std::strcmp(mysql_character_set_name(mysql), "utf8mb4") == 0)
        return true;
    return mysql_set_character_set(mysql, "utf8mb4") == 0;
}

bool isDropped(const QSqlDatabase &db)
{
    MYSQL *mysql = mysqlOf(db);
    if (!mysql)
        return true;
    const my_socket socket = mysql_get_socket(mysql);
    if (socket < 0)
        return true;
    pollfd events { socket, POLLIN, 0 };
    return ::poll(&events, 1, 0) != 0;
}

} // namespace NativeConnection
