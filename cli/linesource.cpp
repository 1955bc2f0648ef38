#include "linesource.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace Nolvex::Cli
{

namespace
{

constexpr qsizetype ReadChunk = qsizetype {64} * 1024;
constexpr qsizetype ShownBytes = 80; // of a line too long to be an address
constexpr QByteArrayView ByteOrderMark = "\xEF\xBB\xBF";

// Every line of the open descriptor in turn, until the end, a read error, or `line` answers false.
// A read returns what a pipe holds, so a slow writer's lines come through one by one.
void readLines(int descriptor, const std::function<bool(const QByteArray&, bool)>& line)
{
    LineSplitter splitter(LineSource::MaxLineBytes);
    bool going = true;
    const LineSplitter::Sink sink
        = [&](const QByteArray& bytes, bool tooLong) { going = going && line(bytes, tooLong); };
    QByteArray chunk(ReadChunk, Qt::Uninitialized);
    while (going) {
        const ssize_t got = ::read(descriptor, chunk.data(), static_cast<std::size_t>(chunk.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        splitter.feed(QByteArrayView(chunk.constData(), static_cast<qsizetype>(got)), sink);
    }
    if (going) {
        splitter.end(sink);
    }
}

// The inputs of a file, counted as they will be read.
qint64 countInputs(const QString& path)
{
    QFile counter(path);
    qint64 total = 0;
    qint64 number = 0;
    if (counter.open(QIODevice::ReadOnly)) {
        readLines(counter.handle(), [&](const QByteArray& bytes, bool tooLong) {
            total += inputFromBytes(bytes, tooLong, ++number) ? 1 : 0;
            return true;
        });
    }
    return total;
}

} // namespace

LineSplitter::LineSplitter(qsizetype maxBytes)
    : m_max(maxBytes)
{
}

void LineSplitter::feed(QByteArrayView bytes, const Sink& sink)
{
    while (!bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView part = end < 0 ? bytes : bytes.first(end);
        if (!m_tooLong) {
            const qsizetype room = m_max - m_line.size();
            m_line.append(part.first(std::min(room, part.size())));
            m_tooLong = part.size() > room;
        }
        if (end < 0) {
            return;
        }
        sink(m_line, m_tooLong);
        m_line.clear();
        m_tooLong = false;
        bytes = bytes.sliced(end + 1);
    }
}

void LineSplitter::end(const Sink& sink)
{
    if (!m_line.isEmpty() || m_tooLong) {
        sink(m_line, m_tooLong);
    }
    m_line.clear();
    m_tooLong = false;
}

std::optional<Input> inputFromBytes(const QByteArray& bytes, bool tooLong, qint64 number)
{
    QByteArrayView text = bytes;
    if (number == 1 && text.startsWith(ByteOrderMark)) {
        text = text.sliced(ByteOrderMark.size());
    }
    if (tooLong) {
        return Input {
            number, QString::fromUtf8(text.first(std::min(ShownBytes, text.size()))) + u'…', Failure::TooLong};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text);
    std::optional<QString> input = inputFromLine(decoded);
    if (!input) {
        return std::nullopt;
    }
    return Input {number, std::move(*input), decoder.hasError() ? Failure::InvalidUtf8 : Failure::None};
}

// What the reader thread and the event loop share. The thread keeps it alive on its own, so a
// source destroyed while standard input still blocks leaves nothing dangling.
struct LineSource::Shared {
    std::mutex mutex;
    std::condition_variable room;
    std::deque<Input> queue;
    std::size_t capacity = 0;
    bool finished = false;
    bool cancelled = false;
    LineSource* owner = nullptr; // used under the mutex and only while not cancelled
    std::thread thread;

    // The reader thread's work: the count first when asked, then every input in turn.
    void read(const QString& path, bool fromStandardInput, bool countTotal)
    {
        if (countTotal) {
            announceTotal(countInputs(path));
        }
        QFile file(path);
        const int descriptor = fromStandardInput ? STDIN_FILENO : (file.open(QIODevice::ReadOnly) ? file.handle() : -1);
        qint64 number = 0;
        bool gone = false;
        readLines(descriptor, [&](const QByteArray& bytes, bool tooLong) {
            std::optional<Input> input = inputFromBytes(bytes, tooLong, ++number);
            gone = input && !push(std::move(*input));
            return !gone;
        });
        if (!gone) {
            finish();
        }
    }

    void announceTotal(qint64 total)
    {
        const std::scoped_lock lock(mutex);
        if (!cancelled) {
            QMetaObject::invokeMethod(
                owner, [owner = owner, total] { emit owner->totalKnown(total); }, Qt::QueuedConnection);
        }
    }

    // Waits for room in the queue; false when the source went away meanwhile.
    bool push(Input input)
    {
        std::unique_lock lock(mutex);
        room.wait(lock, [this] { return cancelled || queue.size() < capacity; });
        if (cancelled) {
            return false;
        }
        const bool wasEmpty = queue.empty();
        queue.push_back(std::move(input));
        if (wasEmpty) {
            QMetaObject::invokeMethod(owner, &LineSource::available, Qt::QueuedConnection);
        }
        return true;
    }

    void finish()
    {
        const std::scoped_lock lock(mutex);
        finished = true;
        if (!cancelled) {
            QMetaObject::invokeMethod(owner, &LineSource::available, Qt::QueuedConnection);
        }
    }
};

LineSource::LineSource(const QStringList& arguments, QObject* parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (std::optional<QString> text = inputFromLine(arguments[i])) {
            m_shared->queue.push_back(Input {i + 1, std::move(*text)});
        }
    }
    m_shared->finished = true;
}

LineSource::LineSource(QString path, qsizetype capacity, bool countTotal, QObject* parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
    , m_path(std::move(path))
    , m_countTotal(countTotal)
{
    m_shared->owner = this;
    m_shared->capacity = static_cast<std::size_t>(std::max<qsizetype>(1, capacity));
}

LineSource::~LineSource()
{
    {
        const std::scoped_lock lock(m_shared->mutex);
        m_shared->cancelled = true;
    }
    m_shared->room.notify_all();
    if (m_shared->thread.joinable()) {
        // A reader blocked on a terminal or an idle pipe cannot be woken; it ends with the process.
        m_shared->thread.detach();
    }
}

bool LineSource::start()
{
    if (m_path.isNull()) {
        QMetaObject::invokeMethod(this, &LineSource::available, Qt::QueuedConnection);
        return true;
    }
    const bool fromStandardInput = m_path == QLatin1StringView("-");
    if (!fromStandardInput) {
        QFile probe(m_path); // refused here, in the caller's words, rather than later on the reader
        if (!probe.open(QIODevice::ReadOnly)) {
            m_error = probe.errorString();
            return false;
        }
    }
    const bool countTotal = m_countTotal && !fromStandardInput && QFileInfo(m_path).isFile();
    m_shared->thread = std::thread([shared = m_shared, path = m_path, fromStandardInput, countTotal] {
        shared->read(path, fromStandardInput, countTotal);
    });
    return true;
}

std::optional<Input> LineSource::take()
{
    std::unique_lock lock(m_shared->mutex);
    if (m_shared->queue.empty()) {
        return std::nullopt;
    }
    Input input = std::move(m_shared->queue.front());
    m_shared->queue.pop_front();
    lock.unlock();
    m_shared->room.notify_one();
    return input;
}

bool LineSource::atEnd() const
{
    const std::scoped_lock lock(m_shared->mutex);
    return m_shared->finished && m_shared->queue.empty();
}

} // namespace Nolvex::Cli
