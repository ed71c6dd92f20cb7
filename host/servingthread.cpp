#include "servingthread.h"

#include "httppluginworker.h"
#include "pluginhost.h"
#include "session.h"

#include <boost/asio/post.hpp>

#include <vector>

ServingThread::ServingThread(const PluginHost &host, const Limits &limits)
    : host(host)
    , sessionLimits(limits)
    , keepRunning(boost::asio::make_work_guard(io))
{
}

ServingThread::~ServingThread()
{
    io.stop();
    wait();
}

void ServingThread::run()
{
    worker = host.createWorker();
    io.run();
    // Its SQL connections were made in this thread and are closed here.
    worker.reset();
}

void ServingThread::requestStop()
{
    boost::asio::post(io, [this] {
        stopping = true;
        const std::vector<Session *> open(sessions.begin(), sessions.end());
        for (Session *session : open)
            session->stop();
        keepRunning.reset();
    });
}

QByteArray ServingThread::respond(const QString &method, const QUrl &url, const QStringList &headers,
                                  const QByteArray &body)
{
    if (!worker)
        return QByteArray();
    return worker->buildResponse(method, url, headers, body);
}
