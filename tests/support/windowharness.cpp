#include "windowharness.h"

Nolvex::Settings testSettings(const QString& shortenOrigin, const QString& versionOrigin,
    std::chrono::milliseconds shortenTimeLimit, std::chrono::milliseconds versionCheckTimeLimit)
{
    Nolvex::Settings settings;
    settings.shortenOrigin = shortenOrigin;
    settings.versionOrigin = versionOrigin;
    settings.siteOrigin = QStringLiteral("https://www.nolvex.example");
    settings.makerHome = QUrl(QStringLiteral("http://www.nolvex.example/"));
    settings.companyHome = QUrl(QStringLiteral("https://www.tarvo.example/"));
    settings.shortenTimeLimit = shortenTimeLimit;
    settings.versionCheckTimeLimit = versionCheckTimeLimit;
    return settings;
}

WindowHarness::WindowHarness(const Nolvex::Settings& settings)
    : window(std::make_unique<Nolvex::Form1>(settings, platform))
    , shippedTick(window->updateTimer().intervalAsDuration())
{
    window->updateTimer().setInterval(QuickTick);
    window->show();
}

bool WindowHarness::waitUntilReady() const
{
    return QTest::qWaitFor([this] { return button("Command1")->isEnabled(); }, 10'000);
}

bool WindowHarness::shorten(const QString& address, int option) const
{
    if (option >= 0) {
        this->option(option)->setChecked(true);
    }
    text("Text1")->setText(address);
    click("Command1");
    return QTest::qWaitFor([this] { return !window->requestPending(); }, 20'000);
}
