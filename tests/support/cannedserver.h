#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <chrono>
#include <functional>

class QTcpSocket;

// A local HTTP peer with canned behaviour, for tests of the client's web layer. It reads each
// request whole (headers and Content-Length body), records it, then acts as told.
class CannedServer final : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CannedServer)

public:
    enum class Behaviour {
        Reply, // send the canned bytes and close
        Silent, // read the request and never answer
        ResetAfterReply, // send the canned bytes, then reset the connection instead of closing it
        Drip, // send the canned bytes one every DripInterval
        KeepOpen, // send the canned bytes and keep the connection open for the next request
        Endless, // send the canned bytes (a chunked head), then chunks of EndlessChunk bytes until the peer leaves
        TwoWrites, // KeepOpen, with the canned bytes from PauseMark on sent PauseInterval after the rest
        Repeated, // KeepOpen, then the same bytes again, unasked, in a write of their own on the next turn
    };

    static constexpr std::chrono::milliseconds DripInterval {100};
    static constexpr qsizetype EndlessChunk = qsizetype {16} * 1024;
    static constexpr std::chrono::milliseconds PauseInterval {50};
    static constexpr QByteArrayView PauseMark = "<pause>";

    using Handler = std::function<QByteArray(const QByteArray& request)>;

    // With tls, the server presents tests/support/<certificate>.crt and its key.
    explicit CannedServer(bool tls = false, QObject* parent = nullptr);
    explicit CannedServer(QString certificate, QObject* parent = nullptr);
    ~CannedServer() override;

    bool start();
    QString origin() const; // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"

    void setReply(const QByteArray& raw, Behaviour behaviour = Behaviour::Reply);
    void setHandler(Handler handler, Behaviour behaviour = Behaviour::Reply);
    const QList<QByteArray>& requests() const { return m_requests; }

    static QByteArray response(int status, const QByteArray& body,
        const QByteArray& contentType = "application/json; charset=utf-8", const QByteArray& extraHeaders = {});
    // The target of a recorded request line ("GET /path?query HTTP/1.1" gives "/path?query").
    static QByteArray target(const QByteArray& request);
    static QByteArray body(const QByteArray& request);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onReadable(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& request);

    bool m_tls;
    QString m_certificate = QStringLiteral("selfsigned");
    Behaviour m_behaviour = Behaviour::Reply;
    Handler m_handler;
    QList<QByteArray> m_requests;
};
