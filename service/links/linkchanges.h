#pragma once

#include "links/blocklist.h"
#include "links/result.h"
#include "store/store.h"

#include <QString>

class QRandomGenerator;

namespace Shortd
{

// Who changes links, and which: made by the door from its caller (an API key's role and name) and
// decided upon here, against each link as it is stored.
struct Editor {
    LinkActor actor; // as a link's disabledBy keeps it; an admin's lifts and rewords take-downs
    QString owner; // the owner the editor's own links carry (a key's name); empty: none is its own
    bool ownLinks = false; // may change the links it created
    bool otherLinks = false; // may change anyone's
};

// Whether the editor may set a link's state or reason: an admin always; anyone else while the link
// is active, or when its last disable was the editor's own. A take-down by an admin or an operator,
// or a disable kept from before who disabled a link was kept, is lifted or reworded only by an admin.
bool maySetState(const Editor& editor, const StoredLink& link);

// The store failed or is away (the pool full, the connection gone): the same call may succeed later.
Fault storeUnavailable();

// An address one of the operator's lists holds, refused as the url member: the Chinese names the
// list, the English the entry as well (`listed by NAME (ENTRY)`), for the operator's import.
Fault listedAddressFault(const BlocklistMatch& match);

// Why a write failed on a connection that still answers (a full disk, a refused commit); empty
// when the connection itself is gone: the pool reconnects, and the health check sees that itself.
QString writeFailureOf(const Store& store);

// Stores link under a code drawn at random: a code another link holds draws again, a longer one
// after drawsPerLength draws at a length. The last insert's answer (CodeTaken once every length
// was tried), with link.code the code it tried. Runs on a store worker.
InsertResult insertDrawn(LinkStore& store, StoredLink& link, int drawsPerLength, QRandomGenerator& random);

// The calls below run on a store worker; writeFailure, when given, is set to writeFailureOf() when
// the write itself failed.

// A link with options, never settled against an address's other links: under its chosen code
// (Conflict on "code" when another link, even a deleted one, holds it), or under a drawn one.
Result<StoredLink> createIn(Store& store, StoredLink link, QRandomGenerator& random, QString* writeFailure = nullptr);
// Changes what the patch sets, as the editor may: its own links or anyone's, and a link's state or
// reason only while it is active or the editor's own disable, unless the editor is an admin (the
// statement that writes checks that again). The link as it now is.
Result<StoredLink> editIn(Store& store, const QString& code, LinkPatch patch, const Editor& editor, qint64 nowSecs,
    QString* writeFailure = nullptr);
// Deletes the link as the editor may (a take-down is never ended so by its creator); Gone when it
// was deleted before. The link as deleted.
Result<StoredLink> deleteIn(
    Store& store, const QString& code, const Editor& editor, qint64 nowSecs, QString* writeFailure = nullptr);

} // namespace Shortd
