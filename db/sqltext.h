#pragma once

#include <QSqlDatabase>
#include <QString>

namespace SqlText {

// The text of a value escaped by the driver of the open connection db, for its
// character set, without the surrounding quotes, so that it can stand between
// single or double quotes of a statement and reach the column unchanged.
// Returns a null string when db is not open (nothing can be escaped safely).
QString escaped(const QSqlDatabase &db, const QString &value);

// escaped() between single quotes, or NULL when it cannot be escaped: a
// statement then fails to match rather than carrying unescaped input.
QString quoted(const QSqlDatabase &db, const QString &value);

// The bytes up to the first zero byte, decoded as UTF-8: how texts stored or
// sent as bytes (names, passwords, hashes) are read; a terminal cuts text at
// a zero byte.
QString utf8UpToZero(const QByteArray &bytes);

} // namespace SqlText
