#pragma once

#include <QStringList>
#include <QtPlugin>

class QObject;
class HttpPluginWorker;

// The host's view of an HTTP plug-in. The slot order and signatures are part
// of the binary contract with the host: do not reorder, insert or change them.
class HttpPluginInterface
{
public:
    virtual ~HttpPluginInterface();
    virtual QStringList paths() const = 0;
    virtual QString getVersion() const = 0;
    virtual HttpPluginWorker *getNewWorker(QObject *parent) = 0;
    virtual HttpPluginWorker *getWorker() = 0;
};

#define HttpPluginInterface_iid "com.norvane.orv.HttpPluginInterface"
Q_DECLARE_INTERFACE(HttpPluginInterface, HttpPluginInterface_iid)
