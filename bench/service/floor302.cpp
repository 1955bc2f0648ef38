// Answers every request with "302 Found" and one Location, keep-alive, over the service's own
// transport (HttpThreads): the redirect with nothing of the routes, the floor of the service.
//
//   nolvex-shortd-floor302 <port> <location> [threads]      default: 1 thread
#include "http/accesslog.h"
#include "http/connectiongate.h"
#include "http/httpthreads.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <port> <location> [threads]\n", argv[0]);
        return 2;
    }
    const QByteArray location = argv[2];
    Shortd::AccessLog log;
    Shortd::FrontEndLimits limits;
    limits.maxConnectionsPerClient = limits.maxConnections;
    Shortd::HttpThreads http(
        argc > 3 ? std::atoi(argv[3]) : 1, limits, std::nullopt,
        [&location](int) -> Shortd::RequestHandler {
            return [&location](const Shortd::HttpRequest&, qint64, const Shortd::Respond& respond) {
                Shortd::HttpReply reply {302, {}, {}, {}};
                reply.addHeader("Location", location);
                respond(std::move(reply));
            };
        },
        log);
    if (!http.gate()->listen(QHostAddress::LocalHost, static_cast<quint16>(std::atoi(argv[1])))) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(http.gate()->errorString()));
        return 1;
    }
    return QCoreApplication::exec();
}
