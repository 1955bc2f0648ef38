#include "expand.h"

#include "displaytext.h"
#include "settings.h"
#include "webclient.h"

namespace Nolvex::Cli
{
namespace
{

constexpr int MethodNotAllowed = 405;
constexpr int NotImplemented = 501;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

QString shown(const QUrl& address)
{
    return address.toDisplayString();
}

} // namespace

Expander::Expander(WebClient& web, std::chrono::milliseconds timeout, Print print, QObject* parent)
    : QObject(parent)
    , m_web(web)
    , m_timeout(timeout)
    // Every hop is the word of some server, a Location most of all: nothing in it reaches the
    // terminal as a control, an escape sequence or a reordering mark.
    , m_print([print = std::move(print)](const QString& line) { print(forTerminal(line)); })
{
}

void Expander::start(const QStringList& links)
{
    m_links = links;
    m_next = 0;
    next();
}

void Expander::next()
{
    if (m_next >= m_links.size()) {
        emit finished();
        return;
    }
    const QString link = m_links[m_next++];
    if (m_next > 1) {
        m_print(QString());
    }
    m_redirects = 0;
    const std::optional<QUrl> address = webAddress(link);
    if (!address) {
        m_print(link);
        fail(tr("not an http or https address"));
        return;
    }
    request(*address, true);
}

void Expander::request(const QUrl& address, bool head)
{
    if (address.scheme() == QLatin1StringView("http") && !isLoopbackHost(address.host())) {
        // The client speaks plain http to this machine only; the hop is named, not visited.
        m_print(QStringLiteral("      ") + shown(address));
        m_print(QStringLiteral("      ") + tr("(not followed: plain http to another machine)"));
        QMetaObject::invokeMethod(this, &Expander::next, Qt::QueuedConnection);
        return;
    }
    const QString text = address.toString(QUrl::FullyEncoded);
    WebReply* reply = head ? m_web.HttpHead(text, m_timeout) : m_web.HttpGetHeaders(text, m_timeout);
    connect(reply, &WebReply::finished, this,
        [this, address, head](const WebResult& result) { onResult(address, head, result); });
}

void Expander::onResult(const QUrl& address, bool head, const WebResult& result)
{
    if (result.status != WebResult::Status::Ok) {
        m_print(QStringLiteral("  ?   ") + shown(address));
        fail(result.status == WebResult::Status::TimedOut ? tr("no answer in time") : tr("cannot connect"));
        return;
    }
    if (head && (result.httpStatus == MethodNotAllowed || result.httpStatus == NotImplemented)) {
        request(address, false);
        return;
    }
    m_print(QStringLiteral("%1  ").arg(result.httpStatus, 3) + shown(address));
    if (!isRedirect(result.httpStatus)) {
        QMetaObject::invokeMethod(this, &Expander::next, Qt::QueuedConnection);
        return;
    }
    const QByteArray location = result.header("Location");
    if (location.isEmpty()) {
        fail(tr("a redirect without a Location"));
        return;
    }
    const QUrl target = address.resolved(QUrl::fromEncoded(location.trimmed()));
    if (target.scheme() != QLatin1StringView("http") && target.scheme() != QLatin1StringView("https")) {
        m_print(QStringLiteral("      ") + target.toDisplayString());
        m_print(QStringLiteral("      ") + tr("(stops here: not an http or https address)"));
        QMetaObject::invokeMethod(this, &Expander::next, Qt::QueuedConnection);
        return;
    }
    if (++m_redirects > MaxRedirects) {
        m_print(QStringLiteral("      ") + shown(target));
        fail(tr("more than %1 redirects").arg(MaxRedirects));
        return;
    }
    request(target, true);
}

void Expander::fail(const QString& why)
{
    m_anyFailed = true;
    m_print(QStringLiteral("      ") + tr("(failed: %1)").arg(why));
    QMetaObject::invokeMethod(this, &Expander::next, Qt::QueuedConnection);
}

} // namespace Nolvex::Cli
