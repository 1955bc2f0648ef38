#include "links/codes.h"
#include "links/linkchanges.h"
#include "links/shortener.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

namespace
{
// A store whose answers the test decides.
class ScriptedStore final : public Store, public LinkStore, public LinkVisits
{
public:
    bool open() override { return true; }
    LinkStore& links() override { return *this; }
    LinkVisits* linkVisits() override { return this; }
    LookupResult findByCode(const QString& code) override
    {
        const auto it = byCode.constFind(code);
        return it == byCode.cend() ? LookupResult {} : LookupResult {StoreStatus::Ok, *it};
    }
    InsertResult insert(const StoredLink& link) override
    {
        ++targetCalls;
        attemptedCodes.append(link.code);
        if (failInserts) {
            return {};
        }
        if (racedBy) {
            byCode.insert(racedBy->code, *racedBy);
        }
        for (const StoredLink& held : std::as_const(byCode)) {
            if (held.type == link.type && held.target == link.target) {
                return {StoreStatus::TargetTaken, held};
            }
        }
        if (collisionsLeft > 0) {
            --collisionsLeft;
            return {StoreStatus::CodeTaken, {}};
        }
        byCode.insert(link.code, link);
        return {StoreStatus::Ok, {}};
    }
    std::optional<QList<bool>> insertTogether(const QList<StoredLink>& links) override
    {
        batches.append(links.size());
        if (failTogether) {
            return std::nullopt;
        }
        return LinkStore::insertTogether(links);
    }
    bool isBroken() const override { return broken; }
    StoreStatus addVisits(const QHash<QString, qint64>& visits) override
    {
        if (failVisits) {
            return StoreStatus::Failed;
        }
        for (auto it = visits.cbegin(); it != visits.cend(); ++it) {
            byCode[it.key()].visits += it.value();
        }
        return StoreStatus::Ok;
    }
    VisitGrant takeVisit(const QString&, qint64) override { return VisitGrant::Missing; }
    bool isHealthy() override { return true; }
    QString lastError() const override { return {}; }

    QHash<QString, StoredLink> byCode;
    QStringList attemptedCodes;
    int collisionsLeft = 0;
    int targetCalls = 0; // inserts, each of which looks up the address
    bool failInserts = false;
    bool failTogether = false;
    bool broken = false;
    QList<qsizetype> batches;
    bool failVisits = false;
    std::optional<StoredLink> racedBy;
};

// The shortener over a scripted store, every call answered before it returns.
struct Scripted {
    ScriptedStore store;
    StorePool pool {store};
    Shortener shortener {pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)}};

    Shortener::Outcome shorten(int type, const QString& target)
    {
        Shortener::Outcome answer;
        shortener.shorten(type, target, [&answer](const Shortener::Outcome& outcome) { answer = outcome; });
        return answer;
    }
    LookupResult resolve(const QString& code)
    {
        LookupResult answer;
        shortener.resolve(code, [&answer](const LookupResult& found) { answer = found; });
        return answer;
    }
};
// The shortener over the embedded database, every answer given before the call returns.
struct OnDisk {
    QTemporaryDir dir;
    SqlLinkStore store {DatabaseAddress::sqliteFile(dir.filePath(u"links.sqlite"_s))};
    StorePool pool {store};
    Shortener shortener {pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1)}};

    Result<StoredLink> answer(const std::function<void(const Shortener::LinkAnswer&)>& call)
    {
        std::optional<Result<StoredLink>> answered;
        call([&answered](const Result<StoredLink>& result) { answered = result; });
        return answered.value_or(Fault {FaultKind::Invalid, {}, u"never answered"_s});
    }
    Result<StoredLink> create(const QString& code, const QString& owner)
    {
        StoredLink link {code, 0, u"https://example.com/"_s + code, QDateTime::currentSecsSinceEpoch(), 0};
        link.chosen = true;
        link.owner = owner;
        return answer([&](const Shortener::LinkAnswer& done) { shortener.create(link, done); });
    }
    Result<StoredLink> edit(const QString& code, const LinkPatch& patch, const Editor& editor)
    {
        return answer([&](const Shortener::LinkAnswer& done) { shortener.edit(code, patch, editor, done); });
    }
    Result<StoredLink> remove(const QString& code, const Editor& editor)
    {
        return answer([&](const Shortener::LinkAnswer& done) { shortener.remove(code, editor, done); });
    }
};

// A key's editor as the API makes it: a creator changes its own links, an admin anyone's.
Editor keyEditor(const QString& name, bool admin)
{
    return {keyActor(name, admin), name, true, admin};
}

// A person's visit, each from an address of its own.
void countVisit(Shortener& shortener, const QString& code)
{
    static int visitor = 0;
    shortener.countVisit(code,
        {VisitClass::Human, u"192.0.2.%1"_s.arg(++visitor % 250), "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0", {}},
        QDateTime::currentSecsSinceEpoch());
}

} // namespace

class ShortenerTest final : public QObject
{
    Q_OBJECT

private slots:
    void retriesWithLongerCodes_data();
    void retriesWithLongerCodes();
    void sameTargetSameCode();
    void storeFailuresAreFailures();
    void racedInsertReturnsTheWinner();
    void batchSettlesEachAddress_data();
    void batchSettlesEachAddress();
    void visitsStayPendingUntilWritten();
    void pendingVisitsAreBounded();
    void chosenCodes();
    void editorRules_data();
    void editorRules();
    void takedownRule_data();
    void takedownRule();
};

void ShortenerTest::retriesWithLongerCodes_data()
{
    QTest::addColumn<int>("collisions");
    QTest::addColumn<qsizetype>("finalLength");
    QTest::newRow("no collision") << 0 << qsizetype(6);
    QTest::newRow("one collision") << 1 << qsizetype(7);
    QTest::newRow("three collisions") << 3 << qsizetype(9);
}

void ShortenerTest::retriesWithLongerCodes()
{
    QFETCH(int, collisions);
    QFETCH(qsizetype, finalLength);
    Scripted scripted;
    scripted.store.collisionsLeft = collisions;
    const Shortener::Outcome outcome = scripted.shorten(1, u"http://example.com/"_s);
    QCOMPARE(outcome.status, StoreStatus::Ok);
    QVERIFY(outcome.created);
    QCOMPARE(outcome.link.code.size(), finalLength);
    QVERIFY(isCodeShaped(outcome.link.code));
    const QStringList& attempted = scripted.store.attemptedCodes;
    QCOMPARE(attempted.size(), collisions + 1);
    for (qsizetype i = 0; i < attempted.size(); ++i) {
        QCOMPARE(attempted.at(i).size(), MinimumCodeLength + i);
    }
}

void ShortenerTest::sameTargetSameCode()
{
    Scripted scripted;
    const auto first = scripted.shorten(2, u"http://example.com/same"_s);
    const auto second = scripted.shorten(2, u"http://example.com/same"_s);
    const auto otherType = scripted.shorten(3, u"http://example.com/same"_s);
    QCOMPARE(second.link.code, first.link.code);
    QVERIFY(first.created);
    QVERIFY(!second.created);
    QVERIFY(otherType.link.code != first.link.code);
    QCOMPARE(scripted.store.byCode.size(), 2);

    // A fresh shortener over the same store finds the existing link instead of making another.
    Shortener restarted(scripted.pool);
    Shortener::Outcome again;
    restarted.shorten(
        2, u"http://example.com/same"_s, [&again](const Shortener::Outcome& outcome) { again = outcome; });
    QCOMPARE(again.link.code, first.link.code);
    QCOMPARE(scripted.store.byCode.size(), 2);
    // Found links are cached: asking again does not reach the store.
    const int calls = scripted.store.targetCalls;
    QCOMPARE(scripted.shorten(2, u"http://example.com/same"_s).link.code, first.link.code);
    QCOMPARE(scripted.store.targetCalls, calls);
    QCOMPARE(scripted.resolve(first.link.code).link.target, u"http://example.com/same"_s);
}

void ShortenerTest::storeFailuresAreFailures()
{
    Scripted scripted;
    scripted.store.failInserts = true;
    QCOMPARE(scripted.shorten(0, u"http://example.com/"_s).status, StoreStatus::Failed);
    QVERIFY(scripted.store.byCode.isEmpty());

    // Never a code when every length collides.
    Scripted crowded;
    crowded.store.collisionsLeft = 1000;
    QCOMPARE(crowded.shorten(0, u"http://example.com/"_s).status, StoreStatus::Failed);
    QCOMPARE(crowded.store.attemptedCodes.size(), MaximumCodeLength - MinimumCodeLength + 1);
}

void ShortenerTest::racedInsertReturnsTheWinner()
{
    Scripted scripted;
    scripted.store.racedBy = StoredLink {u"winner"_s, 4, u"http://example.com/race"_s, 0, 0};
    const auto outcome = scripted.shorten(4, u"http://example.com/race"_s);
    QCOMPARE(outcome.status, StoreStatus::Ok);
    QCOMPARE(outcome.link.code, u"winner"_s);
    QVERIFY(!outcome.created);
}

void ShortenerTest::batchSettlesEachAddress_data()
{
    QTest::addColumn<bool>("failTogether");
    QTest::addColumn<bool>("broken");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("collisions");
    QTest::newRow("stored together") << false << false << true << 0;
    // A drawn code another link holds (one a person chose, or a deleted one): that address draws again.
    QTest::newRow("a drawn code is taken") << false << false << true << 1;
    // A transaction that fails on a store still connected (a lock conflict): one at a time.
    QTest::newRow("transaction fails, store answers") << true << false << true << 0;
    QTest::newRow("transaction fails, connection gone") << true << true << false << 0;
}

void ShortenerTest::batchSettlesEachAddress()
{
    QFETCH(bool, failTogether);
    QFETCH(bool, broken);
    QFETCH(bool, answered);
    QFETCH(int, collisions);
    ScriptedStore store;
    store.collisionsLeft = collisions;
    store.byCode.insert(u"heldxx"_s, {u"heldxx"_s, 0, u"http://example.com/held"_s, 0, 0});
    store.failTogether = failTogether;
    store.broken = broken;
    const QList<ShortenRequest> asked {{0, u"http://example.com/b"_s}, {0, u"http://example.com/held"_s},
        {0, u"http://example.com/a"_s}, {0, u"http://example.com/b"_s}};
    QRandomGenerator random(7);
    const QList<ShortenOutcome> outcomes = shortenAllIn(store, asked, 1, random);
    QCOMPARE(store.batches, QList<qsizetype> {4});
    QCOMPARE(outcomes.size(), asked.size());
    for (qsizetype i = 0; i < asked.size(); ++i) {
        QCOMPARE(outcomes.at(i).status, answered ? StoreStatus::Ok : StoreStatus::Failed);
        QCOMPARE(outcomes.at(i).link.target, answered ? asked.at(i).target : QString());
    }
    if (answered) {
        QCOMPARE(outcomes.at(1).link.code, u"heldxx"_s);
        QCOMPARE(outcomes.at(3).link.code, outcomes.at(0).link.code);
        QCOMPARE(outcomes.at(0).created + outcomes.at(3).created, 1);
        QVERIFY(outcomes.at(2).created && !outcomes.at(1).created);
        QCOMPARE(store.byCode.size(), 3);
        // The first code tried was a's (the batch goes in address order); taken, a got another.
        QCOMPARE(outcomes.at(2).link.code != store.attemptedCodes.constFirst(), collisions > 0);
    }
}

void ShortenerTest::visitsStayPendingUntilWritten()
{
    Scripted scripted;
    Shortener& shortener = scripted.shortener;
    const QString code = scripted.shorten(0, u"http://example.com/v"_s).link.code;
    for (int i = 0; i < 3; ++i) {
        countVisit(shortener, code);
    }
    QCOMPARE(shortener.visitsOf(scripted.resolve(code).link), 3);
    QCOMPARE(scripted.store.byCode.value(code).visits, 0);

    scripted.store.failVisits = true;
    shortener.flushVisits();
    QVERIFY(shortener.hasPendingVisits());
    QCOMPARE(shortener.visitsOf(scripted.resolve(code).link), 3);

    scripted.store.failVisits = false;
    shortener.flushVisits();
    QVERIFY(!shortener.hasPendingVisits());
    QCOMPARE(scripted.store.byCode.value(code).visits, 3);
    QCOMPARE(shortener.visitsOf(scripted.resolve(code).link), 3);
    countVisit(shortener, code);
    QCOMPARE(shortener.visitsOf(scripted.resolve(code).link), 4);
}

void ShortenerTest::pendingVisitsAreBounded()
{
    // The store is away: visits wait for two links at most; more to those two still count.
    Scripted scripted;
    Shortener shortener(scripted.pool, ShortenerOptions {100, std::chrono::hours(1), std::chrono::hours(1), 2});
    QStringList codes;
    for (const QString& target : {u"http://example.com/1"_s, u"http://example.com/2"_s, u"http://example.com/3"_s}) {
        codes.append(scripted.shorten(0, target).link.code);
    }
    scripted.store.failVisits = true;
    for (const QString& code : {codes[0], codes[1], codes[2], codes[0]}) {
        countVisit(shortener, code);
    }
    shortener.flushVisits();
    countVisit(shortener, codes[2]);
    scripted.store.failVisits = false;
    shortener.flushVisits();
    QVERIFY(!shortener.hasPendingVisits());
    QCOMPARE(scripted.store.byCode.value(codes[0]).visits, 2);
    QCOMPARE(scripted.store.byCode.value(codes[1]).visits, 1);
    QCOMPARE(scripted.store.byCode.value(codes[2]).visits, 0);
    // Written down, there is room again.
    countVisit(shortener, codes[2]);
    shortener.flushVisits();
    QCOMPARE(scripted.store.byCode.value(codes[2]).visits, 1);
}

void ShortenerTest::chosenCodes()
{
    OnDisk disk;
    QVERIFY(disk.store.open());
    QVERIFY(disk.create(u"Spring"_s, u"alice"_s).ok());
    // Taken, even once deleted: a Conflict naming the code, and the first link left as it was.
    QVERIFY(disk.remove(u"Spring"_s, keyEditor(u"alice"_s, false)).ok());
    const Result<StoredLink> again = disk.create(u"Spring"_s, u"bob"_s);
    QVERIFY(!again.ok());
    QCOMPARE(again.fault().kind, FaultKind::Conflict);
    QCOMPARE(again.fault().field, u"code"_s);
    QCOMPARE(disk.store.links().findByCode(u"Spring"_s).link.owner, u"alice"_s);
    // No code chosen: one is drawn, and the link never settles on another of its address.
    const Result<StoredLink> drawn = disk.create(QString(), u"bob"_s);
    QVERIFY(drawn.ok());
    QVERIFY(isCodeShaped(drawn->code));
}

void ShortenerTest::editorRules_data()
{
    // Who changed alice's link before ("", "alice disabled", "admin disabled", "alice deleted",
    // "none": no such link), then who changes it and how, and the fault ("" when done).
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("who"); // alice (its creator), bob (another creator) or admin
    QTest::addColumn<QString>("change"); // title, enable or delete
    QTest::addColumn<QString>("fault");
    const auto row = [](const char* before, const char* who, const char* change, const char* fault) {
        QTest::addRow("%s / %s / %s", before, who, change) << QString::fromLatin1(before) << QString::fromLatin1(who)
                                                           << QString::fromLatin1(change) << QString::fromLatin1(fault);
    };
    row("", "alice", "title", "");
    row("", "bob", "title", "Refused");
    row("", "bob", "delete", "Refused");
    row("", "admin", "title", "");
    row("", "admin", "delete", "");
    row("alice disabled", "alice", "enable", "");
    row("alice disabled", "bob", "enable", "Refused");
    row("admin disabled", "alice", "enable", "TakenDown");
    row("admin disabled", "alice", "delete", "TakenDown");
    row("admin disabled", "alice", "title", ""); // what the take-down is not about stays hers
    row("admin disabled", "admin", "enable", "");
    row("alice deleted", "alice", "title", "Gone");
    row("alice deleted", "admin", "delete", "Gone");
    row("none", "admin", "title", "Missing");
}

void ShortenerTest::editorRules()
{
    QFETCH(QString, before);
    QFETCH(QString, who);
    QFETCH(QString, change);
    QFETCH(QString, fault);
    static const QHash<QString, FaultKind> kinds {{u"Refused"_s, FaultKind::Refused},
        {u"TakenDown"_s, FaultKind::TakenDown}, {u"Gone"_s, FaultKind::Gone}, {u"Missing"_s, FaultKind::Missing}};
    OnDisk disk;
    QVERIFY(disk.store.open());
    const QString code = u"Alices"_s;
    const Editor alice = keyEditor(u"alice"_s, false);
    const Editor admin = keyEditor(u"admin"_s, true);
    if (before != u"none") {
        QVERIFY(disk.create(code, u"alice"_s).ok());
    }
    LinkPatch disable;
    disable.state = LinkState::Disabled;
    disable.reason = u"spam"_s;
    if (before == u"alice disabled" || before == u"admin disabled") {
        QVERIFY(disk.edit(code, disable, before.startsWith(u"alice") ? alice : admin).ok());
    } else if (before == u"alice deleted") {
        QVERIFY(disk.remove(code, alice).ok());
    }
    const Editor editor = who == u"alice" ? alice : who == u"admin" ? admin : keyEditor(who, false);
    LinkPatch patch;
    if (change == u"title") {
        patch.title = u"renamed"_s;
    } else {
        patch.state = LinkState::Active;
    }
    const Result<StoredLink> result = change == u"delete" ? disk.remove(code, editor) : disk.edit(code, patch, editor);
    const std::optional<StoredLink> stored
        = before == u"none" ? std::nullopt : std::optional<StoredLink>(disk.store.links().findByCode(code).link);
    if (!fault.isEmpty()) {
        QVERIFY(!result.ok());
        QCOMPARE(result.fault().kind, kinds.value(fault));
        QVERIFY(!result.fault().chinese.isEmpty() && !result.fault().english.isEmpty());
        if (stored) {
            QVERIFY(stored->title != u"renamed"_s);
        }
        return;
    }
    QVERIFY2(result.ok(), qPrintable(result.ok() ? QString() : result.fault().english));
    // As stored, and as this instance answers from then on, without asking the store.
    const LinkState wanted = change == u"delete" ? LinkState::Deleted
        : change == u"enable"                    ? LinkState::Active
                                                 : stored->state;
    QCOMPARE(stored->state, wanted);
    QCOMPARE(result->state, wanted);
    QCOMPARE(stored->title == u"renamed"_s, change == u"title");
    // Changed behind the shortener's back: it still answers with the link as it left it.
    LinkPatch elsewhere;
    elsewhere.title = u"changed elsewhere"_s;
    (void)disk.store.linkAdmin()->updateLink(code, elsewhere, QDateTime::currentSecsSinceEpoch());
    LookupResult cached;
    disk.shortener.resolve(code, [&cached](const LookupResult& found) { cached = found; });
    QCOMPARE(cached.status, StoreStatus::Ok);
    QCOMPARE(cached.link.state, wanted);
    QCOMPARE(cached.link.title, stored->title);
}

// Who may set the state or the reason of a link, by who disabled it last: creator "c" (the
// creator key "c" itself, or "o" another) and admin "a" in that order; the link itself is the
// creator's own, as allows() has decided before.
void ShortenerTest::takedownRule_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("disabledBy");
    QTest::addColumn<bool>("takedown");
    QTest::addColumn<QString>("may"); // creator "c", admin "a"; '-' refused
    const int disabled = int(LinkState::Disabled);
    QTest::newRow("active") << int(LinkState::Active) << QString() << false << u"ca"_s;
    QTest::newRow("disabled by the creator itself") << disabled << u"key:c"_s << false << u"ca"_s;
    QTest::newRow("disabled by another creator") << disabled << u"key:o"_s << false << u"-a"_s;
    QTest::newRow("taken down by an admin key") << disabled << u"key:boss"_s << true << u"-a"_s;
    QTest::newRow("taken down by an admin key of the same name") << disabled << u"key:c"_s << true << u"-a"_s;
    QTest::newRow("taken down by an operator") << disabled << u"shell:root"_s << true << u"-a"_s;
    QTest::newRow("disabled before this was kept") << disabled << QString() << false << u"-a"_s;
}

void ShortenerTest::takedownRule()
{
    QFETCH(int, state);
    QFETCH(QString, disabledBy);
    QFETCH(bool, takedown);
    QFETCH(QString, may);
    StoredLink link;
    link.state = static_cast<LinkState>(state);
    link.disabledBy = disabledBy;
    link.takedown = takedown;
    for (const bool admin : {false, true}) {
        Editor editor;
        editor.actor = keyActor(u"c"_s, admin);
        QCOMPARE(maySetState(editor, link), may.at(admin ? 1 : 0) != u'-');
    }
}

QTEST_GUILESS_MAIN(ShortenerTest)
#include "tst_shortener.moc"
