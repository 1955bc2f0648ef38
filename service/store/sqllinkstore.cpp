#include "store/sqllinkstore.h"

#include "store/sqldialect.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <optional>

namespace Shortd
{
namespace
{
QAtomicInt connectionCounter;

// Links read a batch at a time by the listings: each batch is a new query that starts after the
// last link of the one before, so the memory taken does not grow with the number of links.
constexpr qint64 BatchSize = 1000;

// Failures another writer caused, which may pass: SQLite's SQLITE_BUSY and SQLITE_LOCKED, also as
// extended codes (SQLITE_BUSY_SNAPSHOT is 517); PostgreSQL's serialization failure, deadlock and
// lock not available.
constexpr int SqliteBusy = 5;
constexpr int SqliteLocked = 6;
constexpr QLatin1StringView PostgresTransientStates[] {
    QLatin1StringView("40001"), QLatin1StringView("40P01"), QLatin1StringView("55P03")};

// Counts a visit only while one is left: the limit, the end and the state are checked by the
// statement that counts, so of two instances racing for the last visit, the one that updates the
// row second sees it used up (PostgreSQL re-reads a row it waited for before updating it).
// Binds the code and the time.
constexpr QLatin1StringView TakeVisit(
    "UPDATE links SET visits = visits + 1 WHERE code = ? AND state = 0 AND (expires_at IS NULL OR expires_at > ?) "
    "AND (max_visits IS NULL OR visits < max_visits)");

// The listing's condition for a state filter; binds the time as often as it has placeholders.
// The states but active are few, and indexed apart (links_by_state): "state <> 0" is that index's
// own condition, which SQLite takes it by only when the query says it in the same words.
QLatin1StringView stateCondition(StateFilter state)
{
    switch (state) {
    case StateFilter::Any:
        break;
    case StateFilter::Active:
        return QLatin1StringView(" AND state = 0 AND (expires_at IS NULL OR expires_at > ?) "
                                 "AND (max_visits IS NULL OR visits < max_visits)");
    case StateFilter::Disabled:
        return QLatin1StringView(" AND state <> 0 AND state = 1");
    case StateFilter::Deleted:
        return QLatin1StringView(" AND state <> 0 AND state = 2");
    case StateFilter::Expired:
        return QLatin1StringView(" AND state = 0 AND (expires_at <= ? OR visits >= max_visits)");
    case StateFilter::Quarantined:
        return QLatin1StringView(" AND state <> 0 AND state = 3");
    }
    return {};
}

StoredLink linkFrom(const QSqlQuery& query)
{
    StoredLink link;
    link.code = query.value(0).toString();
    link.type = query.value(1).toInt();
    link.target = query.value(2).toString();
    link.createdSecs = query.value(3).toLongLong();
    link.visits = query.value(4).toLongLong();
    link.state = static_cast<LinkState>(std::clamp(query.value(5).toInt(), 0, 3));
    link.reason = query.value(6).toString();
    link.changedSecs = query.value(7).toLongLong();
    link.chosen = query.value(8).toInt() != 0;
    link.expiresSecs = query.value(9).toLongLong();
    link.maxVisits = query.value(10).toLongLong();
    link.title = query.value(11).toString();
    link.tags = tagsFromJson(query.value(12).toString());
    link.owner = query.value(13).toString();
    link.visitors = query.value(14).toLongLong();
    link.bots = query.value(15).toLongLong();
    link.previews = query.value(16).toLongLong();
    link.disabledBy = query.value(17).toString();
    link.takedown = query.value(18).toInt() != 0;
    link.quarantine.list = query.value(19).toString();
    link.quarantine.entry = query.value(20).toString();
    link.quarantine.atSecs = query.value(21).toLongLong();
    link.blocked = query.value(22).toLongLong();
    link.check.atSecs = query.value(23).toLongLong();
    link.check.outcome = query.value(24).toString();
    link.check.status = query.value(25).toInt();
    link.check.finalUrl = query.value(26).toString();
    link.check.hops = query.value(27).toString();
    link.check.failures = query.value(28).toInt();
    link.check.dead = query.value(29).toInt() != 0;
    return link;
}

StoredKey keyFrom(const QSqlQuery& query)
{
    StoredKey key;
    key.name = query.value(0).toString();
    key.role = query.value(1).toInt();
    key.prefix = query.value(2).toString();
    key.hash = query.value(3).toByteArray();
    key.createdSecs = query.value(4).toLongLong();
    key.lastUsedSecs = query.value(5).toLongLong();
    key.expiresSecs = query.value(6).toLongLong();
    key.revokedSecs = query.value(7).toLongLong();
    return key;
}
} // namespace

struct SqlLinkStore::Statements {
    explicit Statements(const QSqlDatabase& db)
        : byCode(db)
        , byTarget(db)
        , insert(db)
        , insertMany(db)
        , addVisits(db)
        , keyByHash(db)
        , markKeyUsed(db)
        , takeVisit(db)
    {
        for (QSqlQuery* query :
            {&byCode, &byTarget, &insert, &insertMany, &addVisits, &keyByHash, &markKeyUsed, &takeVisit}) {
            query->setForwardOnly(true);
        }
    }
    QSqlQuery byCode;
    QSqlQuery byTarget;
    QSqlQuery insert;
    QSqlQuery insertMany; // prepared only where the dialect has it
    QSqlQuery addVisits;
    QSqlQuery keyByHash;
    QSqlQuery markKeyUsed;
    QSqlQuery takeVisit;
};

SqlLinkStore::SqlLinkStore(DatabaseAddress address, ConnectOptions options)
    : m_address(std::move(address))
    , m_options(options)
    , m_dialect(dialectOf(m_address))
    , m_connectionName(QStringLiteral("shortd-links-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

SqlLinkStore::SqlLinkStore(DatabaseAddress address, bool syncEachCommit)
    : SqlLinkStore(std::move(address), ConnectOptions {syncEachCommit, false})
{
}

SqlLinkStore::~SqlLinkStore()
{
    m_statements.reset();
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

QSqlDatabase SqlLinkStore::connection() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

// Asked outside run(): a log that cannot be read says nothing of the store's own health.
std::optional<qint64> SqlLinkStore::newestChangeOf(const QString& code)
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT coalesce(max(id), 0) FROM link_changes WHERE code = ?"));
    query.addBindValue(code);
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

std::optional<Acknowledgements> SqlLinkStore::acknowledgements(qint64 change, qint64 liveSinceMs)
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT count(*), coalesce(sum(CASE WHEN acked_change >= ? THEN 1 ELSE 0 END), 0) "
                                 "FROM instances WHERE heartbeat_at > ?"));
    query.addBindValue(change);
    query.addBindValue(liveSinceMs);
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return Acknowledgements {query.value(0).toInt(), query.value(1).toInt()};
}

bool SqlLinkStore::open()
{
    const QLatin1StringView driver = driverName(m_dialect);
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        m_lastError = m_dialect == SqlDialect::Postgres
            ? QStringLiteral("the Qt PostgreSQL driver is not installed (Debian: libqt6sql6-psql)")
            : QStringLiteral("the Qt SQLite driver is not installed (Debian: libqt6sql6-sqlite)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_connectionName);
    // Unreachable is worth another try later; a schema this program cannot use is not.
    m_broken = !connectDatabase(db, m_address, m_options, &m_lastError);
    if (m_broken) {
        return false;
    }
    if (m_options.readOnly ? !checkSchema(db, m_dialect, &m_lastError)
                           : !applyMigrations(db, m_dialect, &m_lastError)) {
        return false;
    }
    m_statements = std::make_unique<Statements>(db);
    Statements& s = *m_statements;
    m_texts = statementTexts(m_dialect);
    const StatementTexts& texts = m_texts;
    if (!s.byCode.prepare(texts.byCode) || !s.byTarget.prepare(texts.byTarget) || !s.insert.prepare(texts.insert)
        || !s.addVisits.prepare(texts.addVisits) || !s.keyByHash.prepare(texts.keyByHash)
        || !s.markKeyUsed.prepare(texts.markKeyUsed) || !s.takeVisit.prepare(TakeVisit)
        || (!texts.insertMany.isEmpty() && !s.insertMany.prepare(texts.insertMany))) {
        noteError(db.lastError());
        m_statements.reset();
        return false;
    }
    return true;
}

void SqlLinkStore::checkConnection()
{
    QSqlQuery probe(connection());
    m_broken = !probe.exec(QStringLiteral("SELECT 1")) || !probe.next();
}

LookupResult SqlLinkStore::fetchOne(QSqlQuery& query)
{
    LookupResult result;
    if (!query.exec()) {
        noteError(query.lastError());
        checkConnection();
        result.status = StoreStatus::Failed;
        return result;
    }
    if (query.next()) {
        result.status = StoreStatus::Ok;
        result.link = linkFrom(query);
    }
    query.finish();
    return result;
}

LookupResult SqlLinkStore::findByCode(const QString& code)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byCode;
    query.bindValue(0, code);
    return fetchOne(query);
}

LookupResult SqlLinkStore::findByTarget(int type, const QString& target)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->byTarget;
    const QVariantList key = targetKey(m_dialect, type, target);
    for (int i = 0; i < key.size(); ++i) {
        query.bindValue(i, key.at(i));
    }
    return fetchOne(query);
}

int SqlLinkStore::insertRow(const StoredLink& link)
{
    QSqlQuery& query = m_statements->insert;
    int position = 0;
    query.bindValue(position++, link.code);
    for (const QVariant& part : targetKey(m_dialect, link.type, link.target)) {
        query.bindValue(position++, part);
    }
    query.bindValue(position++, link.createdSecs);
    for (const QVariant& option : linkOptions(link)) {
        query.bindValue(position++, option);
    }
    if (!query.exec()) {
        noteError(query.lastError());
        return -1;
    }
    const int inserted = query.numRowsAffected();
    query.finish();
    return inserted == 1 ? 1 : 0;
}

InsertResult SqlLinkStore::insert(const StoredLink& link)
{
    if (!m_statements) {
        return {};
    }
    // A link made with a key is audited with it, in one transaction; an anonymous one is only
    // counted, and one made inside a caller's group (an import) is the group's to record.
    const bool audited = !link.owner.isEmpty() && !m_inGroup;
    if (audited && !beginGroup()) {
        return {};
    }
    const int inserted = insertRow(link);
    if (audited && inserted == 1) {
        QJsonObject made {{QStringLiteral("url"), link.target}, {QStringLiteral("type"), link.type}};
        if (!link.title.isEmpty()) {
            made.insert(QStringLiteral("title"), link.title);
        }
        if (!writeAudit({u"key:" % link.owner, QStringLiteral("link.created"), link.code, {},
                            QString::fromUtf8(QJsonDocument(made).toJson(QJsonDocument::Compact))},
                link.createdSecs)) {
            abandonGroup();
            return {};
        }
        if (!commitGroup()) {
            return {};
        }
    } else if (audited) {
        abandonGroup();
    }
    if (inserted < 0) {
        checkConnection();
        return {};
    }
    if (inserted == 1) {
        return {StoreStatus::Ok, {}};
    }
    if (link.chosen) {
        // A chosen code holds no address, so only the code can have been taken.
        return {StoreStatus::CodeTaken, {}};
    }
    // A conflict changes nothing. Another writer's conflicting row is committed by now (the
    // statement waits for it), so a lookup tells which key it was, and who holds the address.
    const LookupResult holder = findByTarget(link.type, link.target);
    switch (holder.status) {
    case StoreStatus::Ok:
        return {StoreStatus::TargetTaken, holder.link};
    case StoreStatus::Missing:
        return {StoreStatus::CodeTaken, {}};
    default:
        return {};
    }
}

std::optional<QList<bool>> SqlLinkStore::insertTogether(const QList<StoredLink>& links)
{
    if (!m_statements) {
        return std::nullopt;
    }
    // The one statement takes automatic links as the shortener makes them; any other goes row by row.
    const bool plain = std::all_of(links.begin(), links.end(), [](const StoredLink& link) {
        return !link.chosen && link.expiresSecs <= 0 && link.maxVisits <= 0 && link.title.isEmpty()
            && link.tags.isEmpty() && link.owner.isEmpty();
    });
    if (!m_texts.insertMany.isEmpty() && plain) {
        return insertAsOne(links);
    }
    if (!beginGroup()) {
        return std::nullopt;
    }
    QList<bool> stored;
    stored.reserve(links.size());
    for (const StoredLink& link : links) {
        const int inserted = insertRow(link);
        if (inserted < 0) {
            abandonGroup();
            return std::nullopt;
        }
        stored.append(inserted == 1);
    }
    if (!commitGroup()) {
        return std::nullopt;
    }
    return stored;
}

std::optional<QList<bool>> SqlLinkStore::insertAsOne(const QList<StoredLink>& links)
{
    QStringList codes;
    QStringList types;
    QStringList targets;
    QStringList created;
    for (const StoredLink& link : links) {
        codes.append(link.code);
        types.append(QString::number(link.type));
        targets.append(link.target);
        created.append(QString::number(link.createdSecs));
    }
    QSqlQuery& query = m_statements->insertMany;
    query.bindValue(0, arrayLiteral(codes));
    query.bindValue(1, arrayLiteral(types));
    query.bindValue(2, arrayLiteral(targets));
    query.bindValue(3, arrayLiteral(created));
    if (!query.exec()) {
        noteError(query.lastError());
        checkConnection();
        return std::nullopt;
    }
    QSet<QString> made;
    while (query.next()) {
        made.insert(query.value(0).toString());
    }
    query.finish();
    // Two links of the batch that drew the same code: only one can be stored, and which is not
    // told; both are settled one at a time instead.
    QHash<QString, int> drawn;
    for (const QString& code : std::as_const(codes)) {
        ++drawn[code];
    }
    QList<bool> stored;
    stored.reserve(links.size());
    for (const QString& code : std::as_const(codes)) {
        stored.append(made.contains(code) && drawn.value(code) == 1);
    }
    return stored;
}

StoreStatus SqlLinkStore::addVisits(const QHash<QString, qint64>& visits)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    // Rows are updated in one order everywhere, so two instances adding to the same links at once
    // wait for each other instead of deadlocking.
    QStringList codes = visits.keys();
    std::sort(codes.begin(), codes.end());
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->addVisits;
    const auto run = [&] {
        if (query.exec()) {
            return true;
        }
        noteError(query.lastError());
        abandonGroup();
        return false;
    };
    if (m_texts.visitsAsArrays) {
        // Prepared afresh for every batch, so that it is planned for the arrays it is given. A
        // plan kept for arrays of any length joined the whole table by hash: seconds a batch once
        // a million links were stored, and the next batch grew while this one ran.
        if (!query.prepare(m_texts.addVisits)) {
            noteError(query.lastError());
            abandonGroup();
            return StoreStatus::Failed;
        }
        QStringList counts;
        for (const QString& code : std::as_const(codes)) {
            counts.append(QString::number(visits.value(code)));
        }
        query.bindValue(0, arrayLiteral(counts));
        query.bindValue(1, arrayLiteral(codes));
        if (!run()) {
            return StoreStatus::Failed;
        }
    } else {
        for (const QString& code : std::as_const(codes)) {
            query.bindValue(0, visits.value(code));
            query.bindValue(1, code);
            if (!run()) {
                return StoreStatus::Failed;
            }
        }
    }
    query.finish();
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

VisitGrant SqlLinkStore::takeVisit(const QString& code, qint64 nowSecs)
{
    if (!m_statements) {
        return VisitGrant::Failed;
    }
    QSqlQuery& query = m_statements->takeVisit;
    query.bindValue(0, code);
    query.bindValue(1, nowSecs);
    if (!run(query)) {
        return VisitGrant::Failed;
    }
    const bool counted = query.numRowsAffected() == 1;
    query.finish();
    if (counted) {
        return VisitGrant::Granted;
    }
    switch (findByCode(code).status) {
    case StoreStatus::Ok:
        return VisitGrant::Exhausted;
    case StoreStatus::Missing:
        return VisitGrant::Missing;
    default:
        return VisitGrant::Failed;
    }
}

LookupResult SqlLinkStore::updateLink(const QString& code, const LinkPatch& patch, qint64 nowSecs)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QStringList sets;
    QVariantList bindings;
    const auto set = [&](QString assignment, const QVariant& value) {
        sets.append(std::move(assignment));
        bindings.append(value);
    };
    // Options are bound as an insert binds them, so that 0 clears an end or a limit.
    StoredLink options;
    options.expiresSecs = patch.expiresSecs.value_or(0);
    options.maxVisits = patch.maxVisits.value_or(0);
    options.tags = patch.tags.value_or(QStringList {});
    const QVariantList bound = linkOptions(options);
    if (patch.expiresSecs) {
        set(QStringLiteral("expires_at = ?"), bound.at(1));
    }
    if (patch.maxVisits) {
        set(QStringLiteral("max_visits = ?"), bound.at(2));
    }
    if (patch.title) {
        set(QStringLiteral("title = coalesce(?, '')"), *patch.title);
    }
    if (patch.tags) {
        set(u"tags = " % tagsPlaceholder(m_dialect), bound.at(4));
    }
    const bool enabling = patch.state == LinkState::Active;
    if (patch.state) {
        // As setState: a reason only for a disabled link, and the moment of the change.
        set(QStringLiteral("state = ?"), static_cast<int>(*patch.state));
        set(QStringLiteral("reason = coalesce(?, '')"), enabling ? QString() : patch.reason.value_or(QString()));
        set(QStringLiteral("changed_at = ?"), nowSecs);
    } else if (patch.reason) {
        set(QStringLiteral("reason = coalesce(?, '')"), *patch.reason);
    }
    if (patch.state || patch.reason) {
        set(QStringLiteral("disabled_by = coalesce(?, '')"), enabling ? QString() : patch.actor.name);
        set(QStringLiteral("takedown = ?"), !enabling && patch.actor.admin ? 1 : 0);
    }
    if (sets.isEmpty()) {
        sets.append(QStringLiteral("state = state"));
    }
    const bool guarded = patch.onlyOwnDisable && (patch.state || patch.reason);
    if (!beginGroup()) {
        return {StoreStatus::Failed, {}};
    }
    const LookupResult before = findByCode(code);
    if (before.status == StoreStatus::Failed) {
        abandonGroup();
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery query(connection());
    query.prepare(u"UPDATE links SET " % sets.join(QLatin1StringView(", ")) % u" WHERE code = ? AND state <> 2"
        % (guarded ? QStringLiteral(" AND (state = 0 OR (disabled_by = ? AND takedown = 0))") : QString()));
    for (const QVariant& value : std::as_const(bindings)) {
        query.addBindValue(value);
    }
    query.addBindValue(code);
    if (guarded) {
        query.addBindValue(*patch.onlyOwnDisable);
    }
    if (!query.exec()) {
        noteError(query.lastError());
        abandonGroup();
        return {StoreStatus::Failed, {}};
    }
    if (query.numRowsAffected() != 1) {
        abandonGroup();
        return {StoreStatus::Missing, {}};
    }
    query.finish();
    LookupResult now = findByCode(code);
    if (now.status != StoreStatus::Ok) {
        abandonGroup();
        return {StoreStatus::Failed, {}};
    }
    const auto [was, changed] = linkChangeFields(before.link, now.link);
    const QString action = before.link.state == now.link.state ? QStringLiteral("link.edited")
        : now.link.state == LinkState::Active                  ? QStringLiteral("link.enabled")
                                                               : QStringLiteral("link.disabled");
    if (!writeAudit({auditActorName(patch.actor), action, code, was, changed}, nowSecs)) {
        abandonGroup();
        return {StoreStatus::Failed, {}};
    }
    if (!commitGroup()) {
        return {StoreStatus::Failed, {}};
    }
    return now;
}

bool SqlLinkStore::isHealthy()
{
    if (!m_statements) {
        return false;
    }
    checkConnection();
    return !m_broken;
}

bool SqlLinkStore::run(QSqlQuery& query)
{
    if (query.exec()) {
        return true;
    }
    noteError(query.lastError());
    checkConnection();
    return false;
}

StoreStatus SqlLinkStore::setState(
    const QString& code, LinkState state, const QString& reason, const LinkActor& actor, qint64 nowSecs)
{
    // A deleted link keeps who disabled it before: a deletion is no take-down of its own.
    const bool keepsWho = state == LinkState::Deleted;
    // As an edit's guard: one who is not an admin changes only an active link or its own disable,
    // checked by the statement itself, so a take-down made since the caller read the link stands.
    const bool guarded = !actor.admin;
    QSqlQuery query(connection());
    query.prepare(u"UPDATE links SET state = ?, reason = coalesce(?, ''), changed_at = ?"
        % (keepsWho ? QString() : QStringLiteral(", disabled_by = coalesce(?, ''), takedown = ?"))
        % u" WHERE code = ? AND state <> 2"
        % (guarded ? QStringLiteral(" AND (state = 0 OR (disabled_by = ? AND takedown = 0))") : QString()));
    query.addBindValue(static_cast<int>(state));
    query.addBindValue(state == LinkState::Disabled ? reason : QString());
    query.addBindValue(nowSecs);
    if (!keepsWho) {
        const bool disabling = state == LinkState::Disabled;
        query.addBindValue(disabling ? actor.name : QString());
        query.addBindValue(disabling && actor.admin ? 1 : 0);
    }
    query.addBindValue(code);
    if (guarded) {
        query.addBindValue(actor.name);
    }
    // The change and its audit record commit together, the record holding the fields as read
    // inside the same transaction.
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    const LookupResult before = findByCode(code);
    if (before.status == StoreStatus::Failed || !run(query)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    if (query.numRowsAffected() != 1) {
        abandonGroup();
        return StoreStatus::Missing;
    }
    StoredLink after = before.link;
    after.state = state;
    after.reason = state == LinkState::Disabled ? reason : QString();
    const auto [was, now] = linkChangeFields(before.link, after);
    const QString action = u"link."
        % QLatin1StringView(state == LinkState::Active ? "enabled"
                : state == LinkState::Disabled         ? "disabled"
                                                       : "deleted");
    if (!writeAudit({auditActorName(actor), action, code, was, now}, nowSecs)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

StoreStatus SqlLinkStore::listLinks(const LinkQuery& filter, const std::function<bool(const StoredLink&)>& visit)
{
    const QString contains
        = m_dialect == SqlDialect::Postgres ? QStringLiteral("strpos(%1, ?) > 0") : QStringLiteral("instr(%1, ?) > 0");
    QString where = QStringLiteral("created_at >= ?");
    QVariantList bindings {filter.sinceSecs};
    if (filter.type >= 0) {
        where += QStringLiteral(" AND type = ?");
        bindings.append(filter.type);
    }
    if (!filter.search.isEmpty()) {
        where += u" AND (" % contains.arg(QLatin1StringView("target")) % u" OR "
            % contains.arg(QLatin1StringView("code")) % u')';
        bindings << filter.search << filter.search;
    }
    const QLatin1StringView state = stateCondition(filter.state);
    where += state;
    if (state.contains(u'?')) {
        bindings.append(filter.nowSecs);
    }
    if (!filter.tag.isEmpty()) {
        // A whole tag, compared by the database: jsonb containment (in its index) or the array's
        // elements one by one, of the links that carry any tag (in the index of those).
        where += m_dialect == SqlDialect::Postgres
            ? QStringLiteral(" AND tags @> jsonb_build_array(CAST(? AS text))")
            : QStringLiteral(
                " AND tags <> '[]' AND EXISTS (SELECT 1 FROM json_each(links.tags) WHERE json_each.value = ?)");
        bindings.append(filter.tag);
    }
    if (!filter.owner.isEmpty()) {
        where += QStringLiteral(" AND owner = ?");
        bindings.append(filter.owner);
    }
    qint64 left = filter.limit;
    // Every batch, like every page, starts after the last link of the one before, in the order of
    // links_by_created: a link added meanwhile is newer, so it shifts nothing. The cursor is one
    // row value, which both databases seek to in the index; spelt as an OR, SQLite gathered and
    // sorted every older link for each page.
    std::optional<ListCursor> last = filter.after;
    for (;;) {
        const qint64 batch = left < 0 ? BatchSize : std::min(left, BatchSize);
        if (batch == 0) {
            return StoreStatus::Ok;
        }
        QSqlQuery query(connection());
        query.setForwardOnly(true);
        query.prepare(u"SELECT " % StoredLinkColumns % u" FROM links WHERE " % where
            % (last ? QStringLiteral(" AND (created_at, code) < (?, ?)") : QString())
            % u" ORDER BY created_at DESC, code DESC LIMIT " % QString::number(batch));
        for (const QVariant& value : std::as_const(bindings)) {
            query.addBindValue(value);
        }
        if (last) {
            query.addBindValue(last->createdSecs);
            query.addBindValue(last->code);
        }
        if (!run(query)) {
            return StoreStatus::Failed;
        }
        qint64 rows = 0;
        while (query.next()) {
            const StoredLink link = linkFrom(query);
            last = ListCursor {link.createdSecs, link.code};
            ++rows;
            if (!visit(link)) {
                return StoreStatus::Ok;
            }
        }
        if (left > 0) {
            left -= rows;
        }
        if (rows < batch) {
            return StoreStatus::Ok;
        }
    }
}

StoreStatus SqlLinkStore::exportLinks(const std::function<bool(const StoredLink&)>& visit)
{
    QString after;
    for (;;) {
        QSqlQuery query(connection());
        query.setForwardOnly(true);
        query.prepare(u"SELECT " % StoredLinkColumns % u" FROM links "
            % (after.isEmpty() ? QString() : QStringLiteral("WHERE code > ? ")) % u"ORDER BY code LIMIT "
            % QString::number(BatchSize));
        if (!after.isEmpty()) {
            query.addBindValue(after);
        }
        if (!run(query)) {
            return StoreStatus::Failed;
        }
        qint64 rows = 0;
        while (query.next()) {
            const StoredLink link = linkFrom(query);
            after = link.code;
            ++rows;
            if (!visit(link)) {
                return StoreStatus::Ok;
            }
        }
        if (rows < BatchSize) {
            return StoreStatus::Ok;
        }
    }
}

StoreStatus SqlLinkStore::restoreLink(const StoredLink& link)
{
    const QVariantList key = targetKey(m_dialect, link.type, link.target);
    QSqlQuery query(connection());
    query.prepare(u"INSERT INTO links(code, type, "
        % (m_dialect == SqlDialect::Postgres ? QStringLiteral("target_digest, ") : QString())
        % u"target, created_at, visits, state, reason, changed_at, chosen, expires_at, max_visits, title, tags, "
          u"owner, disabled_by, takedown, quarantine_list, quarantine_entry, quarantined_at) VALUES(?, "
        % QStringLiteral("?, ").repeated(key.size()) % u"?, ?, ?, coalesce(?, ''), ?, ?, ?, ?, coalesce(?, ''), "
        % tagsPlaceholder(m_dialect)
        % u", coalesce(?, ''), coalesce(?, ''), ?, coalesce(?, ''), coalesce(?, ''), ?) ON CONFLICT DO NOTHING");
    query.addBindValue(link.code);
    for (const QVariant& part : key) {
        query.addBindValue(part);
    }
    query.addBindValue(link.createdSecs);
    query.addBindValue(link.visits);
    query.addBindValue(static_cast<int>(link.state));
    query.addBindValue(link.reason);
    query.addBindValue(link.changedSecs);
    for (const QVariant& option : linkOptions(link)) {
        query.addBindValue(option);
    }
    query.addBindValue(link.disabledBy);
    query.addBindValue(link.takedown ? 1 : 0);
    query.addBindValue(link.quarantine.list);
    query.addBindValue(link.quarantine.entry);
    query.addBindValue(link.quarantine.atSecs);
    if (!run(query)) {
        return StoreStatus::Failed;
    }
    if (query.numRowsAffected() == 1) {
        return StoreStatus::Ok;
    }
    const LookupResult holder = findByCode(link.code);
    if (holder.status == StoreStatus::Failed) {
        return StoreStatus::Failed;
    }
    return holder.status == StoreStatus::Ok ? StoreStatus::CodeTaken : StoreStatus::TargetTaken;
}

StoreStatus SqlLinkStore::stats(int top, LinkStats* totals, QList<StoredLink>* mostVisited)
{
    QSqlQuery counts(connection());
    counts.setForwardOnly(true);
    counts.prepare(QStringLiteral("SELECT state, count(*), coalesce(sum(visits), 0) FROM links GROUP BY state"));
    if (!run(counts)) {
        return StoreStatus::Failed;
    }
    *totals = {};
    while (counts.next()) {
        const qint64 links = counts.value(1).toLongLong();
        totals->visits += counts.value(2).toLongLong();
        switch (static_cast<LinkState>(counts.value(0).toInt())) {
        case LinkState::Active:
            totals->active += links;
            break;
        case LinkState::Disabled:
            totals->disabled += links;
            break;
        case LinkState::Deleted:
            totals->deleted += links;
            break;
        case LinkState::Quarantined: // neither active nor taken down by a person
            break;
        }
    }
    QSqlQuery best(connection());
    best.setForwardOnly(true);
    best.prepare(u"SELECT " % StoredLinkColumns % u" FROM links WHERE state <> 2 ORDER BY visits DESC, code LIMIT ?");
    best.addBindValue(top);
    if (!run(best)) {
        return StoreStatus::Failed;
    }
    mostVisited->clear();
    while (best.next()) {
        mostVisited->append(linkFrom(best));
    }
    return StoreStatus::Ok;
}

StoreStatus SqlLinkStore::createKey(const StoredKey& key, const QString& by)
{
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("INSERT INTO api_keys(name, role, prefix, key_hash, created_at, expires_at) "
                                 "VALUES(?, ?, ?, ?, ?, nullif(CAST(? AS bigint), 0)) ON CONFLICT DO NOTHING"));
    query.addBindValue(key.name);
    query.addBindValue(key.role);
    query.addBindValue(key.prefix);
    query.addBindValue(key.hash);
    query.addBindValue(key.createdSecs);
    query.addBindValue(key.expiresSecs);
    QJsonObject made {{QStringLiteral("role"), key.role}, {QStringLiteral("prefix"), key.prefix}};
    if (key.expiresSecs != 0) {
        made.insert(QStringLiteral("expiresAt"), key.expiresSecs);
    }
    return runAudited(query,
        {by, QStringLiteral("key.created"), key.name, {},
            QString::fromUtf8(QJsonDocument(made).toJson(QJsonDocument::Compact))},
        key.createdSecs, StoreStatus::CodeTaken);
}

StoreStatus SqlLinkStore::listKeys(const std::function<bool(const StoredKey&)>& visit)
{
    // Keys are made by hand, a few of them: one query, read row by row.
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(u"SELECT " % StoredKeyColumns % u" FROM api_keys ORDER BY name");
    if (!run(query)) {
        return StoreStatus::Failed;
    }
    while (query.next()) {
        if (!visit(keyFrom(query))) {
            break;
        }
    }
    return StoreStatus::Ok;
}

StoreStatus SqlLinkStore::revokeKey(const QString& name, const QString& by, qint64 nowSecs)
{
    // Revoking a revoked key again answers Ok as before, but changes nothing and is no record.
    QSqlQuery query(connection());
    query.prepare(QStringLiteral("UPDATE api_keys SET revoked_at = ? WHERE name = ? AND revoked_at IS NULL"));
    query.addBindValue(nowSecs);
    query.addBindValue(name);
    const StoreStatus revoked = runAudited(query,
        {by, QStringLiteral("key.revoked"), name, QStringLiteral(R"({"revokedAt":null})"),
            QStringLiteral(R"({"revokedAt":%1})").arg(nowSecs)},
        nowSecs, StoreStatus::Missing);
    if (revoked != StoreStatus::Missing) {
        return revoked;
    }
    QSqlQuery exists(connection());
    exists.prepare(QStringLiteral("SELECT 1 FROM api_keys WHERE name = ?"));
    exists.addBindValue(name);
    if (!run(exists)) {
        return StoreStatus::Failed;
    }
    return exists.next() ? StoreStatus::Ok : StoreStatus::Missing;
}

KeyLookup SqlLinkStore::findKeyByHash(const QByteArray& hash)
{
    if (!m_statements) {
        return {StoreStatus::Failed, {}};
    }
    QSqlQuery& query = m_statements->keyByHash;
    query.bindValue(0, hash);
    if (!run(query)) {
        return {StoreStatus::Failed, {}};
    }
    KeyLookup found;
    if (query.next()) {
        found = {StoreStatus::Ok, keyFrom(query)};
    }
    query.finish();
    return found;
}

StoreStatus SqlLinkStore::markKeyUsed(const QString& name, qint64 nowSecs)
{
    if (!m_statements) {
        return StoreStatus::Failed;
    }
    QSqlQuery& query = m_statements->markKeyUsed;
    query.bindValue(0, nowSecs);
    query.bindValue(1, name);
    query.bindValue(2, nowSecs);
    if (!run(query)) {
        return StoreStatus::Failed;
    }
    query.finish();
    return StoreStatus::Ok;
}

bool SqlLinkStore::beginGroup()
{
    QSqlDatabase db = connection();
    if (m_dialect == SqlDialect::Sqlite) {
        // A group always writes, so it takes the file's write lock first, waiting the busy time-out
        // for it. A plain BEGIN that reads first cannot wait later: once another writer has
        // committed meanwhile, its first write fails at once as busy.
        QSqlQuery begin(db);
        if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            noteError(begin.lastError());
            checkConnection();
            return false;
        }
        m_inGroup = true;
        return true;
    }
    if (!db.transaction()) {
        noteError(db.lastError());
        checkConnection();
        return false;
    }
    m_inGroup = true;
    return true;
}

bool SqlLinkStore::commitGroup()
{
    m_inGroup = false;
    QSqlDatabase db = connection();
    if (m_dialect == SqlDialect::Sqlite) {
        // As a statement: QSqlDatabase::commit()'s error leaves out SQLite's code, which tells busy.
        QSqlQuery commit(db);
        if (!commit.exec(QStringLiteral("COMMIT"))) {
            noteError(commit.lastError());
            abandonGroup();
            return false;
        }
        return true;
    }
    // Qt's PostgreSQL driver also tells a transaction the server rolled back from a committed one.
    if (!db.commit()) {
        noteError(db.lastError());
        abandonGroup();
        return false;
    }
    return true;
}

void SqlLinkStore::abandonGroup()
{
    m_inGroup = false;
    connection().rollback();
    checkConnection();
}

void SqlLinkStore::noteError(const QSqlError& error)
{
    m_lastError = error.text();
    const QString code = error.nativeErrorCode();
    if (m_dialect == SqlDialect::Sqlite) {
        bool number = false;
        const int primary = code.toInt(&number) & 0xff;
        m_transient = number && (primary == SqliteBusy || primary == SqliteLocked);
    } else {
        m_transient = std::any_of(std::begin(PostgresTransientStates), std::end(PostgresTransientStates),
            [&code](QLatin1StringView state) { return code == state; });
    }
}

StoreStatus SqlLinkStore::quarantine(const QString& code, const QString& list, const QString& entry, qint64 nowSecs)
{
    // One statement decides: only an active link, and not one released from this entry before.
    QSqlQuery query(connection());
    query.prepare(QStringLiteral(
        "UPDATE links SET state = 3, quarantine_list = coalesce(?, ''), quarantine_entry = coalesce(?, ''), "
        "quarantined_at = ?, changed_at = ? WHERE code = ? AND state = 0 AND NOT EXISTS (SELECT 1 FROM "
        "quarantine_exemptions AS e WHERE e.code = links.code AND e.list = ? AND e.entry = ?)"));
    query.addBindValue(list);
    query.addBindValue(entry);
    query.addBindValue(nowSecs);
    query.addBindValue(nowSecs);
    query.addBindValue(code);
    query.addBindValue(list);
    query.addBindValue(entry);
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    if (!run(query)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    if (query.numRowsAffected() != 1) {
        abandonGroup();
        return StoreStatus::Missing;
    }
    const QString actor = list == ReportsList ? QStringLiteral("system:reports") : u"system:blocklist:" % list;
    const QJsonObject now {{QStringLiteral("state"), stateName(LinkState::Quarantined)},
        {QStringLiteral("quarantine"), list}, {QStringLiteral("entry"), entry}};
    if (!writeAudit({actor, QStringLiteral("link.quarantined"), code, QStringLiteral(R"({"state":"active"})"),
                        QString::fromUtf8(QJsonDocument(now).toJson(QJsonDocument::Compact))},
            nowSecs)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

StoreStatus SqlLinkStore::release(const QString& code, const LinkActor& actor, qint64 nowSecs)
{
    // The evidence is read, then cleared only if it is still what was read, in the same
    // transaction as the exemption it leaves behind.
    if (!beginGroup()) {
        return StoreStatus::Failed;
    }
    const LookupResult found = findByCode(code);
    if (found.status != StoreStatus::Ok || found.link.state != LinkState::Quarantined) {
        abandonGroup();
        return found.status == StoreStatus::Failed ? StoreStatus::Failed : StoreStatus::Missing;
    }
    const QuarantineEvidence& evidence = found.link.quarantine;
    QSqlQuery update(connection());
    update.prepare(
        QStringLiteral("UPDATE links SET state = 0, quarantine_list = '', quarantine_entry = '', quarantined_at = 0, "
                       "changed_at = ? WHERE code = ? AND state = 3 AND quarantine_list = ? AND quarantine_entry = ?"));
    update.addBindValue(nowSecs);
    update.addBindValue(code);
    update.addBindValue(evidence.list);
    update.addBindValue(evidence.entry);
    if (!run(update)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    if (update.numRowsAffected() != 1) {
        abandonGroup();
        return StoreStatus::Missing;
    }
    QSqlQuery exempt(connection());
    exempt.prepare(
        QStringLiteral("INSERT INTO quarantine_exemptions(code, list, entry) VALUES(?, ?, ?) ON CONFLICT DO NOTHING"));
    exempt.addBindValue(code);
    exempt.addBindValue(evidence.list);
    exempt.addBindValue(evidence.entry);
    if (!run(exempt)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    StoredLink released = found.link;
    released.state = LinkState::Active;
    released.quarantine = {};
    const auto [was, now] = linkChangeFields(found.link, released);
    if (!writeAudit({auditActorName(actor), QStringLiteral("link.released"), code, was, now}, nowSecs)) {
        abandonGroup();
        return StoreStatus::Failed;
    }
    return commitGroup() ? StoreStatus::Ok : StoreStatus::Failed;
}

} // namespace Shortd
