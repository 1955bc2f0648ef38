#pragma once

#include "http/connection.h"
#include "http/limits.h"

#include <QElapsedTimer>
#include <QList>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <deque>
#include <memory>
#include <optional>

namespace Shortd
{

// The connections served on one thread: the gate hands each admitted connection to a lane, which
// makes its socket (and its TLS handshake) and serves it there.
class ConnectionLane final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionLane)

public:
    ConnectionLane(FrontEndLimits limits, std::optional<QSslConfiguration> tls,
        std::shared_ptr<ConnectionCounts> counts, QObject* parent = nullptr);
    ~ConnectionLane() override;

    // Set before the lane serves its first connection.
    void setDispatch(Dispatch dispatch) { m_dispatch = std::move(dispatch); }
    void setRefusalReplies(std::shared_ptr<const RefusalReplies> refusals) { m_refusals = std::move(refusals); }
    // On the lane's thread: serves an accepted descriptor whose place in the counts is taken.
    void adopt(qintptr descriptor);
    // On the lane's thread: see Connection::closeBetweenRequests().
    void closeBetweenRequests();
    // On the lane's thread: ends the connection idle the longest (of client, when given) so that a
    // newcomer can have its place; false when every one is in the middle of a request.
    bool evictIdlest(const QString& client);

private:
    FrontEndLimits m_limits;
    std::optional<QSslConfiguration> m_tls;
    std::shared_ptr<ConnectionCounts> m_counts;
    std::shared_ptr<const RefusalReplies> m_refusals;
    Dispatch m_dispatch;
};

// Accepts connections within the limits: a newcomer beyond maxConnections, or beyond
// maxConnectionsPerClient from its address, gets 503 with Retry-After and is closed (or, with
// replaceIdleWhenFull, takes the place of an idle connection). Each admitted connection is a
// Connection, which checks the framing of every request and keeps the time limits, served on this
// thread or, once lanes are set, on the lanes' threads in turn. The counts are exact whatever the
// threads: only the gate takes places. With a TLS configuration the handshake happens before HTTP
// starts.
class ConnectionGate final : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionGate)

public:
    ConnectionGate(FrontEndLimits limits, const std::optional<QSslConfiguration>& tls, QObject* parent = nullptr);
    ~ConnectionGate() override;

    int liveConnections() const;
    const std::shared_ptr<ConnectionCounts>& counts() const { return m_counts; }
    // Where the requests of connections served on this thread go; set before listening.
    void setDispatch(Dispatch dispatch);
    // Serves connections on these lanes, in turn, instead of on this thread; set before listening.
    // They share this gate's counts and outlive it. replaceIdleWhenFull is for a gate without lanes.
    void setLanes(QList<ConnectionLane*> lanes);
    // What a request refused before the handler sees it is answered; set before listening.
    void setRefusalReplies(RefusalReplies replies);
    // For a stop: takes in the connections the kernel already holds for it, stops listening, and
    // closes every connection between two requests (see Connection::closeBetweenRequests()). The
    // others end with their answers (the front end closes them).
    void stopAccepting();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Lingering {
        int descriptor;
        qint64 sinceMs;
    };
    void refuse(qintptr descriptor);
    bool makeRoom(const QString& client);
    void closeLingering(bool all);

    FrontEndLimits m_limits;
    std::shared_ptr<ConnectionCounts> m_counts;
    std::shared_ptr<const RefusalReplies> m_refusals;
    ConnectionLane* m_local; // serves on this thread while there are no lanes
    QList<ConnectionLane*> m_lanes;
    qsizetype m_nextLane = 0;
    QByteArray m_busy; // the answer to a newcomer over the limits
    bool m_tls = false;
    // Refused connections, answered and half-closed, until their clients have read the answer.
    std::deque<Lingering> m_lingering;
    QTimer m_lingerTimer;
    QElapsedTimer m_clock;
};

} // namespace Shortd
