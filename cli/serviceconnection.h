#pragma once

#include "webclient.h"

#include <QObject>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>

namespace Nolvex::Cli
{

// One job's connection to the shortening service: HTTP/1.1 GETs one after the other on a kept-alive
// connection, each reply read in blocks. Qt's network access manager reads a reply's status line and
// headers from an unbuffered socket a byte at a time, a system call each, and passes every request
// between two threads: for a batch that was most of the client's work, and the service sat idle.
// What this connection does not handle itself (a redirect, a chunked or unsized body, another
// character set, an address the web client would refuse) it answers with Status::Handover, and the
// caller sends that request through the web client instead.
class ServiceConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceConnection)

public:
    enum class Status { Done, Handover };
    using Done = std::function<void(Status status, const WebResult& result)>;

    explicit ServiceConnection(QObject* parent = nullptr);
    ~ServiceConnection() override;

    // One request at a time; `done` is called once, from the event loop, unless the connection is
    // destroyed first.
    void get(const QString& address, std::chrono::milliseconds timeout, Done done);

private:
    void send();
    void onReadable();
    void onLost();
    void finish(Status status, const WebResult& result);
    void fail(WebResult::Status status, const QString& why);
    void drop();
    bool readHead(qsizetype end);

    QSslSocket m_socket;
    QTimer m_deadline;
    QUrl m_url;
    QString m_origin; // scheme, host and port the socket is connected to
    QByteArray m_request;
    QByteArray m_buffer;
    Done m_done;
    WebResult m_result;
    qint64 m_bodyLength = -1; // once the head is read
    qsizetype m_bodyStart = -1;
    bool m_reused = false; // the connection already carried a whole reply
    bool m_resent = false; // this request went out again on a fresh connection
    bool m_resendQueued = false;
    bool m_closeAfter = false;
};

} // namespace Nolvex::Cli
