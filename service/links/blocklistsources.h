#pragma once

#include "links/blocklist.h"
#include "links/result.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <optional>

namespace Shortd
{

// One of the operator's lists: its name (letters, digits, `-` and `_`) and where it is read from,
// a file's path or an http(s) address the service fetches.
struct BlocklistSource {
    QString name;
    QString source;

    bool isRemote() const;
    friend bool operator==(const BlocklistSource&, const BlocklistSource&) = default;
};

// "NAME=SOURCE" as --blocklist takes it; none when the name is not one a list may have (empty,
// other characters, a name the service keeps for its own lists) or the source is empty or an
// address other than http(s) with a host.
std::optional<BlocklistSource> parseBlocklistSource(QStringView text);
// Names the service keeps for lists of its own: the operators' take-downs, the public's reports.
bool isReservedBlocklistName(QStringView name);

// Where the last good copy of each fetched list is kept: DATADIR/blocklists/NAME.
QString savedBlocklistsFolder(const QString& dataDir);
QString savedBlocklistPath(const QString& savedFolder, const QString& name);

// Reads every list once into set, in the given order, without fetching anything: a file source
// from its file, a fetched one from the copy the service last saved under savedFolder (none saved
// yet: the list is known and empty); then the allowlist file, if one is named. A list or an
// allowlist that cannot be read, or holds no entry, is a fault naming it (all of them, in fields);
// the others are loaded all the same. What an operator command calls to refuse what the running
// service refuses.
Result<Done> loadSavedBlocklists(
    const QList<BlocklistSource>& sources, const QString& allowlist, const QString& savedFolder, BlocklistSet& set);

} // namespace Shortd
