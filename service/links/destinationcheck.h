#pragma once

#include "links/blocklist.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

class QTcpSocket;

namespace Shortd
{

// Whether the service may contact an address on a link owner's behalf. A destination is anyone's
// to choose, so without this a check would let them reach the service's own machine, its
// network and the cloud's metadata address. Refused: private, loopback, link-local, shared
// (carrier NAT), multicast, unique-local, site-local, unspecified, "this network", broadcast and
// the reserved block, the documentation and benchmark ranges (nothing public answers there), and
// every IPv4 address written inside IPv6 as mapped (::ffff:a.b.c.d) or compatible (::a.b.c.d):
// no honest name resolves to one, and a socket that connects to one reaches the IPv4 inside on
// one machine and not on another, so they are refused outright rather than judged by what they
// hold. NAT64 (64:ff9b::/96) and 6to4 (2002::/16) addresses are judged by the IPv4 they carry.
class AddressGuard
{
public:
    explicit AddressGuard(bool allowPrivate = false);

    // The name of the range that keeps address from being contacted (e.g. "loopback"); none when
    // it may be. port matters only to the endpoints a test let through.
    std::optional<QString> refusal(const QHostAddress& address, quint16 port = 0) const;
    bool allowsPrivate() const { return m_allowPrivate; }

    // For tests alone, which have only loopback servers: lets exactly this address and port
    // through, so one local server can stand for a public one while another stays private.
    // No option reaches it.
    void allowEndpointForTests(const QHostAddress& address, quint16 port);

private:
    bool m_allowPrivate;
    QList<std::pair<QHostAddress, quint16>> m_testEndpoints;
};

// What one check of a destination met, as the log, the metrics and the link's record name it.
enum class ProbeOutcome : quint8 {
    Ok, // a final answer below 400
    Listed, // a hop's address, host or resolved address is on a list
    RefusedAddress, // a hop's host is or resolves to an address the guard refuses
    NoSuchHost, // the name servers say the name does not exist
    LookupFailed, // the lookup itself failed (no answer from the name servers): says nothing of the link
    Refused, // no connection could be made
    Timeout,
    Tls, // the handshake failed or the certificate is not the host's
    HttpError, // a final answer of 400 or above
    TooManyRedirects,
    Malformed, // not an http(s) address, a redirect without a usable Location, no HTTP answer
};

// "ok", "listed", "refused-address", … : the outcome's name for the store, the API and metrics.
QString probeOutcomeName(ProbeOutcome outcome);

struct ProbeHop {
    QString url;
    int status = 0; // 0 when the hop gave no answer
};

// One check's answer.
struct ProbeAnswer {
    ProbeOutcome outcome = ProbeOutcome::Malformed;
    int status = 0; // the last answer's status; 0 when none came
    QString finalUrl; // the last hop's address
    QList<ProbeHop> hops;
    std::chrono::milliseconds took {0};
    std::optional<BlocklistMatch> listed; // with Listed: the list and its entry; the hop is listedHop
    QString listedHop;
    QString refusedAddress; // with RefusedAddress: the address, and the range that refused it
    QString refusedRange;
    qsizetype bodyBytes = 0; // of the last answer's body, as read (raw, at most the limit)
    QString detail; // what was met, for the log (a socket's or TLS error, the fault in an answer)

    // What counts toward a destination being gone for good: no such host, no connection, 404, 410.
    bool dead() const;
};

struct ProbeLimits {
    std::chrono::milliseconds overall {10'000}; // the whole check: every lookup, connection and hop
    int redirects = 10;
    qsizetype body = qsizetype {64} * 1024;
    qsizetype head = qsizetype {16} * 1024; // a status line and headers longer than this are malformed
};

// Checks one destination: resolves each hop's host once, judges every address it resolved to by
// the guard and the lists, then connects to the address it judged (never resolving again, so a
// name that answers differently the second time cannot slip past), sends one GET and follows
// redirects. Answers finished exactly once, possibly before start returns (an address refused as
// written); start it once.
class DestinationProbe final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DestinationProbe)

public:
    // lists must outlive the probe.
    DestinationProbe(const BlocklistSet& lists, AddressGuard guard, ProbeLimits limits = {}, QObject* parent = nullptr);
    ~DestinationProbe() override;

    void start(const QString& url);
    // The User-Agent every check sends: the service and its version.
    static QString userAgent();

signals:
    void finished(const Shortd::ProbeAnswer& answer);

private:
    void visit(const QUrl& url);
    void resolved(const QHostInfo& info);
    void judge(const QList<QHostAddress>& addresses);
    void connectNext();
    void onConnected();
    void onReadable();
    void onSocketError();
    void onClosed();
    bool readHead();
    void headComplete();
    void finishHop();
    void onDeadline();
    void dropSocket();
    void finish(ProbeOutcome outcome, QString detail = {});

    const BlocklistSet& m_lists;
    const AddressGuard m_guard;
    const ProbeLimits m_limits;
    ProbeAnswer m_answer;
    QElapsedTimer m_clock;
    QTimer m_deadline;
    bool m_done = false;

    // The hop under way.
    QUrl m_url;
    QString m_host; // in ASCII form, as looked up and sent
    quint16 m_port = 0;
    int m_lookup = -1;
    QList<QHostAddress> m_addresses; // judged, in the order to try
    qsizetype m_nextAddress = 0;
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
    bool m_headDone = false;
    bool m_chunked = false;
    std::optional<qsizetype> m_contentLength;
    QByteArray m_location;
};

} // namespace Shortd
