#pragma once

#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <array>

class QLabel;

namespace Nolvex
{

// Three inset panels: a fixed caption, the message panel that takes the width left over, and a clock.
class StatusBar final : public QStatusBar
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusBar)

public:
    StatusBar(qreal logicalDpi, QWidget* parent);

    // Panels are numbered from 1, left to right.
    QLabel* panel(int number) const;
    void setMessage(const QString& text);
    QString message() const;

    static QString clockText(QTime time);

private:
    void updateClock();

    std::array<QLabel*, 3> m_panels {};
    QTimer m_clock;
};

} // namespace Nolvex
