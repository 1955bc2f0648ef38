#pragma once

#include "store/databaseaddress.h"
#include "store/migrations.h"
#include "store/sqldialect.h"
#include "store/store.h"

#include <QSqlDatabase>
#include <memory>

class QSqlError;
class QSqlQuery;

namespace Shortd
{

// Links in an SQL database: the embedded SQLite file, or PostgreSQL shared by any number of
// instances. One connection of its own, the schema brought up to date on open(), prepared
// statements, and the same answers to the same calls whichever the database. Each store object
// is used by one thread only, the one that opened it; the worker pool gives every thread its own.
//
// Every statement commits on its own, and an insert reports Ok only once committed: SQLite in
// write-ahead logging (syncEachCommit: each commit waits for the disk), PostgreSQL with
// synchronous_commit on. Two instances inserting the same (type, target) at the same instant both
// end with the one row: the unique index decides, the loser reads the winner's code.
//
// It keeps every part a store may keep: links and their visits, keys, visit counters and the
// instances' change log.
// The name the audit log gives an actor, and a link's changed fields before and after as compact
// JSON (in sqlaudit.cpp).
QString auditActorName(const LinkActor& actor);
std::pair<QString, QString> linkChangeFields(const StoredLink& before, const StoredLink& after);

class SqlLinkStore final : public Store,
                           public LinkStore,
                           public LinkVisits,
                           public LinkAdmin,
                           public LinkArchive,
                           public LinkQuarantine,
                           public LinkChecks,
                           public LocalBlocks,
                           public ReportStore,
                           public KeyStore,
                           public VisitStore,
                           public ChangeLog,
                           public AuditLog
{
public:
    // address.sqlitePath must name the file for SQLite.
    explicit SqlLinkStore(DatabaseAddress address, ConnectOptions options = {});
    SqlLinkStore(DatabaseAddress address, bool syncEachCommit);
    ~SqlLinkStore() override;

    bool open() override;
    LookupResult findByCode(const QString& code) override;
    LookupResult findByTarget(int type, const QString& target) override;
    InsertResult insert(const StoredLink& link) override;
    std::optional<QList<bool>> insertTogether(const QList<StoredLink>& links) override;
    StoreStatus addVisits(const QHash<QString, qint64>& visits) override;
    // In sqlvisits.cpp.
    StoreStatus addVisitCounts(const VisitBatch& batch) override;
    StoreStatus visitReport(
        const QString& code, qint64 fromSecs, qint64 toSecs, VisitBucket bucket, VisitReport* report) override;
    StoreStatus linkVisitCounts(const QStringList& codes, QHash<QString, VisitCounts>* counts) override;
    StoreStatus pruneVisits(qint64 beforeSecs) override;
    std::optional<qint64> newestChangeOf(const QString& code) override;
    std::optional<Acknowledgements> acknowledgements(qint64 change, qint64 liveSinceMs) override;
    VisitGrant takeVisit(const QString& code, qint64 nowSecs) override;
    LookupResult updateLink(const QString& code, const LinkPatch& patch, qint64 nowSecs) override;
    bool isHealthy() override;
    StoreStatus setState(
        const QString& code, LinkState state, const QString& reason, const LinkActor& actor, qint64 nowSecs) override;
    StoreStatus listLinks(const LinkQuery& filter, const std::function<bool(const StoredLink&)>& visit) override;
    StoreStatus exportLinks(const std::function<bool(const StoredLink&)>& visit) override;
    StoreStatus restoreLink(const StoredLink& link) override;
    StoreStatus quarantine(const QString& code, const QString& list, const QString& entry, qint64 nowSecs) override;
    StoreStatus release(const QString& code, const LinkActor& actor, qint64 nowSecs) override;
    // In sqllinkchecks.cpp.
    std::optional<CheckLoad> checkLoad(qint64 visitedSinceSecs, qint64 nowSecs) override;
    std::optional<QList<DueLink>> dueLinks(const DueQuery& query) override;
    CheckRecorded recordCheck(const QString& code, const LinkCheck& check, CheckEffect effect, int deadAfter) override;
    // In sqllocalblocks.cpp.
    StoreStatus addBlock(const LocalBlock& block) override;
    StoreStatus removeBlock(const QString& entry, const QString& by, qint64 nowSecs) override;
    std::optional<QList<LocalBlock>> listBlocks() override;
    std::optional<LocalBlocksVersion> blocksVersion() override;
    // In sqlreports.cpp.
    ReportAdmission addReport(const LinkReport& report, const ReportLimits& limits) override;
    std::optional<ReportGroupPage> openReports(const QString& after, int links) override;
    std::optional<ReportDismissal> dismissReports(const QString& target, const QString& by, qint64 nowSecs) override;
    StoreStatus stats(int top, LinkStats* totals, QList<StoredLink>* mostVisited) override;
    StoreStatus createKey(const StoredKey& key, const QString& by) override;
    StoreStatus listKeys(const std::function<bool(const StoredKey&)>& visit) override;
    StoreStatus revokeKey(const QString& name, const QString& by, qint64 nowSecs) override;
    KeyLookup findKeyByHash(const QByteArray& hash) override;
    StoreStatus markKeyUsed(const QString& name, qint64 nowSecs) override;
    bool beginGroup() override;
    bool commitGroup() override;
    void abandonGroup() override;
    bool isBroken() const override { return m_broken; }
    LinkStore& links() override { return *this; }
    LinkVisits* linkVisits() override { return this; }
    LinkAdmin* linkAdmin() override { return this; }
    LinkArchive* linkArchive() override { return this; }
    LinkQuarantine* linkQuarantine() override { return this; }
    LinkChecks* linkChecks() override { return this; }
    LocalBlocks* localBlocks() override { return this; }
    ReportStore* reports() override { return this; }
    KeyStore* keys() override { return this; }
    VisitStore* visits() override { return this; }
    ChangeLog* changeLog() override { return this; }
    AuditLog* auditLog() override { return this; }
    // In sqlaudit.cpp.
    StoreStatus appendAudit(const AuditEntry& entry, qint64 nowSecs) override;
    StoreStatus listAudit(const AuditQuery& filter, const std::function<bool(const AuditRecord&)>& visit) override;
    StoreStatus pruneAudit(qint64 beforeSecs) override;
    QString lastError() const override { return m_lastError; }
    bool lastFailureIsTransient() const override { return m_transient; }
    // This store's own connection, for the thread that opened it.
    QSqlDatabase connection() const;

private:
    struct Statements;

    LookupResult fetchOne(QSqlQuery& query);
    // Runs the prepared insert: 1 when the link was stored, 0 when a key was taken, -1 on failure.
    int insertRow(const StoredLink& link);
    // insertTogether as one statement, where the dialect has one.
    std::optional<QList<bool>> insertAsOne(const QList<StoredLink>& links);
    // Runs a prepared statement; on failure keeps the error and checks the connection.
    bool run(QSqlQuery& query);

    // Parts of addVisitCounts, inside its transaction; false once one failed (and rolled back).
    bool addLinkCounts(const QHash<QString, VisitCounts>& links);
    bool addHourCounts(const QHash<HourKey, VisitCounts>& hours);
    bool addReferrerCounts(const QHash<ReferrerKey, qint64>& referrers);
    // Writes rows inside that transaction: on PostgreSQL as one statement over a column array
    // each (batch, when given), else one prepared statement a row (perRow, its values in order).
    bool addRows(const QString& batch, const QString& perRow, const QList<QVariantList>& rows);

    // Appends the audit record of a change inside the transaction that makes it; false on failure
    // (the caller rolls back).
    bool writeAudit(const AuditEntry& entry, qint64 nowSecs);
    // Runs a write of one row and its audit record in one transaction: none when no row changed.
    StoreStatus runAudited(QSqlQuery& query, const AuditEntry& entry, qint64 nowSecs, StoreStatus none);

    // Keeps a failure's text, and whether trying again may help.
    void noteError(const QSqlError& error);
    // After a failed call: when the connection itself is gone, the store says so, and its owner
    // replaces it.
    void checkConnection();

    DatabaseAddress m_address;
    ConnectOptions m_options;
    SqlDialect m_dialect;
    QString m_connectionName;
    QString m_lastError;
    bool m_broken = false;
    bool m_transient = false;
    bool m_inGroup = false; // between beginGroup() and its commit or abandon
    StatementTexts m_texts; // as prepared by open()
    std::unique_ptr<Statements> m_statements;
};

} // namespace Shortd
