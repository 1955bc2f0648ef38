#include "store/storepool.h"

#include <QTest>
#include <atomic>

using namespace Shortd;
using namespace Qt::StringLiterals;

namespace
{
// A database whose restart cuts every connection opened before it.
struct Server {
    std::atomic<int> restarts {0};
    std::atomic<int> calls {0}; // reads and writes sent, healthy or not
};

// A connection to the server: a call after a restart fails and finds the connection gone, as a
// cut PostgreSQL connection does.
class ServerStore final : public Store, public LinkStore
{
public:
    explicit ServerStore(Server& server)
        : m_server(server)
    {
    }
    bool open() override
    {
        m_openedAt = m_server.restarts;
        return true;
    }
    LookupResult findByCode(const QString& code) override
    {
        ++m_server.calls;
        return alive() ? LookupResult {StoreStatus::Ok, {code, 0, u"https://example.com/"_s, 0, 0}}
                       : LookupResult {StoreStatus::Failed, {}};
    }
    LinkStore& links() override { return *this; }
    InsertResult insert(const StoredLink&) override
    {
        ++m_server.calls;
        return alive() ? InsertResult {StoreStatus::Ok, {}} : InsertResult {};
    }
    bool isHealthy() override { return alive(); }
    bool isBroken() const override { return m_broken; }
    QString lastError() const override { return m_broken ? u"server closed the connection"_s : QString(); }

private:
    bool alive()
    {
        m_broken = m_broken || m_openedAt != m_server.restarts;
        return !m_broken;
    }

    Server& m_server;
    int m_openedAt = 0;
    bool m_broken = false;
};
} // namespace

class StorePoolTest final : public QObject
{
    Q_OBJECT

private slots:
    void restartCostsOneWrite_data();
    void restartCostsOneWrite();
};

void StorePoolTest::restartCostsOneWrite_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("write");
    QTest::newRow("read, on the caller's thread") << 0 << false;
    QTest::newRow("write, on the caller's thread") << 0 << true;
    QTest::newRow("read, three workers") << 3 << false;
    QTest::newRow("write, three workers") << 3 << true;
}

void StorePoolTest::restartCostsOneWrite()
{
    QFETCH(int, threads);
    QFETCH(bool, write);
    Server server;
    // A pause between attempts far longer than the test: healing must not wait for it.
    StorePool pool([&server] { return std::make_unique<ServerStore>(server); },
        StorePoolOptions {threads, 1000, std::chrono::hours(1)});
    QList<bool> answers;
    // Makes count calls at once and waits for their answers.
    const auto calls = [&](int count) {
        answers.clear();
        const std::function<bool(Store*)> work = [write](Store* store) {
            return store
                && (write ? store->links().insert({}).status : store->links().findByCode(u"abc123"_s).status)
                == StoreStatus::Ok;
        };
        const std::function<void(bool)> done = [&answers](bool ok) { answers.append(ok); };
        for (int i = 0; i < count; ++i) {
            QVERIFY(write ? pool.run<bool>(work, done) : pool.read<bool>(work, done));
        }
        QTRY_COMPARE(answers.size(), count);
    };
    calls(12);
    QCOMPARE(answers.count(false), 0);

    ++server.restarts;
    const int before = server.calls;
    calls(1);
    // A read is asked again on a fresh connection; a write that may have committed never is.
    QCOMPARE(answers.constFirst(), !write);
    QCOMPARE(server.calls - before, write ? 1 : 2);
    // Every other connection was cut too, and is found so before it is used.
    calls(12);
    QCOMPARE(answers.count(false), 0);
}

QTEST_GUILESS_MAIN(StorePoolTest)
#include "tst_storepool.moc"
