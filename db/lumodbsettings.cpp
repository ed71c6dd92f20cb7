#include "lumodbsettings.h"

// Filled in with the settings store.
LumoDbSettings::LumoDbSettings(const QSqlDatabase &db)
    : db(db)
{
}
void LumoDbSettings::setDatabase(const QSqlDatabase &handle) { db = handle; }
bool LumoDbSettings::open() { return db.open(); }
void LumoDbSettings::close() { db.close(); }
QVariant LumoDbSettings::variableGet(const QString &, const QVariant &defaultValue) const { return defaultValue; }
bool LumoDbSettings::variableSet(const QString &, const QVariant &) { return false; }
bool LumoDbSettings::variableSet(const QVariantMap &) { return false; }
bool LumoDbSettings::variableDel(const QString &, bool) { return false; }
QVariantMap LumoDbSettings::variableGetMultiple(const QStringList &) const { return {}; }
QVariantMap LumoDbSettings::variableGetMultiple(const QString &) const { return {}; }
