#include "webclient.h"

#include "formbody.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QUrl>

namespace Nolvex
{
namespace
{

// A reply counts when the server answered with a status line, whatever the status: error pages
// are read like any other reply. Failures below HTTP (connection, TLS, redirects, a garbled
// reply) do not.
bool isHttpLevelError(QNetworkReply::NetworkError error)
{
    const int code = error;
    return code == QNetworkReply::ProtocolInvalidOperationError
        || (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError)
        || (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}

constexpr int FirstFinalStatus = 200;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A redirect the client follows: on the same host, in the same scheme or from http up to https. A
// request's address and token go nowhere else, and never back down to plain http.
} // namespace

bool staysHome(const QUrl& from, const QUrl& to)
{
    if (to.host().compare(from.host(), Qt::CaseInsensitive) != 0 || to.host().isEmpty()) {
        return false;
    }
    const QString https = QStringLiteral("https");
    return to.scheme() == from.scheme() || (from.scheme() == QLatin1StringView("http") && to.scheme() == https);
}

QString decodeBody(const QByteArray& body, const QByteArray& contentType, bool* ok)
{
    QByteArray charset = "UTF-8";
    for (const QByteArray& part : contentType.split(';')) {
        const QByteArray trimmed = part.trimmed();
        if (trimmed.toLower().startsWith("charset=")) {
            charset = trimmed.mid(8).trimmed();
            if (charset.size() >= 2 && charset.startsWith('"') && charset.endsWith('"')) {
                charset = charset.mid(1, charset.size() - 2);
            }
        }
    }
    QStringDecoder decoder(charset.constData(), QStringDecoder::Flag::Stateless);
    if (!decoder.isValid()) {
        decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    }
    QString text = decoder.decode(body);
    *ok = !decoder.hasError();
    return text;
}

QByteArray WebResult::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool isLoopbackHost(const QString& host)
{
    return host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

WebReply::WebReply(QNetworkReply* reply, std::chrono::milliseconds timeout, bool headersOnly, qint64 maxReplySize,
    Follow follow, QObject* parent)
    : QObject(parent)
    , m_url(reply->url())
    , m_follow(std::move(follow))
    , m_maxReplySize(maxReplySize)
    , m_headersOnly(headersOnly)
{
    attach(reply);
    // A whole-request limit: the transfer timeout of the manager only notices silence, not a server
    // that drips one byte at a time.
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { stop(WebResult::Status::TimedOut, QStringLiteral("time limit reached")); });
    m_deadline.start(timeout);
}

WebReply::WebReply(QObject* parent)
    : QObject(parent)
{
}

void WebReply::attach(QNetworkReply* reply)
{
    m_reply = reply;
    reply->setParent(this);
    // Without a bound the network stack reads on as fast as the server sends, whatever is taken from it.
    reply->setReadBufferSize(WebClient::ReadBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, &WebReply::onReadyRead);
    connect(reply, &QNetworkReply::metaDataChanged, this, &WebReply::onMetaDataChanged);
    connect(reply, &QNetworkReply::finished, this, &WebReply::onFinished);
}

void WebReply::abort()
{
    m_done = true;
    m_deadline.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    deleteLater();
}

void WebReply::readStatus(WebResult& result) const
{
    result.httpStatus = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.headers = m_reply->rawHeaderPairs();
}

void WebReply::onMetaDataChanged()
{
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() < FirstFinalStatus) {
        return; // an interim reply handed over as the answer; onFinished() refuses it
    }
    if (m_headersOnly && status.isValid()) {
        // The status and headers are all that was asked for: the body is never read.
        WebResult result;
        result.status = WebResult::Status::Ok;
        readStatus(result);
        m_reply->disconnect(this);
        // Not from inside the reply's own signal, which the network stack does not expect.
        QMetaObject::invokeMethod(m_reply, &QNetworkReply::abort, Qt::QueuedConnection);
        finish(result);
        return;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_maxReplySize) {
        stop(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
    }
}

void WebReply::onReadyRead()
{
    if (m_headersOnly || m_stopReason != WebResult::Status::Ok) {
        return;
    }
    // One byte past the limit is enough to know it was passed.
    m_body += m_reply->read(m_maxReplySize + 1 - m_body.size());
    if (m_body.size() > m_maxReplySize) {
        stop(WebResult::Status::TooLarge, QStringLiteral("reply too large"));
    }
}

// Redirects are followed here rather than by the network stack, which sends the request on before
// anyone can look at where it goes.
void WebReply::follow(int status)
{
    WebResult result;
    const QUrl next = m_url.resolved(QUrl::fromEncoded(m_reply->rawHeader("Location").trimmed()));
    if (!staysHome(m_url, next)) {
        result.redirectTarget = next;
        result.errorString = QStringLiteral("redirect away from the service refused: ") + next.toString();
        finish(result);
        return;
    }
    if (++m_redirects > WebClient::MaxRedirects) {
        result.errorString = QStringLiteral("too many redirects");
        finish(result);
        return;
    }
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_body.clear();
    m_url = next;
    attach(m_follow(next, status == 307 || status == 308));
}

void WebReply::stop(WebResult::Status reason, const QString& why)
{
    if (m_done || m_stopReason != WebResult::Status::Ok) {
        return;
    }
    m_stopReason = reason;
    m_stopWhy = why;
    if (m_reply) {
        // Emits finished, which reports the reason. Queued: the network stack does not expect its
        // reply aborted from inside one of the reply's own signals.
        QMetaObject::invokeMethod(m_reply.data(), &QNetworkReply::abort, Qt::QueuedConnection);
    }
}

void WebReply::onFinished()
{
    WebResult result;
    if (m_stopReason != WebResult::Status::Ok) {
        result.status = m_stopReason;
        result.errorString = m_stopWhy;
        finish(result);
        return;
    }
    const QNetworkReply::NetworkError error = m_reply->error();
    const bool answered = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (error != QNetworkReply::NoError && !(answered && isHttpLevelError(error))) {
        result.status = WebResult::Status::ConnectionFailed;
        result.errorString = m_reply->errorString();
        finish(result);
        return;
    }
    if (const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answered && status < FirstFinalStatus) {
        // The network stack took an interim reply (103 Early Hints, 102) for the answer. The real one
        // may follow, on a connection that is never used again.
        result.status = WebResult::Status::ConnectionFailed;
        result.httpStatus = status;
        result.errorString = QStringLiteral("an interim reply (%1) where the answer was due").arg(status);
        finish(result);
        return;
    }
    if (const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        m_follow && isRedirect(status) && m_reply->hasRawHeader("Location")) {
        follow(status);
        return;
    }
    if (m_headersOnly) {
        result.status = WebResult::Status::Ok;
        readStatus(result);
        finish(result);
        return;
    }
    m_body += m_reply->read(m_maxReplySize + 1 - m_body.size());
    if (m_body.size() > m_maxReplySize) {
        result.status = WebResult::Status::TooLarge;
        result.errorString = QStringLiteral("reply too large");
        finish(result);
        return;
    }
    // A connection that ends before the announced length is a broken reply, even where the network
    // stack reports it as a normal end.
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && m_body.size() < announced.toLongLong()) {
        result.status = WebResult::Status::ConnectionFailed;
        result.errorString = QStringLiteral("reply ended before its announced length");
        finish(result);
        return;
    }
    readStatus(result);
    bool decoded = false;
    result.text = decodeBody(m_body, m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(), &decoded);
    result.status = decoded ? WebResult::Status::Ok : WebResult::Status::BadEncoding;
    if (!decoded) {
        result.text.clear();
        result.errorString = QStringLiteral("reply is not valid text in its character set");
    }
    finish(result);
}

void WebReply::finish(const WebResult& result)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_deadline.stop();
    emit finished(result);
    deleteLater();
}

WebClient::WebClient(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<Nolvex::WebResult>();
    m_manager.setAutoDeleteReplies(false);
}

WebClient::~WebClient()
{
    // Requests still in flight go before the manager that carries them.
    qDeleteAll(findChildren<WebReply*>(Qt::FindDirectChildrenOnly));
}

QNetworkRequest WebClient::makeRequest(const QUrl& url, std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    // A connection is never used for a second request: the network stack would take whatever the
    // server sent after the first reply (a second copy of it, the answer after an interim reply) for the
    // answer to the next.
    request.setRawHeader("Connection", "close");
    return request;
}

WebReply* WebClient::start(Method method, const QString& address, const QByteArray& body,
    std::chrono::milliseconds timeout, qint64 maxReplySize, const QByteArray& bearer)
{
    const QUrl url(address, QUrl::StrictMode);
    // Plain http only reaches a service on this machine; everything else goes over verified TLS.
    const bool supported = url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1StringView("https")
            || (url.scheme() == QLatin1StringView("http") && isLoopbackHost(url.host())));
    if (!supported) {
        // Reported like any other failure, from the event loop, so callers see one path.
        auto* reply = new WebReply(this);
        QTimer::singleShot(0, reply, [reply, address] {
            WebResult result;
            result.errorString = QStringLiteral("unsupported address: ") + address;
            reply->finish(result);
        });
        return reply;
    }

    const bool headersOnly = method == Method::Head || method == Method::GetHeaders;
    QNetworkRequest request = makeRequest(url, timeout);
    QNetworkReply* networkReply = nullptr;
    switch (method) {
    case Method::Get:
        request.setRawHeader("If-Modified-Since", "0");
        networkReply = m_manager.get(request);
        break;
    case Method::Post:
        request.setRawHeader("CONTENT-TYPE", "application/x-www-form-urlencoded");
        networkReply = m_manager.post(request, body);
        break;
    case Method::PostJson:
        request.setRawHeader("Content-Type", "application/json");
        request.setRawHeader("Accept", "application/json, application/problem+json");
        if (!bearer.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + bearer);
        }
        networkReply = m_manager.post(request, body);
        break;
    case Method::Head:
        networkReply = m_manager.head(request);
        break;
    case Method::GetHeaders:
        networkReply = m_manager.get(request);
        break;
    }
    WebReply::Follow follow;
    if (method == Method::Get || method == Method::Post) {
        // 307 and 308 keep the method and body; the others turn a POST into a GET, as browsers do.
        follow = [this, request, method, body](const QUrl& next, bool keepMethod) {
            QNetworkRequest again = request;
            again.setUrl(next);
            if (method == Method::Post && keepMethod) {
                return m_manager.post(again, body);
            }
            again.setRawHeader("CONTENT-TYPE", QByteArray()); // an empty value removes it
            return m_manager.get(again);
        };
    }
    auto* reply = new WebReply(networkReply, timeout, headersOnly, maxReplySize, std::move(follow), this);
    return reply;
}

WebReply* WebClient::HttpGet(const QString& address, std::chrono::milliseconds timeout, qint64 maxReplySize)
{
    return start(Method::Get, address, {}, timeout, maxReplySize);
}

WebReply* WebClient::HttpPost(
    const QString& address, const QString& body, std::chrono::milliseconds timeout, qint64 maxReplySize)
{
    return start(Method::Post, address, EncodeFormBody(body).toUtf8(), timeout, maxReplySize);
}

WebReply* WebClient::HttpPostJson(const QString& address, const QByteArray& json, const QByteArray& bearer,
    std::chrono::milliseconds timeout, qint64 maxReplySize)
{
    return start(Method::PostJson, address, json, timeout, maxReplySize, bearer);
}

WebReply* WebClient::HttpHead(const QString& address, std::chrono::milliseconds timeout)
{
    return start(Method::Head, address, {}, timeout, MaxReplySize);
}

WebReply* WebClient::HttpGetHeaders(const QString& address, std::chrono::milliseconds timeout)
{
    return start(Method::GetHeaders, address, {}, timeout, MaxReplySize);
}

} // namespace Nolvex
