#pragma once

#include "http/limits.h"
#include "http/message.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

class QTcpSocket;

namespace Shortd
{

struct FramedRequest;
struct ReadRequest;

// How many connections are open, in all and per client address: the gate admits by these, and
// each connection gives its place back when it ends, on whichever thread serves it.
class ConnectionCounts
{
public:
    int total() const;
    int of(const QString& client) const;
    void add(const QString& client);
    void release(const QString& client);

private:
    mutable QMutex m_mutex;
    int m_total = 0;
    QHash<QString, int> m_perClient;
};

// The reply to a request refused before it reaches the handler, given its status and the path of
// the request as sent (empty when the request line could not be read): the words and their form
// are the service's, not the transport's. Without one a refusal is its status line alone.
using RefusalReplies = std::function<HttpReply(int status, QByteArrayView path)>;

class Connection;
// Takes one request of a connection; its answer goes back through Connection::answer() on the
// connection's thread, now or later.
using Dispatch = std::function<void(ReadRequest&& read, Connection* connection)>;

// One admitted connection. It reads the client's bytes itself, cuts them into requests with
// frameRequest(), reading each in the same pass, and dispatches them one at a time and in order:
// a pipelined request is dispatched only once the one before has been answered. It keeps the
// connection's time limits, and answers a refused request itself before closing.
class Connection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Connection)

public:
    // Becomes a child of socket; counts, when given, hold a place the gate took for it, given back
    // when it is destroyed or evicted.
    Connection(QTcpSocket* socket, const FrontEndLimits& limits, std::shared_ptr<ConnectionCounts> counts = {},
        std::shared_ptr<const RefusalReplies> refusals = {});
    ~Connection() override;

    // Where requests go; set before start().
    void setDispatch(Dispatch dispatch) { m_dispatch = std::move(dispatch); }
    // Writes the whole answer to the request dispatched last, and closes after it when asked.
    void answer(const QByteArray& bytes, bool close);
    const QHostAddress& peer() const { return m_peer; }
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
    // Dispatches a whole request.
    void pass(const FramedRequest& framed, ReadRequest&& read);
    // The answer to the request dispatched last has been written.
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
    QHostAddress m_peer;
    QString m_client;
    Dispatch m_dispatch;
    QByteArray m_buffer; // received, not yet dispatched
    qsizetype m_needed = 0; // frameRequest() has nothing new to say below this many bytes
    bool m_started = false;
    bool m_processing = false;
    bool m_awaitingAnswer = false; // a request was dispatched and its answer has not been written
    bool m_closing = false;
    bool m_stopping = false; // to be closed between requests
    bool m_continued = false; // "100 Continue" sent for the request being read
    bool m_waitingForWrites = false; // too many replies unread: reading resumes once some are
    QElapsedTimer m_idleSince;
    QTimer m_headerTimer;
    QTimer m_idleTimer;
    QTimer m_graceTimer; // a stop's wait for the next request
};

// A refusal as written straight to a socket: reply's status line, its header fields, type and
// length, then extraHeaders (each ending in CR LF) and Connection: close, then its body.
QByteArray refusalBytes(const HttpReply& reply, QByteArrayView extraHeaders = {});
// Sends what was written, then closes. Until the client closes too (at most two seconds) what it
// still sends is read and dropped, so that the close does not reset the connection and lose the
// reply on its way.
void closeAfterWriting(QTcpSocket* socket);

} // namespace Shortd
