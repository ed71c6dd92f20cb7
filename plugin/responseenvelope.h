#pragma once

#include <QByteArray>

// The bytes of every answer under the plug-in's prefixes, whether a worker
// or the host itself gives it: an HTTP/1.1 head with the status and its
// reason phrase, the content type "application/att" and the body's length,
// then the body, the safe Base64 of a JSON document.
//
// Pure functions; usable from any thread.
namespace ResponseEnvelope {

// extraHeadLines are whole head lines ("Name: value\r\n"), written after the
// length and before the empty line that ends the head.
QByteArray render(quint16 status, const QByteArray &json, const QByteArray &extraHeadLines = QByteArray());

} // namespace ResponseEnvelope
