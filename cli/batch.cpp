#include "batch.h"

#include "jsonreply.h"
#include "linesource.h"
#include "serviceconnection.h"
#include "shorten.h"
#include "webclient.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <algorithm>

namespace Nolvex::Cli
{
namespace
{

constexpr int Unauthorized = 401;
constexpr int Forbidden = 403;
constexpr int Conflict = 409;
constexpr int Ok = 200;
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

// What one reply means for its address.
struct Outcome {
    Failure failure = Failure::None;
    bool retryable = false;
    QByteArray retryAfter {};
    QString shortLink {};
    QString message {}; // the service's reason, with a refusal
    bool strayReply = false; // a link for another address: the connection is out of step with its requests
};

// A link object is the answer for an address only when it names that address: a reply that a
// confused or hostile server meant for another request is never taken as this one's link.
bool linkFor(const QString& text, const QString& address)
{
    const std::optional<QJsonObject> object = EvaluateJsonReply(text);
    return object && object->value(QLatin1StringView("url")) == QJsonValue(address);
}

// An API reply: a link, a problem, a key the service does not take.
Outcome outcomeOfApiAnswer(const WebResult& result, const QString& address)
{
    const LinkReply reply = readLinkReply(result.httpStatus, result.text);
    if (result.httpStatus == Unauthorized || result.httpStatus == Forbidden) {
        return {.failure = Failure::KeyRefused,
            .message = reply.kind == LinkReply::Kind::Problem ? problemText(reply) : QString()};
    }
    switch (reply.kind) {
    case LinkReply::Kind::Created:
    case LinkReply::Kind::Existing:
        if (!linkFor(result.text, address)) {
            return {.failure = Failure::Unreadable, .strayReply = true};
        }
        return {.shortLink = reply.shortUrl};
    case LinkReply::Kind::Problem:
        return {.failure = Failure::Refused, .message = problemText(reply)};
    case LinkReply::Kind::Unreadable:
        break;
    }
    return {.failure = Failure::Unreadable};
}

// A reply that came through: a busy service, a link or a refusal, or nothing to make sense of.
Outcome outcomeOfAnswer(const WebResult& result, bool api, const QString& address)
{
    if (result.httpStatus == TooManyRequests || result.httpStatus == ServiceUnavailable) {
        return {.failure = Failure::Busy, .retryable = true, .retryAfter = result.header("Retry-After")};
    }
    if (api) {
        return outcomeOfApiAnswer(result, address);
    }
    const ShortenReply reply = readShortenReply(result.text);
    switch (reply.kind) {
    case ShortenReply::Kind::Success:
        return {.shortLink = reply.info};
    case ShortenReply::Kind::Refusal:
        return {.failure = Failure::Refused, .message = reply.message};
    case ShortenReply::Kind::Unreadable:
        break;
    }
    return {.failure = Failure::Unreadable};
}

// `answered`: some byte of the reply arrived. The request is then never sent again, and what went
// wrong with the reply is the row's reason.
Outcome outcomeOf(const WebResult& result, bool api, const QString& address, bool answered)
{
    if (!result.redirectTarget.isEmpty()) {
        return {.failure = Failure::Unreadable, .message = Messages::redirectNotFollowed(result.redirectTarget)};
    }
    switch (result.status) {
    case WebResult::Status::Ok:
        return outcomeOfAnswer(result, api, address);
    case WebResult::Status::TimedOut:
        return {.failure = Failure::Timeout, .retryable = !answered};
    case WebResult::Status::ConnectionFailed:
        if (answered) {
            return {.failure = Failure::Unreadable};
        }
        return {.failure = Failure::Connection, .retryable = true};
    case WebResult::Status::TooLarge:
    case WebResult::Status::BadEncoding:
        return {.failure = Failure::Unreadable};
    }
    return {};
}

} // namespace

Batch::Batch(LineSource& source, BatchOptions options, QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_options(std::move(options))
{
    m_options.jobs = std::max(1, m_options.jobs);
    const auto jobs = static_cast<std::size_t>(m_options.jobs);
    for (std::size_t i = 0; i < jobs; ++i) {
        m_connections.push_back(std::make_unique<ServiceConnection>());
    }
    m_connectionLoad.assign(jobs, 0);
    connect(&m_source, &LineSource::available, this, [this] {
        fill();
        flush();
    });
}

Batch::~Batch() = default;

void Batch::stop()
{
    m_stopped = true;
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
    while (!m_stopped && m_jobsBusy < m_options.jobs && m_window.size() < windowLimit) {
        std::optional<Input> input = m_source.take();
        if (!input) {
            break;
        }
        Slot& added = m_window.emplace_back();
        added.row.line = input->line;
        added.row.input = std::move(input->text);
        const qint64 sequence = m_firstSequence + static_cast<qint64>(m_window.size()) - 1;
        m_linesRead = input->line;
        if (input->failure != Failure::None) {
            complete(added, input->failure);
        } else if (checkAddress(added.row.input) != AddressCheck::Ok) {
            complete(added, Failure::Scheme);
        } else if (m_keyRefused) {
            // Every address would be refused the same way, and failed keys count against us.
            complete(added, Failure::KeyRefused, m_keyRefusal);
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
    if (m_stopped) {
        return; // a retry that was waiting
    }
    Slot& current = slot(sequence);
    ++current.attempts;
    m_anyRequestSent = true;
    shareDistrust();
    current.connection = static_cast<std::size_t>(
        std::distance(m_connectionLoad.begin(), std::min_element(m_connectionLoad.begin(), m_connectionLoad.end())));
    ++m_connectionLoad[current.connection];
    ServiceRequest request;
    if (m_options.api) {
        request.method = "POST";
        request.address = linksAddress(m_options.origin);
        request.headers = apiHeaders();
        request.headers.emplaceBack("Content-Type", "application/json");
        request.body = linkRequestBody(current.row.input, m_options.type.toInt(), *m_options.api);
        request.replyLimit = ApiReplyLimit;
    } else {
        request.address = shortenRequestAddress(m_options.origin, m_options.type, current.row.input);
        request.headers = {{"If-Modified-Since", "0"}};
        request.followRedirects = true;
        // The protocol's reply does not name its address: on a kept connection a late or repeated reply
        // would be taken for the next request's.
        request.keepAlive = false;
    }
    m_connections[current.connection]->send(std::move(request), m_options.timeout,
        [this, sequence](const ServiceReply& reply) { onConnectionReply(sequence, reply); });
}

// A service that sent one job a reply nobody asked for may do it on any connection; the other jobs
// stop keeping theirs alive too.
void Batch::shareDistrust()
{
    if (m_distrusted || std::all_of(m_connections.begin(), m_connections.end(), [](const auto& each) {
            return each->keepsAlive();
        })) {
        return;
    }
    m_distrusted = true;
    for (const auto& each : m_connections) {
        each->stopKeepingAlive();
    }
}

QList<std::pair<QByteArray, QByteArray>> Batch::apiHeaders() const
{
    QList<std::pair<QByteArray, QByteArray>> headers {{"Accept", "application/json"}};
    if (!m_options.apiKey.isEmpty()) {
        headers.emplaceBack("Authorization", "Bearer " + m_options.apiKey);
    }
    return headers;
}

void Batch::onConnectionReply(qint64 sequence, const ServiceReply& reply)
{
    if (reply.kind == ServiceReply::Kind::Handover) {
        handOver(sequence, reply.remaining);
    } else {
        onReply(sequence, reply.result, reply.answered, reply.resent);
    }
}

// An address the connection cannot reach itself, through the web client, which follows redirects
// and reads any body. Nothing of the attempt was sent yet; it keeps the time it has left.
void Batch::handOver(qint64 sequence, std::chrono::milliseconds remaining)
{
    if (m_stopped) {
        return;
    }
    if (!m_web) {
        m_web = std::make_unique<WebClient>();
    }
    const QString& input = slot(sequence).row.input;
    WebReply* reply = m_options.api
        ? m_web->HttpPostJson(linksAddress(m_options.origin),
            linkRequestBody(input, m_options.type.toInt(), *m_options.api), m_options.apiKey, remaining, ApiReplyLimit)
        : m_web->HttpGet(shortenRequestAddress(m_options.origin, m_options.type, input), remaining);
    connect(reply, &WebReply::finished, this, [this, sequence](const WebResult& result) {
        // The web client says nothing of a reply cut short; what it read whole was an answer.
        const bool answered = !result.redirectTarget.isEmpty()
            || (result.status != WebResult::Status::ConnectionFailed && result.status != WebResult::Status::TimedOut);
        onReply(sequence, result, answered);
    });
}

void Batch::onReply(qint64 sequence, const WebResult& result, bool answered, bool resent)
{
    if (m_stopped) {
        return;
    }
    Slot& current = slot(sequence);
    --m_connectionLoad[current.connection];
    if (answered) {
        m_serviceAnswered = true;
    }
    const Outcome outcome = outcomeOf(result, m_options.api.has_value(), current.row.input, answered);
    if (m_options.api && !m_options.api->code.isEmpty() && outcome.failure == Failure::Refused
        && result.httpStatus == Conflict && (current.attempts > 1 || resent)) {
        // A create sent again after its reply was lost: the code may be taken by our own first try.
        readChosenLink(sequence, outcome.message);
        return;
    }
    if (outcome.retryable && current.attempts <= m_options.retries && !m_unreachable) {
        // The job stays busy while it waits: a busy service gets no more requests from us meanwhile.
        const std::chrono::milliseconds delay = retryDelay(current.attempts, outcome.retryAfter, m_options.timing);
        QTimer::singleShot(delay, this, [this, sequence] { send(sequence); });
        return;
    }
    if ((outcome.failure == Failure::Connection || outcome.failure == Failure::Timeout) && !m_serviceAnswered) {
        m_unreachable = true;
    }
    if (outcome.strayReply) {
        m_connections[current.connection]->stopKeepingAlive();
    }
    if (outcome.failure == Failure::KeyRefused) {
        m_keyRefused = true;
        m_keyRefusal = outcome.message;
    }
    current.row.shortLink = outcome.shortLink;
    settle(sequence, outcome.failure, outcome.message);
}

// GET /api/v1/links/{code} with the key: the link is ours when it leads to the address sent.
void Batch::readChosenLink(qint64 sequence, const QString& refusal)
{
    Slot& current = slot(sequence);
    ++m_connectionLoad[current.connection];
    ServiceRequest request;
    request.address
        = linksAddress(m_options.origin) + u'/' + QString::fromLatin1(QUrl::toPercentEncoding(m_options.api->code));
    request.headers = apiHeaders();
    request.replyLimit = ApiReplyLimit;
    m_connections[current.connection]->send(std::move(request), m_options.timeout,
        [this, sequence, refusal](const ServiceReply& reply) { onChosenLink(sequence, refusal, reply); });
}

void Batch::onChosenLink(qint64 sequence, const QString& refusal, const ServiceReply& reply)
{
    if (m_stopped) {
        return;
    }
    Slot& current = slot(sequence);
    --m_connectionLoad[current.connection];
    const WebResult& result = reply.result;
    if (reply.kind == ServiceReply::Kind::Done && result.status == WebResult::Status::Ok && result.httpStatus == Ok) {
        const LinkReply link = readLinkReply(result.httpStatus, result.text);
        if (link.kind == LinkReply::Kind::Existing && linkFor(result.text, current.row.input)) {
            current.row.shortLink = link.shortUrl;
            settle(sequence, Failure::None);
            return;
        }
    }
    settle(sequence, Failure::Refused, refusal);
}

void Batch::settle(qint64 sequence, Failure failure, const QString& message)
{
    complete(slot(sequence), failure, message);
    --m_jobsBusy;
    fill();
    flush();
}

void Batch::complete(Slot& slot, Failure failure, const QString& message)
{
    slot.done = true;
    slot.row.failure = failure;
    // The service's words with a refusal, or ours where a failure says more than its kind.
    slot.row.message = failure == Failure::Refused || !message.isEmpty() ? message : Messages::forFailure(failure);
    ++m_rowsDone;
    if (failure != Failure::None) {
        ++m_rowsFailed;
    }
}

void Batch::flush()
{
    for (;;) {
        bool wrote = false;
        while (!m_stopped && !m_window.empty() && m_window.front().done) {
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
    if (!m_finished && !m_stopped && m_window.empty() && m_jobsBusy == 0 && m_source.atEnd()) {
        m_finished = true;
        emit finished();
    }
}

} // namespace Nolvex::Cli
