#include "access/authlimiter.h"
#include "access/keys.h"
#include "store/sqllinkstore.h"

#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

Q_DECLARE_METATYPE(Role)
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(AuthFailure)

// Keys as the API will take them: the header read, the key checked against the store, what each
// role may do, and the limit on failures per address.
class KeysTest final : public QObject
{
    Q_OBJECT

private slots:
    void generated();
    void bearer_data();
    void bearer();
    void roles_data();
    void roles();
    void limiter_data();
    void limiter();
    void authenticate_data();
    void authenticate();
};

void KeysTest::generated()
{
    QSet<QByteArray> seen;
    for (int i = 0; i < 100; ++i) {
        const QByteArray key = generateKey();
        QVERIFY2(isKeyShaped(key), key.constData());
        QCOMPARE(key.size(), 47);
        QVERIFY(key.startsWith("nvx_"));
        QCOMPARE(keyPrefix(key), QString::fromLatin1(key.first(10)));
        seen.insert(key);
    }
    QCOMPARE(seen.size(), 100);
    QCOMPARE(keyHash("abc").toHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_ba);
    for (const Role role : {Role::Reader, Role::Creator, Role::Admin}) {
        const Result<Role> parsed = parseRole(roleName(role));
        QVERIFY(parsed);
        QCOMPARE(*parsed, role);
    }
    QVERIFY(!parseRole(u"Admin"_s));
    QVERIFY(!roleFromStored(3));
}

void KeysTest::bearer_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("key"); // empty: refused
    const QByteArray key = "nvx_" + QByteArray(43, 'A');
    QTest::newRow("plain") << "Bearer " + key << key;
    QTest::newRow("scheme in any case") << "bEARER " + key << key;
    QTest::newRow("surrounding blanks") << " \tBearer " + key + " " << key;
    QTest::newRow("token68 characters") << "Bearer a.b~c+d/e-f_g=="_ba
                                        << "a.b~c+d/e-f_g=="_ba;
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("scheme alone") << "Bearer"_ba << QByteArray();
    QTest::newRow("scheme and space") << "Bearer "_ba << QByteArray();
    QTest::newRow("two spaces") << "Bearer  " + key << QByteArray();
    QTest::newRow("tab for space") << "Bearer\t" + key << QByteArray();
    QTest::newRow("two tokens") << "Bearer " + key + " " + key << QByteArray();
    QTest::newRow("other scheme") << "Basic dXNlcjpwYXNz"_ba << QByteArray();
    QTest::newRow("no scheme") << key << QByteArray();
    QTest::newRow("scheme run on") << "Bearerx " + key << QByteArray();
    QTest::newRow("padding inside") << "Bearer ab=cd"_ba << QByteArray();
    QTest::newRow("padding alone") << "Bearer =="_ba << QByteArray();
    QTest::newRow("comma") << "Bearer " + key + ",x" << QByteArray();
    QTest::newRow("control character") << "Bearer ab\x01"
                                          "cd"_ba
                                       << QByteArray();
    QTest::newRow("non-ASCII") << "Bearer ab\xc3\xa9"_ba << QByteArray();
}

void KeysTest::bearer()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, key);
    QCOMPARE(bearerKey(header).value_or(QByteArray()), key);
}

void KeysTest::roles_data()
{
    QTest::addColumn<Action>("action");
    // What reader, creator, admin may do: to a link made with another key, then to its own.
    QTest::addColumn<QString>("others");
    QTest::addColumn<QString>("own");
    QTest::newRow("read links") << Action::ReadLinks << u"rca"_s << u"rca"_s;
    QTest::newRow("read visits") << Action::ReadVisits << u"rca"_s << u"rca"_s;
    QTest::newRow("create") << Action::CreateLinks << u"-ca"_s << u"-ca"_s;
    QTest::newRow("edit") << Action::EditLinks << u"--a"_s << u"-ca"_s;
    QTest::newRow("delete") << Action::DeleteLinks << u"--a"_s << u"-ca"_s;
}

void KeysTest::roles()
{
    QFETCH(Action, action);
    QFETCH(QString, others);
    QFETCH(QString, own);
    const Role roles[] {Role::Reader, Role::Creator, Role::Admin};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(allows(roles[i], action, false), others.at(i) != u'-');
        QCOMPARE(allows(roles[i], action, true), own.at(i) != u'-');
    }
    QCOMPARE(keyActorOf(Role::Admin, u"c"_s).admin, true);
    QCOMPARE(keyActorOf(Role::Creator, u"c"_s).name, u"key:c"_s);
}

void KeysTest::limiter_data()
{
    // Each step: "f ADDRESS MS" notes a failure, "? ADDRESS MS SECONDS" expects the block left.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<qsizetype>("cap");
    QStringList tenFailures;
    for (int i = 0; i < 10; ++i) {
        tenFailures << u"? a %1 0"_s.arg(i * 1000) << u"f a %1"_s.arg(i * 1000);
    }
    QTest::newRow("tenth failure still answered, then blocked to the minute's end")
        << (tenFailures + QStringList {u"? a 9500 51"_s, u"? a 59001 1"_s}) << AuthLimiter::DefaultMaxAddresses;
    QTest::newRow("next minute free again")
        << (tenFailures + QStringList {u"? a 60000 0"_s, u"f a 60000"_s, u"? a 60001 0"_s})
        << AuthLimiter::DefaultMaxAddresses;
    QTest::newRow("other addresses unaffected")
        << (tenFailures + QStringList {u"? b 9000 0"_s, u"? a 9000 51"_s}) << AuthLimiter::DefaultMaxAddresses;
    QTest::newRow("nine in a minute, then a new minute")
        << (tenFailures.mid(0, 18) + QStringList {u"f a 60500"_s, u"? a 60500 0"_s})
        << AuthLimiter::DefaultMaxAddresses;
    QStringList crowded = tenFailures;
    crowded << u"f b 9100"_s << u"f c 9200"_s << u"? a 9300 0"_s << u"? b 9300 0"_s;
    QTest::newRow("cap drops the oldest address") << crowded << qsizetype(2);
}

void KeysTest::limiter()
{
    QFETCH(QStringList, steps);
    QFETCH(qsizetype, cap);
    AuthLimiter limiter(cap);
    for (const QString& step : std::as_const(steps)) {
        const QStringList parts = step.split(u' ');
        const qint64 now = parts.at(2).toLongLong();
        if (parts.at(0) == u"f") {
            limiter.noteFailure(parts.at(1), now);
            QVERIFY(limiter.trackedAddresses() <= cap);
        } else {
            QVERIFY2(limiter.blockedForSeconds(parts.at(1), now) == parts.at(3).toInt(), qPrintable(step));
        }
    }
}

void KeysTest::authenticate_data()
{
    QTest::addColumn<QString>("presented"); // which key: "good", "revoked", "expired", "off by one", "unknown", "bad"
    QTest::addColumn<AuthFailure>("failure");
    QTest::addColumn<Role>("role");
    QTest::newRow("good") << u"good"_s << AuthFailure::None << Role::Creator;
    QTest::newRow("expiring later") << u"later"_s << AuthFailure::None << Role::Admin;
    QTest::newRow("revoked") << u"revoked"_s << AuthFailure::Revoked << Role::Reader;
    QTest::newRow("expired at this second") << u"expired"_s << AuthFailure::Expired << Role::Reader;
    QTest::newRow("stored hash differs in one byte") << u"off by one"_s << AuthFailure::Unknown << Role::Reader;
    QTest::newRow("never issued") << u"unknown"_s << AuthFailure::Unknown << Role::Reader;
    QTest::newRow("not shaped like a key") << u"bad"_s << AuthFailure::Malformed << Role::Reader;
}

void KeysTest::authenticate()
{
    QFETCH(QString, presented);
    QFETCH(AuthFailure, failure);
    QFETCH(Role, role);
    constexpr qint64 Now = 1'800'000'000;
    QTemporaryDir dir;
    SqlLinkStore store(DatabaseAddress::sqliteFile(dir.filePath(u"links.sqlite"_s)));
    QVERIFY2(store.open(), qPrintable(store.lastError()));
    QHash<QString, QByteArray> keys;
    const auto make = [&](const QString& name, Role given, qint64 expires, qint64 revoked) {
        const QByteArray key = generateKey();
        keys.insert(name, key);
        QByteArray hash = keyHash(key);
        if (name == u"off by one") {
            hash[31] = static_cast<char>(hash[31] ^ 1);
        }
        QCOMPARE(store.createKey({name, static_cast<int>(given), keyPrefix(key), hash, Now - 3600, 0, expires, 0}, {}),
            StoreStatus::Ok);
        if (revoked != 0) {
            QCOMPARE(store.revokeKey(name, {}, revoked), StoreStatus::Ok);
        }
    };
    make(u"good"_s, Role::Creator, 0, 0);
    make(u"later"_s, Role::Admin, Now + 3600, 0);
    make(u"revoked"_s, Role::Admin, 0, Now - 1);
    make(u"expired"_s, Role::Admin, Now, 0);
    make(u"off by one"_s, Role::Admin, 0, 0);
    keys.insert(u"unknown"_s, generateKey());
    keys.insert(u"bad"_s, "nvx_short");

    const QByteArray key = keys.value(presented);
    const Authentication result = Shortd::authenticate(store, key, Now);
    QCOMPARE(result.failure, failure);
    QVERIFY(!failureReason(result.failure).contains(QString::fromLatin1(key)));
    if (!result.ok()) {
        return;
    }
    QCOMPARE(result.role, role);
    QCOMPARE(result.name, presented);
    // The use is noted, then not again within the minute.
    const auto lastUsed = [&] { return store.findKeyByHash(keyHash(key)).key.lastUsedSecs; };
    QCOMPARE(lastUsed(), Now);
    QVERIFY(Shortd::authenticate(store, key, Now + 59).ok());
    QCOMPARE(lastUsed(), Now);
    QVERIFY(Shortd::authenticate(store, key, Now + 60).ok());
    QCOMPARE(lastUsed(), Now + 60);
}

QTEST_GUILESS_MAIN(KeysTest)
#include "tst_keys.moc"
