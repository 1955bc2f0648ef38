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

} // namespace

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

WebReply::WebReply(QNetworkReply* reply, std::chrono::milliseconds timeout, bool headersOnly, QObject* parent)
    : QObject(parent)
    , m_reply(reply)
    , m_headersOnly(headersOnly)
{
    reply->setParent(this);
    connect(reply, &QNetworkReply::readyRead, this, &WebReply::onReadyRead);
    connect(reply, &QNetworkReply::metaDataChanged, this, &WebReply::onMetaDataChanged);
    connect(reply, &QNetworkReply::finished, this, &WebReply::onFinished);
    // A whole-request limit: the transfer timeout of the manager only notices silence, not a server
    // that drips one byte at a time.
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { stop(WebResult::Status::TimedOut); });
    m_deadline.start(timeout);
}

WebReply::WebReply(QObject* parent)
    : QObject(parent)
{
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
    if (m_headersOnly && m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
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
    if (length.isValid() && length.toLongLong() > WebClient::MaxReplySize) {
        stop(WebResult::Status::TooLarge);
    }
}

void WebReply::onReadyRead()
{
    m_body += m_reply->readAll();
    if (m_body.size() > WebClient::MaxReplySize) {
        stop(WebResult::Status::TooLarge);
    }
}

void WebReply::stop(WebResult::Status reason)
{
    if (m_done || m_stopReason != WebResult::Status::Ok) {
        return;
    }
    m_stopReason = reason;
    if (m_reply) {
        m_reply->abort(); // emits finished, which reports the reason
    }
}

void WebReply::onFinished()
{
    WebResult result;
    if (m_stopReason != WebResult::Status::Ok) {
        result.status = m_stopReason;
        result.errorString = m_stopReason == WebResult::Status::TimedOut ? QStringLiteral("time limit reached")
                                                                         : QStringLiteral("reply too large");
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
    if (m_headersOnly) {
        result.status = WebResult::Status::Ok;
        readStatus(result);
        finish(result);
        return;
    }
    m_body += m_reply->readAll();
    if (m_body.size() > WebClient::MaxReplySize) {
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

QNetworkRequest WebClient::makeRequest(const QUrl& url, std::chrono::milliseconds timeout, bool followRedirects)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        followRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy : QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    return request;
}

WebReply* WebClient::start(Method method, const QString& address, const QByteArray& body,
    std::chrono::milliseconds timeout, const QByteArray& bearer)
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
    QNetworkRequest request = makeRequest(url, timeout, !headersOnly && method != Method::PostJson);
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
    return new WebReply(networkReply, timeout, headersOnly, this);
}

WebReply* WebClient::HttpGet(const QString& address, std::chrono::milliseconds timeout)
{
    return start(Method::Get, address, {}, timeout);
}

WebReply* WebClient::HttpPost(const QString& address, const QString& body, std::chrono::milliseconds timeout)
{
    return start(Method::Post, address, EncodeFormBody(body).toUtf8(), timeout);
}

WebReply* WebClient::HttpPostJson(
    const QString& address, const QByteArray& json, const QByteArray& bearer, std::chrono::milliseconds timeout)
{
    return start(Method::PostJson, address, json, timeout, bearer);
}

WebReply* WebClient::HttpHead(const QString& address, std::chrono::milliseconds timeout)
{
    return start(Method::Head, address, {}, timeout);
}

WebReply* WebClient::HttpGetHeaders(const QString& address, std::chrono::milliseconds timeout)
{
    return start(Method::GetHeaders, address, {}, timeout);
}

} // namespace Nolvex
