#pragma once

#include <QString>

class QUrl;
class QWidget;

namespace Nolvex
{

// What the window asks of the desktop. Tests give the window their own, to answer and to watch.
class Platform
{
public:
    Platform() = default;
    virtual ~Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;
    Platform(Platform&&) = delete;
    Platform& operator=(Platform&&) = delete;

    // A modal box titled "提示" with the information icon and one OK button.
    virtual void inform(QWidget* parent, const QString& text) = 0;
    // The same box with Yes and No; true for Yes.
    virtual bool askYesNo(QWidget* parent, const QString& text) = 0;
    // Opens an http or https address in the user's browser; false when that failed.
    virtual bool openUrl(const QUrl& url) = 0;
    // Ends the client at once, without asking.
    virtual void quitNow() = 0;
};

// The real desktop: message boxes with Chinese buttons, the default browser, the event loop.
class DesktopPlatform final : public Platform
{
public:
    void inform(QWidget* parent, const QString& text) override;
    bool askYesNo(QWidget* parent, const QString& text) override;
    bool openUrl(const QUrl& url) override;
    void quitNow() override;
};

} // namespace Nolvex
