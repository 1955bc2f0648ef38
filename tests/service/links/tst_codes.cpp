#include "links/codes.h"
#include "protocol.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;
using namespace Nolvex::Protocol;

class CodesTest final : public QObject
{
    Q_OBJECT

private slots:
    void codesAvoidLookAlikes();
    void codeShape_data();
    void codeShape();
    void drawsNoReservedName();
    void customCodes_data();
    void customCodes();
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
    // shaped: could have been drawn; reachable: a path to a stored link, drawn or chosen; held: a code
    // the store may hold, also one drawn before its name was reserved.
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<bool>("shaped");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<bool>("held");
    QTest::newRow("six") << u"abcDEF"_s << true << true << true;
    QTest::newRow("sixteen") << u"abcdefghijkmnpqr"_s << true << true << true;
    QTest::newRow("five") << u"abcde"_s << false << true << true;
    QTest::newRow("seventeen") << u"abcdefghijkmnpqrs"_s << false << true << true;
    QTest::newRow("look-alike zero") << u"abcde0"_s << false << true << true;
    QTest::newRow("look-alike ell") << u"abcdel"_s << false << true << true;
    QTest::newRow("plus") << u"abcde+"_s << false << false << false;
    QTest::newRow("chinese") << u"abcde中"_s << false << false << false;
    QTest::newRow("encoded") << u"%41bcdef"_s << false << false << false;
    QTest::newRow("chosen, shortest") << u"a_1"_s << false << true << true;
    QTest::newRow("chosen, too short") << u"a-"_s << false << false << false;
    QTest::newRow("chosen, longest") << QString(64, u'-') << false << true << true;
    QTest::newRow("chosen, too long") << QString(65, u'x') << false << false << false;
    QTest::newRow("dot") << u"spring.sale"_s << false << false << false;
    QTest::newRow("slash") << u"a/bcdef"_s << false << false << false;
    QTest::newRow("reserved, of a drawn shape") << u"readyz"_s << true << false << true;
    QTest::newRow("reserved, any case") << u"Admin"_s << false << false << false;
}

void CodesTest::codeShape()
{
    QFETCH(QString, candidate);
    QFETCH(bool, shaped);
    QFETCH(bool, reachable);
    QFETCH(bool, held);
    QCOMPARE(isCodeShaped(candidate), shaped);
    QCOMPARE(mayNameLink(candidate), reachable);
    QCOMPARE(mayBeStoredCode(candidate), held);
    // Whatever a person may choose, the routes can reach.
    if (checkCustomCode(candidate) == CodeProblem::None) {
        QVERIFY(reachable);
    }
}

// Draws that spell reserved names first: each is drawn again, and the first plain draw is the code.
void CodesTest::drawsNoReservedName()
{
    QList<quint32> draws;
    for (const QString& spelled : {u"STATiC"_s, u"readyz"_s, u"abcdef"_s}) {
        for (const QChar c : spelled) {
            draws.append(static_cast<quint32>(codeAlphabet().indexOf(c)));
        }
    }
    qsizetype next = 0;
    const QString code = randomCode(6, [&draws, &next](quint32 bound) {
        const quint32 index = draws.at(next++);
        return index < bound ? index : 0;
    });
    QCOMPARE(code, u"abcdef"_s);
    QCOMPARE(next, draws.size());

    // Every reserved name is refused in any case; each that fits the alphabet could otherwise be drawn.
    for (const QStringView name : reservedNames()) {
        QVERIFY(isReservedName(name.toString().toUpper()));
        QCOMPARE(checkCustomCode(name), CodeProblem::Reserved);
    }
    // The client's protocol paths start with a reserved segment.
    for (const QStringView path : {ShortenPath, VersionPath, ReleasePagePrefix}) {
        QVERIFY(isReservedName(path.sliced(1).first(path.indexOf(u'/', 1) - 1)));
    }
}

void CodesTest::customCodes_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<CodeProblem>("problem");
    QTest::newRow("two") << u"ab"_s << CodeProblem::TooShort;
    QTest::newRow("three") << u"abc"_s << CodeProblem::None;
    QTest::newRow("sixty-four") << QString(64, u'x') << CodeProblem::None;
    QTest::newRow("sixty-five") << QString(65, u'x') << CodeProblem::TooLong;
    QTest::newRow("every class") << u"AZaz09_-"_s << CodeProblem::None;
    QTest::newRow("look-alikes allowed") << u"0Oo1lI"_s << CodeProblem::None;
    QTest::newRow("only hyphens") << u"---"_s << CodeProblem::None;
    QTest::newRow("dot") << u"my.link"_s << CodeProblem::BadCharacter;
    QTest::newRow("blank") << u"my link"_s << CodeProblem::BadCharacter;
    QTest::newRow("slash") << u"my/link"_s << CodeProblem::BadCharacter;
    QTest::newRow("percent") << u"%41bc"_s << CodeProblem::BadCharacter;
    QTest::newRow("chinese") << u"链接abc"_s << CodeProblem::BadCharacter;
    QTest::newRow("full-width letter") << u"ａbc"_s << CodeProblem::BadCharacter;
    QTest::newRow("NUL") << u"abc\0"_s << CodeProblem::BadCharacter;
    QTest::newRow("preview suffix") << u"abcdef+"_s << CodeProblem::PreviewSuffix;
    QTest::newRow("svg upper-case") << u"logo.SVG"_s << CodeProblem::ImageSuffix;
    QTest::newRow("png") << u"logo.png"_s << CodeProblem::ImageSuffix;
    QTest::newRow("bare png") << u".Png"_s << CodeProblem::ImageSuffix;
    QTest::newRow("png without the dot") << u"logopng"_s << CodeProblem::None;
    QTest::newRow("api") << u"API"_s << CodeProblem::Reserved;
    QTest::newRow("healthz") << u"HealthZ"_s << CodeProblem::Reserved;
    QTest::newRow("readyz") << u"READYZ"_s << CodeProblem::Reserved;
    QTest::newRow("index.php") << u"Index.PHP"_s << CodeProblem::Reserved;
    QTest::newRow("favicon.ico") << u"FAVICON.ico"_s << CodeProblem::Reserved;
    QTest::newRow("robots.txt") << u"Robots.Txt"_s << CodeProblem::Reserved;
    QTest::newRow("admin") << u"aDmIn"_s << CodeProblem::Reserved;
    QTest::newRow("metrics") << u"Metrics"_s << CodeProblem::Reserved;
    QTest::newRow("static") << u"STATIC"_s << CodeProblem::Reserved;
    QTest::newRow("reserved name as a prefix") << u"admin-page"_s << CodeProblem::None;
    QTest::newRow("reserved name inside") << u"my_static"_s << CodeProblem::None;
}

void CodesTest::customCodes()
{
    QFETCH(QString, code);
    QFETCH(CodeProblem, problem);
    QCOMPARE(checkCustomCode(code), problem);
    // Every refusal has its reason in both languages.
    QCOMPARE(codeProblemMessage(problem).isEmpty(), problem == CodeProblem::None);
    QCOMPARE(codeProblemReason(problem).isEmpty(), problem == CodeProblem::None);
}

QTEST_APPLESS_MAIN(CodesTest)
#include "tst_codes.moc"
