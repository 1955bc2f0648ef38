#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>

class QNetworkReply;
class QNetworkRequest;

namespace Nolvex
{

// localhost, 127.0.0.0/8 or ::1: the only hosts the client reaches without TLS.
bool isLoopbackHost(const QString& host);
// Whether a redirect from `from` to `to` may be followed: the same host, in the same scheme or from
// http to https. Anywhere else the address and its token would leave for another host.
bool staysHome(const QUrl& from, const QUrl& to);
// A reply's body as text in the character set its Content-Type names, UTF-8 without one; *ok is
// false when the bytes are not valid in it.
QString decodeBody(const QByteArray& body, const QByteArray& contentType, bool* ok);

struct WebResult {
    enum class Status {
        Ok, // a reply arrived; its HTTP status is not consulted
        ConnectionFailed, // no connection, refused, reset, TLS refused, too many or unsafe redirects, a
                          // redirect away from the service (redirectTarget), an interim 1xx reply taken for the answer
        TimedOut, // the time limit ran out before the reply was complete
        TooLarge, // the reply was larger than the client accepts
        BadEncoding, // the reply body is not valid text in its character set
    };

    Status status = Status::ConnectionFailed;
    QString text; // the reply body as text, for Ok
    QString errorString; // for the log, not for the user
    int httpStatus = 0; // for Ok: the status line's code, for callers that act on it (a wait, a redirect); also
                        // set for the failure of an interim reply
    QUrl redirectTarget; // for a redirect that was not followed because it left the service: where it pointed
    QList<std::pair<QByteArray, QByteArray>> headers; // for Ok, as received

    // The first header of that name, compared without case; empty when there is none.
    QByteArray header(QByteArrayView name) const;
};

// One request in flight. It reports exactly once through finished() and then deletes itself;
// abort() ends it without a report.
class WebReply final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebReply)

public:
    void abort();

signals:
    void finished(const Nolvex::WebResult& result);

private:
    friend class WebClient;
    // Sends the request again to a redirect's target, keeping its method (307, 308) or as a GET.
    using Follow = std::function<QNetworkReply*(const QUrl& target, bool keepMethod)>;

    WebReply(QNetworkReply* reply, std::chrono::milliseconds timeout, bool headersOnly, qint64 maxReplySize,
        Follow follow, QObject* parent);
    explicit WebReply(QObject* parent);

    void onReadyRead();
    void onMetaDataChanged();
    void onFinished();
    void attach(QNetworkReply* reply);
    void follow(int status);
    void finish(const WebResult& result);
    void stop(WebResult::Status reason, const QString& why);
    void readStatus(WebResult& result) const;

    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    QByteArray m_body;
    QUrl m_url; // where the request stands after the redirects followed so far
    Follow m_follow; // none: redirects are handed to the caller
    int m_redirects = 0;
    qint64 m_maxReplySize = 0;
    WebResult::Status m_stopReason = WebResult::Status::Ok;
    QString m_stopWhy;
    bool m_headersOnly = false;
    bool m_done = false;
};

// The client's only way to the web: one network access manager, asynchronous replies.
class WebClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebClient)

public:
    // A reply body's default limit: the shortening and version protocols' replies are far smaller. A
    // caller whose replies may be larger states its own limit.
    static constexpr qint64 MaxReplySize = qint64 {64} * 1024;
    // What the network stack holds of a reply before it is read: a server that never stops sending
    // costs no more memory than this and the limit above.
    static constexpr qint64 ReadBufferSize = qint64 {16} * 1024;
    static constexpr int MaxRedirects = 5;

    explicit WebClient(QObject* parent = nullptr);
    ~WebClient() override;

    // GET with the header "If-Modified-Since: 0". The reply object belongs to the client. The time
    // limit is the caller's: it covers the whole request, and a reply not complete by then is TimedOut.
    // A body over maxReplySize is TooLarge, and its reading stops there. Redirects are followed only on
    // the same host, in the same scheme or from http to https; any other ends the request.
    WebReply* HttpGet(const QString& address, std::chrono::milliseconds timeout, qint64 maxReplySize = MaxReplySize);
    // POST of EncodeFormBody(body) as a form, with the caller's time limit.
    WebReply* HttpPost(const QString& address, const QString& body, std::chrono::milliseconds timeout,
        qint64 maxReplySize = MaxReplySize);
    // POST of a JSON body to an API, with the key as a bearer token (none when empty) and the caller's
    // time limit. No redirect is followed: the key goes to the address given and nowhere else.
    WebReply* HttpPostJson(const QString& address, const QByteArray& json, const QByteArray& bearer,
        std::chrono::milliseconds timeout, qint64 maxReplySize = MaxReplySize);
    // Where an address leads, without its body: HEAD, or a GET that ends once the headers are in, for
    // servers that refuse HEAD. Neither follows a redirect; the result carries the status and headers.
    WebReply* HttpHead(const QString& address, std::chrono::milliseconds timeout);
    WebReply* HttpGetHeaders(const QString& address, std::chrono::milliseconds timeout);

private:
    enum class Method { Get, Post, PostJson, Head, GetHeaders };
    WebReply* start(Method method, const QString& address, const QByteArray& body, std::chrono::milliseconds timeout,
        qint64 maxReplySize, const QByteArray& bearer = {});
    static QNetworkRequest makeRequest(const QUrl& url, std::chrono::milliseconds timeout);

    QNetworkAccessManager m_manager;
};

} // namespace Nolvex

Q_DECLARE_METATYPE(Nolvex::WebResult)
