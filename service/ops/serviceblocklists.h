#pragma once

#include "config.h"
#include "links/blocklist.h"
#include "links/blocklistsources.h"
#include "links/publicsuffix.h"
#include "links/result.h"

#include <memory>
#include <utility>

namespace Shortd
{

// The lists the service refuses creations with, read as it last read them, without fetching any.
// A list that cannot be read is a fault: what it would stop must not pass meanwhile. When the
// service has no list and orEmpty is false, none; with orEmpty, an empty set, for a command that
// asks every address of the set all the same.
inline Result<std::unique_ptr<BlocklistSet>> serviceBlocklists(const ServiceConfig& config, bool orEmpty = false)
{
    if (!orEmpty && config.blocklists.isEmpty() && config.allowlist.isEmpty()) {
        return std::unique_ptr<BlocklistSet>();
    }
    Result<PublicSuffixList> suffixes = PublicSuffixList::load();
    if (!suffixes) {
        return suffixes.fault();
    }
    auto lists = std::make_unique<BlocklistSet>(std::move(suffixes).value());
    if (const Result<Done> loaded
        = loadSavedBlocklists(config.blocklists, config.allowlist, savedBlocklistsFolder(config.dataDir), *lists);
        !loaded) {
        return loaded.fault();
    }
    return lists;
}

} // namespace Shortd
