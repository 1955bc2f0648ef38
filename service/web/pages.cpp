#include "web/pages.h"

#include "displaytext.h"
#include "links/quarantine.h"
#include "links/reports.h"
#include "web/hostfacts.h"

#include <QDateTime>

namespace Shortd
{
namespace
{
QByteArray page(
    const QString& title, const QString& body, const QString& lang = QStringLiteral("zh-CN"), QStringView head = {})
{
    const QString html = u"<!DOCTYPE html>\n<html lang=\"" % htmlEscaped(lang)
        % u"\"><head><meta charset=\"utf-8\">"
          u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        % head % u"<title>" % htmlEscaped(title)
        % u"</title><style>body{font-family:sans-serif;max-width:44em;margin:2em auto;padding:0 1em;"
          u"line-height:1.5}.target{word-break:break-all}small{color:#666}.warning{color:#a00}</style></head><body>\n"
        % body % u"\n</body></html>\n";
    return html.toUtf8();
}

// One warning of the preview; kind names it for style sheets and tests.
QString warning(QStringView kind, const QString& html)
{
    return u"<p class=\"warning " % kind % u"\"><strong>注意：</strong>" % html % u"</p>\n";
}

} // namespace

QString hostLines(const HostFacts& host)
{
    const QString real = u"<code>" % htmlEscaped(host.ascii) % u"</code>";
    QString lines = u"<p>真实主机名（ASCII）：" % real % u"</p>\n";
    if (host.unicode != host.ascii) {
        lines += u"<p>按 Unicode 显示为：<code>" % htmlEscaped(withVisibleControls(host.unicode)) % u"</code></p>\n";
    }
    if (!host.userInfo.isEmpty()) {
        lines += warning(u"userinfo",
            u"网址在 @ 之前带有用户名（或密码）<code>" % htmlEscaped(withVisibleControls(host.userInfo))
                % u"</code>，它不是要访问的网站。真正的主机是 " % real % u"。");
    }
    if (!host.oddDots.isEmpty()) {
        QStringList dots;
        for (const QChar dot : host.oddDots) {
            dots.append(u"<code>" % QString(dot) % u"</code>（U+"
                % QString::number(dot.unicode(), 16).toUpper().rightJustified(4, u'0') % u'）');
        }
        lines += warning(u"dots",
            u"主机名里的" % dots.join(u"、") % u"不是英文句点，浏览器会把它当作“.”。真正的主机是 " % real % u"。");
    }
    if (host.mixedScripts) {
        lines += warning(u"mixed-scripts",
            QStringLiteral("主机名混用了不同的文字（例如拉丁字母和西里尔字母），这常被用来冒充其他网站。"));
    }
    if (host.lookAlike) {
        lines += warning(u"look-alike",
            u"主机名里有与常见字母形似的字符，看起来像另一个网址，其实不是。真正的主机是 " % real % u"。");
    }
    return lines;
}

QString htmlEscaped(const QString& text)
{
    QString escaped = text.toHtmlEscaped();
    escaped.replace(u'\'', QStringLiteral("&#39;"));
    return escaped;
}

QByteArray previewPage(const QString& shortLink, const QString& target, const QByteArray& location, qint64 visits,
    qint64 createdSecs, const QString& qrImage, const QString& reportForm)
{
    const QString shown = htmlEscaped(withVisibleControls(target));
    const QString created
        = QDateTime::fromSecsSinceEpoch(createdSecs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
    return page(QStringLiteral("短网址预览"),
        u"<h1>短网址预览</h1>\n<p>短网址 <code>" % htmlEscaped(shortLink)
            % u"</code> 指向：</p>\n<p class=\"target\"><a href=\"" % htmlEscaped(QString::fromLatin1(location))
            % u"\" rel=\"noreferrer nofollow\">" % shown % u"</a></p>\n" % hostLines(inspectHost(target, location))
            % u"<p>访问次数：" % QString::number(visits) % u"<br><small>创建于 " % created
            % u"</small></p>\n<p><img src=\"" % htmlEscaped(qrImage)
            % u"\" alt=\"短网址的二维码\" width=\"200\" height=\"200\"></p>" % reportForm);
}

QByteArray notFoundPage(const QString& what)
{
    return page(QStringLiteral("找不到短网址"),
        u"<h1>找不到短网址</h1>\n<p><code>" % htmlEscaped(withVisibleControls(what))
            % u"</code> 不是有效的短网址，可能输入有误。</p>");
}

QByteArray messagePage(const QString& title, const QString& message, const QString& lang)
{
    return page(title, u"<h1>" % htmlEscaped(title) % u"</h1>\n<p>" % htmlEscaped(message) % u"</p>", lang);
}

QByteArray gonePage(const QString& code, bool deleted, const QString& reason, bool takedown, const QString& reportForm)
{
    if (deleted) {
        return page(QStringLiteral("短网址已删除"),
            u"<h1>短网址已删除</h1>\n<p>短网址 <code>" % htmlEscaped(code)
                % u"</code> 已被删除，不再指向任何网址。</p>");
    }
    // Only the service's own words are shown: a reason its creator wrote could send people anywhere.
    const QString why = reason.isEmpty() || !takedown
        ? QString()
        : u"<p>原因：" % htmlEscaped(withVisibleControls(reason)) % u"</p>\n";
    return page(QStringLiteral("短网址已停用"),
        u"<h1>短网址已停用</h1>\n<p>短网址 <code>" % htmlEscaped(code) % u"</code> "
            % (takedown ? QStringLiteral("已被服务管理员停用") : QStringLiteral("已被停用")) % u"，不再跳转。</p>\n"
            % why % reportForm);
}

QByteArray expiredPage(const QString& code, qint64 endedSecs, const QString& reportForm)
{
    QString why = QStringLiteral("它的访问次数已达上限。");
    if (endedSecs > 0) {
        why = u"它的有效期到 "
            % QDateTime::fromSecsSinceEpoch(endedSecs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
            % u" 为止。";
    }
    return page(QStringLiteral("短网址已过期"),
        u"<h1>短网址已过期</h1>\n<p>短网址 <code>" % htmlEscaped(code) % u"</code> 已过期，不再跳转。</p>\n<p>" % why
            % u"</p>" % reportForm);
}

QByteArray limitedPage(const LimitedPageTexts& texts, const QString& shortLink, const QString& action)
{
    // No script: the button is a plain form, so it works wherever the page can be shown at all.
    return page(texts.title,
        u"<h1>" % htmlEscaped(texts.title) % u"</h1>\n<p><code>" % htmlEscaped(shortLink) % u"</code></p>\n<p>"
            % htmlEscaped(texts.message) % u"</p>\n<form method=\"post\" action=\"" % htmlEscaped(action)
            % u"\"><button type=\"submit\">" % htmlEscaped(texts.button) % u"</button></form>",
        texts.lang, u"<meta name=\"robots\" content=\"noindex\">");
}

QByteArray quarantinePage(const QuarantinePageTexts& texts, const QuarantineFacts& facts, const QString& reportForm)
{
    // The entry may be an address too: both are shown defanged, with their hidden characters made
    // visible, and neither ever inside an <a>.
    const auto shown = [](const QString& text) { return htmlEscaped(withVisibleControls(defanged(text))); };
    const QString since = facts.sinceSecs > 0
        ? QDateTime::fromSecsSinceEpoch(facts.sinceSecs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
        : QStringLiteral("-");
    return page(texts.title,
        u"<h1>" % htmlEscaped(texts.title) % u"</h1>\n<p><code>" % htmlEscaped(facts.shortLink) % u"</code></p>\n"
            % warning(u"quarantined", htmlEscaped(texts.message)) % u"<dl>\n<dt>" % htmlEscaped(texts.list)
            % u"</dt><dd><code>" % htmlEscaped(withVisibleControls(facts.list)) % u"</code></dd>\n<dt>"
            % htmlEscaped(texts.entry) % u"</dt><dd><code class=\"target\">" % shown(facts.entry)
            % u"</code></dd>\n<dt>" % htmlEscaped(texts.since) % u"</dt><dd>" % since % u"</dd>\n<dt>"
            % htmlEscaped(texts.destination) % u"</dt><dd><code class=\"target defanged\">" % shown(facts.target)
            % u"</code></dd>\n</dl>" % reportForm,
        texts.lang, u"<meta name=\"robots\" content=\"noindex\">");
}

QString reportForm(const ReportFormTexts& texts, const QString& code)
{
    QString options;
    const QStringList& reasons = reportReasons();
    for (qsizetype i = 0; i < reasons.size(); ++i) {
        options += u"<option value=\"" % reasons.at(i) % u"\">"
            % htmlEscaped(i < texts.reasons.size() ? texts.reasons.at(i) : reasons.at(i)) % u"</option>";
    }
    return u"\n<form class=\"report\" method=\"post\" action=\"/report\"><h2>" % htmlEscaped(texts.heading)
        % u"</h2>\n<input type=\"hidden\" name=\"code\" value=\"" % htmlEscaped(code)
        % u"\">\n<p><label for=\"report-reason\">" % htmlEscaped(texts.reason)
        % u"</label> <select id=\"report-reason\" name=\"reason\">" % options
        % u"</select></p>\n<p><label for=\"report-text\">" % htmlEscaped(texts.text)
        % u"</label><br><textarea id=\"report-text\" name=\"text\" rows=\"3\" cols=\"40\" maxlength=\""
        % QString::number(MaximumReportText) % u"\"></textarea></p>\n<p><button type=\"submit\">"
        % htmlEscaped(texts.submit) % u"</button></p></form>";
}

QByteArray releasePage(const QString& version, const QString& sid, bool required)
{
    return page(QStringLiteral("Nolvex 网址缩短工具 %1").arg(version),
        u"<h1>Nolvex 网址缩短工具 " % htmlEscaped(version) % u"</h1>\n<p>发布编号：" % htmlEscaped(sid) % u"</p>\n<p>"
            % (required ? QStringLiteral("这是必须安装的更新。") : QStringLiteral("这是可选更新。")) % u"</p>");
}

} // namespace Shortd
