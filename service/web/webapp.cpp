#include "web/webapp.h"

#include "protocol.h"
#include "web/pages.h"
#include "web/policies.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>

namespace Shortd
{
namespace
{
using namespace Nolvex::Protocol;

constexpr auto ResourceRoot = QStringView(u":/nolvex/web/");
constexpr auto StaticRoot = QStringView(u"/static/");
constexpr auto ConsolePath = QStringView(u"/admin");
// A year: the address changes with the content, so what a browser keeps never goes stale.
constexpr auto AssetCaching = QByteArrayView("public, max-age=31536000, immutable");
constexpr auto PageCaching = QByteArrayView("no-cache");
constexpr qsizetype VersionLength = 12;
constexpr qsizetype EtagLength = 24;

constexpr std::array<QStringView, LanguageCount> LanguageTags {u"zh-CN", u"en"};
constexpr std::array<QStringView, LanguageCount> TableNames {u"lang/zh.json", u"lang/en.json"};

QByteArray readResource(const QString& path)
{
    QFile file(path);
    // Built into the binary: failing to open one is a broken build, not a condition to serve around.
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("web asset %s missing from the build", qPrintable(path));
    }
    return file.readAll();
}

QByteArray contentTypeOf(QStringView name)
{
    if (name.endsWith(u".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (name.endsWith(u".css")) {
        return "text/css; charset=utf-8";
    }
    if (name.endsWith(u".json")) {
        return "application/json; charset=utf-8";
    }
    if (name.endsWith(u".svg")) {
        return "image/svg+xml";
    }
    return "application/octet-stream";
}

QByteArray etagOf(const QByteArray& body)
{
    return '"' + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex().left(EtagLength) + '"';
}

// The weight of one Accept-Language entry; a malformed one counts as absent.
double weightOf(QByteArrayView parameters)
{
    const qsizetype at = parameters.indexOf("q=");
    if (at < 0) {
        return 1.0;
    }
    bool ok = false;
    const double q = parameters.sliced(at + 2).trimmed().toDouble(&ok);
    return ok && q >= 0.0 && q <= 1.0 ? q : 0.0;
}

QString typeRadios()
{
    QString html;
    for (int type = 0; type < LinkTypeCount; ++type) {
        const QString value = QString::number(type);
        html += u"<label class=\"type\"><input type=\"radio\" name=\"type\" value=\"" % value % u'"'
            % (type == 0 ? QStringLiteral(" checked") : QString()) % u"> "
            % htmlEscaped(LinkTypeNames.at(static_cast<size_t>(type)).toString()) % u"</label>\n";
    }
    return html;
}

QString typeOptions()
{
    QString html;
    for (int type = 0; type < LinkTypeCount; ++type) {
        html += u"<option value=\"" % QString::number(type) % u"\">"
            % htmlEscaped(LinkTypeNames.at(static_cast<size_t>(type)).toString()) % u"</option>";
    }
    return html;
}
} // namespace

Language preferredLanguage(QByteArrayView acceptLanguage)
{
    std::array<double, LanguageCount> best {0.0, 0.0};
    std::array<qsizetype, LanguageCount> order {-1, -1};
    qsizetype index = 0;
    for (const QByteArray& entry : acceptLanguage.toByteArray().split(',')) {
        const qsizetype semicolon = entry.indexOf(';');
        const QByteArray tag = (semicolon < 0 ? entry : entry.left(semicolon)).trimmed().toLower();
        const double q = semicolon < 0 ? 1.0 : weightOf(QByteArrayView(entry).sliced(semicolon + 1));
        const auto language = [&tag]() -> std::optional<Language> {
            if (tag == "zh" || tag.startsWith("zh-")) {
                return Language::Chinese;
            }
            if (tag == "en" || tag.startsWith("en-")) {
                return Language::English;
            }
            return std::nullopt;
        }();
        if (language) {
            const auto slot = static_cast<size_t>(*language);
            if (q > best.at(slot)) {
                best.at(slot) = q;
                order.at(slot) = index;
            }
        }
        ++index;
    }
    const auto zh = static_cast<size_t>(Language::Chinese);
    const auto en = static_cast<size_t>(Language::English);
    const bool english
        = best.at(en) > best.at(zh) || (best.at(en) > 0.0 && best.at(en) == best.at(zh) && order.at(en) < order.at(zh));
    return english ? Language::English : Language::Chinese;
}

bool etagMatches(QByteArrayView ifNoneMatch, QByteArrayView etag)
{
    const QByteArray field = ifNoneMatch.toByteArray().trimmed();
    if (field == "*") {
        return true;
    }
    return std::ranges::any_of(field.split(','), [etag](const QByteArray& candidate) {
        QByteArray tag = candidate.trimmed();
        if (tag.startsWith("W/")) {
            tag.remove(0, 2);
        }
        return !tag.isEmpty() && tag == etag;
    });
}

WebApp::WebApp()
{
    QDirIterator files(ResourceRoot.toString(), QDir::Files, QDirIterator::Subdirectories);
    QStringList names;
    while (files.hasNext()) {
        const QString name = files.next().sliced(ResourceRoot.size());
        if (!name.endsWith(u".html")) {
            names.append(name);
            m_assets.insert(name, Resource {readResource(files.filePath()), contentTypeOf(name), {}});
        }
    }
    loadTables();
    names.sort();
    QCryptographicHash version(QCryptographicHash::Sha256);
    for (const QString& name : std::as_const(names)) {
        Resource& asset = m_assets[name];
        asset.etag = etagOf(asset.body);
        version.addData(name.toUtf8());
        version.addData(asset.etag);
    }
    m_staticPrefix = StaticRoot % QString::fromLatin1(version.result().toHex().left(VersionLength));
    for (int language = 0; language < LanguageCount; ++language) {
        m_home.at(static_cast<size_t>(language)) = renderPage(QStringLiteral("home.html"), Language(language));
        m_console.at(static_cast<size_t>(language)) = renderPage(QStringLiteral("console.html"), Language(language));
    }
    m_missingTexts.removeDuplicates();
}

void WebApp::loadTables()
{
    for (size_t language = 0; language < LanguageCount; ++language) {
        const QString name = TableNames.at(language).toString();
        QJsonObject table = QJsonDocument::fromJson(m_assets.value(name).body).object();
        // The words the window shows are the window's, in one place for both; the type names are
        // host names, the same in every language.
        if (Language(language) == Language::Chinese) {
            table.insert(QStringLiteral("shorten.button"), ShortenButtonText.toString());
        }
        for (int type = 0; type < LinkTypeCount; ++type) {
            table.insert(u"type." % QString::number(type), LinkTypeNames.at(static_cast<size_t>(type)).toString());
        }
        m_tables.at(language) = table;
        m_assets[name].body = QJsonDocument(table).toJson(QJsonDocument::Compact);
    }
    // Every language must say everything the other says.
    for (size_t language = 0; language < LanguageCount; ++language) {
        for (const QString& key : m_tables.at(language).keys()) {
            for (const QJsonObject& other : m_tables) {
                if (!other.contains(key)) {
                    m_missingTexts.append(key);
                }
            }
        }
    }
}

WebApp::Resource WebApp::renderPage(const QString& name, Language language)
{
    static const QRegularExpression placeholder(QStringLiteral("\\{\\{([@A-Za-z0-9_.]+)\\}\\}"));
    const QString source = QString::fromUtf8(readResource(ResourceRoot % name));
    const QJsonObject& table = m_tables.at(static_cast<size_t>(language));
    QString html;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(source)) {
        html += QStringView(source).sliced(from, match.capturedStart() - from);
        const QString key = match.captured(1);
        if (key == u"@static") {
            html += m_staticPrefix;
        } else if (key == u"@lang") {
            html += LanguageTags.at(static_cast<size_t>(language));
        } else if (key == u"@texts") {
            // A data block the scripts read: JSON with every '<' escaped cannot end the element early.
            html += QString::fromUtf8(QJsonDocument(table).toJson(QJsonDocument::Compact))
                        .replace(u'<', QStringLiteral("\\u003c"));
        } else if (key == u"@types") {
            html += typeRadios();
        } else if (key == u"@typeOptions") {
            html += typeOptions();
        } else if (const QJsonValue text = table.value(key); text.isString()) {
            html += htmlEscaped(text.toString());
        } else {
            m_missingTexts.append(key);
            html += htmlEscaped(key);
        }
        from = match.capturedEnd();
    }
    html += QStringView(source).sliced(from);
    const QByteArray body = html.toUtf8();
    return {body, "text/html; charset=utf-8", etagOf(body)};
}

HttpReply WebApp::answer(const Resource& resource, const HttpRequest& request, bool page) const
{
    const bool fresh = etagMatches(request.ifNoneMatch, resource.etag);
    HttpReply reply {
        fresh ? 304 : 200, fresh ? QByteArray() : resource.contentType, fresh ? QByteArray() : resource.body, {}};
    reply.addHeader("ETag", resource.etag);
    reply.addHeader("Cache-Control", (page ? PageCaching : AssetCaching).toByteArray());
    reply.addHeader("X-Content-Type-Options", "nosniff");
    if (page) {
        reply.addHeader("Vary", "Accept-Language");
        reply.addHeader("Content-Security-Policy", AppPolicy.toByteArray());
        reply.addHeader("X-Frame-Options", "DENY"); // for browsers that know no frame-ancestors
        reply.addHeader("Referrer-Policy", "same-origin");
    }
    return reply;
}

QString WebApp::text(Language language, const QString& key) const
{
    return m_tables.at(static_cast<size_t>(language)).value(key).toString(key);
}

QString WebApp::languageTag(Language language)
{
    return LanguageTags.at(static_cast<size_t>(language)).toString();
}

std::optional<HttpReply> WebApp::reply(const HttpRequest& request) const
{
    const QString& path = request.path;
    if (path == u"/" || path == ConsolePath) {
        const auto language = static_cast<size_t>(preferredLanguage(request.acceptLanguage));
        return answer(path == u"/" ? m_home.at(language) : m_console.at(language), request, true);
    }
    if (path.startsWith(m_staticPrefix) && path.size() > m_staticPrefix.size()
        && path.at(m_staticPrefix.size()) == u'/') {
        const auto found = m_assets.constFind(path.sliced(m_staticPrefix.size() + 1));
        if (found != m_assets.constEnd()) {
            return answer(*found, request, false);
        }
    }
    return std::nullopt;
}

} // namespace Shortd
