#pragma once

#include "webclient.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <utility>

namespace Nolvex::Cli
{

// The most a reply's body may hold: the protocol's replies are a line of JSON; the API's a link
// object or a problem, with a title, tags and field errors at most.
inline constexpr qint64 ProtocolReplyLimit = WebClient::MaxReplySize; // 64 KiB
inline constexpr qint64 ApiReplyLimit = qint64 {1024} * 1024; // 1 MiB
// The most the status line and headers of one reply may hold, interim replies before it included.
inline constexpr qsizetype ReplyHeadLimit = qsizetype {64} * 1024;

// One request as the connection sends it.
// How a reply's headers frame its body: a length (-1 none), chunks, or up to the close; error
// names a header that cannot be taken.
struct BodyFraming {
    qint64 length = -1;
    bool chunked = false;
    bool closes = false; // Connection: close
    QString error;
};

struct ServiceRequest {
    QByteArray method = "GET";
    QString address; // absolute http(s) address
    QList<std::pair<QByteArray, QByteArray>> headers; // beyond Host and Content-Length
    QByteArray body; // sent with its Content-Length unless the method is GET
    qint64 replyLimit = ProtocolReplyLimit;
    bool followRedirects = false; // to the same host only, or from http to https on it
    // False: sent with Connection: close, and the connection carries no other request. A reply that
    // does not name its request could otherwise be a late one meant for the request before it.
    bool keepAlive = true;
};

struct ServiceReply {
    enum class Kind {
        Done,
        Handover, // nothing was sent: the web client may carry the request within `remaining`
    };
    Kind kind = Kind::Done;
    WebResult result {};
    bool answered = false; // some byte of a reply arrived: the service is there, and the request is not sent again
    bool resent = false; // went out again on a fresh connection, a kept one having closed before any reply
    std::chrono::milliseconds remaining {0}; // of the attempt's time limit, with a handover
};

// One job's connection to the shortening service: HTTP/1.1 requests one after the other on a
// kept-alive connection (or a fresh one a request, as the request asks), each reply read in blocks;
// over TLS a fresh connection resumes the session of the one before it to the same origin. Qt's
// network access manager reads a reply's status line and headers from an unbuffered socket a byte at a
// time, a system call each, and passes every request between two threads: for a batch that was most
// of the client's work, and the service sat idle. It reads every framing HTTP/1.1 allows (a length,
// chunks, a body that ends at the close), skips interim replies, and caps what it holds. An address it
// cannot reach itself (plain http to another machine, a user name in it) is answered with
// Kind::Handover before a byte is sent; nothing is ever handed over or sent again once a reply began.
class ServiceConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceConnection)

public:
    using Done = std::function<void(const ServiceReply& reply)>;

    explicit ServiceConnection(QObject* parent = nullptr);
    ~ServiceConnection() override;

    // One request at a time; `done` is called once, from the event loop, unless the connection is
    // destroyed first. The time limit covers the whole request, redirects included.
    void send(ServiceRequest request, std::chrono::milliseconds timeout, Done done);

    // False once the service sent what nobody asked for: each request then goes on a fresh
    // connection, since a late reply on a kept one would answer the next request.
    bool keepsAlive() const { return m_keepAlive; }
    void stopKeepingAlive() { m_keepAlive = false; }

private:
    enum class Phase { Head, Length, ChunkSize, ChunkData, ChunkEnd, Trailers, UntilClose };

    void transmit();
    bool start(const QUrl& url);
    void onReadable();
    void onLost();
    void read();
    bool readHead(QByteArrayView head);
    void redirect(const QByteArray& location);
    bool startBody(const BodyFraming& framing);
    bool readChunks();
    void complete();
    void finish(ServiceReply reply);
    void fail(WebResult::Status status, const QString& why);
    void drop();
    bool idleAndClean();
    void keepSessionTicket();

    QSslSocket m_socket;
    QTimer m_deadline;
    ServiceRequest m_request;
    QUrl m_url;
    QString m_origin; // scheme, host and port the socket is connected to
    QByteArray m_sessionTicket; // the last TLS session with m_ticketOrigin, to resume on the next connection
    QString m_ticketOrigin;
    QByteArray m_wire;
    QByteArray m_buffer; // received and not yet read
    QByteArray m_body;
    Done m_done;
    WebResult m_result;
    Phase m_phase = Phase::Head;
    qint64 m_left = 0; // of the body (Length) or of the chunk (ChunkData)
    qsizetype m_headBytes = 0; // of this reply, interim heads and trailers included
    int m_redirects = 0;
    bool m_answered = false;
    bool m_reused = false; // the connection already carried a whole reply
    bool m_resent = false; // this request went out again on a fresh connection
    bool m_resendQueued = false;
    bool m_closeAfter = false;
    bool m_keepAlive = true; // until the service sends what nobody asked for
};

} // namespace Nolvex::Cli
