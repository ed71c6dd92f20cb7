#include "responseenvelope.h"

#include "httppluginworker.h"

QByteArray ResponseEnvelope::render(quint16 status, const QByteArray &json, const QByteArray &extraHeadLines)
{
    const QByteArray body = HttpPluginWorker::encodeSafeBase64(json);
    QByteArray response;
    response.reserve(body.size() + extraHeadLines.size() + 128);
    response += "HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpPluginWorker::statusText(status).toUtf8()
        + "\r\n";
    response += "Content-Type: application/att; charset=\"utf-8\"\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += extraHeadLines;
    response += "\r\n";
    response += body;
    return response;
}
