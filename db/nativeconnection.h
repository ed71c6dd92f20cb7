#pragma once

#include <QSqlDatabase>

// What the client library offers for a QMYSQL connection beyond Qt's driver,
// reached through the driver's native handle. Use a connection only in the
// thread that opened it.
namespace NativeConnection {

// Makes the open connection db talk utf8mb4, so that 4-byte characters are
// stored as sent: with the MariaDB client library Qt's driver asks for 3-byte
// utf8. Set through the client library, so that its own escaping and an
// automatic reconnect keep the character set; costs a round trip only when the
// connection is not yet at utf8mb4. False when db is not an open QMYSQL
// connection or the server refuses.
bool ensureUtf8mb4(const QSqlDatabase &db);

// Whether the server has closed an idle connection (or sent anything
// unasked), seen without a round trip: its socket is readable or gone. A
// statement sent on such a connection would fail without the client knowing
// whether the server ran it. True also when db is not an open QMYSQL
// connection.
bool isDropped(const QSqlDatabase &db);

} // namespace NativeConnection
