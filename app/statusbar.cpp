#include "statusbar.h"

#include "twips.h"

#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

namespace Nolvex
{
namespace
{
constexpr int PanelWidthTwips = 1440;
constexpr int MinimumWidthTwips = 1440;
} // namespace

QString StatusBar::clockText(QTime time)
{
    // Hours and minutes in the locale's short form; some locales' short form carries seconds too,
    // which a clock that wakes once a minute would show wrongly.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    static const QRegularExpression seconds(QStringLiteral("[:.]?s+"));
    format.remove(seconds);
    return QLocale().toString(time, format.trimmed());
}

StatusBar::StatusBar(qreal logicalDpi, QWidget* parent)
    : QStatusBar(parent)
{
    setObjectName(QStringLiteral("S1"));
    setSizeGripEnabled(false);
    const int fixed = twipsToPixels(PanelWidthTwips, logicalDpi);
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(QStringLiteral("S1Panel%1").arg(i + 1));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
        m_panels[i] = label;
    }
    m_panels[0]->setText(QStringLiteral("运行提示："));
    m_panels[0]->setFixedWidth(fixed);
    m_panels[1]->setText(QStringLiteral("正在检测最新版本.."));
    m_panels[1]->setMinimumWidth(twipsToPixels(MinimumWidthTwips, logicalDpi));
    // Long messages are cut at the panel's edge rather than widening the window.
    m_panels[1]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_panels[2]->setFixedWidth(fixed);
    m_panels[2]->setAlignment(Qt::AlignCenter);
    m_panels[2]->setToolTip(QStringLiteral("Nolvex出品"));
    addWidget(m_panels[0], 0);
    addWidget(m_panels[1], 1);
    addWidget(m_panels[2], 0);

    m_clock.setSingleShot(true);
    connect(&m_clock, &QTimer::timeout, this, &StatusBar::updateClock);
    updateClock();
}

QLabel* StatusBar::panel(int number) const
{
    return m_panels.at(static_cast<std::size_t>(number - 1));
}

void StatusBar::setMessage(const QString& text)
{
    m_panels[1]->setText(text);
    m_panels[1]->setToolTip(text);
}

QString StatusBar::message() const
{
    return m_panels[1]->text();
}

void StatusBar::updateClock()
{
    const QTime now = QTime::currentTime();
    m_panels[2]->setText(clockText(now));
    // Wake just after the next minute begins, rather than polling every second.
    const int untilNextMinute = (60 - now.second()) * 1000 - now.msec() + 50;
    m_clock.start(untilNextMinute);
}

} // namespace Nolvex
