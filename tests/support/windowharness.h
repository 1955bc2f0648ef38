#pragma once

#include "fakeplatform.h"
#include "form1.h"
#include "settings.h"
#include "statusbar.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <chrono>
#include <memory>

// Limits for windows whose peers answer: no working local peer reaches them, so only the tests of
// the limits themselves, which set theirs short, ever wait one out.
inline constexpr std::chrono::milliseconds AmpleTimeLimit {5'000};

// Settings for a window under test: the services at the given origins, fixed fictional home pages
// and web site, and the given time limits.
Nolvex::Settings testSettings(const QString& shortenOrigin, const QString& versionOrigin,
    std::chrono::milliseconds shortenTimeLimit = AmpleTimeLimit,
    std::chrono::milliseconds versionCheckTimeLimit = AmpleTimeLimit);

// One shown window with a fake desktop, and its controls by their design names. The update check's
// timer ticks at once instead of after a second: tests wait for the check to end, not for the clock.
class WindowHarness
{
public:
    static constexpr std::chrono::milliseconds QuickTick {10};

    explicit WindowHarness(const Nolvex::Settings& settings);

    template<typename T>
    T* find(QAnyStringView name) const
    {
        return window->findChild<T*>(name.toString());
    }
    QLineEdit* text(const char* name) const { return find<QLineEdit>(name); }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }
    QRadioButton* option(int index) const { return find<QRadioButton>(QStringLiteral("Option1_%1").arg(index)); }
    QAction* menu(const char* name) const { return find<QAction>(name); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    QString status() const { return window->statusBarPanels()->message(); } // status panel 2

    // Until the update check has ended and the generate button is usable.
    bool waitUntilReady() const;
    // Types the address, selects the option (unless -1), presses the generate button and waits until
    // the request has ended.
    bool shorten(const QString& address, int option = -1) const;

    FakePlatform platform;
    std::unique_ptr<Nolvex::Form1> window;
    std::chrono::milliseconds shippedTick {}; // the update timer's interval before the harness quickened it
};
