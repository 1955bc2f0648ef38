#pragma once

#include "http/limits.h"
#include "http/message.h"

#include <QByteArray>
#include <QByteArrayView>

namespace Shortd
{

// One request cut from the front of a connection's bytes, after strict checks of its framing:
// a request line of a method, a target and HTTP/1.0 or HTTP/1.1; header lines without obs-fold
// and without NUL or CR; exactly one Host in HTTP/1.1; a body framed by one Content-Length (equal
// values only) or by a final "chunked" Transfer-Encoding, never both; no expectation but 100-continue.
struct FramedRequest {
    enum class State {
        Incomplete, // more bytes are needed
        Complete,
        Refused, // answer status and close the connection
    };
    State state = State::Incomplete;
    int status = 0; // Refused: 400, 413, 417 or 431
    qsizetype length = 0; // Complete: how many bytes of the buffer the request took
    // Incomplete: nothing changes until the buffer holds at least this many bytes.
    qsizetype needed = 0;
    bool headComplete = false; // Incomplete: the line and headers are all there, the body is not
    bool expectsContinue = false; // Incomplete: an HTTP/1.1 client waits for "100 Continue" before its body
    // Complete: the request as the HTTP server is to parse it, when that differs from the bytes
    // received (chunked, a list of lengths, Expect): the same line and header fields but the
    // framing ones, then Content-Length and the body, de-chunked. Empty: the bytes as received.
    QByteArray forward;
};

FramedRequest frameRequest(QByteArrayView buffer, const FrontEndLimits& limits);

// A complete request as the handler is to see it, read in the same pass as its framing.
struct ReadRequest {
    HttpRequest request; // its client is the connection's to set
    QByteArray method; // as sent
    QByteArray forwardedFor; // the X-Forwarded-For header
    bool close = false; // the client asked to close the connection after the answer
};

// As above, but a complete request is also read into request, and forward is left empty.
FramedRequest frameRequest(QByteArrayView buffer, const FrontEndLimits& limits, ReadRequest* request);

// The path of the request at the front of buffer, as sent and without its query: from the target
// of its request line, in origin form or absolute form. Empty when there is no line to read one from.
QByteArrayView requestPath(QByteArrayView buffer);

} // namespace Shortd
