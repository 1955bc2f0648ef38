#pragma once

#include "settings.h"

// Settings for a window under test: the shortening and version services at the given origins, and
// fixed fictional home pages and web site.
inline Nolvex::Settings testSettings(const QString& shortenOrigin, const QString& versionOrigin)
{
    Nolvex::Settings settings;
    settings.shortenOrigin = shortenOrigin;
    settings.versionOrigin = versionOrigin;
    settings.siteOrigin = QStringLiteral("https://www.nolvex.example");
    settings.makerHome = QUrl(QStringLiteral("http://www.nolvex.example/"));
    settings.companyHome = QUrl(QStringLiteral("https://www.tarvo.example/"));
    return settings;
}
