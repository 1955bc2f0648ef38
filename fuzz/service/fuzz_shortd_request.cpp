// Raw request bytes through the service's HTTP front end, as a connection would deliver them: the
// connection's framing pass, which reads each request once, HttpFrontEnd::serve, the routes, the shortener and
// the SQLite store, and the front end writing the reply. The connection is an in-memory socket, so no port is involved.
//
// What every reply must satisfy: a status line of HTTP/1.1 and three digits, never a 5xx other than
// 503 (malformed HTTP is dropped, not answered 500), header lines free of control characters, a
// redirect's Location a plain ASCII http(s) address, and a creation's a path on this service.
// NOLVEX_FUZZ_PRINT=1 prints every reply.
//
// The store holds an admin's key (AdminKey below), which the corpus's API requests send, so the
// API's calls past authentication are reached too. Each input comes from an address of its own,
// so the failed keys of earlier inputs never block the API for later ones.

#include "access/keys.h"
#include "config.h"
#include "http/accesslog.h"
#include "http/connection.h"
#include "http/framing.h"
#include "http/frontend.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "routes/routes.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"
#include "version.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{
// A connected socket whose peer has sent exactly the given bytes; what the server writes is kept.
class MemorySocket final : public QTcpSocket
{
public:
    MemorySocket(QByteArray input, const QHostAddress& peer)
        : m_input(std::move(input))
    {
        setSocketState(QAbstractSocket::ConnectedState);
        setPeerAddress(peer);
        setPeerPort(40000);
        setLocalAddress(QHostAddress(QHostAddress::LocalHost));
        setLocalPort(8420);
        setOpenMode(QIODevice::ReadWrite);
    }

    const QByteArray& written() const { return m_output; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return (m_input.size() - m_offset) + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return 0; }
    void disconnectFromHost() override
    {
        m_closed = true;
        setSocketState(QAbstractSocket::UnconnectedState);
        setOpenMode(QIODevice::NotOpen);
    }
    void close() override { disconnectFromHost(); }
    bool flush() { return true; }
    bool waitForBytesWritten(int = 30000) override { return true; }
    bool waitForReadyRead(int = 30000) override { return false; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 count = std::min<qint64>(maxSize, m_input.size() - m_offset);
        std::memcpy(data, m_input.constData() + m_offset, static_cast<size_t>(count));
        m_offset += count;
        return count;
    }
    qint64 readLineData(char* data, qint64 maxSize) override { return QIODevice::readLineData(data, maxSize); }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_closed) {
            return -1;
        }
        m_output.append(data, size);
        return size;
    }

private:
    QByteArray m_input;
    qint64 m_offset = 0;
    QByteArray m_output;
    bool m_closed = false;
};

struct Service {
    QTemporaryDir dir;
    std::unique_ptr<Shortd::SqlLinkStore> store;
    std::unique_ptr<Shortd::RateLimiter> rateLimiter;
    std::unique_ptr<Shortd::StorePool> pool;
    std::unique_ptr<Shortd::Shortener> shortener;
    std::unique_ptr<Shortd::Routes> routes;
    Shortd::AccessLog log;
    std::unique_ptr<Shortd::HttpFrontEnd> frontEnd;
};

Service* service = nullptr;

constexpr QByteArrayView AdminKey = "nvx_FuzzFuzzFuzzFuzzFuzzFuzzFuzzFuzzFuzzFuzzFuz";

[[noreturn]] void fail(const char* what, const QByteArray& output)
{
    std::fprintf(stderr, "fuzz_shortd_request: %s\n--- reply ---\n%s\n", what, output.left(4096).constData());
    std::abort();
}

// A redirect's Location leads off to an http(s) address; a created thing's is a path on this service.
void checkHeaderLine(QByteArrayView line, int status, const QByteArray& output)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            fail("control character in a header line", output);
        }
    }
    if (line.size() > 9 && line.first(9).compare("Location:", Qt::CaseInsensitive) == 0) {
        const QByteArrayView value = line.sliced(9).trimmed();
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= 0x20 || byte >= 0x7f) {
                fail("Location is not plain ASCII", output);
            }
        }
        if (status == 201) {
            if (!value.startsWith('/') || value.startsWith("//")) {
                fail("a creation's Location is not a path on this service", output);
            }
            return;
        }
        const QUrl target = QUrl::fromEncoded(value.toByteArray(), QUrl::StrictMode);
        if (!target.isValid() || (target.scheme() != u"http" && target.scheme() != u"https")
            || target.host().isEmpty()) {
            fail("Location is not an http(s) address with a host", output);
        }
    }
}

// Each reply in the output: a status line, header lines, and a body of Content-Length bytes. A reply
// to HEAD has GET's Content-Length and no body: where the input may hold a HEAD request, a reply
// may end at its headers when the next reply, or the end, follows at once.
void checkReplies(const QByteArray& output, bool mayHoldHead)
{
    qsizetype at = 0;
    while (at < output.size()) {
        const qsizetype headerEnd = output.indexOf("\r\n\r\n", at);
        if (headerEnd < 0) {
            fail("reply without the end of its headers", output);
        }
        // Up to and with the last header line's CR LF: every line ends in CR LF, the split leaves an
        // empty piece after the last one.
        QList<QByteArray> lines = output.sliced(at, headerEnd + 2 - at).split('\n');
        lines.removeLast();
        for (QByteArray& line : lines) {
            if (!line.endsWith('\r')) {
                fail("header line not ended by CR LF", output);
            }
            line.chop(1);
        }
        const QByteArray& statusLine = lines.constFirst();
        if (!statusLine.startsWith("HTTP/1.1 ") || statusLine.size() < 12) {
            fail("bad status line", output);
        }
        bool numeric = false;
        const int status = statusLine.mid(9, 3).toInt(&numeric);
        if (!numeric || status < 100 || status > 599) {
            fail("bad status code", output);
        }
        if (status >= 500 && status != 503) {
            fail("server error for a request", output);
        }
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArrayView line = lines.at(i);
            checkHeaderLine(line, status, output);
            if (line.size() > 15 && line.first(15).compare("Content-Length:", Qt::CaseInsensitive) == 0) {
                contentLength = line.sliced(15).trimmed().toByteArray().toLongLong();
            }
        }
        at = headerEnd + 4;
        const bool bodiless = at == output.size() || QByteArrayView(output).sliced(at).startsWith("HTTP/1.1 ");
        if (mayHoldHead && bodiless) {
            continue;
        }
        at += contentLength;
        if (at > output.size()) {
            fail("body shorter than its Content-Length", output);
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    service = new Service;
    if (!service->dir.isValid()) {
        std::abort();
    }
    Shortd::ServiceConfig config;
    config.dataDir = service->dir.path();
    config.releaseVersion = Nolvex::Protocol::CurrentVersion.toString();
    config.rateLimit = 0;
    config.accessLog = QStringLiteral("off");
    config.linkBases[2] = QUrl(QStringLiteral("https://s.example/x"));
    service->store = std::make_unique<Shortd::SqlLinkStore>(
        Shortd::DatabaseAddress::sqliteFile(QDir(service->dir.path()).filePath(QStringLiteral("links.sqlite"))));
    // One link with a known code, so that redirects and previews have something to find, and one
    // with a visit limit (too high to use up), whose bots get a page and whose button POSTs.
    const Shortd::StoredLink known {
        QStringLiteral("Fz2345"), 0, QStringLiteral("http://example.com/中文?q=\"><b>&x=a+b#frag"), 0, 0};
    Shortd::StoredLink limited {QStringLiteral("Fz2346"), 0, QStringLiteral("http://example.com/limited"), 0, 0};
    limited.maxVisits = 1'000'000'000;
    if (!service->store->open() || !service->log.open(config.accessLog)
        || service->store->insert(known).status != Shortd::StoreStatus::Ok
        || service->store->insert(limited).status != Shortd::StoreStatus::Ok || !Shortd::isKeyShaped(AdminKey)
        || service->store->createKey({QStringLiteral("fuzz"), static_cast<int>(Shortd::Role::Admin),
                                         Shortd::keyPrefix(AdminKey), Shortd::keyHash(AdminKey), 0, 0, 0, 0},
               QStringLiteral("shell:fuzz"))
            != Shortd::StoreStatus::Ok) {
        std::abort();
    }
    service->rateLimiter = std::make_unique<Shortd::RateLimiter>(config.rateLimit);
    // Store calls answered at once: each run's replies are all written before it ends.
    service->pool = std::make_unique<Shortd::StorePool>(*service->store);
    service->shortener = std::make_unique<Shortd::Shortener>(*service->pool);
    service->routes = std::make_unique<Shortd::Routes>(config, *service->shortener, *service->rateLimiter);
    service->frontEnd = std::make_unique<Shortd::HttpFrontEnd>(
        [routes = service->routes.get()](const Shortd::HttpRequest& request, qint64 nowMs,
            const Shortd::Respond& respond) { routes->handle(request, nowMs, respond); },
        service->log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static quint32 inputs = 0;
    const QHostAddress peer((10U << 24) | (++inputs & 0xffffffU));
    auto* socket
        = new MemorySocket(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), peer);
    QPointer<MemorySocket> alive(socket);
    // The service's own limits, but for the time limits: no input here waits for more bytes.
    // The edge's refusals worded as the service words them (problem+json under /api/).
    static const auto refusals = std::make_shared<const Shortd::RefusalReplies>(&Shortd::edgeRefusal);
    auto* connection = new Shortd::Connection(socket, Shortd::FrontEndLimits {}, {}, refusals);
    connection->setDispatch([frontEnd = service->frontEnd.get()](Shortd::ReadRequest&& read, Shortd::Connection* by) {
        frontEnd->serve(std::move(read), by);
    });
    connection->start();
    if (alive) {
        static const bool print = qEnvironmentVariableIsSet("NOLVEX_FUZZ_PRINT");
        if (print) {
            std::fprintf(stderr, "%s\n----\n", socket->written().constData());
        }
        checkReplies(socket->written(), QByteArrayView(data, static_cast<qsizetype>(size)).contains("HEAD"));
        socket->deleteLater();
    }
    // What a turn of the event loop would deliver: queued calls, then deferred deletions (outside
    // any loop those go only when asked for by type).
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
