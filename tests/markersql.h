#pragma once

#include <QString>

// The statements with which producers record a change for terminals: a
// marker row, then its bit. Person markers as the person upload writes them,
// the other kinds as the rest of the system writes them. Shared by the race
// test and the cluster check, so both load the server the same way.
namespace MarkerSql {

inline const QString personRowsSql = QStringLiteral(
    "INSERT INTO `term_sync` SELECT tid, 'U' type, 'people_term' ref, 'uid' ref_col, `uid` ref_id, "
    "UNIX_TIMESTAMP() created, 2 flags FROM people_term pt JOIN people p USING(uid) WHERE p.status = 1 AND "
    "pt.uid = %1 AND pt.tid != %2;");
inline const QString personBitsSql
    = QStringLiteral("Update `term` SET syn = syn | 2 WHERE status = 1 AND tid "
                     "IN(SELECT tid FROM people_term WHERE uid = %1 AND tid != %2)");
inline const QString kindRowSql = QStringLiteral(
    "INSERT INTO term_sync VALUES (%1, 'U', 'people_term', 'uid', %2, UNIX_TIMESTAMP(), %3)");
inline const QString kindBitSql = QStringLiteral("UPDATE term SET syn = syn | %2 WHERE tid = %1");

} // namespace MarkerSql
