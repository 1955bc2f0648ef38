#pragma once

#include "access/authlimiter.h"
#include "access/keys.h"
#include "http/message.h"
#include "links/linkbases.h"
#include "links/reports.h"
#include "store/store.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>
#include <functional>
#include <optional>

namespace Shortd
{

class RateLimiter;
class Shortener;
struct CreateRequest;

// What the JSON API takes from the options.
struct ApiSettings {
    bool openShorten = true;
    int ownPort = -1;
    int reportThreshold = DefaultReportThreshold; // distinct reporters that quarantine a link; 0 never
};

// Who may call a route, as the route table says: anyone, anyone with a key checked when one is
// sent, or a key of at least a role.
enum class Access : quint8 { Anyone, AnyoneOrKey, Reader, Creator, Admin };

// The JSON API under /api/v1: links created, listed, read, edited and deleted with a key (Bearer),
// keys managed by admins, the name and role of the key a caller holds, and a plain creation without
// a key while shortening is open to all. Its paths and the access each needs are rows of the
// route table (routes/routetable.cpp), which calls admit() and then the row's handler here.
// Keys are checked on the store pool; every refusal is a problem document (api/problem.h).
class ApiRouter
{
public:
    // bases: the short links shown and the addresses that lead back to the service, for the Host asked.
    ApiRouter(ApiSettings settings, LinkBases bases, Shortener& shortener, RateLimiter& rateLimiter);

    const AuthLimiter& authLimiter() const { return m_authLimiter; }
    AuthLimiter& authLimiter() { return m_authLimiter; }

    // Calls next with the caller (none without a key) once access allows them: answers 429 while
    // the client is blocked for failed keys, 401 for a key refused (counted against the client),
    // 503 when the keys cannot be read, and for a role, 401 without a key, 403 without the role.
    void admit(Access access, const HttpRequest& request, qint64 nowMs, const Respond& respond,
        std::function<void(const Authentication*)> next);
    // Why access refuses a caller who has been identified (none: sent no key), or nothing.
    static std::optional<HttpReply> refusal(Access access, const Authentication* caller);

    // The handlers of the API's rows.
    void openApi(const Respond& respond) const;
    void unknownPath(const Respond& respond) const;
    void createLink(const HttpRequest& request, qint64 nowMs, const Authentication* caller, const Respond& respond);
    // forAdmin: an admin key asks, and sees who disabled a link.
    void listLinks(const HttpRequest& request, bool forAdmin, const Respond& respond);
    void readLink(const QString& code, const QByteArray& host, bool forAdmin, const Respond& respond);
    void editLink(
        const HttpRequest& request, const QString& code, const Authentication& caller, const Respond& respond);
    void deleteLink(const QString& code, const Authentication& caller, const Respond& respond);
    // A link's visits, and the whole service's counts, over the span the query asks.
    void linkVisits(const HttpRequest& request, const QString& code, const Respond& respond);
    void serviceStats(const HttpRequest& request, const Respond& respond);
    void listKeys(const Respond& respond);
    void createKey(const HttpRequest& request, const Authentication& caller, const Respond& respond);
    void ownKey(const Authentication& caller, const Respond& respond) const;
    void revokeKey(const QString& name, const Authentication& caller, const Respond& respond);
    // The service's own blocklist (the list local): its entries, and one taken off, named as
    // listed (percent-encoded in the path) or as the address or host typed.
    void listBlocks(const Respond& respond);
    void removeBlock(const QString& encodedEntry, const Authentication& caller, const Respond& respond);
    // Reports: anyone files one (reporter: the client's address), admins list and dismiss them.
    void createReport(const HttpRequest& request, const Respond& respond);
    void listReports(const HttpRequest& request, const Respond& respond);
    // The audit log, oldest first, a page after the id in after.
    void listAudit(const HttpRequest& request, const Respond& respond);
    void dismissReports(const QString& target, const Authentication& caller, const Respond& respond);
    // Files a checked report on the pool, for the API and the pages' form alike; false when the
    // pool is full. A link the report quarantined is forgotten by this instance's cache at once.
    bool fileReport(const ReportRequest& report, const QString& reporter, std::function<void(FiledReport)> done);

private:
    // The caller: a key's name and role, or nobody (no Authorization header).
    using Caller = std::optional<Authentication>;
    using WithCaller = std::function<void(const Caller&)>;

    // Answers 429, 401 or 503 as admit() does; otherwise calls next.
    void identify(const HttpRequest& request, qint64 nowMs, const Respond& respond, WithCaller next);

    void automaticLink(const CreateRequest& create, const QByteArray& host, const Respond& respond);
    void chosenLink(const CreateRequest& create, const QString& owner, const QByteArray& host, const Respond& respond);

    // Runs work on the pool; answers 503 itself when the pool is full.
    template<typename Result>
    void onStore(std::function<Result(Store*)> work, std::function<void(Result)> done, const Respond& respond);
    // As onStore, for work that may run twice (it only reads, or writes what it would write again):
    // a call cut off by a dead connection is asked once more on a new one.
    template<typename Result>
    void onStoreRead(std::function<Result(Store*)> work, std::function<void(Result)> done, const Respond& respond);
    HttpReply linkReply(int status, const StoredLink& link, const QByteArray& host, bool forAdmin) const;

    ApiSettings m_settings;
    LinkBases m_bases;
    Shortener& m_shortener;
    RateLimiter& m_rateLimiter;
    AuthLimiter m_authLimiter;
    // Keys accepted lately, by their hash (never the key): a client sending the same key again
    // within a second costs no store call. A key revoked or expiring elsewhere is refused here
    // within that second, as a link changed elsewhere is; one revoked here at once.
    struct KnownKey {
        Authentication caller;
        qint64 untilMs = 0;
    };
    QHash<QByteArray, KnownKey> m_knownKeys;
    QByteArray m_openApi;
};

} // namespace Shortd
