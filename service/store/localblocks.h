#pragma once

#include "store/storestatus.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace Shortd
{

// One entry of the service's own blocklist: a destination an operator blocked when taking a link
// down, kept in the store so every instance refuses it.
struct LocalBlock {
    enum class Kind : quint8 { Address, Host };
    QString entry; // a normalised address, or a host in lower case
    Kind kind = Kind::Address;
    QString addedBy; // who added it: `shell:USER`, `key:NAME`
    QString reason;
    qint64 addedSecs = 0;
};

// What a reader compares to learn whether the list changed since it last read it.
struct LocalBlocksVersion {
    qint64 count = 0;
    qint64 newestSecs = 0;
    friend bool operator==(const LocalBlocksVersion&, const LocalBlocksVersion&) = default;
};

// The service's own blocklist, shared by every instance that uses the store.
class LocalBlocks
{
public:
    LocalBlocks(const LocalBlocks&) = delete;
    LocalBlocks& operator=(const LocalBlocks&) = delete;

    // CodeTaken when the entry is on the list already (the first reason stays).
    virtual StoreStatus addBlock(const LocalBlock& block) = 0;
    // Missing when the entry is not on the list. by: who removes it, as addedBy names one.
    virtual StoreStatus removeBlock(const QString& entry, const QString& by, qint64 nowSecs) = 0;
    // Every entry, in the order of entry; none when the store failed.
    virtual std::optional<QList<LocalBlock>> listBlocks() = 0;
    virtual std::optional<LocalBlocksVersion> blocksVersion() = 0;

protected:
    LocalBlocks() = default;
    ~LocalBlocks() = default;
};

QString localBlockKindName(LocalBlock::Kind kind);
// The entries as a blocklist feed reads them: a line each, an address or a bare host.
QByteArray localBlocksFeed(const QList<LocalBlock>& blocks);

} // namespace Shortd
