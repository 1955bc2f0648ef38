#pragma once

#include "http/limits.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
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
    // Becomes a child of socket; counts, when given, hold its place until it is destroyed.
    Connection(QTcpSocket* socket, const FrontEndLimits& limits, std::shared_ptr<ConnectionCounts> counts = {});
    ~Connection() override;

    // The socket to hand to the HTTP server, before start().
    QTcpSocket* relay() const;
    // Begins passing requests on.
    void start();
    // Closes now unless a request is being read or answered; that one is finished first. A
    // connection that has not sent its first request yet gets a moment to send it.
    void closeIfIdle();

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
    void close();
    void abortConnection();

    QTcpSocket* m_socket;
    FrontEndLimits m_limits;
    std::shared_ptr<ConnectionCounts> m_counts;
    QString m_client;
    QPointer<RelaySocket> m_relay;
    QByteArray m_buffer; // received, not yet passed on
    qsizetype m_needed = 0; // frameRequest() has nothing new to say below this many bytes
    bool m_started = false;
    bool m_processing = false;
    bool m_awaitingAnswer = false; // a request was passed on and its answer has not begun
    bool m_closing = false;
    bool m_passedAny = false; // a request has been passed on
    bool m_continued = false; // "100 Continue" sent for the request being read
    bool m_waitingForWrites = false; // too many replies unread: reading resumes once some are
    QTimer m_headerTimer;
    QTimer m_idleTimer;
};

// A JSON refusal with Connection: close, written straight to a socket; extraHeaders end in CR LF.
QByteArray refusalReply(int status, QByteArrayView extraHeaders = {});
// Sends what was written, then closes. Until the client closes too (at most two seconds) what it
// still sends is read and dropped, so that the close does not reset the connection and lose the
// reply on its way.
void closeAfterWriting(QTcpSocket* socket);

} // namespace Shortd
