#include "batch.h"

#include "linesource.h"
#include "shorten.h"
#include "webclient.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>

namespace Nolvex::Cli
{
namespace
{

constexpr int TooManyRequests = 429;
constexpr int ServiceUnavailable = 503;

// An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT") in the form Qt's RFC 2822 reading takes.
QString httpDate(const QByteArray& value)
{
    QString text = QString::fromLatin1(value);
    if (text.endsWith(QLatin1StringView(" GMT"))) {
        text.chop(3);
        text += QStringLiteral("+0000");
    }
    return text;
}

} // namespace

Batch::Batch(LineSource& source, WebClient& web, BatchOptions options, QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_web(web)
    , m_options(std::move(options))
{
    m_options.jobs = std::max(1, m_options.jobs);
    connect(&m_source, &LineSource::available, this, [this] {
        fill();
        flush();
    });
}

void Batch::start()
{
    fill();
    flush();
}

std::chrono::milliseconds Batch::retryDelay(int retry, const QByteArray& retryAfter, const RetryTiming& timing)
{
    using std::chrono::milliseconds;
    const QByteArray value = retryAfter.trimmed();
    if (!value.isEmpty()) {
        bool isNumber = false;
        const qint64 seconds = value.toLongLong(&isNumber);
        qint64 wait = -1;
        if (isNumber && seconds >= 0) {
            wait = seconds > timing.maxRetryAfter.count() / 1000 ? timing.maxRetryAfter.count() : seconds * 1000;
        } else if (const QDateTime when = QDateTime::fromString(httpDate(value), Qt::RFC2822Date); when.isValid()) {
            wait = std::max<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(when));
        }
        if (wait >= 0) {
            return std::min(milliseconds(wait), timing.maxRetryAfter);
        }
    }
    // Exponential, with the upper half jittered so that clients that failed together retry apart.
    const int doublings = std::clamp(retry - 1, 0, 20);
    const qint64 ceiling = std::min(timing.maxBackOff.count(), timing.firstBackOff.count() << doublings);
    const qint64 half = ceiling / 2;
    return milliseconds(half + static_cast<qint64>(QRandomGenerator::global()->bounded(static_cast<double>(half + 1))));
}

Batch::Slot& Batch::slot(qint64 sequence)
{
    return m_window[static_cast<std::size_t>(sequence - m_firstSequence)];
}

void Batch::fill()
{
    const auto windowLimit = static_cast<std::size_t>(WindowPerJob) * static_cast<std::size_t>(m_options.jobs);
    while (m_jobsBusy < m_options.jobs && m_window.size() < windowLimit) {
        std::optional<Input> input = m_source.take();
        if (!input) {
            break;
        }
        Slot& added = m_window.emplace_back();
        added.row.line = input->line;
        added.row.input = std::move(input->text);
        const qint64 sequence = m_firstSequence + static_cast<qint64>(m_window.size()) - 1;
        if (input->tooLong) {
            complete(added, Failure::TooLong);
        } else if (checkAddress(added.row.input) != AddressCheck::Ok) {
            complete(added, Failure::Scheme);
        } else if (m_unreachable) {
            // The service never answered and an address already ran out of retries: the rest are
            // reported at once instead of each waiting through its own retries.
            complete(added, Failure::Connection);
        } else {
            ++m_jobsBusy;
            send(sequence);
        }
    }
}

void Batch::send(qint64 sequence)
{
    Slot& current = slot(sequence);
    ++current.attempts;
    m_anyRequestSent = true;
    WebReply* reply
        = m_web.HttpGet(shortenRequestAddress(m_options.origin, m_options.type, current.row.input), m_options.timeout);
    connect(reply, &WebReply::finished, this, [this, sequence](const WebResult& result) { onReply(sequence, result); });
}

void Batch::onReply(qint64 sequence, const WebResult& result)
{
    Slot& current = slot(sequence);
    Failure failure = Failure::None;
    bool retryable = false;
    QByteArray retryAfter;
    switch (result.status) {
    case WebResult::Status::Ok:
        m_serviceAnswered = true;
        if (result.httpStatus == TooManyRequests || result.httpStatus == ServiceUnavailable) {
            failure = Failure::Busy;
            retryable = true;
            retryAfter = result.header("Retry-After");
        } else {
            const ShortenReply reply = readShortenReply(result.text);
            if (reply.kind == ShortenReply::Kind::Success) {
                current.row.shortLink = reply.info;
            } else if (reply.kind == ShortenReply::Kind::Refusal) {
                complete(current, Failure::Refused, reply.message);
                --m_jobsBusy;
                fill();
                flush();
                return;
            } else {
                failure = Failure::Unreadable;
            }
        }
        break;
    case WebResult::Status::TimedOut:
        failure = Failure::Timeout;
        retryable = true;
        break;
    case WebResult::Status::ConnectionFailed:
        failure = Failure::Connection;
        retryable = true;
        break;
    case WebResult::Status::TooLarge:
    case WebResult::Status::BadEncoding:
        failure = Failure::Unreadable;
        break;
    }

    if (retryable && current.attempts <= m_options.retries && !m_unreachable) {
        // The job stays busy while it waits: a busy service gets no more requests from us meanwhile.
        const std::chrono::milliseconds delay = retryDelay(current.attempts, retryAfter, m_options.timing);
        QTimer::singleShot(delay, this, [this, sequence] { send(sequence); });
        return;
    }
    if ((failure == Failure::Connection || failure == Failure::Timeout) && !m_serviceAnswered) {
        m_unreachable = true;
    }
    complete(current, failure);
    --m_jobsBusy;
    fill();
    flush();
}

void Batch::complete(Slot& slot, Failure failure, const QString& message)
{
    slot.done = true;
    slot.row.failure = failure;
    slot.row.message = failure == Failure::Refused ? message : Messages::forFailure(failure);
    ++m_rowsDone;
    if (failure != Failure::None) {
        ++m_rowsFailed;
    }
}

void Batch::flush()
{
    for (;;) {
        bool wrote = false;
        while (!m_window.empty() && m_window.front().done) {
            emit rowReady(m_window.front().row);
            m_window.pop_front();
            ++m_firstSequence;
            wrote = true;
        }
        if (!wrote) {
            break;
        }
        emit rowsWritten();
        fill(); // handing rows over made room in the window
    }
    if (!m_finished && m_window.empty() && m_jobsBusy == 0 && m_source.atEnd()) {
        m_finished = true;
        emit finished();
    }
}

} // namespace Nolvex::Cli
