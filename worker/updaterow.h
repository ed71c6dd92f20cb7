#pragma once

#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QSqlQuery;

// Values of an upload body (a JSON object converted to a variant map) read the
// way every upload operation reads them. A missing key is an invalid variant
// and reads as the empty text and the number 0.
namespace BodyValue {

// A string unchanged, a number as its decimal text (an integral value without
// a fraction part), true/false as "true"/"false", anything else empty.
QString text(const QVariant &value);

// A JSON number that is a whole number from 0 to 2^32-1, or a string of
// decimal digits whose value fits that range; anything else is 0.
quint32 number(const QVariant &value);

} // namespace BodyValue

// The column-to-value row from which the upload operations write their
// statements. Columns are kept in plain character-code order of their names
// (capital letters before small ones), which fixes the order of the SET,
// VALUES, column and placeholder lists. A plain value type; the connection
// handed to setList() must belong to the calling thread.
class UpdateRow
{
public:
    UpdateRow() = default;

    void set(const QString &column, const QVariant &value) { row.insert(column, value); }
    bool contains(const QString &column) const { return row.contains(column); }
    QVariant value(const QString &column) const { return row.value(column); }
    int size() const { return row.size(); }
    bool isEmpty() const { return row.isEmpty(); }
    QStringList columns() const { return row.keys(); }
    const QVariantMap &values() const { return row; }

    // Stores each accepted key that data holds as its trimmed text, under the
    // key's own name. A key listed in skipWhenEmpty is left out when its
    // trimmed text is empty, so that an empty value keeps the stored one.
    void addFields(
        const QVariantMap &data, const QStringList &accepted, const QStringList &skipWhenEmpty = {});

    // `col="value", ...` with every value escaped by db's driver for its
    // character set. When a value cannot be escaped (db not open) the result
    // is a null string: the statement then fails instead of carrying raw text.
    QString setList(const QSqlDatabase &db) const;
    // `col=VALUES(col), ...`
    QString valuesList() const;
    // `:col` for each column, in row order.
    QStringList placeholders() const;
    // Binds each value to its `:col` placeholder with its own type, so that
    // numbers go to the server as numbers and texts as texts.
    void bindValues(QSqlQuery &query) const;

    // The row as compact JSON, for the debug log.
    QByteArray toJson() const;

private:
    QVariantMap row;
};
