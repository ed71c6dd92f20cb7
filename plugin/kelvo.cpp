#include "kelvo.h"

#include "kelvoworker.h"

Kelvo::Kelvo(QObject *parent)
    : QObject(parent)
{ }

QStringList Kelvo::paths() const
{
    return { QStringLiteral("/kelvo") };
}

QString Kelvo::getVersion() const
{
    return QStringLiteral("0.2.5");
}

KelvoWorker *Kelvo::createWorker(QObject *parent)
{
    auto *worker = new KelvoWorker(getVersion(), parent);
    connect(worker, SIGNAL(recordCreated(QString, uint, QString, quint8)), this,
        SIGNAL(recordCreated(QString, uint, QString, quint8)));
    return worker;
}

HttpPluginWorker *Kelvo::getNewWorker(QObject *parent)
{
    return createWorker(parent);
}

HttpPluginWorker *Kelvo::getWorker()
{
    if (!sharedWorker)
        sharedWorker = createWorker(this);
    return sharedWorker;
}
