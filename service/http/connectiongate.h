#pragma once

#include "http/connection.h"
#include "http/limits.h"

#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <deque>
#include <memory>
#include <optional>

namespace Shortd
{

// Accepts connections for the HTTP server within the limits: a newcomer beyond maxConnections, or
// beyond maxConnectionsPerClient from its address, gets 503 with Retry-After and is closed (or,
// with replaceIdleWhenFull, takes the place of an idle connection). Each
// admitted connection is a Connection, which checks the framing of every request and keeps the
// time limits. With a TLS configuration the handshake happens here, before HTTP starts.
class ConnectionGate final : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionGate)

public:
    ConnectionGate(FrontEndLimits limits, std::optional<QSslConfiguration> tls, QObject* parent = nullptr);
    ~ConnectionGate() override;

    int liveConnections() const;
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
    // With replaceIdleWhenFull: ends the connection idle the longest (of client, when given) so
    // that a newcomer can have its place; false when every one is in the middle of a request.
    bool makeRoom(const QString& client);
    void closeLingering(bool all);

    FrontEndLimits m_limits;
    std::optional<QSslConfiguration> m_tls;
    std::shared_ptr<ConnectionCounts> m_counts;
    std::shared_ptr<const RefusalReplies> m_refusals;
    QByteArray m_busy; // the answer to a newcomer over the limits
    // Refused connections, answered and half-closed, until their clients have read the answer.
    std::deque<Lingering> m_lingering;
    QTimer m_lingerTimer;
    QElapsedTimer m_clock;
};

} // namespace Shortd
