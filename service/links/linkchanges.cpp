#include "links/linkchanges.h"

#include "links/codes.h"

#include <QRandomGenerator>
#include <functional>

namespace Shortd
{
namespace
{
// Drawn codes tried at each length before a longer one, for a link with options and no code.
constexpr int DrawsPerLength = 3;

Fault noSuchLink(const QString& code)
{
    return {
        FaultKind::Missing, QStringLiteral("没有短码为 %1 的短网址").arg(code), QStringLiteral("no link %1").arg(code)};
}

// What an edit and a deletion say when they are refused; the rest is the same for both.
struct ChangeWords {
    QString gone;
    QString goneEnglish;
    QString refused;
    QString refusedEnglish;
    QString takenDown;
    QString takenDownEnglish;
};

// Reads the link, checks the editor against it as stored, then applies the change. setsState: the
// change sets the link's state or reason, and so answers to the take-down rule.
Result<StoredLink> change(Store& store, const QString& code, const Editor& editor, bool setsState,
    const ChangeWords& words, const std::function<LookupResult(LinkAdmin&, const StoredLink&)>& apply,
    QString* writeFailure)
{
    LinkAdmin* admin = store.linkAdmin();
    if (!admin) {
        return storeUnavailable();
    }
    const LookupResult found = store.links().findByCode(code);
    if (found.status != StoreStatus::Ok) {
        return found.status == StoreStatus::Missing ? noSuchLink(code) : storeUnavailable();
    }
    const Fault gone {FaultKind::Gone, words.gone.arg(code), words.goneEnglish.arg(code)};
    const Fault takenDown {FaultKind::TakenDown, words.takenDown.arg(code), words.takenDownEnglish.arg(code)};
    if (found.link.state == LinkState::Deleted) {
        return gone;
    }
    const bool own = !found.link.owner.isEmpty() && found.link.owner == editor.owner;
    if (!(own ? editor.ownLinks : editor.otherLinks)) {
        return Fault {FaultKind::Refused, words.refused, words.refusedEnglish};
    }
    // A quarantine stops a link as a take-down does: only an admin or an operator ends it.
    if (setsState && found.link.state == LinkState::Quarantined && !editor.actor.admin) {
        return Fault {FaultKind::TakenDown,
            QStringLiteral("短网址 %1 的网址被列为不安全网址，已被拦截，只有管理员或运维人员才能放行或更改它")
                .arg(code),
            QStringLiteral("%1 is quarantined: a blocklist names its address; only an admin or an operator may release "
                           "or change it")
                .arg(code)};
    }
    if (setsState && !maySetState(editor, found.link)) {
        return takenDown;
    }
    const LookupResult changed = apply(*admin, found.link);
    switch (changed.status) {
    case StoreStatus::Ok:
        return changed.link;
    case StoreStatus::Missing: {
        // Deleted in between by another caller, or taken down in between (the edit's guard).
        const LookupResult now = store.links().findByCode(code);
        if (now.status == StoreStatus::Ok && now.link.state != LinkState::Deleted) {
            return takenDown;
        }
        return gone;
    }
    default:
        if (writeFailure) {
            *writeFailure = writeFailureOf(store);
        }
        return storeUnavailable();
    }
}
} // namespace

bool maySetState(const Editor& editor, const StoredLink& link)
{
    return editor.actor.admin || link.state == LinkState::Active
        || (!link.takedown && link.disabledBy == editor.actor.name);
}

Fault storeUnavailable()
{
    return {FaultKind::Unavailable, QStringLiteral("服务暂时无法访问数据库，请稍后再试"),
        QStringLiteral("the database cannot be reached for now; try again shortly")};
}

Fault listedAddressFault(const BlocklistMatch& match)
{
    return {FaultKind::Invalid, QStringLiteral("该网址已被列为不安全网址（列表 %1），不能缩短").arg(match.list),
        QStringLiteral("listed by %1 (%2)").arg(match.list, match.entry), QStringLiteral("url")};
}

QString writeFailureOf(const Store& store)
{
    if (store.isBroken()) {
        return {};
    }
    const QString error = store.lastError();
    return error.isEmpty() ? QStringLiteral("the database refused the write") : error;
}

InsertResult insertDrawn(LinkStore& store, StoredLink& link, int drawsPerLength, QRandomGenerator& random)
{
    InsertResult inserted {StoreStatus::CodeTaken, {}};
    for (qsizetype length = MinimumCodeLength; length <= MaximumCodeLength; ++length) {
        for (int draw = 0; draw < drawsPerLength; ++draw) {
            link.code = randomCode(length, random);
            inserted = store.insert(link);
            if (inserted.status != StoreStatus::CodeTaken) {
                return inserted;
            }
        }
    }
    return inserted;
}

Result<StoredLink> createIn(Store& store, StoredLink link, QRandomGenerator& random, QString* writeFailure)
{
    const bool chosen = !link.code.isEmpty();
    const StoreStatus status
        = chosen ? store.links().insert(link).status : insertDrawn(store.links(), link, DrawsPerLength, random).status;
    switch (status) {
    case StoreStatus::Ok:
        return link;
    case StoreStatus::CodeTaken:
        if (chosen) {
            return Fault {FaultKind::Conflict,
                QStringLiteral("短码 %1 已被占用（删除的短网址也会一直占用它的短码）").arg(link.code),
                QStringLiteral("the code %1 is taken (a deleted link keeps its code)").arg(link.code),
                QStringLiteral("code"),
                {{QStringLiteral("code"), QStringLiteral("已被占用"), QStringLiteral("taken")}}};
        }
        // Every drawn code taken: the store answers, and a later try draws others.
        return storeUnavailable();
    case StoreStatus::TargetTaken:
        return Fault {FaultKind::Conflict, QStringLiteral("该网址已有短网址，不能再创建"),
            QStringLiteral("the address has a short link already")};
    case StoreStatus::Missing:
    case StoreStatus::Failed:
        break;
    }
    if (writeFailure) {
        *writeFailure = writeFailureOf(store);
    }
    return storeUnavailable();
}

Result<StoredLink> editIn(
    Store& store, const QString& code, LinkPatch patch, const Editor& editor, qint64 nowSecs, QString* writeFailure)
{
    static const ChangeWords words {
        QStringLiteral("短网址 %1 已删除，不能再修改"),
        QStringLiteral("%1 is deleted; a deleted link stays deleted"),
        QStringLiteral("只能修改自己创建的短网址"),
        QStringLiteral("only the links this key created may be changed with it"),
        QStringLiteral("短网址 %1 已被管理员或运维人员停用，只有管理员或运维人员才能重新启用它或修改停用原因"),
        QStringLiteral("%1 was taken down by an admin or an operator; only they may enable it or change why"),
    };
    patch.actor = editor.actor;
    if (!editor.actor.admin) {
        // Checked again by the statement that writes, so a take-down made meanwhile is never undone.
        patch.onlyOwnDisable = editor.actor.name;
    }
    return change(
        store, code, editor, patch.state || patch.reason, words,
        [&](LinkAdmin& on, const StoredLink& link) {
            // Made active again, a quarantined link is released: exempt from the entry that stopped
            // it, so the next reload of its list leaves it alone. The rest of the patch follows.
            if (link.state == LinkState::Quarantined && patch.state == LinkState::Active) {
                LinkQuarantine* quarantine = store.linkQuarantine();
                const StoreStatus released
                    = quarantine ? quarantine->release(code, editor.actor, nowSecs) : StoreStatus::Failed;
                if (released != StoreStatus::Ok) {
                    return LookupResult {released, {}};
                }
                patch.state.reset();
                patch.reason.reset();
            }
            return on.updateLink(code, patch, nowSecs);
        },
        writeFailure);
}

Result<StoredLink> deleteIn(
    Store& store, const QString& code, const Editor& editor, qint64 nowSecs, QString* writeFailure)
{
    static const ChangeWords words {
        QStringLiteral("短网址 %1 已删除"),
        QStringLiteral("%1 is deleted already"),
        QStringLiteral("只能删除自己创建的短网址"),
        QStringLiteral("only the links this key created may be deleted with it"),
        QStringLiteral("短网址 %1 已被管理员或运维人员停用，只有管理员或运维人员才能删除它"),
        QStringLiteral("%1 was taken down by an admin or an operator; only they may delete it"),
    };
    // Deleting frees the address for a new link: a take-down is not the creator's to end that way.
    return change(
        store, code, editor, true, words,
        [&](LinkAdmin& on, const StoredLink& link) {
            StoredLink deleted = link;
            deleted.state = LinkState::Deleted;
            deleted.changedSecs = nowSecs;
            return LookupResult {on.setState(code, LinkState::Deleted, link.reason, editor.actor, nowSecs), deleted};
        },
        writeFailure);
}

} // namespace Shortd
