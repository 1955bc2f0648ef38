#include "api/apirouter.h"

#include "api/linkjson.h"
#include "api/problem.h"
#include "api/visitrequest.h"
#include "links/addresspolicy.h"
#include "links/anonymouscreation.h"
#include "links/blocklist.h"
#include "links/codes.h"
#include "links/linkchanges.h"
#include "links/ratelimiter.h"
#include "links/shortener.h"
#include "store/storepool.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace Shortd
{
namespace
{
// Where a created link and key are found, for Location.
constexpr QStringView LinksPath = u"/api/v1/links";
constexpr QStringView KeysPath = u"/api/v1/keys";
constexpr auto JsonType = QByteArrayView("application/json; charset=utf-8");
constexpr int RetryAfterSeconds = 2;
// How long an accepted key is taken on trust, and how many are kept so. A key revoked on another
// instance or from the shell is refused here within that time, as a link taken down elsewhere is;
// a store call a second per busy key costs nothing to speak of.
constexpr qint64 KnownKeyMs = 1000;
constexpr qsizetype MaximumKnownKeys = 10'000;
// Keys a listing shows at most: a service has a handful, and a reply stays bounded.
constexpr int MaximumKeysListed = 1000;

qint64 nowSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

HttpReply jsonReply(int status, const QJsonObject& object)
{
    HttpReply reply {status, JsonType.toByteArray(), QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
    reply.addHeader("Cache-Control", "no-store");
    return reply;
}

HttpReply noContent()
{
    HttpReply reply {204, {}, {}, {}};
    reply.addHeader("Cache-Control", "no-store");
    return reply;
}

HttpReply storeDown()
{
    return retryLaterReply(503, QStringLiteral("服务暂时无法访问数据库，请稍后再试"), RetryAfterSeconds);
}

HttpReply notFound()
{
    return problemReply(404, QStringLiteral("没有这个地址"));
}

HttpReply noSuchLink(const QString& code)
{
    return problemReply(404, QStringLiteral("没有短码为 %1 的短网址").arg(code));
}

HttpReply roleRefused(Role role)
{
    return problemReply(403, QStringLiteral("该 API 密钥的角色（%1）不能进行此操作").arg(roleName(role)));
}

HttpReply bodyRefused(const JsonBody& body)
{
    return problemReply(body.status, body.detail);
}

QString authFailureMessage(AuthFailure failure)
{
    switch (failure) {
    case AuthFailure::Revoked:
        return QStringLiteral("API 密钥已被吊销");
    case AuthFailure::Expired:
        return QStringLiteral("API 密钥已过期");
    default:
        return QStringLiteral("API 密钥无效");
    }
}

QJsonObject callerObject(const Authentication& caller)
{
    return {{QStringLiteral("name"), caller.name}, {QStringLiteral("role"), roleName(caller.role)},
        {QStringLiteral("expiresAt"),
            caller.expiresSecs == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(rfc3339(caller.expiresSecs))}};
}

// Who may change links through the API with this key, for an edit or a deletion.
Editor editorOf(const Authentication& caller, Action action)
{
    LinkActor actor = keyActorOf(caller.role, caller.name);
    actor.console = caller.console;
    return {actor, caller.name, allows(caller.role, action, true), allows(caller.role, action, false)};
}

// Who changes keys and blocks, as the audit log names them.
QString auditNameOf(const Authentication& caller)
{
    return (caller.console ? QStringLiteral("console:") : QStringLiteral("key:")) + caller.name;
}

// A refused creation or change as the API answers it: a code in use names the member.
HttpReply linkFaultReply(const Fault& fault)
{
    return fault.kind == FaultKind::Conflict ? problemReply(409, fault.chinese, fieldErrors(fault)) : faultReply(fault);
}
} // namespace

ApiRouter::ApiRouter(ApiSettings settings, LinkBases bases, Shortener& shortener, RateLimiter& rateLimiter)
    : m_settings(settings)
    , m_bases(std::move(bases))
    , m_shortener(shortener)
    , m_rateLimiter(rateLimiter)
{
    QFile document(QStringLiteral(":/nolvex/api/openapi.json"));
    if (document.open(QIODevice::ReadOnly)) {
        m_openApi = document.readAll();
    }
}

template<typename Result>
void ApiRouter::onStore(std::function<Result(Store*)> work, std::function<void(Result)> done, const Respond& respond)
{
    if (!m_shortener.pool().run<Result>(std::move(work), std::move(done))) {
        respond(storeDown());
    }
}

template<typename Result>
void ApiRouter::onStoreRead(
    std::function<Result(Store*)> work, std::function<void(Result)> done, const Respond& respond)
{
    if (!m_shortener.pool().read<Result>(std::move(work), std::move(done))) {
        respond(storeDown());
    }
}

HttpReply ApiRouter::linkReply(int status, const StoredLink& link, const QByteArray& host, bool forAdmin) const
{
    HttpReply reply {status, JsonType.toByteArray(),
        linkJson(m_shortener.withPendingVisits(link), m_bases.shortLink(link.type, link.code, host),
            m_shortener.visitsOf(link), nowSecs(), forAdmin),
        {}};
    reply.addHeader("Cache-Control", "no-store");
    if (status == 201) {
        reply.addHeader("Location", (LinksPath % u'/' % link.code).toUtf8());
    }
    return reply;
}

void ApiRouter::openApi(const Respond& respond) const
{
    HttpReply reply {200, JsonType.toByteArray(), m_openApi, {}};
    reply.addHeader("Cache-Control", "no-cache");
    respond(m_openApi.isEmpty() ? problemReply(500, QStringLiteral("接口说明文档缺失")) : reply);
}

void ApiRouter::unknownPath(const Respond& respond) const
{
    respond(notFound());
}

void ApiRouter::ownKey(const Authentication& caller, const Respond& respond) const
{
    respond(jsonReply(200, callerObject(caller)));
}

void ApiRouter::identify(const HttpRequest& request, qint64 nowMs, const Respond& respond, WithCaller next)
{
    if (const int blocked = m_authLimiter.blockedForSeconds(request.client, nowMs); blocked > 0) {
        respond(retryLaterReply(429, QStringLiteral("API 密钥验证失败次数过多，请 %1 秒后再试").arg(blocked), blocked));
        return;
    }
    if (request.authorization.isEmpty()) {
        next(std::nullopt);
        return;
    }
    const std::optional<QByteArray> key = bearerKey(request.authorization);
    if (!key || !isKeyShaped(*key)) {
        m_authLimiter.noteFailure(request.client, nowMs);
        respond(unauthorizedReply(QStringLiteral("Authorization 应为 “Bearer ” 加上本服务发放的 API 密钥")));
        return;
    }
    const qint64 now = nowSecs();
    QByteArray hash = keyHash(*key);
    const bool console = !request.console.isEmpty();
    if (const auto known = m_knownKeys.constFind(hash); known != m_knownKeys.cend()) {
        if (nowMs < known->untilMs) {
            Authentication caller = known->caller;
            caller.console = console;
            next(caller);
            return;
        }
        m_knownKeys.erase(known);
    }
    onStoreRead<Authentication>(
        [key = *key, now](Store* store) {
            return store && store->keys() ? authenticate(*store->keys(), key, now)
                                          : Authentication {AuthFailure::StoreFailed, Role::Reader, {}, 0};
        },
        [this, client = request.client, hash = std::move(hash), now, nowMs, console, respond, next = std::move(next)](
            const Authentication& found) {
            if (found.failure == AuthFailure::StoreFailed) {
                respond(storeDown());
                return;
            }
            if (!found.ok()) {
                m_authLimiter.noteFailure(client, nowMs);
                respond(unauthorizedReply(authFailureMessage(found.failure)));
                return;
            }
            if (m_knownKeys.size() >= MaximumKnownKeys) {
                m_knownKeys.clear();
            }
            // Never trusted past the key's own end.
            const qint64 untilMs = found.expiresSecs == 0
                ? nowMs + KnownKeyMs
                : std::min(nowMs + KnownKeyMs, nowMs + (found.expiresSecs - now) * 1000);
            m_knownKeys.insert(hash, {found, untilMs});
            Authentication caller = found;
            caller.console = console;
            next(caller);
        },
        respond);
}

std::optional<HttpReply> ApiRouter::refusal(Access access, const Authentication* caller)
{
    Role needed = Role::Reader;
    switch (access) {
    case Access::Anyone:
    case Access::AnyoneOrKey:
        return std::nullopt;
    case Access::Reader:
        break;
    case Access::Creator:
        needed = Role::Creator;
        break;
    case Access::Admin:
        needed = Role::Admin;
        break;
    }
    if (!caller) {
        return unauthorizedReply(QStringLiteral("此操作需要 API 密钥（Authorization: Bearer KEY）"));
    }
    if (caller->role < needed) {
        return roleRefused(caller->role);
    }
    return std::nullopt;
}

void ApiRouter::admit(Access access, const HttpRequest& request, qint64 nowMs, const Respond& respond,
    std::function<void(const Authentication*)> next)
{
    if (access == Access::Anyone) {
        next(nullptr);
        return;
    }
    identify(request, nowMs, respond, [access, respond, next = std::move(next)](const Caller& caller) {
        const Authentication* holder = caller ? &*caller : nullptr;
        if (std::optional<HttpReply> refused = refusal(access, holder)) {
            respond(std::move(*refused));
        } else {
            next(holder);
        }
    });
}

void ApiRouter::createLink(
    const HttpRequest& request, qint64 nowMs, const Authentication* caller, const Respond& respond)
{
    if (caller && !allows(caller->role, Action::CreateLinks, true)) {
        respond(roleRefused(caller->role));
        return;
    }
    const JsonBody body = readJsonBody(request);
    if (body.status != 0) {
        respond(bodyRefused(body));
        return;
    }
    const Result<CreateRequest> create = parseCreate(body.object, nowSecs());
    if (!create) {
        respond(faultReply(create.fault()));
        return;
    }
    const QList<QUrl> ownBases = m_bases.ownBases(request.host);
    if (!caller) {
        if (!create->plain) {
            respond(unauthorizedReply(QStringLiteral("指定短码、到期时间、访问次数、标题或标签需要 API 密钥")));
            return;
        }
        if (!m_settings.openShorten) {
            respond(unauthorizedReply(closedShorteningMessage()));
            return;
        }
        const AnonymousRefusal refusal
            = admitAnonymous(create->url, ownBases, m_settings.ownPort, m_rateLimiter, request.client, nowMs);
        if (refusal.kind == AnonymousRefusal::Kind::Address) {
            respond(faultReply(invalidMembers({{QStringLiteral("url"), addressProblemMessage(refusal.problem)}})));
            return;
        }
        if (refusal.kind == AnonymousRefusal::Kind::RateLimited) {
            respond(retryLaterReply(429, rateLimitedMessage(m_rateLimiter.perMinute(), refusal.retryAfterSeconds),
                refusal.retryAfterSeconds));
            return;
        }
        if (refusal.kind == AnonymousRefusal::Kind::HostLimited) {
            respond(
                retryLaterReply(429, hostLimitedMessage(m_rateLimiter.hosts()->perHour(), refusal.retryAfterSeconds),
                    refusal.retryAfterSeconds));
            return;
        }
        // Only a new link (201) counts towards its site's hour; an address already shortened does not.
        automaticLink(*create, request.host, [this, url = create->url, respond](HttpReply reply) {
            if (reply.status != 201 && m_rateLimiter.hosts()) {
                m_rateLimiter.hosts()->giveBack(url);
            }
            respond(std::move(reply));
        });
        return;
    }
    const AddressProblem problem = create->url.size() > MaximumAddressLength
        ? AddressProblem::TooLong
        : checkAddress(create->url, ownBases, m_settings.ownPort);
    if (problem != AddressProblem::None) {
        respond(faultReply(invalidMembers({{QStringLiteral("url"), addressProblemMessage(problem)}})));
        return;
    }
    if (create->plain) {
        automaticLink(*create, request.host, respond);
    } else {
        chosenLink(*create, caller->name, request.host, respond);
    }
}

void ApiRouter::automaticLink(const CreateRequest& create, const QByteArray& host, const Respond& respond)
{
    m_shortener.shorten(create.type, create.url, [this, host, respond](const Shortener::Outcome& outcome) {
        if (outcome.listed) {
            respond(faultReply(invalidMembers({asFieldFault(listedAddressFault(*outcome.listed))})));
        } else if (outcome.status != StoreStatus::Ok) {
            respond(storeDown());
        } else if (outcome.link.state == LinkState::Disabled) {
            respond(problemReply(403, QStringLiteral("该网址的短网址已被服务管理员停用，不能再次缩短")));
        } else if (outcome.link.state == LinkState::Quarantined) {
            respond(problemReply(403, QStringLiteral("该网址已被列为不安全网址，它的短网址已被拦截，不能再次缩短")));
        } else if (isExpired(outcome.link, nowSecs())) {
            // As the protocol does: handing out a link that answers 410 would be no answer.
            respond(problemReply(403, QStringLiteral("该网址的短网址已过期，不能再次缩短")));
        } else {
            respond(linkReply(outcome.created ? 201 : 200, outcome.link, host, false));
        }
    });
}

void ApiRouter::chosenLink(
    const CreateRequest& create, const QString& owner, const QByteArray& host, const Respond& respond)
{
    StoredLink link;
    link.code = create.code.value_or(QString());
    link.type = create.type;
    link.target = create.url;
    link.createdSecs = nowSecs();
    link.chosen = true;
    link.expiresSecs = create.expiresSecs;
    link.maxVisits = create.maxVisits;
    link.title = create.title;
    link.tags = create.tags;
    link.owner = owner;
    m_shortener.create(link, [this, host, respond](const Result<StoredLink>& created) {
        if (!created && created.fault().kind == FaultKind::Invalid && !created.fault().field.isEmpty()) {
            // A refused member (a listed address) is answered as the request's other members are.
            respond(faultReply(invalidMembers({asFieldFault(created.fault())})));
            return;
        }
        respond(created ? linkReply(201, created.value(), host, false) : linkFaultReply(created.fault()));
    });
}

void ApiRouter::listLinks(const HttpRequest& request, bool forAdmin, const Respond& respond)
{
    Result<LinkQuery> query = parseListQuery(request.query, nowSecs());
    if (!query) {
        respond(faultReply(query.fault()));
        return;
    }
    struct Page {
        StoreStatus status = StoreStatus::Failed;
        QList<StoredLink> links;
    };
    const qint64 pageSize = query->limit;
    // One more than the page, to know whether another follows.
    query->limit = pageSize + 1;
    onStoreRead<Page>(
        [query = *query](Store* connection) {
            LinkAdmin* store = connection ? connection->linkAdmin() : nullptr;
            Page page;
            if (store) {
                const qint64 wanted = query.limit;
                page.status = store->listLinks(query, [&page, wanted](const StoredLink& link) {
                    page.links.append(link);
                    return page.links.size() < wanted;
                });
            }
            return page;
        },
        [this, pageSize, forAdmin, host = request.host, respond](const Page& page) {
            if (page.status != StoreStatus::Ok) {
                respond(storeDown());
                return;
            }
            const qint64 now = nowSecs();
            QByteArray json = "{\"items\":[";
            const qsizetype shown = std::min<qsizetype>(page.links.size(), pageSize);
            for (qsizetype i = 0; i < shown; ++i) {
                const StoredLink& link = page.links.at(i);
                if (i > 0) {
                    json += ',';
                }
                json += linkJson(m_shortener.withPendingVisits(link), m_bases.shortLink(link.type, link.code, host),
                    m_shortener.visitsOf(link), now, forAdmin);
            }
            json += "],\"next\":";
            if (page.links.size() > pageSize) {
                const StoredLink& last = page.links.at(shown - 1);
                appendJsonString(json, encodeCursor({last.createdSecs, last.code}));
            } else {
                json += "null";
            }
            json += '}';
            HttpReply reply {200, JsonType.toByteArray(), json, {}};
            reply.addHeader("Cache-Control", "no-store");
            respond(std::move(reply));
        },
        respond);
}

void ApiRouter::readLink(const QString& code, const QByteArray& host, bool forAdmin, const Respond& respond)
{
    if (!mayBeStoredCode(code)) {
        respond(noSuchLink(code));
        return;
    }
    m_shortener.resolve(code, [this, code, host, forAdmin, respond](const LookupResult& found) {
        if (found.status == StoreStatus::Ok) {
            respond(linkReply(200, found.link, host, forAdmin));
        } else {
            respond(found.status == StoreStatus::Missing ? noSuchLink(code) : storeDown());
        }
    });
}

void ApiRouter::linkVisits(const HttpRequest& request, const QString& code, const Respond& respond)
{
    const Result<VisitQuery> query = parseVisitRequest(request.query, nowSecs());
    if (!query) {
        respond(faultReply(query.fault()));
        return;
    }
    if (!mayBeStoredCode(code)) {
        respond(noSuchLink(code));
        return;
    }
    struct Found {
        StoreStatus status = StoreStatus::Failed;
        VisitReport report;
    };
    onStoreRead<Found>(
        [code, query = *query](Store* store) {
            Found found;
            if (!store || !store->visits()) {
                return found;
            }
            found.status = store->links().findByCode(code).status;
            if (found.status == StoreStatus::Ok) {
                found.status
                    = store->visits()->visitReport(code, query.fromSecs, query.toSecs, query.bucket, &found.report);
            }
            return found;
        },
        [code, query = *query, respond](const Found& found) {
            if (found.status == StoreStatus::Ok) {
                respond(jsonReply(200, visitReportJson(code, query, found.report)));
            } else {
                respond(found.status == StoreStatus::Missing ? noSuchLink(code) : storeDown());
            }
        },
        respond);
}

void ApiRouter::serviceStats(const HttpRequest& request, const Respond& respond)
{
    const Result<VisitQuery> query = parseVisitRequest(request.query, nowSecs());
    if (!query) {
        respond(faultReply(query.fault()));
        return;
    }
    struct Counted {
        bool ok = false;
        LinkStats links;
        VisitCounts allTime;
        VisitReport report;
    };
    onStoreRead<Counted>(
        [query = *query](Store* store) {
            Counted counted;
            QList<StoredLink> none;
            QHash<QString, VisitCounts> service;
            counted.ok = store && store->linkAdmin() && store->visits()
                && store->linkAdmin()->stats(0, &counted.links, &none) == StoreStatus::Ok
                && store->visits()->linkVisitCounts({}, &service) == StoreStatus::Ok
                && store->visits()->visitReport({}, query.fromSecs, query.toSecs, query.bucket, &counted.report)
                    == StoreStatus::Ok;
            counted.allTime = service.value(QString());
            return counted;
        },
        [query = *query, respond](const Counted& counted) {
            respond(counted.ok ? jsonReply(200, serviceStatsJson(counted.links, counted.allTime, query, counted.report))
                               : storeDown());
        },
        respond);
}

void ApiRouter::editLink(
    const HttpRequest& request, const QString& code, const Authentication& caller, const Respond& respond)
{
    const JsonBody body = readJsonBody(request);
    if (body.status != 0) {
        respond(bodyRefused(body));
        return;
    }
    const Result<LinkPatch> patch = parsePatch(body.object);
    if (!patch) {
        respond(faultReply(patch.fault()));
        return;
    }
    // Only an admin puts a destination on the service's own list, which stops it for everyone.
    const std::optional<bool> blockHost = patchBlocksHost(body.object);
    if (blockHost && caller.role != Role::Admin) {
        respond(roleRefused(caller.role));
        return;
    }
    if (!mayBeStoredCode(code)) {
        respond(noSuchLink(code));
        return;
    }
    m_shortener.edit(code, *patch, editorOf(caller, Action::EditLinks),
        [this, host = request.host, admin = caller.role == Role::Admin, blockHost,
            by = keyActor(caller.name, true).name, reason = patch->reason, respond](const Result<StoredLink>& edited) {
            if (edited && blockHost) {
                const StoredLink& link = edited.value();
                // Adding an entry twice keeps the first: the destination is blocked either way.
                const LocalBlock block {localBlockEntry(link.target, *blockHost),
                    *blockHost ? LocalBlock::Kind::Host : LocalBlock::Kind::Address, by, reason.value_or(link.reason),
                    QDateTime::currentSecsSinceEpoch()};
                onStore<StoreStatus>(
                    [block](Store* store) {
                        LocalBlocks* blocks = store ? store->localBlocks() : nullptr;
                        return blocks && !block.entry.isEmpty() ? blocks->addBlock(block) : StoreStatus::Failed;
                    },
                    [this, link, host, respond](StoreStatus added) {
                        respond(added == StoreStatus::Failed ? storeDown() : linkReply(200, link, host, true));
                    },
                    respond);
            } else if (edited) {
                respond(linkReply(200, edited.value(), host, admin));
            } else if (edited.fault().kind == FaultKind::Gone) {
                // A deleted link is still there to read; changing it conflicts with its state.
                respond(problemReply(409, edited.fault().chinese));
            } else {
                respond(linkFaultReply(edited.fault()));
            }
        });
}

void ApiRouter::deleteLink(const QString& code, const Authentication& caller, const Respond& respond)
{
    if (!mayBeStoredCode(code)) {
        respond(noSuchLink(code));
        return;
    }
    m_shortener.remove(code, editorOf(caller, Action::DeleteLinks), [respond](const Result<StoredLink>& deleted) {
        // Deleting again changes nothing, and says so the same way.
        respond(deleted || deleted.fault().kind == FaultKind::Gone ? noContent() : linkFaultReply(deleted.fault()));
    });
}

void ApiRouter::listKeys(const Respond& respond)
{
    struct Keys {
        StoreStatus status = StoreStatus::Failed;
        QList<StoredKey> keys;
    };
    onStoreRead<Keys>(
        [](Store* connection) {
            KeyStore* store = connection ? connection->keys() : nullptr;
            Keys keys;
            if (store) {
                keys.status = store->listKeys([&keys](const StoredKey& key) {
                    keys.keys.append(key);
                    return keys.keys.size() < MaximumKeysListed;
                });
            }
            return keys;
        },
        [respond](const Keys& keys) {
            if (keys.status != StoreStatus::Ok) {
                respond(storeDown());
                return;
            }
            QJsonArray items;
            for (const StoredKey& key : keys.keys) {
                items.append(keyObject(key));
            }
            respond(jsonReply(200, QJsonObject {{QStringLiteral("items"), items}}));
        },
        respond);
}

void ApiRouter::createKey(const HttpRequest& request, const Authentication& caller, const Respond& respond)
{
    const JsonBody body = readJsonBody(request);
    if (body.status != 0) {
        respond(bodyRefused(body));
        return;
    }
    const qint64 now = nowSecs();
    const Result<KeyRequest> asked = parseKeyRequest(body.object, now);
    if (!asked) {
        respond(faultReply(asked.fault()));
        return;
    }
    const QByteArray secret = generateKey();
    StoredKey key;
    key.name = asked->name;
    key.role = static_cast<int>(asked->role);
    key.prefix = keyPrefix(secret);
    key.hash = keyHash(secret);
    key.createdSecs = now;
    key.expiresSecs = asked->expiresSecs;
    onStore<StoreStatus>(
        [key, by = auditNameOf(caller)](
            Store* store) { return store && store->keys() ? store->keys()->createKey(key, by) : StoreStatus::Failed; },
        [key, secret, respond](StoreStatus status) {
            if (status == StoreStatus::Ok) {
                QJsonObject shown = keyObject(key);
                // The only time the key is ever shown.
                shown.insert(QStringLiteral("key"), QString::fromLatin1(secret));
                HttpReply reply = jsonReply(201, shown);
                reply.addHeader("Location", (KeysPath % u'/' % key.name).toUtf8());
                respond(std::move(reply));
            } else if (status == StoreStatus::Failed) {
                respond(storeDown());
            } else {
                respond(problemReply(409, QStringLiteral("名为 %1 的密钥已存在（吊销的密钥也保留名称）").arg(key.name),
                    {{QStringLiteral("name"), QStringLiteral("已被占用")}}));
            }
        },
        respond);
}

void ApiRouter::revokeKey(const QString& name, const Authentication& caller, const Respond& respond)
{
    if (!isKeyName(name)) {
        respond(problemReply(404, QStringLiteral("没有这个密钥")));
        return;
    }
    const qint64 now = nowSecs();
    struct Revoked {
        StoreStatus status = StoreStatus::Failed;
        bool lastAdmin = false;
    };
    onStore<Revoked>(
        [name, now, by = auditNameOf(caller)](Store* connection) {
            KeyStore* store = connection ? connection->keys() : nullptr;
            if (!store) {
                return Revoked {};
            }
            // The API never leaves the service without an admin key: the shell, which needs no
            // key, is the only way to revoke the last one.
            qsizetype admins = 0;
            bool isAdmin = false;
            const StoreStatus listed = store->listKeys([&](const StoredKey& key) {
                if (key.role == static_cast<int>(Role::Admin) && key.revokedSecs == 0
                    && (key.expiresSecs == 0 || key.expiresSecs > now)) {
                    ++admins;
                    isAdmin = isAdmin || key.name == name;
                }
                return true;
            });
            if (listed != StoreStatus::Ok) {
                return Revoked {};
            }
            if (isAdmin && admins == 1) {
                return Revoked {StoreStatus::Ok, true};
            }
            return Revoked {store->revokeKey(name, by, now), false};
        },
        [this, name, respond](const Revoked& revoked) {
            if (revoked.lastAdmin) {
                respond(problemReply(409,
                    QStringLiteral("%1 是最后一个有效的管理员密钥，不能通过 API 吊销；请先创建另一个管理员密钥，"
                                   "或在服务器上用 keys revoke 命令吊销")
                        .arg(name)));
            } else if (revoked.status == StoreStatus::Ok) {
                m_knownKeys.clear();
                respond(noContent());
            } else {
                respond(revoked.status == StoreStatus::Missing ? problemReply(404, QStringLiteral("没有这个密钥"))
                                                               : storeDown());
            }
        },
        respond);
}

void ApiRouter::listBlocks(const Respond& respond)
{
    onStoreRead<std::optional<QList<LocalBlock>>>(
        [](Store* connection) {
            LocalBlocks* blocks = connection ? connection->localBlocks() : nullptr;
            return blocks ? blocks->listBlocks() : std::nullopt;
        },
        [respond](const std::optional<QList<LocalBlock>>& listed) {
            if (!listed) {
                respond(storeDown());
                return;
            }
            QJsonArray items;
            for (const LocalBlock& block : *listed) {
                items.append(localBlockObject(block));
            }
            respond(jsonReply(200, QJsonObject {{QStringLiteral("items"), items}}));
        },
        respond);
}

void ApiRouter::removeBlock(const QString& encodedEntry, const Authentication& caller, const Respond& respond)
{
    const QString entry = percentDecode(encodedEntry.toUtf8(), false).value_or(QString());
    if (entry.isEmpty()) {
        respond(problemReply(404, QStringLiteral("拉黑名单中没有这一项")));
        return;
    }
    // As listed, or as the list would have kept what was typed: an address normalised, a host in
    // lower case.
    QStringList candidates {entry};
    for (const QString& candidate : {localBlockEntry(entry, false), entry.toLower()}) {
        if (!candidate.isEmpty() && !candidates.contains(candidate)) {
            candidates.append(candidate);
        }
    }
    onStore<StoreStatus>(
        [candidates, by = auditNameOf(caller), now = nowSecs()](Store* connection) {
            LocalBlocks* blocks = connection ? connection->localBlocks() : nullptr;
            if (!blocks) {
                return StoreStatus::Failed;
            }
            for (const QString& candidate : candidates) {
                if (const StoreStatus removed = blocks->removeBlock(candidate, by, now);
                    removed != StoreStatus::Missing) {
                    return removed;
                }
            }
            return StoreStatus::Missing;
        },
        [respond](StoreStatus removed) {
            if (removed == StoreStatus::Ok) {
                respond(noContent());
            } else {
                respond(removed == StoreStatus::Missing ? problemReply(404, QStringLiteral("拉黑名单中没有这一项"))
                                                        : storeDown());
            }
        },
        respond);
}

bool ApiRouter::fileReport(const ReportRequest& report, const QString& reporter, std::function<void(FiledReport)> done)
{
    return m_shortener.pool().run<FiledReport>(
        [report, reporter, threshold = m_settings.reportThreshold](
            Store* store) { return Shortd::fileReport(store, report, reporter, threshold, nowSecs()); },
        [this, code = report.code, done = std::move(done)](FiledReport filed) {
            if (filed.quarantined) {
                m_shortener.forget({code});
            }
            done(filed);
        });
}

void ApiRouter::createReport(const HttpRequest& request, const Respond& respond)
{
    const JsonBody body = readJsonBody(request);
    if (body.status != 0) {
        respond(bodyRefused(body));
        return;
    }
    QList<FieldFault> unknown;
    const QStringList members {QStringLiteral("code"), QStringLiteral("reason"), QStringLiteral("text")};
    for (auto it = body.object.constBegin(); it != body.object.constEnd(); ++it) {
        if (!members.contains(it.key())) {
            unknown.append({it.key(), QStringLiteral("不认识的成员")});
        } else if (!it.value().isString() && !(it.key() == members.at(2) && it.value().isNull())) {
            unknown.append({it.key(), QStringLiteral("应为字符串")});
        }
    }
    if (!unknown.isEmpty()) {
        respond(faultReply(invalidMembers(unknown)));
        return;
    }
    const Result<ReportRequest> report = checkReport(body.object.value(members.at(0)).toString(),
        body.object.value(members.at(1)).toString(), body.object.value(members.at(2)).toString());
    if (!report) {
        respond(faultReply(report.fault()));
        return;
    }
    const qint64 now = nowSecs();
    // The answer says what this caller sent and nothing of anyone else's reports, nor what followed.
    const QJsonObject accepted {{QStringLiteral("code"), report->code}, {QStringLiteral("reason"), report->reason},
        {QStringLiteral("createdAt"), rfc3339(now)}};
    if (!fileReport(*report, request.client, [respond, accepted](const FiledReport& filed) {
            switch (filed.outcome) {
            case FiledReport::Outcome::Filed:
                respond(jsonReply(201, accepted));
                return;
            case FiledReport::Outcome::NoSuchLink:
                respond(noSuchLink(accepted.value(QStringLiteral("code")).toString()));
                return;
            case FiledReport::Outcome::HourlyLimit:
                respond(retryLaterReply(429, reportRefusal(filed.outcome), 3600));
                return;
            case FiledReport::Outcome::AlreadyReported:
                respond(problemReply(429, reportRefusal(filed.outcome)));
                return;
            case FiledReport::Outcome::Failed:
                break;
            }
            respond(storeDown());
        })) {
        respond(storeDown());
    }
}

void ApiRouter::listAudit(const HttpRequest& request, const Respond& respond)
{
    const DecodedFields fields = decodeForm(request.query);
    QList<FieldFault> refused;
    if (fields.error != DecodeError::None) {
        refused.append({QString(), QStringLiteral("查询参数的编码不正确")});
    } else {
        checkQueryNames(fields,
            {QStringLiteral("after"), QStringLiteral("limit"), QStringLiteral("code"), QStringLiteral("actor"),
                QStringLiteral("since")},
            &refused);
    }
    AuditQuery query;
    query.limit = DefaultPageSize;
    const auto number = [&](QStringView name, qint64 low, qint64 high, qint64* value) {
        if (const FieldValue asked = findField(fields.fields, name); refused.isEmpty() && asked.count == 1) {
            bool ok = false;
            *value = asked.value.toLongLong(&ok);
            if (!ok || *value < low || *value > high) {
                refused.append({name.toString(), QStringLiteral("应为 %1 到 %2 之间的整数").arg(low).arg(high)});
            }
        }
    };
    number(u"limit", 1, MaximumPageSize, &query.limit);
    number(u"after", 0, std::numeric_limits<qint64>::max(), &query.afterId);
    query.subject = findField(fields.fields, u"code").value;
    query.actor = findField(fields.fields, u"actor").value;
    if (const FieldValue since = findField(fields.fields, u"since"); refused.isEmpty() && since.count == 1) {
        const std::optional<qint64> at = parseRfc3339(since.value);
        if (!at) {
            refused.append({QStringLiteral("since"), QStringLiteral("应为 RFC 3339 时间，如 2026-12-01T00:00:00Z")});
        }
        query.sinceSecs = at.value_or(0);
    }
    if (!refused.isEmpty()) {
        respond(faultReply(invalidMembers(refused)));
        return;
    }
    onStoreRead<std::optional<QList<AuditRecord>>>(
        [query](Store* store) -> std::optional<QList<AuditRecord>> {
            AuditLog* log = store ? store->auditLog() : nullptr;
            QList<AuditRecord> records;
            if (!log || log->listAudit(query, [&records](const AuditRecord& record) {
                    records.append(record);
                    return true;
                }) != StoreStatus::Ok) {
                return std::nullopt;
            }
            return records;
        },
        [respond, limit = query.limit](const std::optional<QList<AuditRecord>>& records) {
            if (!records) {
                respond(storeDown());
                return;
            }
            const auto fieldsOf = [](const QString& json) {
                return json.isEmpty() ? QJsonValue(QJsonValue::Null)
                                      : QJsonValue(QJsonDocument::fromJson(json.toUtf8()).object());
            };
            QJsonArray items;
            for (const AuditRecord& record : *records) {
                items.append(QJsonObject {{QStringLiteral("id"), record.id},
                    {QStringLiteral("at"), rfc3339(record.atSecs)}, {QStringLiteral("actor"), record.actor},
                    {QStringLiteral("action"), record.action}, {QStringLiteral("subject"), record.subject},
                    {QStringLiteral("before"), fieldsOf(record.before)},
                    {QStringLiteral("after"), fieldsOf(record.after)}, {QStringLiteral("hash"), record.hash}});
            }
            // A full page may have more after it; the next page starts after its last record.
            const QJsonValue next
                = records->size() == limit ? QJsonValue(records->constLast().id) : QJsonValue(QJsonValue::Null);
            respond(jsonReply(200, QJsonObject {{QStringLiteral("items"), items}, {QStringLiteral("next"), next}}));
        },
        respond);
}

void ApiRouter::listReports(const HttpRequest& request, const Respond& respond)
{
    const DecodedFields fields = decodeForm(request.query);
    QList<FieldFault> refused;
    if (fields.error != DecodeError::None) {
        refused.append({QString(), QStringLiteral("查询参数的编码不正确")});
    } else {
        checkQueryNames(fields, {QStringLiteral("after"), QStringLiteral("limit")}, &refused);
    }
    qint64 limit = DefaultPageSize;
    if (const FieldValue asked = findField(fields.fields, u"limit"); refused.isEmpty() && asked.count == 1) {
        bool number = false;
        limit = asked.value.toLongLong(&number);
        if (!number || limit < 1 || limit > MaximumPageSize) {
            refused.append({QStringLiteral("limit"), QStringLiteral("应为 1 到 %1 之间的整数").arg(MaximumPageSize)});
        }
    }
    if (!refused.isEmpty()) {
        respond(faultReply(invalidMembers(refused)));
        return;
    }
    struct Queue {
        std::optional<ReportGroupPage> page;
        QHash<QString, StoredLink> links;
    };
    onStoreRead<Queue>(
        [after = findField(fields.fields, u"after").value, limit](Store* store) {
            Queue queue;
            ReportStore* reports = store ? store->reports() : nullptr;
            if (!reports) {
                return queue;
            }
            queue.page = reports->openReports(after, int(limit));
            for (const LinkReport& report : queue.page ? queue.page->reports : QList<LinkReport>()) {
                if (!queue.links.contains(report.code)) {
                    const LookupResult found = store->links().findByCode(report.code);
                    if (found.status == StoreStatus::Ok) {
                        queue.links.insert(report.code, found.link);
                    }
                }
            }
            return queue;
        },
        [this, host = request.host, respond](const Queue& queue) {
            if (!queue.page) {
                respond(storeDown());
                return;
            }
            const qint64 now = nowSecs();
            QJsonArray items;
            QJsonObject group;
            QJsonArray reports;
            const auto close = [&] {
                if (!group.isEmpty()) {
                    // One open report an address: the count of a link's open reports is its reporters'.
                    group.insert(QStringLiteral("reporters"),
                        queue.page->open.value(group.value(QStringLiteral("code")).toString()));
                    group.insert(QStringLiteral("reports"), reports);
                    items.append(group);
                }
                group = {};
                reports = {};
            };
            for (const LinkReport& report : queue.page->reports) {
                if (group.value(QStringLiteral("code")).toString() != report.code) {
                    close();
                    group.insert(QStringLiteral("code"), report.code);
                    const auto link = queue.links.constFind(report.code);
                    group.insert(QStringLiteral("link"),
                        link == queue.links.constEnd()
                            ? QJsonValue(QJsonValue::Null)
                            : QJsonValue(QJsonDocument::fromJson(linkJson(m_shortener.withPendingVisits(*link),
                                                                     m_bases.shortLink(link->type, link->code, host),
                                                                     m_shortener.visitsOf(*link), now, true))
                                             .object()));
                }
                reports.append(
                    QJsonObject {{QStringLiteral("id"), report.id}, {QStringLiteral("reason"), report.reason},
                        {QStringLiteral("text"), report.text}, {QStringLiteral("reporter"), report.reporter},
                        {QStringLiteral("createdAt"), rfc3339(report.createdSecs)}});
            }
            close();
            respond(jsonReply(200,
                QJsonObject {{QStringLiteral("items"), items},
                    {QStringLiteral("next"),
                        queue.page->nextAfter.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                        : QJsonValue(queue.page->nextAfter)}}));
        },
        respond);
}

void ApiRouter::dismissReports(const QString& target, const Authentication& caller, const Respond& respond)
{
    onStore<std::optional<ReportDismissal>>(
        [target, by = keyActor(caller.name, true).name](Store* store) -> std::optional<ReportDismissal> {
            ReportStore* reports = store ? store->reports() : nullptr;
            return reports ? reports->dismissReports(target, by, nowSecs()) : std::nullopt;
        },
        [this, target, respond](const std::optional<ReportDismissal>& done) {
            if (!done) {
                respond(storeDown());
                return;
            }
            if (done->dismissed == 0) {
                respond(problemReply(404, QStringLiteral("没有 %1 的未处理举报").arg(target)));
                return;
            }
            if (done->released) {
                m_shortener.forget({done->code});
            }
            respond(jsonReply(200,
                QJsonObject {{QStringLiteral("code"), done->code}, {QStringLiteral("dismissed"), done->dismissed},
                    {QStringLiteral("released"), done->released}}));
        },
        respond);
}

} // namespace Shortd
