#include "store/migrations.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Shortd
{
namespace
{
// Any fixed number; every instance of the service takes the same one.
constexpr qint64 MigrationLockKey = 0x4e6f6c7665780001;

bool exec(QSqlQuery& query, const QString& sql, QString* error)
{
    if (query.exec(sql)) {
        return true;
    }
    *error = query.lastError().text();
    return false;
}

QString newerSchema(int version, int newest)
{
    return QStringLiteral("the database has schema version %1, newer than this program's %2; run a newer nolvex-shortd")
        .arg(version)
        .arg(newest);
}

int newestVersion(SqlDialect dialect)
{
    const QList<Migration>& steps = migrationsFor(dialect);
    return steps.isEmpty() ? 0 : steps.constLast().version;
}
} // namespace

const QList<Migration>& sqliteMigrations()
{
    // Version 1 is the schema files had before versions were recorded; written so that such a file
    // takes it unchanged.
    static const QList<Migration> migrations {
        {1, QStringLiteral("links"),
            {QStringLiteral("CREATE TABLE IF NOT EXISTS links ("
                            "code TEXT PRIMARY KEY NOT NULL, "
                            "type INTEGER NOT NULL, "
                            "target TEXT NOT NULL, "
                            "created_at INTEGER NOT NULL, "
                            "visits INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID"),
                QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS links_by_target ON links(type, target)")}},
        // state: 0 active, 1 disabled, 2 deleted. A deleted link keeps its code (never handed out
        // again) but no longer holds its address.
        {2, QStringLiteral("link states"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN state INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN reason TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN changed_at INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("DROP INDEX links_by_target"),
                QStringLiteral("CREATE UNIQUE INDEX links_by_target ON links(type, target) WHERE state <> 2"),
                QStringLiteral("CREATE INDEX links_by_created ON links(created_at)")}},
        // role: 0 reader, 1 creator, 2 admin. Only the key's SHA-256 is kept; times in seconds,
        // NULL for never.
        {3, QStringLiteral("api keys"),
            {QStringLiteral("CREATE TABLE api_keys ("
                            "name TEXT PRIMARY KEY NOT NULL, "
                            "role INTEGER NOT NULL CHECK (role BETWEEN 0 AND 2), "
                            "prefix TEXT NOT NULL, "
                            "key_hash BLOB NOT NULL UNIQUE, "
                            "created_at INTEGER NOT NULL, "
                            "last_used_at INTEGER, "
                            "expires_at INTEGER, "
                            "revoked_at INTEGER) WITHOUT ROWID")}},
        // chosen: 1 for a code a person chose; such a link never holds its address, so the index
        // of held addresses leaves it out. expires_at and max_visits NULL for none; tags a JSON
        // array of texts. Listings page newest first, ties by code.
        {4, QStringLiteral("owned links"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN chosen INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN expires_at INTEGER"),
                QStringLiteral("ALTER TABLE links ADD COLUMN max_visits INTEGER"),
                QStringLiteral("ALTER TABLE links ADD COLUMN title TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN tags TEXT NOT NULL DEFAULT '[]'"),
                QStringLiteral("ALTER TABLE links ADD COLUMN owner TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("DROP INDEX links_by_target"),
                QStringLiteral(
                    "CREATE UNIQUE INDEX links_by_target ON links(type, target) WHERE state <> 2 AND chosen = 0"),
                QStringLiteral("DROP INDEX links_by_created"),
                QStringLiteral("CREATE INDEX links_by_created ON links(created_at DESC, code DESC)")}},
        // links.visits counts people only from here on; bots and link previews apart, and per hour
        // and per day's referring host in tables of counters that only ever add.
        {5, QStringLiteral("visit counters"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN visitors INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN bots INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN previews INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE TABLE visit_hours ("
                               "code TEXT NOT NULL, "
                               "hour INTEGER NOT NULL, "
                               "humans INTEGER NOT NULL DEFAULT 0, "
                               "visitors INTEGER NOT NULL DEFAULT 0, "
                               "bots INTEGER NOT NULL DEFAULT 0, "
                               "previews INTEGER NOT NULL DEFAULT 0, "
                               "PRIMARY KEY (code, hour)) WITHOUT ROWID"),
                QStringLiteral("CREATE INDEX visit_hours_by_hour ON visit_hours(hour)"),
                QStringLiteral("CREATE TABLE visit_referrers ("
                               "code TEXT NOT NULL, "
                               "day INTEGER NOT NULL, "
                               "host TEXT NOT NULL, "
                               "visits INTEGER NOT NULL DEFAULT 0, "
                               "PRIMARY KEY (code, day, host)) WITHOUT ROWID"),
                QStringLiteral("CREATE INDEX visit_referrers_by_day ON visit_referrers(day)")}},
        // What instances need to hear of: every change to a link but counting its visits (any
        // class), and the visit that uses up a limit (bots and previews on other instances must not
        // follow a used-up link while their copy says otherwise); in a log with a rising id
        // (AUTOINCREMENT: an id is never reused once old rows are pruned), which a running service
        // reads a few times a second. Instances, with their heartbeats and the last change each has
        // acted on; times in milliseconds.
        {6, QStringLiteral("cluster"),
            {QStringLiteral("CREATE TABLE link_changes ("
                            "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                            "code TEXT NOT NULL, "
                            "changed_at INTEGER NOT NULL)"),
                QStringLiteral(
                    "CREATE TRIGGER links_changed AFTER UPDATE ON links "
                    "WHEN (OLD.visits IS NEW.visits AND OLD.visitors IS NEW.visitors AND OLD.bots IS NEW.bots "
                    "AND OLD.previews IS NEW.previews) OR OLD.state IS NOT NEW.state "
                    "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                    "AND NEW.visits >= NEW.max_visits) "
                    "BEGIN INSERT INTO link_changes(code, changed_at) "
                    "VALUES (NEW.code, CAST(strftime('%s', 'now') AS INTEGER) * 1000); END"),
                QStringLiteral("CREATE TRIGGER links_removed AFTER DELETE ON links "
                               "BEGIN INSERT INTO link_changes(code, changed_at) "
                               "VALUES (OLD.code, CAST(strftime('%s', 'now') AS INTEGER) * 1000); END"),
                QStringLiteral("CREATE TABLE instances ("
                               "id TEXT PRIMARY KEY NOT NULL, "
                               "host TEXT NOT NULL, "
                               "pid INTEGER NOT NULL, "
                               "started_at INTEGER NOT NULL, "
                               "heartbeat_at INTEGER NOT NULL, "
                               "acked_change INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID")}},
        // Who last disabled a link: "key:NAME" or "shell:USER", and whether that was an admin or
        // an operator (takedown). A link disabled before is left unknown: nobody but an admin or
        // an operator may enable it, and its reason is not shown to the public.
        {7, QStringLiteral("who disabled"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN disabled_by TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN takedown INTEGER NOT NULL DEFAULT 0")}},
        // state 3: quarantined, with the list and the entry that matched its destination and since
        // when. An exemption keeps a released link from being quarantined by that entry again.
        {8, QStringLiteral("quarantine"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN quarantine_list TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN quarantine_entry TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN quarantined_at INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE TABLE quarantine_exemptions ("
                               "code TEXT NOT NULL, "
                               "list TEXT NOT NULL, "
                               "entry TEXT NOT NULL, "
                               "PRIMARY KEY (code, list, entry)) WITHOUT ROWID")}},
        // The service's own blocklist: destinations an operator blocked with a take-down.
        {9, QStringLiteral("local blocklist"),
            {QStringLiteral("CREATE TABLE local_blocks ("
                            "entry TEXT NOT NULL PRIMARY KEY, "
                            "kind TEXT NOT NULL, "
                            "added_by TEXT NOT NULL DEFAULT '', "
                            "reason TEXT NOT NULL DEFAULT '', "
                            "added_at INTEGER NOT NULL) WITHOUT ROWID")}},
        // Reports from anyone: one a link an address, and how many an address sent lately.
        {10, QStringLiteral("reports"),
            {QStringLiteral("CREATE TABLE reports ("
                            "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                            "code TEXT NOT NULL, "
                            "reason TEXT NOT NULL, "
                            "text TEXT NOT NULL DEFAULT '', "
                            "reporter TEXT NOT NULL, "
                            "created_at INTEGER NOT NULL, "
                            "dismissed_at INTEGER, "
                            "dismissed_by TEXT NOT NULL DEFAULT '')"),
                QStringLiteral("CREATE UNIQUE INDEX reports_by_link ON reports(code, reporter)"),
                QStringLiteral("CREATE INDEX reports_by_reporter ON reports(reporter, created_at)")}},
        // Requests a quarantined link turned away, per link and per hour, kept as evidence. Adding
        // to them is a visit count like the others: no instance needs to hear of it.
        {11, QStringLiteral("blocked visits"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN blocked INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE visit_hours ADD COLUMN blocked INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("DROP TRIGGER links_changed"),
                QStringLiteral(
                    "CREATE TRIGGER links_changed AFTER UPDATE ON links "
                    "WHEN (OLD.visits IS NEW.visits AND OLD.visitors IS NEW.visitors AND OLD.bots IS NEW.bots "
                    "AND OLD.previews IS NEW.previews AND OLD.blocked IS NEW.blocked) OR OLD.state IS NOT NEW.state "
                    "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                    "AND NEW.visits >= NEW.max_visits) "
                    "BEGIN INSERT INTO link_changes(code, changed_at) "
                    "VALUES (NEW.code, CAST(strftime('%s', 'now') AS INTEGER) * 1000); END")}},
        // The last check of each link's destination (hops as compact JSON) and its dead-kind
        // failures in a row. Writing a check is no change another instance serves differently, so
        // the change log's trigger leaves an update of checked_at alone, as it does counting.
        {12, QStringLiteral("destination checks"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN checked_at INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN check_outcome TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN check_status INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN check_final_url TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN check_hops TEXT NOT NULL DEFAULT ''"),
                QStringLiteral("ALTER TABLE links ADD COLUMN check_failures INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE links ADD COLUMN dead INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE INDEX links_by_check ON links(checked_at) WHERE state = 0"),
                QStringLiteral("DROP TRIGGER links_changed"),
                QStringLiteral(
                    "CREATE TRIGGER links_changed AFTER UPDATE ON links "
                    "WHEN (OLD.visits IS NEW.visits AND OLD.visitors IS NEW.visitors AND OLD.bots IS NEW.bots "
                    "AND OLD.previews IS NEW.previews AND OLD.blocked IS NEW.blocked "
                    "AND OLD.checked_at IS NEW.checked_at) OR OLD.state IS NOT NEW.state "
                    "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                    "AND NEW.visits >= NEW.max_visits) "
                    "BEGIN INSERT INTO link_changes(code, changed_at) "
                    "VALUES (NEW.code, CAST(strftime('%s', 'now') AS INTEGER) * 1000); END")}},
        // Listings filtered by a state other than active, or by a tag, walk only the links that can
        // match, newest first; both sets are few beside the active, untagged ones.
        {13, QStringLiteral("listing indexes"),
            {QStringLiteral("CREATE INDEX links_by_state ON links(state, created_at DESC, code DESC) WHERE state <> 0"),
                QStringLiteral("CREATE INDEX links_tagged ON links(created_at DESC, code DESC) WHERE tags <> '[]'")}},
        // Every change, who made it, and the fields before and after as compact JSON; each record
        // chained to the one before by its hash (hex). Only ever appended, and pruned from the front.
        {14, QStringLiteral("audit log"),
            {QStringLiteral("CREATE TABLE audit_log ("
                            "id INTEGER PRIMARY KEY NOT NULL, "
                            "at INTEGER NOT NULL, "
                            "actor TEXT NOT NULL, "
                            "action TEXT NOT NULL, "
                            "subject TEXT NOT NULL, "
                            "before TEXT NOT NULL, "
                            "after TEXT NOT NULL, "
                            "prev_hash TEXT NOT NULL, "
                            "hash TEXT NOT NULL)"),
                QStringLiteral("CREATE INDEX audit_by_subject ON audit_log(subject, id)"),
                QStringLiteral("CREATE INDEX audit_by_at ON audit_log(at)")}},
    };
    return migrations;
}

const QList<Migration>& postgresMigrations()
{
    // An address may be 8,000 characters, too long for a btree entry, so uniqueness is kept on a
    // SHA-256 of it and every lookup compares the full address as well.
    static const QList<Migration> migrations {
        {1, QStringLiteral("links"),
            {QStringLiteral("CREATE TABLE links ("
                            "code text COLLATE \"C\" PRIMARY KEY, "
                            "type smallint NOT NULL, "
                            "target_digest bytea NOT NULL, "
                            "target text NOT NULL, "
                            "created_at bigint NOT NULL, "
                            "visits bigint NOT NULL DEFAULT 0)"),
                QStringLiteral("CREATE UNIQUE INDEX links_by_target ON links(type, target_digest)")}},
        {2, QStringLiteral("link states"),
            {QStringLiteral(
                 "ALTER TABLE links ADD COLUMN state smallint NOT NULL DEFAULT 0, "
                 "ADD COLUMN reason text NOT NULL DEFAULT '', ADD COLUMN changed_at bigint NOT NULL DEFAULT 0"),
                QStringLiteral("DROP INDEX links_by_target"),
                QStringLiteral("CREATE UNIQUE INDEX links_by_target ON links(type, target_digest) WHERE state <> 2"),
                QStringLiteral("CREATE INDEX links_by_created ON links(created_at)")}},
        {3, QStringLiteral("api keys"),
            {QStringLiteral("CREATE TABLE api_keys ("
                            "name text COLLATE \"C\" PRIMARY KEY, "
                            "role smallint NOT NULL CHECK (role BETWEEN 0 AND 2), "
                            "prefix text NOT NULL, "
                            "key_hash bytea NOT NULL UNIQUE, "
                            "created_at bigint NOT NULL, "
                            "last_used_at bigint, "
                            "expires_at bigint, "
                            "revoked_at bigint)")}},
        // As in the embedded store; tags as jsonb, so that a tag is looked up in its index.
        {4, QStringLiteral("owned links"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN chosen smallint NOT NULL DEFAULT 0, "
                            "ADD COLUMN expires_at bigint, ADD COLUMN max_visits bigint, "
                            "ADD COLUMN title text NOT NULL DEFAULT '', "
                            "ADD COLUMN tags jsonb NOT NULL DEFAULT '[]', "
                            "ADD COLUMN owner text NOT NULL DEFAULT ''"),
                QStringLiteral("DROP INDEX links_by_target"),
                QStringLiteral("CREATE UNIQUE INDEX links_by_target ON links(type, target_digest) "
                               "WHERE state <> 2 AND chosen = 0"),
                QStringLiteral("DROP INDEX links_by_created"),
                QStringLiteral("CREATE INDEX links_by_created ON links(created_at DESC, code DESC)"),
                QStringLiteral("CREATE INDEX links_by_tag ON links USING gin (tags jsonb_path_ops)")}},
        {5, QStringLiteral("visit counters"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN visitors bigint NOT NULL DEFAULT 0, "
                            "ADD COLUMN bots bigint NOT NULL DEFAULT 0, ADD COLUMN previews bigint NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE TABLE visit_hours ("
                               "code text COLLATE \"C\" NOT NULL, "
                               "hour bigint NOT NULL, "
                               "humans bigint NOT NULL DEFAULT 0, "
                               "visitors bigint NOT NULL DEFAULT 0, "
                               "bots bigint NOT NULL DEFAULT 0, "
                               "previews bigint NOT NULL DEFAULT 0, "
                               "PRIMARY KEY (code, hour))"),
                QStringLiteral("CREATE INDEX visit_hours_by_hour ON visit_hours(hour)"),
                QStringLiteral("CREATE TABLE visit_referrers ("
                               "code text COLLATE \"C\" NOT NULL, "
                               "day bigint NOT NULL, "
                               "host text COLLATE \"C\" NOT NULL, "
                               "visits bigint NOT NULL DEFAULT 0, "
                               "PRIMARY KEY (code, day, host))"),
                QStringLiteral("CREATE INDEX visit_referrers_by_day ON visit_referrers(day)")}},
        // The same log as SQLite's, and a notification on the channel link_changes with the code,
        // sent when the change commits. An update of the visits alone is counting, not a change, but for
        // the visit that uses up a limit.
        // client_counts: creations per client, six-second slot and instance, which the instances
        // add up to share one limit.
        {6, QStringLiteral("cluster"),
            {QStringLiteral("CREATE TABLE link_changes ("
                            "id bigserial PRIMARY KEY, "
                            "code text COLLATE \"C\" NOT NULL, "
                            "changed_at bigint NOT NULL)"),
                QStringLiteral("CREATE FUNCTION links_announce() RETURNS trigger LANGUAGE plpgsql AS $$ "
                               "DECLARE changed text; "
                               "BEGIN "
                               "IF TG_OP = 'DELETE' THEN changed := OLD.code; ELSE changed := NEW.code; END IF; "
                               "INSERT INTO link_changes(code, changed_at) "
                               "VALUES (changed, (extract(epoch FROM clock_timestamp()) * 1000)::bigint); "
                               "PERFORM pg_notify('link_changes', changed); "
                               "RETURN NULL; "
                               "END $$"),
                QStringLiteral("CREATE TRIGGER links_changed AFTER UPDATE ON links FOR EACH ROW "
                               "WHEN (to_jsonb(OLD) - '{visits,visitors,bots,previews}'::text[] "
                               "IS DISTINCT FROM to_jsonb(NEW) - '{visits,visitors,bots,previews}'::text[] "
                               "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                               "AND NEW.visits >= NEW.max_visits)) "
                               "EXECUTE FUNCTION links_announce()"),
                QStringLiteral("CREATE TRIGGER links_removed AFTER DELETE ON links FOR EACH ROW "
                               "EXECUTE FUNCTION links_announce()"),
                QStringLiteral("CREATE TABLE instances ("
                               "id text COLLATE \"C\" PRIMARY KEY, "
                               "host text NOT NULL, "
                               "pid bigint NOT NULL, "
                               "started_at bigint NOT NULL, "
                               "heartbeat_at bigint NOT NULL, "
                               "acked_change bigint NOT NULL DEFAULT 0)"),
                QStringLiteral("CREATE TABLE client_counts ("
                               "client text COLLATE \"C\" NOT NULL, "
                               "slot bigint NOT NULL, "
                               "instance text COLLATE \"C\" NOT NULL, "
                               "n bigint NOT NULL, "
                               "PRIMARY KEY (client, slot, instance))")}},
        {7, QStringLiteral("who disabled"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN disabled_by text NOT NULL DEFAULT '', "
                            "ADD COLUMN takedown smallint NOT NULL DEFAULT 0")}},
        {8, QStringLiteral("quarantine"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN quarantine_list text NOT NULL DEFAULT '', "
                            "ADD COLUMN quarantine_entry text NOT NULL DEFAULT '', "
                            "ADD COLUMN quarantined_at bigint NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE TABLE quarantine_exemptions ("
                               "code text COLLATE \"C\" NOT NULL, "
                               "list text COLLATE \"C\" NOT NULL, "
                               "entry text COLLATE \"C\" NOT NULL, "
                               "PRIMARY KEY (code, list, entry))")}},
        {9, QStringLiteral("local blocklist"),
            {QStringLiteral("CREATE TABLE local_blocks ("
                            "entry text COLLATE \"C\" PRIMARY KEY, "
                            "kind text NOT NULL, "
                            "added_by text NOT NULL DEFAULT '', "
                            "reason text NOT NULL DEFAULT '', "
                            "added_at bigint NOT NULL)")}},
        {10, QStringLiteral("reports"),
            {QStringLiteral("CREATE TABLE reports ("
                            "id bigserial PRIMARY KEY, "
                            "code text COLLATE \"C\" NOT NULL, "
                            "reason text NOT NULL, "
                            "text text NOT NULL DEFAULT '', "
                            "reporter text COLLATE \"C\" NOT NULL, "
                            "created_at bigint NOT NULL, "
                            "dismissed_at bigint, "
                            "dismissed_by text NOT NULL DEFAULT '')"),
                QStringLiteral("CREATE UNIQUE INDEX reports_by_link ON reports(code, reporter)"),
                QStringLiteral("CREATE INDEX reports_by_reporter ON reports(reporter, created_at)")}},
        {11, QStringLiteral("blocked visits"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN blocked bigint NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE visit_hours ADD COLUMN blocked bigint NOT NULL DEFAULT 0"),
                QStringLiteral("DROP TRIGGER links_changed ON links"),
                QStringLiteral("CREATE TRIGGER links_changed AFTER UPDATE ON links FOR EACH ROW "
                               "WHEN (to_jsonb(OLD) - '{visits,visitors,bots,previews,blocked}'::text[] "
                               "IS DISTINCT FROM to_jsonb(NEW) - '{visits,visitors,bots,previews,blocked}'::text[] "
                               "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                               "AND NEW.visits >= NEW.max_visits)) "
                               "EXECUTE FUNCTION links_announce()")}},
        {12, QStringLiteral("destination checks"),
            {QStringLiteral("ALTER TABLE links ADD COLUMN checked_at bigint NOT NULL DEFAULT 0, "
                            "ADD COLUMN check_outcome text NOT NULL DEFAULT '', "
                            "ADD COLUMN check_status integer NOT NULL DEFAULT 0, "
                            "ADD COLUMN check_final_url text NOT NULL DEFAULT '', "
                            "ADD COLUMN check_hops text NOT NULL DEFAULT '', "
                            "ADD COLUMN check_failures integer NOT NULL DEFAULT 0, "
                            "ADD COLUMN dead smallint NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE INDEX links_by_check ON links(checked_at) WHERE state = 0"),
                QStringLiteral("DROP TRIGGER links_changed ON links"),
                QStringLiteral("CREATE TRIGGER links_changed AFTER UPDATE ON links FOR EACH ROW "
                               "WHEN (to_jsonb(OLD) - '{visits,visitors,bots,previews,blocked,checked_at,"
                               "check_outcome,check_status,check_final_url,check_hops,check_failures,dead}'::text[] "
                               "IS DISTINCT FROM to_jsonb(NEW) - '{visits,visitors,bots,previews,blocked,checked_at,"
                               "check_outcome,check_status,check_final_url,check_hops,check_failures,dead}'::text[] "
                               "OR (NEW.max_visits IS NOT NULL AND OLD.visits < NEW.max_visits "
                               "AND NEW.visits >= NEW.max_visits)) "
                               "EXECUTE FUNCTION links_announce()")}},
        {13, QStringLiteral("listing indexes"),
            {QStringLiteral(
                "CREATE INDEX links_by_state ON links(state, created_at DESC, code DESC) WHERE state <> 0")}},
        {14, QStringLiteral("audit log"),
            {QStringLiteral("CREATE TABLE audit_log ("
                            "id bigint PRIMARY KEY, "
                            "at bigint NOT NULL, "
                            "actor text NOT NULL, "
                            "action text NOT NULL, "
                            "subject text COLLATE \"C\" NOT NULL, "
                            "before text NOT NULL, "
                            "after text NOT NULL, "
                            "prev_hash text NOT NULL, "
                            "hash text NOT NULL)"),
                QStringLiteral("CREATE INDEX audit_by_subject ON audit_log(subject, id)"),
                QStringLiteral("CREATE INDEX audit_by_at ON audit_log(at)")}},
    };
    return migrations;
}

const QList<Migration>& migrationsFor(SqlDialect dialect)
{
    return dialect == SqlDialect::Postgres ? postgresMigrations() : sqliteMigrations();
}

bool checkSchema(const QSqlDatabase& db, SqlDialect dialect, QString* error)
{
    const int current = schemaVersion(db);
    const int newest = newestVersion(dialect);
    if (current < 0) {
        *error = QStringLiteral("cannot read schema_migrations");
    } else if (current > newest) {
        *error = newerSchema(current, newest);
    } else if (current < newest) {
        *error = QStringLiteral("the database has schema version %1, older than this program's %2, and cannot be "
                                "brought up to date where it cannot be written")
                     .arg(current)
                     .arg(newest);
    }
    return current == newest;
}

int schemaVersion(const QSqlDatabase& db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_migrations")) || !query.next()) {
        return -1;
    }
    return query.value(0).toInt();
}

bool applyMigrations(const QSqlDatabase& db, SqlDialect dialect, QString* error)
{
    const bool postgres = dialect == SqlDialect::Postgres;
    QSqlQuery query(db);
    // BEGIN IMMEDIATE takes SQLite's write lock at once, so two processes cannot both read the old
    // version and then both apply the same step.
    if (!exec(query, postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"), error)) {
        return false;
    }
    const auto rollBack = [&] {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (postgres && !exec(query, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(MigrationLockKey), error)) {
        return rollBack();
    }
    const QString createTable = postgres
        ? QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations (version integer PRIMARY KEY, "
                         "description text NOT NULL, applied_at bigint NOT NULL)")
        : QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY NOT NULL, "
                         "description TEXT NOT NULL, applied_at INTEGER NOT NULL)");
    if (!exec(query, createTable, error)) {
        return rollBack();
    }
    const int current = schemaVersion(db);
    const QList<Migration>& steps = migrationsFor(dialect);
    const int newest = newestVersion(dialect);
    if (current < 0) {
        *error = QStringLiteral("cannot read schema_migrations");
        return rollBack();
    }
    if (current > newest) {
        *error = newerSchema(current, newest);
        return rollBack();
    }
    QSqlQuery record(db);
    record.prepare(QStringLiteral("INSERT INTO schema_migrations(version, description, applied_at) VALUES(?, ?, ?)"));
    for (const Migration& step : steps) {
        if (step.version <= current) {
            continue;
        }
        for (const QString& statement : step.statements) {
            if (!exec(query, statement, error)) {
                *error
                    = QStringLiteral("schema step %1 (%2) failed: %3").arg(step.version).arg(step.description, *error);
                return rollBack();
            }
        }
        record.bindValue(0, step.version);
        record.bindValue(1, step.description);
        record.bindValue(2, QDateTime::currentSecsSinceEpoch());
        if (!record.exec()) {
            *error = record.lastError().text();
            return rollBack();
        }
    }
    record.finish();
    if (!exec(query, QStringLiteral("COMMIT"), error)) {
        return rollBack();
    }
    return true;
}

} // namespace Shortd
