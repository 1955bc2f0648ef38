#include "links/blocklistsources.h"

#include <QDir>
#include <QFile>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Shortd
{
namespace
{
bool isListName(QStringView name)
{
    return !name.isEmpty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'
            || c == u'_';
    });
}

bool looksRemote(QStringView source)
{
    return source.startsWith(u"http://", Qt::CaseInsensitive) || source.startsWith(u"https://", Qt::CaseInsensitive);
}

Fault unreadable(const QString& what, const QString& path, const QString& why)
{
    return Fault {FaultKind::Unavailable, u"%1 无法读取：%2"_s.arg(what, path),
        u"%1 cannot be read: %2 (%3)"_s.arg(what, path, why), what};
}
} // namespace

bool BlocklistSource::isRemote() const
{
    return looksRemote(source);
}

bool isReservedBlocklistName(QStringView name)
{
    return name.compare(u"local", Qt::CaseInsensitive) == 0 || name.compare(u"reports", Qt::CaseInsensitive) == 0;
}

std::optional<BlocklistSource> parseBlocklistSource(QStringView text)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return std::nullopt;
    }
    BlocklistSource parsed {text.first(equals).toString(), text.sliced(equals + 1).toString()};
    if (!isListName(parsed.name) || isReservedBlocklistName(parsed.name) || parsed.source.isEmpty()) {
        return std::nullopt;
    }
    if (const qsizetype scheme = parsed.source.indexOf(u"://"); scheme >= 0 || parsed.isRemote()) {
        // Not a file: an address this fetches, so http(s) with a host and nothing else.
        const QUrl url(parsed.source, QUrl::StrictMode);
        if (!parsed.isRemote() || !url.isValid() || url.host().isEmpty() || url.hasFragment()) {
            return std::nullopt;
        }
    }
    return parsed;
}

QString savedBlocklistsFolder(const QString& dataDir)
{
    return dataDir + u"/blocklists"_s;
}

QString savedBlocklistPath(const QString& savedFolder, const QString& name)
{
    return savedFolder + u'/' + name;
}

Result<Done> loadSavedBlocklists(
    const QList<BlocklistSource>& sources, const QString& allowlist, const QString& savedFolder, BlocklistSet& set)
{
    QList<FieldFault> faults;
    for (const BlocklistSource& source : sources) {
        const QString path = source.isRemote() ? savedBlocklistPath(savedFolder, source.name) : source.source;
        QFile file(path);
        if (source.isRemote() && !file.exists()) {
            // Never fetched yet: the list is known, and stops nothing until its first copy.
            (void)set.reload(source.name,
                Fault {FaultKind::Unavailable, u"尚未取得"_s, u"no copy has been fetched yet"_s, source.name});
            continue;
        }
        const Result<QByteArray> feed = file.open(QIODevice::ReadOnly)
            ? Result<QByteArray>(file.readAll())
            : Result<QByteArray>(unreadable(source.name, path, file.errorString()));
        if (const auto loaded = set.reload(source.name, feed); !loaded) {
            faults.append(asFieldFault(loaded.fault()));
        }
    }
    if (!allowlist.isEmpty()) {
        QFile file(allowlist);
        if (file.open(QIODevice::ReadOnly)) {
            (void)set.setAllowlist(file.readAll());
        } else {
            faults.append(asFieldFault(unreadable(u"allowlist"_s, allowlist, file.errorString())));
        }
    }
    if (faults.isEmpty()) {
        return Done {};
    }
    const FieldFault& first = faults.constFirst();
    return Fault {FaultKind::Unavailable, first.chinese, first.english, first.field, faults};
}

} // namespace Shortd
