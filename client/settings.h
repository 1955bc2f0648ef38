#pragma once

#include "shorten.h"
#include "update.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

class QCommandLineParser;

namespace Nolvex
{

// Where the client goes. Origins have no trailing slash ("https://api.example" or, for a service on
// this machine only, "http://127.0.0.1:8420").
struct Settings {
    QString shortenOrigin;
    QString versionOrigin;
    QString siteOrigin;
    QUrl makerHome;
    QUrl companyHome;
    // Not options a user sets; tests shorten them.
    std::chrono::milliseconds shortenTimeLimit = ShortenTimeLimit;
    std::chrono::milliseconds versionCheckTimeLimit = VersionCheckTimeLimit;
};

struct SettingsOutcome {
    std::optional<Settings> settings; // empty when an option was refused or help was asked for
    QString message; // the refusal, or the help text
    bool helpRequested = false;
};

// A host setting: "name[:port]" gets "https://" in front; an explicit "https://" origin is kept;
// an explicit "http://" origin only for a loopback host. Anything else is refused.
std::optional<QString> originFromSetting(const QString& setting, QString* error);

// An absolute http or https address with a host, or nothing.
std::optional<QUrl> webAddress(const QString& text);

// Compiled-in defaults, overridden by the administrator's nolvex/nolvex-shortener.conf in the system's
// configuration folders (XDG_CONFIG_DIRS, else /etc/xdg; read only), by the environment, and by the
// command line.
SettingsOutcome loadSettings(const QStringList& arguments, const QProcessEnvironment& environment);

// The same options for a front end with options of its own: add them to its parser, then read them
// once it has parsed. An empty settings value comes with the refusal in *error.
void addSettingsOptions(QCommandLineParser& parser);
std::optional<Settings> settingsFromParser(
    const QCommandLineParser& parser, const QProcessEnvironment& environment, QString* error);

} // namespace Nolvex
