#include "ops/importer.h"

#include "displaytext.h"
#include "links/addresspolicy.h"
#include "links/blocklist.h"
#include "links/codes.h"
#include "links/fields.h"
#include "links/linkchanges.h"
#include "ops/linkrecords.h"

#include <algorithm>
#include <thread>

namespace Shortd
{
namespace
{
// A commit per link made a million links take minutes; a thousand share one.
constexpr qsizetype LinksPerCommit = 1000;
constexpr qint64 ClockSkewSecs = qint64(24) * 3600;

// A row refused is said once its batch is settled, so that a batch tried again says nothing twice.
RowFault rowFault(qint64 line, FaultKind kind, QString why)
{
    return {line, {kind, {}, std::move(why)}};
}

struct Pending {
    qint64 line;
    StoredLink link;
};

QString targetProblem(AddressProblem problem)
{
    switch (problem) {
    case AddressProblem::None:
        return {};
    case AddressProblem::Empty:
        return QStringLiteral("the target is empty");
    case AddressProblem::TooLong:
        return QStringLiteral("the target is longer than %1 characters").arg(MaximumAddressLength);
    case AddressProblem::ControlCharacter:
        return QStringLiteral("the target holds a control character (such as NUL, CR or LF)");
    case AddressProblem::UnsupportedScheme:
        return QStringLiteral("the target does not begin with http:// or https://");
    case AddressProblem::Malformed:
        return QStringLiteral("the target is not a well-formed address");
    case AddressProblem::NoHost:
        return QStringLiteral("the target names no host");
    case AddressProblem::OwnLink:
        return QStringLiteral("the target is a link of this service, which would lead back to itself");
    }
    return {};
}

QString timeProblem(qint64 secs, const ImportRules& rules, const char* what)
{
    if (secs <= 0) {
        return QStringLiteral("the %1 is not after 1970").arg(QLatin1StringView(what));
    }
    if (secs > rules.nowSecs + ClockSkewSecs) {
        return QStringLiteral("the %1 is in the future").arg(QLatin1StringView(what));
    }
    return {};
}

enum class StoreStep {
    Imported,
    Present, // the same link is there already
    Refused, // a note says why
    Failed, // the store failed; its error says why
};

// One checked link: stored unless it or a clash is there already.
StoreStep storeOne(const Pending& pending, Store& store, QList<RowFault>* notes)
{
    const StoredLink& link = pending.link;
    const LookupResult existing = store.links().findByCode(link.code);
    if (existing.status == StoreStatus::Failed) {
        return StoreStep::Failed;
    }
    if (existing.status == StoreStatus::Ok) {
        if (existing.link.type == link.type && existing.link.target == link.target) {
            return StoreStep::Present;
        }
        notes->append(rowFault(pending.line, FaultKind::Conflict,
            QStringLiteral("the code %1 is taken by another address (type %2): ").arg(link.code).arg(existing.link.type)
                + withVisibleControls(existing.link.target)));
        return StoreStep::Refused;
    }
    switch (store.linkArchive()->restoreLink(link)) {
    case StoreStatus::Ok:
        return StoreStep::Imported;
    case StoreStatus::TargetTaken: {
        const LookupResult holder = store.linkArchive()->findByTarget(link.type, link.target);
        notes->append(rowFault(pending.line, FaultKind::Conflict,
            QStringLiteral("the address already has the code %1, not %2 (type %3): ")
                    .arg(holder.link.code, link.code)
                    .arg(link.type)
                + withVisibleControls(link.target)));
        return StoreStep::Refused;
    }
    case StoreStatus::CodeTaken:
        notes->append(rowFault(
            pending.line, FaultKind::Conflict, QStringLiteral("the code %1 was taken meanwhile").arg(link.code)));
        return StoreStep::Refused;
    default:
        return StoreStep::Failed;
    }
}

// Links checked and waiting for their transaction, with the rows refused among them.
class Batch
{
public:
    Batch(Store& store, const std::function<void(const RowFault&)>& refused, ImportRetries retries)
        : m_store(store)
        , m_refused(refused)
        , m_retries(retries)
    {
    }

    void add(qint64 line, const StoredLink& link) { m_links.append({line, link}); }
    void refuse(qint64 line, Fault why) { m_notes.append({line, std::move(why)}); }
    // Notes are kept for the line order; a file of nothing but bad rows still takes bounded memory.
    bool isFull() const { return m_links.size() >= LinksPerCommit || m_notes.size() >= LinksPerCommit; }

    // Stores the links, trying again while the database is busy; false when the store failed for
    // good, with result->failure saying so.
    bool settle(ImportResult* result)
    {
        std::chrono::milliseconds pause = m_retries.firstPause;
        for (int attempt = 1;; ++attempt) {
            QList<RowFault> conflicts;
            qint64 imported = 0;
            qint64 present = 0;
            if (storeAll(&conflicts, &imported, &present)) {
                m_notes += conflicts;
                sayNotes(result);
                result->imported += imported;
                result->present += present;
                m_links.clear();
                return true;
            }
            if (!m_store.lastFailureIsTransient() || attempt >= m_retries.attempts) {
                // Rows refused before the batch failed are still refused, and said.
                const qint64 firstLine = m_links.constFirst().line;
                sayNotes(result);
                result->failure = QStringLiteral("%1%2. %3 links went in (every row before line %4 is settled); "
                                                 "run the same import again to continue")
                                      .arg(m_store.lastFailureIsTransient()
                                              ? QStringLiteral("the database stayed busy after %1 tries: ").arg(attempt)
                                              : QString(),
                                          m_store.lastError())
                                      .arg(result->imported)
                                      .arg(firstLine);
                return false;
            }
            std::this_thread::sleep_for(pause);
            pause *= 2;
        }
    }

private:
    bool storeAll(QList<RowFault>* conflicts, qint64* imported, qint64* present)
    {
        if (m_links.isEmpty()) {
            return true;
        }
        if (!m_store.beginGroup()) {
            return false;
        }
        for (const Pending& pending : std::as_const(m_links)) {
            switch (storeOne(pending, m_store, conflicts)) {
            case StoreStep::Imported:
                ++*imported;
                break;
            case StoreStep::Present:
                ++*present;
                break;
            case StoreStep::Refused:
                break;
            case StoreStep::Failed:
                m_store.abandonGroup();
                return false;
            }
        }
        return m_store.commitGroup();
    }

    void sayNotes(ImportResult* result)
    {
        std::stable_sort(
            m_notes.begin(), m_notes.end(), [](const RowFault& a, const RowFault& b) { return a.line < b.line; });
        for (const RowFault& note : std::as_const(m_notes)) {
            m_refused(note);
        }
        result->refused += m_notes.size();
        m_notes.clear();
    }

    Store& m_store;
    const std::function<void(const RowFault&)>& m_refused;
    ImportRetries m_retries;
    QList<Pending> m_links;
    QList<RowFault> m_notes;
};
} // namespace

namespace
{
// Why link cannot be stored as it is; empty when it can.
QString importProblem(const StoredLink& link, const ImportRules& rules)
{
    // A chosen code keeps to the rules a person's choice keeps to; a drawn one looks drawn.
    if (link.chosen) {
        if (const CodeProblem problem = checkCustomCode(link.code); problem != CodeProblem::None) {
            return codeProblemReason(problem);
        }
    } else if (!isCodeShaped(link.code)) {
        return QStringLiteral("the code is not %1 to %2 characters of the code alphabet")
            .arg(MinimumCodeLength)
            .arg(MaximumCodeLength);
    }
    if (isReservedName(link.code)) {
        return codeProblemReason(CodeProblem::Reserved);
    }
    if (link.type < 0 || link.type >= LinkTypeCount) {
        return QStringLiteral("the type is not a whole number from 0 to %1").arg(LinkTypeCount - 1);
    }
    if (link.visits < 0) {
        return QStringLiteral("the visits are negative");
    }
    if (QString problem = targetProblem(checkAddress(link.target, rules.ownBases, rules.ownPort)); !problem.isEmpty()) {
        return problem;
    }
    if (QString problem = timeProblem(link.createdSecs, rules, "creation time"); !problem.isEmpty()) {
        return problem;
    }
    if (link.changedSecs != 0) {
        if (QString problem = timeProblem(link.changedSecs, rules, "time changed"); !problem.isEmpty()) {
            return problem;
        }
    }
    if (link.reason.size() > MaximumReasonLength) {
        return QStringLiteral("the reason is longer than %1 characters").arg(MaximumReasonLength);
    }
    if (link.reason.contains(QChar(u'\0'))) {
        return QStringLiteral("the reason holds a NUL character");
    }
    if (const Result<Done> fields = checkLinkFields(link); !fields) {
        return fields.fault().english;
    }
    return {};
}
} // namespace

Result<Done> checkImportable(const StoredLink& link, const ImportRules& rules)
{
    if (QString problem = importProblem(link, rules); !problem.isEmpty()) {
        return Fault {FaultKind::Invalid, {}, std::move(problem)};
    }
    // A disabled or deleted link leads nowhere: it keeps its code and its take-down as exported.
    if (rules.blocklists && link.state == LinkState::Active) {
        if (const std::optional<BlocklistMatch> listed = rules.blocklists->matchAddress(link.target)) {
            return listedAddressFault(*listed);
        }
    }
    return Done {};
}

QString RowFault::said() const
{
    return QStringLiteral("line %1: %2").arg(line).arg(fault.english);
}

QString ImportResult::summary() const
{
    return QStringLiteral("imported %1, already there %2, refused %3").arg(imported).arg(present).arg(refused);
}

ImportResult importLinks(QIODevice& input, Store& store, const ImportRules& rules,
    const std::function<void(const RowFault&)>& refused, ImportRetries retries)
{
    ImportResult result;
    if (!store.linkArchive()) {
        result.failure = QStringLiteral("this database cannot restore links");
        return result;
    }
    RecordReader reader(input);
    Batch batch(store, refused, retries);
    StoredLink link;
    for (;;) {
        const RecordReader::Status status = reader.next(&link);
        if (status == RecordReader::Status::End) {
            if (!reader.error().isEmpty()) {
                batch.refuse(reader.line(), {FaultKind::Invalid, {}, reader.error()});
            }
            break;
        }
        if (status == RecordReader::Status::Bad) {
            batch.refuse(reader.line(), {FaultKind::Invalid, {}, reader.error()});
        } else if (const Result<Done> importable = checkImportable(link, rules); !importable) {
            batch.refuse(reader.line(), importable.fault());
        } else {
            batch.add(reader.line(), link);
        }
        if (batch.isFull() && !batch.settle(&result)) {
            return result;
        }
    }
    batch.settle(&result);
    return result;
}

} // namespace Shortd
