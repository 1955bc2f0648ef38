#include "windowharness.h"

#include "statusbar.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

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

QLineEdit* WindowHarness::text(const char* name) const
{
    return window->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QPushButton* WindowHarness::button(const char* name) const
{
    return window->findChild<QPushButton*>(QString::fromLatin1(name));
}

QRadioButton* WindowHarness::option(int index) const
{
    return window->findChild<QRadioButton*>(QStringLiteral("Option1_%1").arg(index));
}

QAction* WindowHarness::menu(const char* name) const
{
    return window->findChild<QAction*>(QString::fromLatin1(name));
}

QString WindowHarness::status() const
{
    return window->statusBarPanels()->message();
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
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    return QTest::qWaitFor([this] { return !window->requestPending(); }, 20'000);
}
