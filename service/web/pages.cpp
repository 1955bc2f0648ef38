#include "web/pages.h"

#include "displaytext.h"

#include <QDateTime>
#include <QUrl>

namespace Shortd
{
namespace
{
QByteArray page(const QString& title, const QString& body)
{
    const QString html = u"<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                         u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                         u"<title>"
        % htmlEscaped(title)
        % u"</title><style>body{font-family:sans-serif;max-width:44em;margin:2em auto;padding:0 1em;"
          u"line-height:1.5}.target{word-break:break-all}small{color:#666}</style></head><body>\n"
        % body % u"\n</body></html>\n";
    return html.toUtf8();
}
} // namespace

QString htmlEscaped(const QString& text)
{
    QString escaped = text.toHtmlEscaped();
    escaped.replace(u'\'', QStringLiteral("&#39;"));
    return escaped;
}

QByteArray previewPage(const QString& shortLink, const QString& target, const QByteArray& location, qint64 visits,
    qint64 createdSecs, const QString& qrImage)
{
    const QString shown = htmlEscaped(withVisibleControls(target));
    const QString asciiHost = QUrl(QString::fromLatin1(location), QUrl::StrictMode).host(QUrl::FullyEncoded);
    // Decoded whatever the top-level domain: Qt would otherwise keep some of them in punycode.
    const QString unicodeHost = QUrl::fromAce(asciiHost.toLatin1(), QUrl::IgnoreIDNWhitelist);
    const QString hostLine = unicodeHost == asciiHost ? QString()
                                                      : u"<p>主机名（ASCII）：<code>" % htmlEscaped(asciiHost)
            % u"</code>，显示为 <code>" % htmlEscaped(withVisibleControls(unicodeHost)) % u"</code></p>\n";
    const QString created
        = QDateTime::fromSecsSinceEpoch(createdSecs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
    return page(QStringLiteral("短网址预览"),
        u"<h1>短网址预览</h1>\n<p>短网址 <code>" % htmlEscaped(shortLink)
            % u"</code> 指向：</p>\n<p class=\"target\"><a href=\"" % htmlEscaped(QString::fromLatin1(location))
            % u"\" rel=\"noreferrer nofollow\">" % shown % u"</a></p>\n" % hostLine % u"<p>访问次数："
            % QString::number(visits) % u"<br><small>创建于 " % created % u"</small></p>\n<p><img src=\""
            % htmlEscaped(qrImage) % u"\" alt=\"短网址的二维码\" width=\"200\" height=\"200\"></p>");
}

QByteArray notFoundPage(const QString& what)
{
    return page(QStringLiteral("找不到短网址"),
        u"<h1>找不到短网址</h1>\n<p><code>" % htmlEscaped(withVisibleControls(what))
            % u"</code> 不是有效的短网址，可能输入有误。</p>");
}

QByteArray messagePage(const QString& title, const QString& message)
{
    return page(title, u"<h1>" % htmlEscaped(title) % u"</h1>\n<p>" % htmlEscaped(message) % u"</p>");
}

QByteArray gonePage(const QString& code, bool deleted, const QString& reason)
{
    if (deleted) {
        return page(QStringLiteral("短网址已删除"),
            u"<h1>短网址已删除</h1>\n<p>短网址 <code>" % htmlEscaped(code)
                % u"</code> 已被删除，不再指向任何网址。</p>");
    }
    const QString why
        = reason.isEmpty() ? QString() : u"<p>原因：" % htmlEscaped(withVisibleControls(reason)) % u"</p>\n";
    return page(QStringLiteral("短网址已停用"),
        u"<h1>短网址已停用</h1>\n<p>短网址 <code>" % htmlEscaped(code) % u"</code> 已被服务管理员停用，不再跳转。</p>\n"
            % why);
}

QByteArray releasePage(const QString& version, const QString& sid, bool required)
{
    return page(QStringLiteral("Nolvex 网址缩短工具 %1").arg(version),
        u"<h1>Nolvex 网址缩短工具 " % htmlEscaped(version) % u"</h1>\n<p>发布编号：" % htmlEscaped(sid) % u"</p>\n<p>"
            % (required ? QStringLiteral("这是必须安装的更新。") : QStringLiteral("这是可选更新。")) % u"</p>");
}

QByteArray homePage()
{
    return page(QStringLiteral("Nolvex 短网址服务"),
        QStringLiteral("<h1>Nolvex 短网址服务</h1>\n<p>请使用 Nolvex 网址缩短工具创建短网址。"
                       "在短网址后加上 <code>+</code> 可以预览它指向的网址。</p>"));
}

} // namespace Shortd
