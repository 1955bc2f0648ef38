#pragma once

#include "row.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>

namespace Nolvex::Cli
{

struct Input {
    qint64 line = 0;
    QString text;
    bool tooLong = false; // the line was cut off at MaxLineBytes
};

// The addresses to shorten, as they become available. A file or standard input is read on a thread
// of its own, so a slow pipe never holds up replies, and at most `capacity` inputs wait to be taken:
// memory does not grow with the input.
class LineSource final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LineSource)

public:
    static constexpr qint64 MaxLineBytes = 64 * 1024;

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
