#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

class QFile;

namespace Nolvex::Cli
{

// One line on standard error, redrawn a few times a second: done / total with a bar when the total
// is known, the rate, and the time left.
class Progress final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Progress)

public:
    explicit Progress(QFile& terminal, QObject* parent = nullptr);

    void start();
    void setTotal(qint64 total) { m_total = total; }
    void setDone(qint64 done) { m_done = done; }
    void clear(); // before other output reaches the same terminal, and at the end
    void stop();

    // The line for `done` of `total` (negative: unknown) after `elapsedMs`, `width` columns wide.
    static QString line(qint64 done, qint64 total, qint64 elapsedMs, int width);

private:
    void draw();

    QFile& m_terminal;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_total = -1;
    qint64 m_done = 0;
    bool m_shown = false;
};

} // namespace Nolvex::Cli
