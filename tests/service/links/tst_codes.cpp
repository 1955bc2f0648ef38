#include "links/codes.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class CodesTest final : public QObject
{
    Q_OBJECT

private slots:
    void codesAvoidLookAlikes();
    void codeShape_data();
    void codeShape();
};

void CodesTest::codesAvoidLookAlikes()
{
    for (const char16_t lookAlike : {u'0', u'O', u'o', u'1', u'l', u'I'}) {
        QVERIFY(!codeAlphabet().contains(QChar(lookAlike)));
    }
    QRandomGenerator generator(42);
    QSet<QChar> seen;
    QSet<QString> codes;
    for (int i = 0; i < 2000; ++i) {
        const QString code = randomCode(MinimumCodeLength, generator);
        QCOMPARE(code.size(), MinimumCodeLength);
        QVERIFY(isCodeShaped(code));
        for (QChar c : code) {
            seen.insert(c);
        }
        codes.insert(code);
    }
    QCOMPARE(seen.size(), codeAlphabet().size()); // every character turns up
    QCOMPARE(codes.size(), 2000);
    QCOMPARE(randomCode(11, generator).size(), 11);
}

void CodesTest::codeShape_data()
{
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<bool>("shaped");
    QTest::newRow("six") << u"abcDEF"_s << true;
    QTest::newRow("sixteen") << u"abcdefghijkmnpqr"_s << true;
    QTest::newRow("five") << u"abcde"_s << false;
    QTest::newRow("seventeen") << u"abcdefghijkmnpqrs"_s << false;
    QTest::newRow("look-alike zero") << u"abcde0"_s << false;
    QTest::newRow("look-alike ell") << u"abcdel"_s << false;
    QTest::newRow("plus") << u"abcde+"_s << false;
    QTest::newRow("chinese") << u"abcde中"_s << false;
    QTest::newRow("encoded") << u"%41bcdef"_s << false;
}

void CodesTest::codeShape()
{
    QFETCH(QString, candidate);
    QFETCH(bool, shaped);
    QCOMPARE(isCodeShaped(candidate), shaped);
}

QTEST_APPLESS_MAIN(CodesTest)
#include "tst_codes.moc"
