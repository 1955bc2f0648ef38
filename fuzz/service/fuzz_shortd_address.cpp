// Address validation, alone and through the routes: the input is the address a client sends
// (UTF-8), signed the way the client signs it. An address the checks accept must come out as a
// short link whose redirect leads to a plain ASCII http(s) address off this service, and whose
// preview page shows it escaped; one they refuse must be refused by the route with the same status.

#include "links/addresspolicy.h"
#include "links/fields.h"
#include "links/ratelimiter.h"
#include "links/reports.h"
#include "links/shortener.h"
#include "protocol.h"
#include "routes/routes.h"
#include "store/linkstore.h"
#include "store/storepool.h"
#include "token.h"
#include "version.h"
#include "web/hostfacts.h"
#include "web/pages.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{
// Keeps links in memory; enough for the routes, and the fuzzer starts it afresh now and then.
class MemoryLinkStore final : public Shortd::Store, public Shortd::LinkStore
{
public:
    bool open() override { return true; }
    Shortd::LinkStore& links() override { return *this; }
    Shortd::LookupResult findByCode(const QString& code) override
    {
        const auto found = m_byCode.constFind(code);
        return found == m_byCode.cend() ? Shortd::LookupResult {}
                                        : Shortd::LookupResult {Shortd::StoreStatus::Ok, *found};
    }
    Shortd::InsertResult insert(const Shortd::StoredLink& link) override
    {
        const QString key = QString::number(link.type) % u':' % link.target;
        if (const auto held = m_byTarget.constFind(key); held != m_byTarget.cend()) {
            return {Shortd::StoreStatus::TargetTaken, m_byCode.value(*held)};
        }
        if (m_byCode.contains(link.code)) {
            return {Shortd::StoreStatus::CodeTaken, {}};
        }
        m_byCode.insert(link.code, link);
        m_byTarget.insert(key, link.code);
        return {Shortd::StoreStatus::Ok, {}};
    }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }
    qsizetype size() const { return m_byCode.size(); }

private:
    QHash<QString, Shortd::StoredLink> m_byCode;
    QHash<QString, QString> m_byTarget;
};

struct Service {
    MemoryLinkStore store;
    Shortd::RateLimiter rateLimiter {0};
    Shortd::StorePool pool {store}; // every call answered before it returns
    Shortd::Shortener shortener {pool};
    std::unique_ptr<Shortd::Routes> routes;
};

std::unique_ptr<Service> service;
Shortd::ServiceConfig config;

const QList<QUrl>& ownBases()
{
    static const QList<QUrl> bases = service->routes->ownBases("127.0.0.1:8420");
    return bases;
}

void startService()
{
    service = std::make_unique<Service>();
    service->routes = std::make_unique<Shortd::Routes>(config, service->shortener, service->rateLimiter);
}

[[noreturn]] void fail(const char* what, const QString& address, const QByteArray& detail = {})
{
    std::fprintf(stderr, "fuzz_shortd_address: %s\naddress: %s\n%s\n", what,
        address.toUtf8().toPercentEncoding().constData(), detail.left(4096).constData());
    std::abort();
}

bool isPlainAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

Shortd::HttpReply get(const QByteArray& path, const QByteArray& query = {})
{
    Shortd::HttpRequest request;
    request.method = Shortd::Method::Get;
    request.path = QString::fromLatin1(path);
    request.query = query;
    request.host = "127.0.0.1:8420";
    request.client = QStringLiteral("127.0.0.1");
    Shortd::HttpReply answer;
    service->routes->handle(request, 0, [&answer](Shortd::HttpReply reply) { answer = std::move(reply); });
    return answer;
}

// Counts of the characters that make markup: an escaped address adds none of them to a page.
std::array<qsizetype, 4> markup(const QByteArray& page)
{
    return {page.count('<'), page.count('>'), page.count('"'), page.count('\'')};
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    config.releaseVersion = Nolvex::Protocol::CurrentVersion.toString();
    config.rateLimit = 0;
    config.linkBases[2] = QUrl(QStringLiteral("https://s.example/x"));
    startService();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const int type = data[0] % Shortd::LinkTypeCount;
    const QString address
        = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    const Shortd::AddressProblem problem = Shortd::checkAddress(address, ownBases(), config.port);
    if (problem == Shortd::AddressProblem::None) {
        if (address.size() > Shortd::MaximumAddressLength) {
            fail("an over-long address passed", address);
        }
        const QByteArray location = Shortd::locationHeader(address);
        if (!isPlainAscii(location)) {
            fail("Location is not plain ASCII", address, location);
        }
        const QUrl leadsTo = QUrl::fromEncoded(location, QUrl::StrictMode);
        if (!leadsTo.isValid() || (leadsTo.scheme() != u"http" && leadsTo.scheme() != u"https")
            || leadsTo.host().isEmpty()) {
            fail("Location is not an http(s) address with a host", address, location);
        }
        for (const QUrl& base : ownBases()) {
            if (Shortd::isUnderBase(leadsTo, base)) {
                fail("Location leads back to this service", address, location);
            }
        }
    }

    using namespace Nolvex::Protocol;
    const QByteArray query = TypeKey.toLatin1() + '=' + QByteArray::number(type) + '&' + UrlKey.toLatin1() + '='
        + QUrl::toPercentEncoding(address) + '&' + TokenKey.toLatin1() + '=' + Nolvex::requestToken(address).toLatin1();
    const Shortd::HttpReply created = get(ShortenPath.toLatin1(), query);
    const int expected = address.size() > Shortd::MaximumAddressLength ? 414
        : problem != Shortd::AddressProblem::None                      ? 400
                                                                       : 200;
    if (created.status != expected) {
        fail("the route's status differs from the address check", address, created.body);
    }
    const QJsonObject reply = QJsonDocument::fromJson(created.body).object();
    if (expected != 200) {
        if (reply.value(Nolvex::Protocol::ResultMember.toString()).toInt(-1) != 0) {
            fail("a refusal without result 0", address, created.body);
        }
        return 0;
    }
    const QString link = reply.value(Nolvex::Protocol::InfoMember.toString()).toString();
    const QString code = link.section(u'/', -1);
    if (reply.value(Nolvex::Protocol::ResultMember.toString()).toInt() != 1
        || !link.startsWith(QStringLiteral("http"))) {
        fail("no short link for an accepted address", address, created.body);
    }

    const Shortd::HttpReply followed = get('/' + code.toLatin1());
    const auto locationOf = [](const Shortd::HttpReply& r) {
        for (const auto& [name, value] : r.headers) {
            if (name == "Location") {
                return value;
            }
        }
        return QByteArray();
    };
    if (followed.status != 302 || locationOf(followed) != Shortd::locationHeader(address)) {
        fail("the short link does not redirect to the address", address, locationOf(followed));
    }

    const Shortd::HttpReply preview = get('/' + code.toLatin1() + '+');
    // The page of a plain address, with the host lines this address earns (a Unicode form, its
    // warnings) in place of the plain one's, each text in them replaced by a harmless one: all the
    // markup the page may hold. Anything more came from the address.
    const QString qr = code + QStringLiteral(".svg");
    // The page ends with the link's report form, whose texts carry no markup in any language.
    QStringList reasons;
    for (qsizetype i = 0; i < Shortd::reportReasons().size(); ++i) {
        reasons.append(QStringLiteral("r"));
    }
    const QString form = Shortd::reportForm(
        {QStringLiteral("h"), QStringLiteral("r"), reasons, QStringLiteral("t"), QStringLiteral("s")}, code);
    const QByteArray plain
        = Shortd::previewPage(link, QStringLiteral("http://example.com/"), "http://example.com/", 0, 0, qr, form);
    Shortd::HostFacts earned = Shortd::inspectHost(address, locationOf(followed));
    earned.unicode = earned.unicode == earned.ascii ? QStringLiteral("a") : QStringLiteral("b");
    earned.ascii = QStringLiteral("a");
    earned.userInfo = earned.userInfo.isEmpty() ? QString() : QStringLiteral("u");
    const QByteArray earnedLines = Shortd::hostLines(earned).toUtf8();
    const QByteArray plainLines
        = Shortd::hostLines(Shortd::inspectHost(QStringLiteral("http://example.com/"), "http://example.com/")).toUtf8();
    std::array<qsizetype, 4> allowed = markup(plain);
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        allowed[i] += markup(earnedLines)[i] - markup(plainLines)[i];
    }
    if (preview.status != 200 || markup(preview.body) != allowed) {
        fail("the preview page lets markup of the address through", address, preview.body);
    }

    if (service->store.size() > 20'000) {
        startService();
    }
    return 0;
}
