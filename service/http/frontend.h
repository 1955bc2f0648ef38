#pragma once

#include "http/clientaddress.h"
#include "http/message.h"

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

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    RequestHandler m_handler;
    AccessLog& m_log;
    QList<Subnet> m_trustedProxies;
    QElapsedTimer m_clock;
};

} // namespace Shortd
