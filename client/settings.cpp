#include "settings.h"

#include "buildconfig.h"
#include "webclient.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <array>

namespace Nolvex
{
namespace
{

struct HostOption {
    const char* name; // the command-line option
    const char* environment;
    const char* fallback;
    const char* description;
    bool isOrigin;
};

constexpr std::array<HostOption, 5> HostOptions {{
    {"shorten-host", "NOLVEX_SHORTEN_HOST", BuildConfig::ShortenHost, "Host[:port] of the shortening service.", true},
    {"version-host", "NOLVEX_VERSION_HOST", BuildConfig::VersionHost, "Host[:port] of the version service.", true},
    {"site-host", "NOLVEX_SITE_HOST", BuildConfig::SiteHost, "Host[:port] of the web site with release pages.", true},
    {"maker-home", "NOLVEX_MAKER_HOME", BuildConfig::MakerHome, "The maker's home page (http or https).", false},
    {"company-home", "NOLVEX_COMPANY_HOME", BuildConfig::CompanyHome, "The company's home page (http or https).",
        false},
}};

// What an administrator set for every user, read and never written: the first
// nolvex/nolvex-shortener.conf in the system's configuration folders (XDG_CONFIG_DIRS, else
// /etc/xdg), keys named as the options. Empty when there is none.
struct SystemSettings {
    QString path;
    std::array<QString, HostOptions.size()> values;
};

SystemSettings readSystemSettings(const QProcessEnvironment& environment)
{
    QString folders = environment.value(QStringLiteral("XDG_CONFIG_DIRS"));
    if (folders.isEmpty()) {
        folders = QStringLiteral("/etc/xdg");
    }
    SystemSettings system;
    for (const QString& folder : folders.split(u':', Qt::SkipEmptyParts)) {
        const QString path = QDir(folder).filePath(QStringLiteral("nolvex/nolvex-shortener.conf"));
        if (QFileInfo(path).isFile()) {
            system.path = path;
            break;
        }
    }
    if (system.path.isEmpty()) {
        return system;
    }
    const QSettings file(system.path, QSettings::IniFormat);
    for (std::size_t i = 0; i < HostOptions.size(); ++i) {
        system.values[i] = file.value(QString::fromLatin1(HostOptions[i].name)).toString().trimmed();
    }
    return system;
}

} // namespace

std::optional<QString> originFromSetting(const QString& setting, QString* error)
{
    const QString text = setting.trimmed();
    QString candidate = text;
    const qsizetype schemeEnd = text.indexOf(QLatin1StringView("://"));
    if (schemeEnd < 0) {
        candidate = QStringLiteral("https://") + text;
    }
    const QUrl url(candidate, QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool plainPath = url.path().isEmpty() || url.path() == QLatin1StringView("/");
    if (text.isEmpty() || !url.isValid() || url.host().isEmpty() || !plainPath || url.hasQuery() || url.hasFragment()
        || !url.userInfo().isEmpty() || (scheme != QLatin1StringView("https") && scheme != QLatin1StringView("http"))) {
        *error = QStringLiteral("“%1”不是有效的主机名（应为 主机名[:端口]）").arg(setting);
        return std::nullopt;
    }
    if (scheme == QLatin1StringView("http") && !isLoopbackHost(url.host())) {
        *error = QStringLiteral("“%1”使用未加密的 http，只允许本机地址（127.0.0.1、::1、localhost）").arg(setting);
        return std::nullopt;
    }
    QUrl origin = url;
    origin.setPath(QString());
    return origin.toString(QUrl::FullyEncoded);
}

std::optional<QUrl> webAddress(const QString& text)
{
    // Tolerant, as a browser's address bar is: blanks and the like are percent-encoded, not refused.
    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty()
        || (url.scheme() != QLatin1StringView("http") && url.scheme() != QLatin1StringView("https"))) {
        return std::nullopt;
    }
    return url;
}

void addSettingsOptions(QCommandLineParser& parser)
{
    for (const HostOption& option : HostOptions) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.name),
            QString::fromLatin1(option.description) + QStringLiteral(" Environment: ")
                + QString::fromLatin1(option.environment) + QStringLiteral(". Default: ")
                + QString::fromUtf8(option.fallback),
            QStringLiteral("value")));
    }
}

std::optional<Settings> settingsFromParser(
    const QCommandLineParser& parser, const QProcessEnvironment& environment, QString* error)
{
    const SystemSettings system = readSystemSettings(environment);
    std::array<QString, HostOptions.size()> values;
    for (std::size_t i = 0; i < HostOptions.size(); ++i) {
        const HostOption& option = HostOptions[i];
        const QString name = QString::fromLatin1(option.name);
        const QString fromEnvironment = environment.value(QString::fromLatin1(option.environment));
        QString value = QString::fromUtf8(option.fallback);
        // Named in a refusal, so that a bad value is looked for where it was set.
        QString source = QStringLiteral("--") + name;
        if (parser.isSet(name)) {
            value = parser.value(name);
        } else if (!fromEnvironment.isEmpty()) {
            value = fromEnvironment;
            source = QString::fromLatin1(option.environment);
        } else if (!system.values[i].isEmpty()) {
            value = system.values[i];
            source = system.path + QStringLiteral(" ") + name;
        }
        if (option.isOrigin) {
            QString refusal;
            const std::optional<QString> origin = originFromSetting(value, &refusal);
            if (!origin) {
                *error = source + QStringLiteral(": ") + refusal;
                return std::nullopt;
            }
            values[i] = *origin;
        } else {
            if (!webAddress(value)) {
                *error = source + QStringLiteral(": “") + value + QStringLiteral("”不是有效的 http 或 https 网址");
                return std::nullopt;
            }
            values[i] = value;
        }
    }
    Settings settings;
    settings.shortenOrigin = values[0];
    settings.versionOrigin = values[1];
    settings.siteOrigin = values[2];
    settings.makerHome = QUrl(values[3], QUrl::StrictMode);
    settings.companyHome = QUrl(values[4], QUrl::StrictMode);
    return settings;
}

SettingsOutcome loadSettings(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Nolvex 网址缩短工具"));
    const QCommandLineOption help = parser.addHelpOption();
    addSettingsOptions(parser);

    SettingsOutcome outcome;
    if (!parser.parse(arguments)) {
        outcome.message = parser.errorText();
        return outcome;
    }
    if (parser.isSet(help)) {
        outcome.helpRequested = true;
        outcome.message = parser.helpText();
        return outcome;
    }
    outcome.settings = settingsFromParser(parser, environment, &outcome.message);
    return outcome;
}

} // namespace Nolvex
