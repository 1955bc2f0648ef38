#pragma once

#include "http/clientaddress.h"
#include "http/message.h"
#include "metrics/servicemetrics.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>

namespace Shortd
{

class AccessLog;

// Hands every request to its handler (the routes) and writes what they answer.
class HttpFrontEnd final : public QAbstractHttpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpFrontEnd)

public:
    HttpFrontEnd(RequestHandler handler, AccessLog& log, QList<Subnet> trustedProxies = {}, QObject* parent = nullptr);
    ~HttpFrontEnd() override;

    // Counts every answered request by the route labeler's answer, and times redirects and
    // creations. Off (null) by default: then a request costs nothing more.
    using RouteLabeler = Metrics::Route (*)(QStringView path, bool post);
    void setRequestMetrics(RouteLabeler labeler) { m_labeler = labeler; }
    // While the service stops: the answer to a connection's last request closes it, so a client
    // learns not to send on before the connection goes.
    void setClosing(bool closing) { m_closing = closing; }
    // Requests handed to the handler and not yet answered.
    int inFlight() const { return m_inFlight; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    RequestHandler m_handler;
    AccessLog& m_log;
    QList<Subnet> m_trustedProxies;
    QElapsedTimer m_clock;
    RouteLabeler m_labeler = nullptr;
    bool m_closing = false;
    int m_inFlight = 0;
};

} // namespace Shortd
