#pragma once

#include <QString>
#include <QStringList>

// Splits an SQL file into statements the way the mariadb client does for
// the files we ship: statements end at the current delimiter outside
// quotes and comments, and "DELIMITER x" lines change it (stored functions
// hold semicolons). A plain function holder; no state, any thread.
class SqlScript
{
public:
    // The statements of text in order, without their delimiters; parts that
    // hold only comments and white space are left out.
    static QStringList statements(const QString &text);
};
