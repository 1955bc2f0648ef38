// The terminal client's peak resident memory against a server that never stops sending: chunks
// without end, a body that never closes, interim replies without end. Each case runs nolvex-shorten
// on the protocol and on the API, with -j 4, and prints its peak (VmHWM, read every few milliseconds
// while it runs) beside the 64 MB it must stay under.
//
//   bench_endless [addresses]      default: 40
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>

namespace
{

constexpr qint64 ChunkBytes = qint64 {64} * 1024;
constexpr qint64 BoundKiB = qint64 {64} * 1024;
constexpr int PollMs = 5;

enum class Kind { Chunks, UntilClose, Interim };

// Answers every request with a head, then `filler` again whenever the last one has gone.
class EndlessServer final : public QTcpServer
{
public:
    explicit EndlessServer(Kind kind)
        : m_kind(kind)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

private:
    void answer(QTcpSocket* socket)
    {
        if (!socket->readAll().contains("\r\n\r\n") || socket->property("answered").toBool()) {
            return; // a request's head (a POST's small body comes with it), answered once
        }
        socket->setProperty("answered", true);
        QByteArray head;
        QByteArray filler;
        switch (m_kind) {
        case Kind::Chunks:
            head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
            filler = QByteArray::number(ChunkBytes, 16) + "\r\n" + QByteArray(ChunkBytes, ' ') + "\r\n";
            break;
        case Kind::UntilClose:
            head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
            filler = QByteArray(ChunkBytes, ' ');
            break;
        case Kind::Interim:
            filler = "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n";
            break;
        }
        socket->write(head + filler);
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, filler] {
            if (socket->bytesToWrite() == 0) {
                socket->write(filler);
            }
        });
    }

    Kind m_kind;
};

qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}

struct Run {
    qint64 peakKiB = 0;
    qint64 ms = 0;
    int exitCode = -1;
};

Run runClient(const QString& origin, bool api, int addresses)
{
    QStringList arguments {QStringLiteral("--shorten-host"), origin, QStringLiteral("-q"), QStringLiteral("-f"),
        QStringLiteral("tsv"), QStringLiteral("-j"), QStringLiteral("4"), QStringLiteral("--timeout"),
        QStringLiteral("10")};
    if (api) {
        arguments << QStringLiteral("--tag") << QStringLiteral("bench");
    }
    for (int i = 0; i < addresses; ++i) {
        arguments << QStringLiteral("https://bench.example/%1").arg(i);
    }
    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOLVEX_API_KEY"), QStringLiteral("nvx_bench0123456789"));
    client.setProcessEnvironment(environment);
    client.setStandardOutputFile(QProcess::nullDevice());
    client.setStandardErrorFile(QProcess::nullDevice());
    Run run;
    QTimer poll;
    QObject::connect(
        &poll, &QTimer::timeout, &client, [&] { run.peakKiB = std::max(run.peakKiB, peakKiB(client.processId())); });
    QElapsedTimer clock;
    clock.start();
    client.start(QStringLiteral(NOLVEX_SHORTEN_BINARY), arguments);
    poll.start(PollMs);
    QEventLoop loop;
    QObject::connect(&client, &QProcess::finished, &loop, &QEventLoop::quit);
    loop.exec();
    run.ms = clock.elapsed();
    run.exitCode = client.exitCode();
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const int addresses = argc > 1 ? QByteArray(argv[1]).toInt() : 40;
    const struct {
        Kind kind;
        const char* name;
    } cases[] {{Kind::Chunks, "chunks without end"}, {Kind::UntilClose, "a body that never closes"},
        {Kind::Interim, "interim replies without end"}};
    std::printf("nolvex-shorten against servers that never stop sending, %d addresses, -j 4\n", addresses);
    bool met = true;
    for (const auto& each : cases) {
        EndlessServer server(each.kind);
        if (!server.listen(QHostAddress::LocalHost)) {
            std::fprintf(stderr, "cannot listen\n");
            return 1;
        }
        const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
        for (const bool api : {false, true}) {
            const Run run = runClient(origin, api, addresses);
            met = met && run.peakKiB < BoundKiB;
            std::printf("%-30s %-8s peak RSS %7lld KiB (%.1f MB), %6lld ms, exit %d\n", each.name,
                api ? "API" : "protocol", static_cast<long long>(run.peakKiB),
                static_cast<double>(run.peakKiB) / 1024.0, static_cast<long long>(run.ms), run.exitCode);
        }
    }
    std::printf("peak RSS under 64 MB in every case: %s\n", met ? "met" : "NOT met");
    return 0;
}
