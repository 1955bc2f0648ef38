#include "linkapi.h"

#include <QTest>

using namespace Nolvex;

class TestLinkApi final : public QObject
{
    Q_OBJECT

private slots:
    void readExpiry_data();
    void readExpiry();
    void readLinkReply();
};

void TestLinkApi::readExpiry_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // RFC 3339 in UTC, or a part of the refusal

    // Now is 2026-12-07T12:00:00Z; local time is UTC+8, where it is already 20:00.
    QTest::newRow("offset") << QStringLiteral("2026-12-31T18:00:00+08:00") << QStringLiteral("2026-12-31T10:00:00Z");
    QTest::newRow("negative offset into the next day")
        << QStringLiteral("2026-12-31T22:30:00-05:00") << QStringLiteral("2027-01-01T03:30:00Z");
    QTest::newRow("lower-case t and z, a space")
        << QStringLiteral("2026-12-31 18:00:00z") << QStringLiteral("2026-12-31T18:00:00Z");
    QTest::newRow("fraction kept to milliseconds")
        << QStringLiteral("2026-12-31t18:00:00.123456Z") << QStringLiteral("2026-12-31T18:00:00.123Z");
    QTest::newRow("a day: local midnight") << QStringLiteral("2026-12-31") << QStringLiteral("2026-12-30T16:00:00Z");
    QTest::newRow("hours") << QStringLiteral("12h") << QStringLiteral("2026-12-08T00:00:00Z");
    QTest::newRow("days, blanks around") << QStringLiteral(" 7d ") << QStringLiteral("2026-12-14T12:00:00Z");
    QTest::newRow("weeks") << QStringLiteral("2w") << QStringLiteral("2026-12-21T12:00:00Z");

    QTest::newRow("today began in the past") << QStringLiteral("2026-12-07") << QStringLiteral("already past");
    QTest::newRow("now is not later") << QStringLiteral("0h") << QStringLiteral("already past");
    QTest::newRow("a past instant") << QStringLiteral("2026-12-07T19:59:59+08:00") << QStringLiteral("already past");
    QTest::newRow("no offset") << QStringLiteral("2026-12-31T18:00:00") << QStringLiteral("takes a time");
    QTest::newRow("31 February") << QStringLiteral("2027-02-31") << QStringLiteral("takes a time");
    QTest::newRow("minutes are no unit") << QStringLiteral("30m") << QStringLiteral("takes a time");
    QTest::newRow("span out of range") << QStringLiteral("100001w") << QStringLiteral("takes a time");
}

void TestLinkApi::readExpiry()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), QTimeZone::utc());
    QString error;
    const std::optional<QDateTime> when = Nolvex::readExpiry(text, now, QTimeZone(8 * 3600), &error);
    if (when) {
        QCOMPARE(rfc3339(*when), expected);
        QVERIFY(error.isEmpty());
    } else {
        QVERIFY2(error.contains(expected), qPrintable(error));
    }
}

// What makes a link no link is shortenReply's table; here, that the API's replies are asked too.
void TestLinkApi::readLinkReply()
{
    const auto read = [](const QString& shortUrl) {
        return Nolvex::readLinkReply(
            201, QString::fromLatin1(R"({"code":"Ab1","url":"https://a.example/","shortUrl":"%1"})").arg(shortUrl));
    };
    const QString link = QStringLiteral("https://s.example/Ab1");
    QCOMPARE(read(link).kind, LinkReply::Kind::Created);
    QCOMPARE(read(link).shortUrl, link);
    const LinkReply twoLines = read(QString::fromLatin1(R"(https://s.example/Ab1\nhttps://s.example/Cd2)"));
    QCOMPARE(twoLines.kind, LinkReply::Kind::Unreadable);
    QVERIFY(twoLines.shortUrl.isEmpty());
}

QTEST_APPLESS_MAIN(TestLinkApi)
#include "tst_linkapi.moc"
