#pragma once

#include "linkapi.h"
#include "row.h"
#include "shorten.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace Nolvex
{
class WebClient;
struct WebResult;
} // namespace Nolvex

namespace Nolvex::Cli
{

class LineSource;
class ServiceConnection;
struct Input;
struct ServiceReply;

// How long a retry waits. Tests shorten every delay; nothing else changes.
struct RetryTiming {
    std::chrono::milliseconds firstBackOff {500}; // doubled for each retry, jittered down to half
    std::chrono::milliseconds maxBackOff {30000};
    std::chrono::milliseconds maxRetryAfter {60000}; // a longer Retry-After is cut to this
};

struct BatchOptions {
    QString origin; // of the shortening service
    QString type = QStringLiteral("0");
    int jobs = 4; // requests in flight, waits for a retry included
    int retries = 3; // retries of one address after its first attempt
    std::chrono::milliseconds timeout = ShortenTimeLimit; // of each attempt
    RetryTiming timing;
    // With these, each address is created through the JSON API with the key as its bearer token
    // instead of by the signed protocol.
    std::optional<LinkOptions> api;
    QByteArray apiKey;
};

// Shortens every address of a source with up to `jobs` requests in flight and hands the rows over in
// input order, each as soon as the rows before it are done. At most WindowPerJob × jobs rows are held
// at once, however long the input. Each job has a connection of its own to the service
// (serviceconnection.h). The API's requests keep it alive from one address to the next, since each
// reply names its address and is checked; the protocol's replies name none, so each of its requests
// goes on a fresh connection (a TLS session resumed). A row is a success only for the address its own
// request carried.
class Batch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Batch)

public:
    static constexpr int WindowPerJob = 16;

    Batch(LineSource& source, BatchOptions options, QObject* parent = nullptr);
    ~Batch() override;

    void start();
    // Sends nothing more and hands over no more rows; finished() is not emitted. Replies in flight
    // are dropped when the batch goes.
    void stop();

    qint64 rowsDone() const { return m_rowsDone; }
    qint64 linesRead() const { return m_linesRead; } // the input line of the last row taken
    qint64 rowsFailed() const { return m_rowsFailed; }
    bool anyRequestSent() const { return m_anyRequestSent; }
    // Some attempt got a byte of a reply from the service (whatever it said, however it ended).
    bool serviceAnswered() const { return m_serviceAnswered; }
    bool keyRefused() const { return m_keyRefused; }

    // The delay before retry number `retry` (1 for the first) of a reply that said Retry-After
    // `retryAfter` (empty when it did not), or nothing when the header makes no sense.
    static std::chrono::milliseconds retryDelay(int retry, const QByteArray& retryAfter, const RetryTiming& timing);

signals:
    void rowReady(const Nolvex::Cli::Row& row); // in input order
    void rowsWritten(); // after one or more rowReady, a moment to flush
    void finished();

private:
    struct Slot {
        Row row;
        bool done = false;
        int attempts = 0;
        std::size_t connection = 0; // carrying the attempt in flight
    };

    void fill();
    void send(qint64 sequence);
    void onConnectionReply(qint64 sequence, const ServiceReply& reply);
    void handOver(qint64 sequence, std::chrono::milliseconds remaining);
    void onReply(qint64 sequence, const WebResult& result, bool answered, bool resent = false);
    void readChosenLink(qint64 sequence, const QString& refusal);
    void onChosenLink(qint64 sequence, const QString& refusal, const ServiceReply& reply);
    void settle(qint64 sequence, Failure failure, const QString& message = {});
    QList<std::pair<QByteArray, QByteArray>> apiHeaders() const;
    void shareDistrust();
    void complete(Slot& slot, Failure failure, const QString& message = {});
    void flush();
    Slot& slot(qint64 sequence);

    LineSource& m_source;
    std::vector<std::unique_ptr<ServiceConnection>> m_connections; // one a job
    std::unique_ptr<WebClient> m_web; // for what a connection hands over; made when first needed
    std::vector<int> m_connectionLoad; // attempts in flight on each connection
    BatchOptions m_options;
    std::deque<Slot> m_window; // rows taken and not yet handed over, in input order
    qint64 m_firstSequence = 0; // of m_window.front()
    int m_jobsBusy = 0;
    qint64 m_rowsDone = 0;
    qint64 m_rowsFailed = 0;
    bool m_anyRequestSent = false;
    bool m_serviceAnswered = false;
    bool m_unreachable = false;
    bool m_keyRefused = false;
    bool m_distrusted = false; // a connection saw a reply nobody asked for: none is kept alive any more
    QString m_keyRefusal; // the service's words, given to every row not sent after it
    qint64 m_linesRead = 0;
    bool m_finished = false;
    bool m_stopped = false;
};

} // namespace Nolvex::Cli
