#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Shortd
{

// The service's HTML pages, UTF-8. Everything they show that came from outside is escaped.
// The preview shows where a link really goes: the address with its invisible and bidirectional
// controls made visible, a link to location (the address exactly as the redirect sends it), the
// real host in ASCII (punycode) on a line of its own, and warnings when the host could pass for
// another (see HostFacts). qrImage: the address of the link's QR code, relative to the page.
struct HostFacts;

// The preview's lines about the host: the real host in ASCII on a line of its own, always, its
// Unicode form when that differs, and a warning for each thing that may make it look like another.
QString hostLines(const HostFacts& host);

// The preview, warning and gone pages end with reportForm, the report form's markup, when given.
QByteArray previewPage(const QString& shortLink, const QString& target, const QByteArray& location, qint64 visits,
    qint64 createdSecs, const QString& qrImage, const QString& reportForm = {});
QByteArray notFoundPage(const QString& what);
QByteArray messagePage(const QString& title, const QString& message, const QString& lang = QStringLiteral("zh-CN"));
// What a disabled or deleted link answers (410), in place of its address: that it was disabled,
// with the reason only when an admin or an operator took it down (takedown) and gave one, or deleted.
QByteArray gonePage(
    const QString& code, bool deleted, const QString& reason, bool takedown, const QString& reportForm = {});
// What a link that has run out answers (410), in place of its address: that it has expired, at
// endedSecs when its end has passed, otherwise (0) because its visits are used up.
QByteArray expiredPage(const QString& code, qint64 endedSecs, const QString& reportForm = {});
// What a link with a visit limit shows whoever has not used one of its visits (a bot, a link
// preview, a HEAD, its preview page): that the link is limited, and a button for a person that
// sends a POST to action, which uses one. Never where the link leads. Texts in one language.
struct LimitedPageTexts {
    QString lang; // the page's lang attribute
    QString title;
    QString message;
    QString button;
};
QByteArray limitedPage(const LimitedPageTexts& texts, const QString& shortLink, const QString& action);
// What a quarantined link shows (403) in place of its address: why it was stopped (the list, the
// entry that matched, since when) and where it led only as defanged text, never as a link.
struct QuarantinePageTexts {
    QString lang; // the page's lang attribute
    QString title;
    QString message;
    QString list;
    QString entry;
    QString since;
    QString destination;
};
struct QuarantineFacts {
    QString shortLink;
    QString target;
    QString list;
    QString entry;
    qint64 sinceSecs = 0;
};
QByteArray quarantinePage(
    const QuarantinePageTexts& texts, const QuarantineFacts& facts, const QString& reportForm = {});
// The report form: a plain POST of code, reason and text to /report, which answers a page, so it
// works with script off. Texts in the page's language; reasons labels those of reportReasons().
struct ReportFormTexts {
    QString heading;
    QString reason;
    QStringList reasons;
    QString text;
    QString submit;
};
QString reportForm(const ReportFormTexts& texts, const QString& code);
QByteArray releasePage(const QString& version, const QString& sid, bool required);

// Escapes for text and for double-quoted attribute values alike.
QString htmlEscaped(const QString& text);

} // namespace Shortd
