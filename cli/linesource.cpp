#include "linesource.h"

#include <QFile>
#include <QFileInfo>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace Nolvex::Cli
{

namespace
{

// One line of at most max bytes (its end included); the rest of a longer line is skipped. Empty only
// at the end of the input, on files and pipes alike (atEnd() cannot tell for a pipe).
QByteArray readLineBounded(QIODevice& device, qint64 max, bool* tooLong)
{
    QByteArray line = device.readLine(max + 1);
    *tooLong = false;
    if (line.size() > max && !line.endsWith('\n')) {
        *tooLong = true;
        for (;;) {
            const QByteArray rest = device.readLine(max);
            if (rest.isEmpty() || rest.endsWith('\n')) {
                break;
            }
        }
    }
    return line;
}

// The inputs of a file, counted as they will be read.
qint64 countInputs(const QString& path)
{
    QFile counter(path);
    qint64 total = 0;
    bool tooLong = false;
    if (counter.open(QIODevice::ReadOnly)) {
        for (QByteArray line; !(line = readLineBounded(counter, LineSource::MaxLineBytes, &tooLong)).isEmpty();) {
            total += (tooLong || inputFromLine(QString::fromUtf8(line))) ? 1 : 0;
        }
    }
    return total;
}

// Line `number` as an input; nothing for a line without an address.
std::optional<Input> inputFromBytes(const QByteArray& bytes, bool tooLong, qint64 number)
{
    if (tooLong) {
        return Input {number, QString::fromUtf8(bytes.left(80)) + QStringLiteral("…"), true};
    }
    std::optional<QString> text = inputFromLine(QString::fromUtf8(bytes));
    if (!text) {
        return std::nullopt;
    }
    return Input {number, std::move(*text), false};
}

void openInput(QFile& file, const QString& path, bool fromStandardInput)
{
    if (fromStandardInput) {
        file.open(0, QIODevice::ReadOnly);
    } else {
        file.setFileName(path);
        file.open(QIODevice::ReadOnly);
    }
}

} // namespace

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
        QFile file;
        openInput(file, path, fromStandardInput);
        bool tooLong = false;
        qint64 number = 0;
        for (QByteArray bytes; !(bytes = readLineBounded(file, MaxLineBytes, &tooLong)).isEmpty();) {
            std::optional<Input> input = inputFromBytes(bytes, tooLong, ++number);
            if (input && !push(std::move(*input))) {
                return;
            }
        }
        finish();
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
            m_shared->queue.push_back(Input {i + 1, std::move(*text), false});
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
