#pragma once

#include "http/clientaddress.h"
#include "http/message.h"
#include "metrics/servicemetrics.h"

#include <QElapsedTimer>
#include <QObject>
#include <atomic>
#include <memory>

namespace Shortd
{

class AccessLog;
class Connection;
class ConnectionGate;
struct ReadRequest;

// Hands every request of its connections to its handler (the routes) and writes what they answer:
// status line, header fields, length, the body but to HEAD, and Connection: close when the
// connection ends with it. One serves the connections of one thread.
//
// The handler runs on the front end's thread. The Respond it is given may be called from any
// thread, once: called elsewhere, the reply is taken to the front end's thread (queued) and
// written there. A reply that comes after the connection or the front end is gone is dropped.
class HttpFrontEnd final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpFrontEnd)

public:
    HttpFrontEnd(RequestHandler handler, AccessLog& log, QList<Subnet> trustedProxies = {}, QObject* parent = nullptr);
    ~HttpFrontEnd() override;

    // Serves the connections gate admits, on this thread; the gate becomes a child of this.
    void bind(ConnectionGate* gate);
    // Takes one request of a connection on this thread.
    void serve(ReadRequest&& read, Connection* connection);

    // Counts every answered request by the route labeler's answer, and times redirects and
    // creations. Off (null) by default: then a request costs nothing more.
    using RouteLabeler = Metrics::Route (*)(QStringView path, bool post);
    void setRequestMetrics(RouteLabeler labeler) { m_labeler = labeler; }
    // While the service stops: the answer to a connection's last request closes it, so a client
    // learns not to send on before the connection goes.
    void setClosing(bool closing) { m_closing = closing; }
    // Requests handed to the handler and not yet answered.
    int inFlight() const { return m_inFlight; }

private:
    struct Pending;
    struct Mailbox;
    void finish(const Pending& pending, const HttpReply& reply);

    RequestHandler m_handler;
    AccessLog& m_log;
    QList<Subnet> m_trustedProxies;
    QElapsedTimer m_clock;
    std::atomic<RouteLabeler> m_labeler = nullptr;
    std::atomic<bool> m_closing = false;
    std::atomic<int> m_inFlight = 0;
    std::shared_ptr<Mailbox> m_mailbox;
};

} // namespace Shortd
