#pragma once

#include "http/clientaddress.h"
#include "http/connection.h"
#include "http/frontend.h"
#include "http/limits.h"
#include "http/message.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace Shortd
{

class AccessLog;
class ConnectionGate;
class ConnectionLane;

// HTTP served on a number of event-loop threads. One gate, on the thread that makes this, accepts
// every connection, admits it by counts shared by all threads (so the total and the per-client
// share are exact), and hands it to the serving threads in turn, where it is read, framed and
// answered. With one thread there is no other: everything runs on the making thread, as the gate
// alone would. (One acceptor rather than a listener a thread: the counts stay exact without a
// race between listeners, and a port taken by another process is still an error.)
//
// The handler contract:
// - The factory is called on the making thread, once for each thread (0 to threads - 1), before
//   any connection is served; the handler it returns runs on that thread only, for the requests of
//   that thread's connections.
// - The Respond a handler is given may be called from ANY thread, exactly once. On the
//   connection's own thread the reply is written at once; from elsewhere it is queued to the
//   connection's thread and written there. A reply for a connection that has gone is dropped.
// - The access log and the request metrics hook are called on the connection's thread.
class HttpThreads final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpThreads)

public:
    using HandlerFactory = std::function<RequestHandler(int thread)>;

    HttpThreads(int threads, const FrontEndLimits& limits, const std::optional<QSslConfiguration>& tls,
        const HandlerFactory& handlers, AccessLog& log, const QList<Subnet>& trustedProxies = {},
        QObject* parent = nullptr);
    // Ends every connection and joins the threads.
    ~HttpThreads() override;

    int threadCount() const { return int(m_frontEnds.size()); }
    // The gate that accepts for all threads; listen on it (after the settings below).
    ConnectionGate* gate() const { return m_gate; }
    void setRefusalReplies(RefusalReplies replies);
    void setRequestMetrics(HttpFrontEnd::RouteLabeler labeler);
    // For a stop: every thread's answers close their connections once the client has sent no
    // more, and the gate stops accepting (see ConnectionGate::stopAccepting()).
    void stopAccepting();
    // Summed over the threads.
    int inFlight() const;
    int liveConnections() const;

private:
    ConnectionGate* m_gate; // with one thread owned by its front end, else by this
    QList<HttpFrontEnd*> m_frontEnds; // one a thread
    QList<ConnectionLane*> m_lanes; // one a serving thread; none with one thread
    QList<QThread*> m_threads; // none with one thread
};

} // namespace Shortd
