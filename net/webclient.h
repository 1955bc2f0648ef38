#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <chrono>

class QNetworkReply;
class QNetworkRequest;

namespace Nolvex
{

// localhost, 127.0.0.0/8 or ::1: the only hosts the client reaches without TLS.
bool isLoopbackHost(const QString& host);

struct WebResult {
    enum class Status {
        Ok, // a reply arrived; its HTTP status is not consulted
        ConnectionFailed, // no connection, refused, reset, TLS refused, too many or unsafe redirects
        TimedOut, // the time limit ran out before the reply was complete
        TooLarge, // the reply was larger than the client accepts
        BadEncoding, // the reply body is not valid text in its character set
    };

    Status status = Status::ConnectionFailed;
    QString text; // the reply body as text, for Ok
    QString errorString; // for the log, not for the user
    int httpStatus = 0; // for Ok: the status line's code, for callers that act on it (a wait, a redirect)
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
    WebReply(QNetworkReply* reply, std::chrono::milliseconds timeout, bool headersOnly, QObject* parent);
    explicit WebReply(QObject* parent);

    void onReadyRead();
    void onMetaDataChanged();
    void onFinished();
    void finish(const WebResult& result);
    void stop(WebResult::Status reason);
    void readStatus(WebResult& result) const;

    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    QByteArray m_body;
    WebResult::Status m_stopReason = WebResult::Status::Ok;
    bool m_headersOnly = false;
    bool m_done = false;
};

// The client's only way to the web: one network access manager, asynchronous replies.
class WebClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebClient)

public:
    static constexpr qint64 MaxReplySize = qint64 {64} * 1024;
    static constexpr int MaxRedirects = 5;

    explicit WebClient(QObject* parent = nullptr);
    ~WebClient() override;

    // GET with the header "If-Modified-Since: 0". The reply object belongs to the client. The time
    // limit is the caller's: it covers the whole request, and a reply not complete by then is TimedOut.
    WebReply* HttpGet(const QString& address, std::chrono::milliseconds timeout);
    // POST of EncodeFormBody(body) as a form, with the caller's time limit.
    WebReply* HttpPost(const QString& address, const QString& body, std::chrono::milliseconds timeout);
    // POST of a JSON body to an API, with the key as a bearer token (none when empty) and the caller's
    // time limit. No redirect is followed: the key goes to the address given and nowhere else.
    WebReply* HttpPostJson(
        const QString& address, const QByteArray& json, const QByteArray& bearer, std::chrono::milliseconds timeout);
    // Where an address leads, without its body: HEAD, or a GET that ends once the headers are in, for
    // servers that refuse HEAD. Neither follows a redirect; the result carries the status and headers.
    WebReply* HttpHead(const QString& address, std::chrono::milliseconds timeout);
    WebReply* HttpGetHeaders(const QString& address, std::chrono::milliseconds timeout);

private:
    enum class Method { Get, Post, PostJson, Head, GetHeaders };
    WebReply* start(Method method, const QString& address, const QByteArray& body, std::chrono::milliseconds timeout,
        const QByteArray& bearer = {});
    static QNetworkRequest makeRequest(const QUrl& url, std::chrono::milliseconds timeout, bool followRedirects);

    QNetworkAccessManager m_manager;
};

} // namespace Nolvex

Q_DECLARE_METATYPE(Nolvex::WebResult)
