#pragma once

#include <QByteArray>
#include <QString>

namespace Shortd
{

// The service's HTML pages, UTF-8. Everything they show that came from outside is escaped.
QByteArray previewPage(const QString& shortLink, const QString& target, qint64 visits, qint64 createdSecs);
QByteArray notFoundPage(const QString& what);
QByteArray releasePage(const QString& version, const QString& sid, bool required);
QByteArray homePage();

// Escapes for text and for double-quoted attribute values alike.
QString htmlEscaped(const QString& text);

} // namespace Shortd
