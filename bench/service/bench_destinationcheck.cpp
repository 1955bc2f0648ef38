// nolvex-shortd-benchdestinationcheck [PROBES [HOST]]
//     Checks a local server's address PROBES times (1,000 by default), one after another, and
//     prints what one check costs: wall time (mean, median, 99th percentile) and the process's CPU
//     time per check. The server answers a 200 with a small page and closes, so the figure is the
//     probe's own work: the guard, the lists, a connection, one GET, and a name lookup when HOST
//     is a name (`localhost`) rather than 127.0.0.1.

#include "links/destinationcheck.h"
#include "links/publicsuffix.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace Shortd;

namespace
{
double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int probes = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 1000;

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    int answered = 0;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &answered] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &answered] {
                if (socket->readAll().contains("\r\n\r\n")) {
                    ++answered;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nhello, world");
                    socket->disconnectFromHost();
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });

    const BlocklistSet lists(PublicSuffixList::fromText("com\n"));
    const QString host = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("127.0.0.1");
    const QString url = QStringLiteral("http://%1:%2/page?id=1").arg(host).arg(server.serverPort());
    std::vector<double> wall;
    wall.reserve(size_t(probes));
    int failed = 0;
    const double cpuStart = cpuSeconds();
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < probes; ++i) {
        DestinationProbe probe(lists, AddressGuard(true));
        QEventLoop loop;
        bool ok = false;
        QObject::connect(&probe, &DestinationProbe::finished, &loop, [&](const ProbeAnswer& answer) {
            ok = answer.outcome == ProbeOutcome::Ok;
            loop.quit();
        });
        QElapsedTimer one;
        one.start();
        probe.start(url);
        loop.exec();
        wall.push_back(double(one.nsecsElapsed()) / 1e6);
        failed += ok ? 0 : 1;
    }
    const double seconds = double(total.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuStart;
    std::sort(wall.begin(), wall.end());
    double sum = 0;
    for (const double ms : wall) {
        sum += ms;
    }
    std::printf("probes: %d (%d not ok, %d answered) in %.2f s\n", probes, failed, answered, seconds);
    std::printf("wall per probe: mean %.3f ms, median %.3f ms, p99 %.3f ms\n", sum / probes, wall[wall.size() / 2],
        wall[std::min(wall.size() - 1, wall.size() * 99 / 100)]);
    std::printf("CPU per probe (probe and server together): %.3f ms\n", cpu * 1e3 / probes);
    return failed == 0 ? 0 : 1;
}
