#pragma once

#include <QString>

// The statements with which the rest of the system records a change for a
// terminal: a marker row, then its bit. Shared by the confirmation tests and
// the cluster check, so both load the server the same way.
namespace MarkerSql {

inline const QString kindRowSql = QStringLiteral(
    "INSERT INTO term_sync VALUES (%1, 'U', 'people_term', 'uid', %2, UNIX_TIMESTAMP(), %3)");
inline const QString kindBitSql = QStringLiteral("UPDATE term SET syn = syn | %2 WHERE tid = %1");

} // namespace MarkerSql
