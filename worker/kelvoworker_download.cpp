// GET and DELETE handlers: synchronisation state, full and incremental lists,
// deletion and confirmation.
#include "kelvoworker.h"

void KelvoWorker::buildGetResponse(const QStringList &) { setError(QStringLiteral("Not implemented"), 501); }
void KelvoWorker::buildDeleteResponse(const QStringList &) { setError(QStringLiteral("Not implemented"), 501); }
bool KelvoWorker::dbGetSync(quint32, bool) { return false; }
bool KelvoWorker::dbGetInter(quint32, quint32) { return false; }
bool KelvoWorker::dbGetPeople(quint32, quint32) { return false; }
bool KelvoWorker::dbGetSaldo(quint32, quint32) { return false; }
bool KelvoWorker::dbGetPresent(quint32, quint32) { return false; }
QVariantMap KelvoWorker::dbGetSyncInters(quint32, bool) { return {}; }
QVariantMap KelvoWorker::dbGetSyncPeople(quint32, bool) { return {}; }
QVariantMap KelvoWorker::dbGetSyncSaldo(quint32, bool) { return {}; }
QVariantMap KelvoWorker::dbGetSyncPresent(quint32, bool) { return {}; }
QVariantMap KelvoWorker::dbGetClrGrp(quint32, bool) { return {}; }
QVariantMap KelvoWorker::dbGetVars(quint32) { return {}; }
bool KelvoWorker::dbDeletePerson(quint32, quint32) { return false; }
bool KelvoWorker::dbCheckEntrance(quint32, quint32) { return false; }
bool KelvoWorker::dbDeleteEntrance(quint32, quint32) { return false; }
qint32 KelvoWorker::dbDeleteSync(quint32, quint32, quint16) { return -1; }
