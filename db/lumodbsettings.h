#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

// Named settings in the table `vars` of one database: a thin value type around
// one handle, with no cache and no lock. Use it only in the thread that
// opened its handle.
class LumoDbSettings
{
public:
    LumoDbSettings() = default;
    explicit LumoDbSettings(const QSqlDatabase &db);

    void setDatabase(const QSqlDatabase &db);
    bool open();
    void close();

    QVariant variableGet(const QString &name, const QVariant &defaultValue = QVariant()) const;
    bool variableSet(const QString &name, const QVariant &value);
    bool variableSet(const QVariantMap &values);
    bool variableDel(const QString &name, bool prefix = false);
    QVariantMap variableGetMultiple(const QStringList &names) const;
    QVariantMap variableGetMultiple(const QString &prefix) const;

private:
    QSqlQuery newQuery() const;

    QSqlDatabase db;
};
