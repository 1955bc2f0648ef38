#include "http/httpthreads.h"

#include "http/connectiongate.h"
#include "http/framing.h"

#include <QThread>

namespace Shortd
{

HttpThreads::HttpThreads(int threads, const FrontEndLimits& limits, const std::optional<QSslConfiguration>& tls,
    const HandlerFactory& handlers, AccessLog& log, const QList<Subnet>& trustedProxies, QObject* parent)
    : QObject(parent)
    , m_gate(new ConnectionGate(limits, tls))
{
    if (threads <= 1) {
        m_frontEnds.append(new HttpFrontEnd(handlers(0), log, trustedProxies));
        m_frontEnds.front()->bind(m_gate);
        return;
    }
    // This thread only accepts and hands on; every other serves.
    m_gate->setParent(this);
    for (int i = 0; i < threads; ++i) {
        auto* thread = new QThread;
        thread->setObjectName(QStringLiteral("http-%1").arg(i));
        auto* frontEnd = new HttpFrontEnd(handlers(i), log, trustedProxies);
        auto* lane = new ConnectionLane(limits, tls, m_gate->counts());
        lane->setDispatch(
            [frontEnd](ReadRequest&& read, Connection* connection) { frontEnd->serve(std::move(read), connection); });
        frontEnd->moveToThread(thread);
        lane->moveToThread(thread);
        m_frontEnds.append(frontEnd);
        m_lanes.append(lane);
        m_threads.append(thread);
    }
    m_gate->setLanes(m_lanes);
    for (QThread* thread : std::as_const(m_threads)) {
        thread->start();
    }
}

HttpThreads::~HttpThreads()
{
    if (m_threads.isEmpty()) {
        delete m_frontEnds.front(); // and the gate with it
        return;
    }
    delete m_gate;
    for (qsizetype i = 0; i < m_threads.size(); ++i) {
        QThread* thread = m_threads.at(i);
        ConnectionLane* lane = m_lanes.at(i);
        HttpFrontEnd* frontEnd = m_frontEnds.at(i);
        // A thread's sockets, timers and front end live on it and end there.
        QMetaObject::invokeMethod(
            lane,
            [lane, frontEnd] {
                delete lane;
                delete frontEnd;
            },
            Qt::BlockingQueuedConnection);
        thread->quit();
        thread->wait();
        delete thread;
    }
}

void HttpThreads::setRefusalReplies(RefusalReplies replies)
{
    m_gate->setRefusalReplies(std::move(replies));
}

void HttpThreads::setRequestMetrics(HttpFrontEnd::RouteLabeler labeler)
{
    for (HttpFrontEnd* frontEnd : std::as_const(m_frontEnds)) {
        frontEnd->setRequestMetrics(labeler);
    }
}

void HttpThreads::stopAccepting()
{
    for (HttpFrontEnd* frontEnd : std::as_const(m_frontEnds)) {
        frontEnd->setClosing(true);
    }
    m_gate->stopAccepting();
}

int HttpThreads::inFlight() const
{
    int sum = 0;
    for (const HttpFrontEnd* frontEnd : std::as_const(m_frontEnds)) {
        sum += frontEnd->inFlight();
    }
    return sum;
}

int HttpThreads::liveConnections() const
{
    return m_gate->liveConnections();
}

} // namespace Shortd
