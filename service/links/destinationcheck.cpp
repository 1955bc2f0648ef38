#include "links/destinationcheck.h"

#include "version.h"

#include <QNetworkProxy>
#include <QSslSocket>
#include <QStringBuilder>
#include <QTcpSocket>
#include <array>
#include <vector>

namespace Shortd
{

namespace
{

struct GuardedRange {
    QHostAddress network;
    int prefix;
    QString name;
};

// In the order they are tried: the first range holding an address names why it is refused.
const std::vector<GuardedRange>& guardedRanges()
{
    static const std::vector<GuardedRange> ranges = [] {
        struct Row {
            const char* network;
            int prefix;
            const char* name;
        };
        static constexpr std::array Rows {
            Row {"0.0.0.0", 32, "unspecified"},
            Row {"0.0.0.0", 8, "this-network"},
            Row {"10.0.0.0", 8, "private"},
            Row {"100.64.0.0", 10, "shared"},
            Row {"127.0.0.0", 8, "loopback"},
            Row {"169.254.0.0", 16, "link-local"},
            Row {"172.16.0.0", 12, "private"},
            Row {"192.0.0.0", 24, "reserved"},
            Row {"192.0.2.0", 24, "documentation"},
            Row {"192.168.0.0", 16, "private"},
            Row {"198.18.0.0", 15, "benchmark"},
            Row {"198.51.100.0", 24, "documentation"},
            Row {"203.0.113.0", 24, "documentation"},
            Row {"224.0.0.0", 4, "multicast"},
            Row {"255.255.255.255", 32, "broadcast"},
            Row {"240.0.0.0", 4, "reserved"},
            Row {"::", 128, "unspecified"},
            Row {"::1", 128, "loopback"},
            Row {"::ffff:0:0", 96, "ipv4-mapped"},
            Row {"::", 96, "ipv4-compatible"},
            Row {"100::", 64, "reserved"},
            Row {"2001:db8::", 32, "documentation"},
            Row {"2001:2::", 48, "benchmark"},
            Row {"fc00::", 7, "unique-local"},
            Row {"fe80::", 10, "link-local"},
            Row {"fec0::", 10, "site-local"},
            Row {"ff00::", 8, "multicast"},
        };
        std::vector<GuardedRange> made;
        made.reserve(Rows.size());
        for (const Row& row : Rows) {
            made.push_back({QHostAddress(QString::fromLatin1(row.network)), row.prefix, QString::fromLatin1(row.name)});
        }
        return made;
    }();
    return ranges;
}

// The IPv4 address a NAT64 (64:ff9b::/96) or 6to4 (2002::/16) address carries, which is the one
// reached through it.
std::optional<QHostAddress> carriedIpv4(const QHostAddress& address)
{
    static const QHostAddress nat64(QStringLiteral("64:ff9b::"));
    static const QHostAddress sixToFour(QStringLiteral("2002::"));
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    const auto ipv4 = [&bytes](int from) {
        return QHostAddress((quint32(bytes[from]) << 24) | (quint32(bytes[from + 1]) << 16)
            | (quint32(bytes[from + 2]) << 8) | quint32(bytes[from + 3]));
    };
    if (address.isInSubnet(nat64, 96)) {
        return ipv4(12);
    }
    if (address.isInSubnet(sixToFour, 16)) {
        return ipv4(2);
    }
    return std::nullopt;
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where a status line and its headers end (after the blank line), tolerating bare line feeds.
qsizetype headEnd(const QByteArray& buffer)
{
    const qsizetype crlf = buffer.indexOf("\r\n\r\n");
    const qsizetype lf = buffer.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf)) {
        return crlf + 4;
    }
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace

AddressGuard::AddressGuard(bool allowPrivate)
    : m_allowPrivate(allowPrivate)
{
}

std::optional<QString> AddressGuard::refusal(const QHostAddress& address, quint16 port) const
{
    if (m_allowPrivate) {
        return std::nullopt;
    }
    for (const auto& [allowed, allowedPort] : m_testEndpoints) {
        if (allowed == address && allowedPort == port) {
            return std::nullopt;
        }
    }
    const QAbstractSocket::NetworkLayerProtocol protocol = address.protocol();
    if (protocol != QAbstractSocket::IPv4Protocol && protocol != QAbstractSocket::IPv6Protocol) {
        return QStringLiteral("invalid");
    }
    if (protocol == QAbstractSocket::IPv6Protocol) {
        if (const std::optional<QHostAddress> inside = carriedIpv4(address)) {
            return refusal(*inside, port);
        }
    }
    for (const GuardedRange& range : guardedRanges()) {
        if (address.isInSubnet(range.network, range.prefix)) {
            return range.name;
        }
    }
    return std::nullopt;
}

void AddressGuard::allowEndpointForTests(const QHostAddress& address, quint16 port)
{
    m_testEndpoints.append({address, port});
}

QString probeOutcomeName(ProbeOutcome outcome)
{
    switch (outcome) {
    case ProbeOutcome::Ok:
        return QStringLiteral("ok");
    case ProbeOutcome::Listed:
        return QStringLiteral("listed");
    case ProbeOutcome::RefusedAddress:
        return QStringLiteral("refused-address");
    case ProbeOutcome::NoSuchHost:
        return QStringLiteral("no-such-host");
    case ProbeOutcome::LookupFailed:
        return QStringLiteral("lookup-failed");
    case ProbeOutcome::Refused:
        return QStringLiteral("refused");
    case ProbeOutcome::Timeout:
        return QStringLiteral("timeout");
    case ProbeOutcome::Tls:
        return QStringLiteral("tls");
    case ProbeOutcome::HttpError:
        return QStringLiteral("http-error");
    case ProbeOutcome::TooManyRedirects:
        return QStringLiteral("too-many-redirects");
    case ProbeOutcome::Malformed:
        break;
    }
    return QStringLiteral("malformed");
}

bool ProbeAnswer::dead() const
{
    return outcome == ProbeOutcome::NoSuchHost || outcome == ProbeOutcome::Refused
        || (outcome == ProbeOutcome::HttpError && (status == 404 || status == 410));
}

DestinationProbe::DestinationProbe(const BlocklistSet& lists, AddressGuard guard, ProbeLimits limits, QObject* parent)
    : QObject(parent)
    , m_lists(lists)
    , m_guard(std::move(guard))
    , m_limits(limits)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &DestinationProbe::onDeadline);
}

DestinationProbe::~DestinationProbe()
{
    if (m_lookup >= 0) {
        QHostInfo::abortHostLookup(m_lookup);
    }
}

QString DestinationProbe::userAgent()
{
    return u"nolvex-shortd/" % Nolvex::Protocol::CurrentVersion % u" (destination check)";
}

void DestinationProbe::start(const QString& url)
{
    if (m_clock.isValid()) {
        return;
    }
    m_clock.start();
    m_deadline.start(m_limits.overall);
    visit(QUrl(url, QUrl::TolerantMode));
}

void DestinationProbe::visit(const QUrl& url)
{
    m_url = url.adjusted(QUrl::RemoveFragment);
    m_host.clear();
    m_addresses.clear();
    m_nextAddress = 0;
    m_buffer.clear();
    m_headDone = false;
    m_chunked = false;
    m_contentLength.reset();
    m_location.clear();
    m_answer.bodyBytes = 0;
    m_answer.status = 0;

    const QString shown = m_url.toString(QUrl::FullyEncoded);
    m_answer.hops.append({shown, 0});
    m_answer.finalUrl = shown;
    const QString scheme = m_url.scheme();
    if (!m_url.isValid() || (scheme != u"http" && scheme != u"https") || m_url.host().isEmpty()) {
        finish(ProbeOutcome::Malformed, QStringLiteral("not an http or https address"));
        return;
    }
    m_host = m_url.host(QUrl::FullyEncoded);
    m_port = quint16(m_url.port(scheme == u"https" ? 443 : 80));
    if (std::optional<BlocklistMatch> hit = m_lists.matchAddress(shown)) {
        m_answer.listed = std::move(hit);
        m_answer.listedHop = shown;
        finish(ProbeOutcome::Listed);
        return;
    }
    const QHostAddress literal(m_host);
    if (!literal.isNull()) {
        judge({literal});
        return;
    }
    m_lookup = QHostInfo::lookupHost(m_host, this, &DestinationProbe::resolved);
}

void DestinationProbe::resolved(const QHostInfo& info)
{
    m_lookup = -1;
    if (m_done) {
        return;
    }
    if (info.error() == QHostInfo::UnknownError) {
        // A resolver that is down must not make every destination look gone.
        finish(ProbeOutcome::LookupFailed, info.errorString());
        return;
    }
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        finish(ProbeOutcome::NoSuchHost, info.errorString());
        return;
    }
    judge(info.addresses());
}

void DestinationProbe::judge(const QList<QHostAddress>& addresses)
{
    // Every address is judged, not only the one tried first: the next hop or the next check may
    // be answered by another, and a name that mixes a public address with a private one is a trap.
    if (std::optional<BlocklistMatch> hit = m_lists.matchResolved(m_host, addresses)) {
        m_answer.listed = std::move(hit);
        m_answer.listedHop = m_answer.finalUrl;
        finish(ProbeOutcome::Listed);
        return;
    }
    for (const QHostAddress& address : addresses) {
        if (std::optional<QString> range = m_guard.refusal(address, m_port)) {
            m_answer.refusedAddress = address.toString();
            m_answer.refusedRange = *range;
            finish(ProbeOutcome::RefusedAddress);
            return;
        }
    }
    m_addresses = addresses;
    m_nextAddress = 0;
    connectNext();
}

void DestinationProbe::connectNext()
{
    if (m_nextAddress >= m_addresses.size()) {
        finish(ProbeOutcome::Refused, m_answer.detail);
        return;
    }
    const QHostAddress address = m_addresses.at(m_nextAddress);
    const bool tls = m_url.scheme() == u"https";
    m_socket = tls ? std::make_unique<QSslSocket>() : std::make_unique<QTcpSocket>();
    // A proxy would resolve the name itself, past the guard.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(m_limits.head + m_limits.body);
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &DestinationProbe::onReadable);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &DestinationProbe::onSocketError);
    connect(m_socket.get(), &QTcpSocket::disconnected, this, &DestinationProbe::onClosed);
    if (tls) {
        auto* ssl = static_cast<QSslSocket*>(m_socket.get());
        connect(ssl, &QSslSocket::encrypted, this, &DestinationProbe::onConnected);
        // The judged address is dialled; the certificate is verified against the host asked for.
        ssl->connectToHostEncrypted(address.toString(), m_port, m_host);
    } else {
        connect(m_socket.get(), &QTcpSocket::connected, this, &DestinationProbe::onConnected);
        m_socket->connectToHost(address, m_port);
    }
}

void DestinationProbe::onConnected()
{
    QString target = m_url.path(QUrl::FullyEncoded);
    if (target.isEmpty()) {
        target = QStringLiteral("/");
    }
    if (m_url.hasQuery()) {
        target += u'?' % m_url.query(QUrl::FullyEncoded);
    }
    const QString authority = m_url.authority(QUrl::FullyEncoded | QUrl::RemoveUserInfo);
    const QByteArray request = "GET " + target.toLatin1() + " HTTP/1.1\r\nHost: " + authority.toLatin1()
        + "\r\nUser-Agent: " + userAgent().toUtf8() + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    m_socket->setProperty("requested", true);
    m_socket->write(request);
}

void DestinationProbe::onReadable()
{
    if (!m_socket || m_done) {
        return;
    }
    QByteArray fresh;
    if (!m_headDone) {
        m_buffer += m_socket->read(std::max<qsizetype>(0, m_limits.head + m_limits.body - m_buffer.size()));
        if (!readHead()) {
            return;
        }
        fresh = std::exchange(m_buffer, {});
    } else {
        fresh = m_socket->read(std::max<qsizetype>(0, m_limits.body - m_answer.bodyBytes));
    }
    m_answer.bodyBytes = std::min(m_answer.bodyBytes + fresh.size(), m_limits.body);
    // Past the head, m_buffer keeps only the body's last bytes, to see a chunked body's end.
    m_buffer = QByteArray(m_buffer + fresh).right(5);
    const bool chunkedEnd = m_chunked && m_buffer.endsWith("0\r\n\r\n");
    if (m_answer.bodyBytes >= m_limits.body || chunkedEnd
        || (m_contentLength && m_answer.bodyBytes >= *m_contentLength)) {
        finishHop();
    }
}

// Reads the status line and headers from m_buffer, leaving the body's first bytes there. False
// while they are not all in, or when the answer ended the check.
bool DestinationProbe::readHead()
{
    for (;;) {
        const qsizetype end = headEnd(m_buffer);
        if (end < 0 || end > m_limits.head) {
            if (end > m_limits.head || m_buffer.size() > m_limits.head) {
                finish(ProbeOutcome::Malformed, QStringLiteral("the answer's headers are too long"));
            }
            return false;
        }
        const QList<QByteArray> lines = m_buffer.first(end).trimmed().split('\n');
        const QList<QByteArray> statusLine = lines.front().trimmed().split(' ');
        bool number = false;
        const int status = statusLine.size() >= 2 ? statusLine.at(1).toInt(&number) : 0;
        if (!statusLine.front().startsWith("HTTP/1.") || !number || status < 100 || status > 999) {
            finish(ProbeOutcome::Malformed, QStringLiteral("not an HTTP answer"));
            return false;
        }
        m_buffer.remove(0, end);
        if (status >= 100 && status < 200 && status != 101) {
            continue; // an interim answer; the real one follows
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                continue;
            }
            const QByteArray name = line.first(colon).trimmed().toLower();
            const QByteArray value = line.sliced(colon + 1).trimmed();
            if (name == "location") {
                m_location = value;
            } else if (name == "content-length") {
                bool ok = false;
                const qsizetype length = value.toLongLong(&ok);
                if (ok && length >= 0) {
                    m_contentLength = length;
                }
            } else if (name == "transfer-encoding") {
                m_chunked = value.toLower().contains("chunked");
            }
        }
        m_headDone = true;
        m_answer.status = status;
        m_answer.hops.last().status = status;
        if (isRedirect(status) || status == 101 || status == 204 || status == 304 || m_contentLength == 0) {
            finishHop();
            return false;
        }
        return true;
    }
}

void DestinationProbe::finishHop()
{
    const int status = m_answer.status;
    if (status == 101) {
        finish(ProbeOutcome::Malformed, QStringLiteral("the server switched protocols unasked"));
        return;
    }
    if (!isRedirect(status)) {
        finish(status >= 400 ? ProbeOutcome::HttpError : ProbeOutcome::Ok);
        return;
    }
    const QUrl next = m_url.resolved(QUrl(QString::fromUtf8(m_location), QUrl::TolerantMode));
    if (m_location.isEmpty() || !next.isValid()) {
        finish(ProbeOutcome::Malformed, QStringLiteral("a redirect without a usable Location"));
        return;
    }
    if (m_answer.hops.size() > m_limits.redirects) {
        finish(ProbeOutcome::TooManyRedirects);
        return;
    }
    dropSocket();
    visit(next);
}

void DestinationProbe::onSocketError()
{
    if (!m_socket || m_done) {
        return;
    }
    const QAbstractSocket::SocketError error = m_socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
        return;
    }
    m_answer.detail = m_socket->errorString();
    if (error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::SslInternalError
        || error == QAbstractSocket::SslInvalidUserDataError) {
        finish(ProbeOutcome::Tls, m_answer.detail);
        return;
    }
    if (m_socket->property("requested").toBool()) {
        // The connection was made and broke: the answer so far is all there is.
        onClosed();
        return;
    }
    dropSocket();
    ++m_nextAddress;
    connectNext();
}

void DestinationProbe::onClosed()
{
    if (!m_socket || m_done) {
        return;
    }
    onReadable();
    if (!m_socket || m_done) {
        return;
    }
    if (!m_headDone) {
        finish(ProbeOutcome::Malformed, QStringLiteral("the connection closed before an answer"));
        return;
    }
    finishHop();
}

void DestinationProbe::onDeadline()
{
    if (m_headDone && !m_done) {
        // Only a final answer's body is still coming: its status is known and decides.
        finishHop();
        return;
    }
    finish(ProbeOutcome::Timeout);
}

void DestinationProbe::dropSocket()
{
    if (!m_socket) {
        return;
    }
    m_socket->disconnect(this);
    m_socket->abort();
    // Possibly inside one of its own signals.
    m_socket.release()->deleteLater();
}

void DestinationProbe::finish(ProbeOutcome outcome, QString detail)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_deadline.stop();
    if (m_lookup >= 0) {
        QHostInfo::abortHostLookup(m_lookup);
        m_lookup = -1;
    }
    dropSocket();
    m_answer.outcome = outcome;
    if (!detail.isEmpty()) {
        m_answer.detail = std::move(detail);
    }
    m_answer.took = std::chrono::milliseconds(m_clock.elapsed());
    emit finished(m_answer);
}

} // namespace Shortd
