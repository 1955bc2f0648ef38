#include "cluster/clusteragent.h"

#include "store/sqldialect.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>
#include <QtDebug>

namespace Shortd
{
namespace
{
QAtomicInt agentCounter;

// Changes read at a time; a longer backlog is read on the next round.
constexpr int ChangeBatch = 1000;
// The change log and dead instances are kept this long, and pruned this often.
constexpr qint64 KeepMs = 600'000;
constexpr qint64 PruneEveryMs = 60'000;

qint64 wallMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}
} // namespace

// The agent's half on its own thread; everything here runs there, with the connection it owns.
class ClusterWorker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClusterWorker)

public:
    ClusterWorker(DatabaseAddress address, ClusterAgentOptions options, InstanceRecord instance)
        : m_address(std::move(address))
        , m_options(options)
        , m_dialect(dialectOf(m_address))
        , m_instance(std::move(instance))
        , m_connectionName(QStringLiteral("shortd-cluster-%1").arg(agentCounter.fetchAndAddRelaxed(1)))
        , m_heartbeat(this) // children, so that they move to the agent's thread with it
        , m_poll(this)
    {
        m_heartbeat.setInterval(m_options.heartbeatInterval);
        m_poll.setInterval(m_options.pollInterval);
        connect(&m_heartbeat, &QTimer::timeout, this, &ClusterWorker::beat);
        connect(&m_poll, &QTimer::timeout, this, &ClusterWorker::catchUp);
    }

    ~ClusterWorker() override = default;

    void start()
    {
        m_heartbeat.start();
        if (m_dialect == SqlDialect::Sqlite) {
            m_poll.start();
        }
        connectDatabase();
    }

    void stop()
    {
        m_heartbeat.stop();
        m_poll.stop();
        if (m_connected) {
            ClusterFeed::unregisterInstance(db(), m_instance.id);
        }
        disconnectDatabase();
    }

    void acknowledge(qint64 change)
    {
        if (change <= m_acked) {
            return;
        }
        m_acked = change;
        if (m_connected && !ClusterFeed::heartbeat(db(), m_instance.id, m_acked, wallMs())) {
            checkConnection();
        }
    }

    void exchange(const QList<ClientCount>& mine, const QStringList& clients, qint64 oldestSlot, QObject* context,
        const ClusterAgent::CountsDone& done)
    {
        std::optional<QList<ClientCount>> sums;
        if (m_connected) {
            sums = ClusterFeed::exchangeCounts(db(), m_instance.id, mine, clients, oldestSlot);
            if (!sums) {
                checkConnection();
            }
        }
        // The agent waits for this thread to end before it goes, so it is still there.
        QMetaObject::invokeMethod(context, [done, sums, live = m_live] { done(sums, live); });
    }

    // moc's definitions, in this file, name the parameters otherwise.
    // NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
signals:
    void linksChanged(const QStringList& codes, bool everything, qint64 upTo);
    void notificationReceived();
    void instancesCounted(int live);
    // NOLINTEND(readability-inconsistent-declaration-parameter-name)

private:
    QSqlDatabase db() const { return QSqlDatabase::database(m_connectionName, false); }

    void connectDatabase()
    {
        DatabaseAddress address = m_address;
        if (address.isPostgres()) {
            // Named, so that an operator (or a test) can tell the listening connection apart.
            const QString name = QStringLiteral("application_name=nolvex-shortd-listener-%1").arg(m_instance.pid);
            address.connectOptions = address.connectOptions.isEmpty() ? name : address.connectOptions + u';' + name;
        }
        QSqlDatabase connection = QSqlDatabase::addDatabase(driverName(m_dialect), m_connectionName);
        QString error;
        const bool opened = Shortd::connectDatabase(connection, address, {}, &error)
            && ClusterFeed::registerInstance(connection, m_dialect, m_instance, wallMs());
        std::optional<qint64> newest = opened ? ClusterFeed::newestChange(connection) : std::nullopt;
        if (newest && m_dialect == SqlDialect::Postgres) {
            QSqlDriver* driver = connection.driver();
            connect(driver, &QSqlDriver::notification, this, &ClusterWorker::notified);
            if (!driver->subscribeToNotification(LinkChangesChannel)) {
                newest.reset();
            }
        }
        if (!newest) {
            if (error.isEmpty()) {
                error = connection.lastError().text();
            }
            if (m_wasConnected || !m_warned) {
                qWarning().noquote() << "cluster: cannot listen for link changes:" << error;
                m_warned = true;
            }
            connection = {};
            disconnectDatabase();
            return;
        }
        m_connected = true;
        m_lastPruneMs = wallMs();
        if (const std::optional<int> live = ClusterFeed::liveInstances(connection, wallMs())) {
            m_live = std::max(*live, 1);
            emit instancesCounted(m_live);
        }
        // Whatever changed while no one listened is not known: every link held is forgotten. The
        // first time there is nothing held yet.
        if (m_wasConnected) {
            qInfo("cluster: listening for link changes again");
            m_seen = *newest;
            emit linksChanged({}, true, m_seen);
        } else {
            m_seen = *newest;
            m_acked = m_seen;
        }
        m_wasConnected = true;
    }

    void disconnectDatabase()
    {
        m_connected = false;
        if (QSqlDatabase::contains(m_connectionName)) {
            QSqlDatabase::database(m_connectionName, false).close();
            QSqlDatabase::removeDatabase(m_connectionName);
        }
    }

    void checkConnection()
    {
        QSqlQuery probe(db());
        if (probe.exec(QStringLiteral("SELECT 1")) && probe.next()) {
            return;
        }
        qWarning().noquote() << "cluster: lost the connection that listens for link changes:"
                             << db().lastError().text();
        probe = QSqlQuery();
        disconnectDatabase();
    }

    void notified(const QString& name, QSqlDriver::NotificationSource, const QVariant& payload)
    {
        if (name != LinkChangesChannel) {
            return;
        }
        emit notificationReceived();
        // The code at once; the log after it, for the number to acknowledge, once for a burst.
        emit linksChanged({payload.toString()}, false, 0);
        if (!m_catchUpQueued) {
            m_catchUpQueued = true;
            QMetaObject::invokeMethod(this, &ClusterWorker::catchUp, Qt::QueuedConnection);
        }
    }

    void catchUp()
    {
        m_catchUpQueued = false;
        if (!m_connected) {
            return;
        }
        const std::optional<QList<LinkChange>> changes = ClusterFeed::changesAfter(db(), m_seen, ChangeBatch);
        if (!changes) {
            checkConnection();
            return;
        }
        if (changes->isEmpty()) {
            return;
        }
        QStringList codes;
        codes.reserve(changes->size());
        for (const LinkChange& change : *changes) {
            codes.append(change.code);
        }
        m_seen = changes->constLast().id;
        emit linksChanged(codes, false, m_seen);
    }

    void beat()
    {
        if (!m_connected) {
            connectDatabase();
            return;
        }
        const qint64 now = wallMs();
        if (!ClusterFeed::heartbeat(db(), m_instance.id, m_acked, now)
            && !ClusterFeed::registerInstance(db(), m_dialect, m_instance, now)) {
            checkConnection();
            return;
        }
        if (const std::optional<int> live = ClusterFeed::liveInstances(db(), now)) {
            m_live = std::max(*live, 1);
            emit instancesCounted(m_live);
        }
        if (m_dialect == SqlDialect::Postgres) {
            catchUp();
        }
        if (m_connected && now - m_lastPruneMs >= PruneEveryMs) {
            m_lastPruneMs = now;
            ClusterFeed::prune(db(), now, KeepMs);
        }
    }

    DatabaseAddress m_address;
    ClusterAgentOptions m_options;
    SqlDialect m_dialect;
    InstanceRecord m_instance;
    QString m_connectionName;
    QTimer m_heartbeat;
    QTimer m_poll;
    bool m_connected = false;
    bool m_wasConnected = false;
    bool m_warned = false;
    bool m_catchUpQueued = false;
    qint64 m_seen = 0; // the newest change read
    qint64 m_acked = 0; // the newest change acted on
    qint64 m_lastPruneMs = 0;
    int m_live = 1;
};

ClusterAgent::ClusterAgent(DatabaseAddress address, ClusterAgentOptions options, QObject* parent)
    : QObject(parent)
    , m_instanceId(QUuid::createUuid().toString(QUuid::WithoutBraces))
    , m_worker(new ClusterWorker(std::move(address), options,
          {m_instanceId, QSysInfo::machineHostName(), QCoreApplication::applicationPid(), wallMs()}))
{
    m_thread.setObjectName(QStringLiteral("cluster"));
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &ClusterWorker::linksChanged, this, &ClusterAgent::linksChanged);
    connect(m_worker, &ClusterWorker::notificationReceived, this, &ClusterAgent::notificationReceived);
    connect(m_worker, &ClusterWorker::instancesCounted, this, &ClusterAgent::instancesCounted);
    m_thread.start();
}

ClusterAgent::~ClusterAgent()
{
    QMetaObject::invokeMethod(m_worker, &ClusterWorker::stop, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void ClusterAgent::start()
{
    QMetaObject::invokeMethod(m_worker, &ClusterWorker::start);
}

void ClusterAgent::acknowledge(qint64 change)
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, change] { worker->acknowledge(change); });
}

void ClusterAgent::exchangeCounts(
    const QList<ClientCount>& mine, const QStringList& clients, qint64 oldestSlot, const CountsDone& done)
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, mine, clients, oldestSlot, context = this, done] {
        worker->exchange(mine, clients, oldestSlot, context, done);
    });
}

} // namespace Shortd

#include "clusteragent.moc"
