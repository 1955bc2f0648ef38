#pragma once

#include "http/message.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace Shortd
{

// The languages the pages speak; Chinese unless the browser prefers English.
enum class Language {
    Chinese,
    English,
};
inline constexpr int LanguageCount = 2;

// The language a browser's Accept-Language asks for among the two: the one of the higher weight,
// the earlier one when both weigh the same, Chinese when it names neither.
Language preferredLanguage(QByteArrayView acceptLanguage);
// Whether an If-None-Match field names etag (or is "*"). Weak and strong tags compare alike, as
// RFC 9110 §13.1.2 has it for this field.
bool etagMatches(QByteArrayView ifNoneMatch, QByteArrayView etag);

// The shortening page at / and the operators' console at /admin, with the style sheet, scripts and
// translation tables they load from /static/VERSION/. The pages are rendered once per language at
// start from the templates built into the binary; every text comes from that language's table.
// VERSION is a digest of every asset, so a changed asset has a new address and browsers may keep
// each one for a year; the pages themselves are revalidated with their ETag on every load.
class WebApp
{
public:
    WebApp();

    // The reply to a GET or HEAD of a page or an asset, or nothing when the path is none of them.
    std::optional<HttpReply> reply(const HttpRequest& request) const;

    // A text of a language's table (lang/*.json); the key itself when the table lacks it.
    QString text(Language language, const QString& key) const;
    // The language's tag, as a page's lang attribute carries it.
    static QString languageTag(Language language);
    // The path prefix of the assets, "/static/VERSION".
    const QString& staticPrefix() const { return m_staticPrefix; }
    // Template keys that some language's table lacks; empty in a sound build.
    const QStringList& missingTexts() const { return m_missingTexts; }

private:
    struct Resource {
        QByteArray body;
        QByteArray contentType;
        QByteArray etag;
    };

    void loadTables();
    Resource renderPage(const QString& name, Language language);
    HttpReply answer(const Resource& resource, const HttpRequest& request, bool page) const;

    QHash<QString, Resource> m_assets; // by name below the prefix
    std::array<QJsonObject, LanguageCount> m_tables;
    std::array<Resource, LanguageCount> m_home;
    std::array<Resource, LanguageCount> m_console;
    QString m_staticPrefix;
    QStringList m_missingTexts;
};

} // namespace Shortd
