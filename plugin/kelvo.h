#pragma once

#include "httpplugininterface.h"

#include <QObject>

class KelvoWorker;

// The plug-in object the host loads: hands out workers, owns the one shared
// worker and relays every worker's recordCreated so that the host can listen
// to a single object. It holds no request state and no connection.
//
// Thread rules: no lock. getWorker is for a host that serialises its calls;
// workers may live in other threads, their signals then arrive queued.
class Kelvo : public QObject, HttpPluginInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HttpPluginInterface_iid FILE "kelvo.json")
    Q_INTERFACES(HttpPluginInterface)

public:
    explicit Kelvo(QObject *parent = nullptr);

    QStringList paths() const override;
    QString getVersion() const override;
    HttpPluginWorker *getNewWorker(QObject *parent) override;
    HttpPluginWorker *getWorker() override;

Q_SIGNALS:
    void recordCreated(QString tbl, uint id, const QString &token, quint8 flags);

private:
    KelvoWorker *createWorker(QObject *parent);

    KelvoWorker *sharedWorker = nullptr;
};
