#pragma once

#include "http/limits.h"
#include "http/message.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

class QTcpSocket;

namespace Shortd
{

class RelaySocket;
struct FramedRequest;

// How many connections are open, in all and per client address: the gate admits by these, and
// each connection gives its place back when it ends.
struct ConnectionCounts {
    int total = 0;
    QHash<QString, int> perClient;
};

// The reply to a request refused before it reaches the handler, given its status and the path of
// the request as sent (empty when the request line could not be read): the words and their form
// are the service's, not the transport's. Without one a refusal is its status line alone.
using RefusalReplies = std::function<HttpReply(int status, QByteArrayView path)>;

// One admitted connection. It reads the client's bytes itself, cuts them into requests with
// frameRequest(), and passes each checked request, one at a time and in order, to the HTTP server
// through a relay socket: the server parses only bytes that passed the checks, and a pipelined
// request reaches it only once the one before has been answered. It keeps the connection's time
// limits, and answers a refused request itself before closing.
class Connection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Connection)

public:
    // Becomes a child of socket; counts, when given, hold its place until it is destroyed or evicted.
    Connection(QTcpSocket* socket, const FrontEndLimits& limits, std::shared_ptr<ConnectionCounts> counts = {},
        std::shared_ptr<const RefusalReplies> refusals = {});
    ~Connection() override;

    // The socket to hand to the HTTP server, before start().
    QTcpSocket* relay() const;
    const QString& client() const { return m_client; }
    // Begins passing requests on.
    void start();
    // For a stop: closes the connection between two requests, never while one is under way. A
    // request being read, answered, or whose bytes have arrived is answered first (its answer says
    // Connection: close). A client that has just been answered, or has just connected, has a moment
    // to send its next request, which is then answered too: a client that sends on at once never
    // sees its connection go under a request.
    void closeBetweenRequests();
    // No request under way: none passed on and unanswered, and none of the client's bytes waiting,
    // here, in the socket or in the kernel. A connection that is closing is not idle.
    bool isIdle() const;
    // Since the last answer began, or since the connection opened; meaningful while idle.
    std::chrono::nanoseconds idleFor() const;
    // Whether the client has sent bytes beyond the request being answered.
    bool holdsRequestBytes() const;
    // Gives its place back at once and ends the connection without a word.
    void evict();

private:
    void process();
    // Whether the client leaves too many replies unread to read its next request yet.
    bool tooMuchUnread();
    void awaitRest(const FramedRequest& framed);
    // Passes a whole request on to the HTTP server.
    void pass(const FramedRequest& framed);
    // The HTTP server has begun writing the answer to the request passed on last.
    void answered();
    void refuse(int status);
    void closeIfStillIdle();
    void close();
    void abortConnection();
    void releasePlace();

    QTcpSocket* m_socket;
    FrontEndLimits m_limits;
    std::shared_ptr<ConnectionCounts> m_counts;
    std::shared_ptr<const RefusalReplies> m_refusals;
    QString m_client;
    QPointer<RelaySocket> m_relay;
    QByteArray m_buffer; // received, not yet passed on
    qsizetype m_needed = 0; // frameRequest() has nothing new to say below this many bytes
    bool m_started = false;
    bool m_processing = false;
    bool m_awaitingAnswer = false; // a request was passed on and its answer has not begun
    bool m_closing = false;
    bool m_stopping = false; // to be closed between requests
    bool m_continued = false; // "100 Continue" sent for the request being read
    bool m_waitingForWrites = false; // too many replies unread: reading resumes once some are
    QElapsedTimer m_idleSince;
    QTimer m_headerTimer;
    QTimer m_idleTimer;
    QTimer m_graceTimer; // a stop's wait for the next request
};

// Whether the connection behind a relay socket holds bytes of a request after the one being
// answered; false for any other socket.
bool holdsNextRequest(const QTcpSocket* relay);
// A refusal as written straight to a socket: reply's status line, its header fields, type and
// length, then extraHeaders (each ending in CR LF) and Connection: close, then its body.
QByteArray refusalBytes(const HttpReply& reply, QByteArrayView extraHeaders = {});
// Sends what was written, then closes. Until the client closes too (at most two seconds) what it
// still sends is read and dropped, so that the close does not reset the connection and lose the
// reply on its way.
void closeAfterWriting(QTcpSocket* socket);

} // namespace Shortd
