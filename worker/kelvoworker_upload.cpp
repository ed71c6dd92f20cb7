// POST and PUT handlers: registration, person and entrance upload, updates.
#include "kelvoworker.h"

void KelvoWorker::buildPostResponse(const QStringList &, const QByteArray &) { setError(QStringLiteral("Not implemented"), 501); }
void KelvoWorker::buildPutResponse(const QStringList &, const QByteArray &) { setError(QStringLiteral("Not implemented"), 501); }
quint32 KelvoWorker::dbInsertTerm(const QVariantMap &) { return 0; }
quint16 KelvoWorker::terminalTypeFlags(const QString &) { return 0; }
QString KelvoWorker::dbGetColorGroups() { return {}; }
quint32 KelvoWorker::dbInsertPerson(quint32, const QVariantMap &) { return 0; }
bool KelvoWorker::dbUpdatePerson(quint32, quint32, const QVariantMap &) { return false; }
bool KelvoWorker::dbSetOtherTermsPeopleSync(quint32, quint32, const QString &) { return false; }
quint32 KelvoWorker::dbInsertEntrance(quint32, const QVariantMap &) { return 0; }
bool KelvoWorker::dbUpdateTerm(quint32, const QVariantMap &) { return false; }
