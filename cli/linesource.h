#pragma once

#include "row.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace Nolvex::Cli
{

struct Input {
    qint64 line = 0;
    QString text;
    Failure failure = Failure::None; // TooLong or InvalidUtf8: a failed row, never sent
};

// Cuts a stream of bytes into lines at LF. A line longer than the limit (its LF not counted) keeps
// only its first bytes and the rest up to its LF is skipped: it stays one line, and memory stays at
// the limit however long the line is.
class LineSplitter
{
public:
    using Sink = std::function<void(const QByteArray& line, bool tooLong)>;

    explicit LineSplitter(qsizetype maxBytes);

    void feed(QByteArrayView bytes, const Sink& sink);
    void end(const Sink& sink); // the last line, when the input does not end with LF

private:
    QByteArray m_line;
    qsizetype m_max;
    bool m_tooLong = false;
};

// Line `number` (1-based) as an input: nothing for a blank line or a comment. The first line may
// start with a UTF-8 byte order mark; bytes that are not UTF-8 make a failed row.
std::optional<Input> inputFromBytes(const QByteArray& bytes, bool tooLong, qint64 number);

// The addresses to shorten, as they become available. A file or standard input is read on a thread
// of its own, so a slow pipe never holds up replies, and at most `capacity` inputs wait to be taken:
// memory does not grow with the input.
class LineSource final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LineSource)

public:
    static constexpr qint64 MaxLineBytes = qint64 {64} * 1024;

    // Addresses given as arguments: the same trimming and skipping as lines of a file.
    explicit LineSource(const QStringList& arguments, QObject* parent = nullptr);
    // A file, or standard input for "-". With countTotal, a regular file is counted first (totalKnown).
    LineSource(QString path, qsizetype capacity, bool countTotal, QObject* parent = nullptr);
    ~LineSource() override;

    // False with errorString() when the file cannot be opened.
    bool start();
    QString errorString() const { return m_error; }

    std::optional<Input> take(); // nothing when none is waiting right now
    bool atEnd() const; // none waiting and none will come

signals:
    void available(); // inputs arrived, or the end
    void totalKnown(qint64 total);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    QString m_path;
    bool m_countTotal = false;
    QString m_error;
};

} // namespace Nolvex::Cli
