#pragma once

#include "fakeplatform.h"
#include "form1.h"
#include "settings.h"

#include <QString>
#include <chrono>
#include <memory>

class QAction;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Limits for windows under test whose peers answer: long enough that no working local peer reaches
// them, so only the tests of the limits themselves, which set theirs short, ever wait one out.
inline constexpr std::chrono::milliseconds AmpleTimeLimit {5'000};

// Settings for a window under test: the shortening and version services at the given origins, fixed
// fictional home pages and web site, and the given time limits.
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

    QLineEdit* text(const char* name) const;
    QPushButton* button(const char* name) const;
    QRadioButton* option(int index) const;
    QAction* menu(const char* name) const;
    // Status panel 2.
    QString status() const;

    // Until the update check has ended and the generate button is usable.
    bool waitUntilReady() const;
    // Types the address, selects the option (unless -1), presses the generate button and waits until
    // the request has ended.
    bool shorten(const QString& address, int option = -1) const;

    FakePlatform platform;
    std::unique_ptr<Nolvex::Form1> window;
    // The update timer's interval as the window set it, before the harness quickened it.
    std::chrono::milliseconds shippedTick {};
};
