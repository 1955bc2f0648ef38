#include "progress.h"

#include <QFile>
#include <QLocale>

namespace Nolvex::Cli
{
namespace
{

constexpr int BarWidth = 24;
constexpr std::chrono::milliseconds RedrawEvery {200};

QString duration(qint64 seconds)
{
    if (seconds >= 3600) {
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

Progress::Progress(QFile& terminal, QObject* parent)
    : QObject(parent)
    , m_terminal(terminal)
{
    m_timer.setInterval(RedrawEvery);
    connect(&m_timer, &QTimer::timeout, this, &Progress::draw);
}

void Progress::start()
{
    m_clock.start();
    m_timer.start();
}

QString Progress::line(qint64 done, qint64 total, qint64 elapsedMs, int width)
{
    const QLocale locale;
    const double rate = elapsedMs > 0 ? static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs) : 0.0;
    QString text;
    if (total >= 0) {
        const qint64 filled = total > 0 ? std::min<qint64>(BarWidth, done * BarWidth / total) : BarWidth;
        text = u'[' + QString(filled, u'#') + QString(BarWidth - filled, u'.') + QStringLiteral("] ")
            + QStringLiteral("%1/%2").arg(locale.toString(done), locale.toString(total));
    } else {
        text = tr("%1 done").arg(locale.toString(done));
    }
    text += QStringLiteral("  ") + tr("%1/s").arg(locale.toString(rate, 'f', 0));
    if (total >= 0 && rate > 0.0 && done < total) {
        text += QStringLiteral("  ")
            + tr("%1 left").arg(duration(static_cast<qint64>(static_cast<double>(total - done) / rate)));
    }
    return text.left(width);
}

void Progress::draw()
{
    m_terminal.write("\r" + line(m_done, m_total, m_clock.elapsed(), 79).toUtf8() + "\x1b[K");
    m_terminal.flush();
    m_shown = true;
}

void Progress::clear()
{
    if (m_shown) {
        m_terminal.write("\r\x1b[K");
        m_terminal.flush();
        m_shown = false;
    }
}

void Progress::stop()
{
    m_timer.stop();
    clear();
}

} // namespace Nolvex::Cli
