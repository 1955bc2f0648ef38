#include "twips.h"

#include <QTest>

using namespace Nolvex;

class TwipsTest final : public QObject
{
    Q_OBJECT

private slots:
    void twips_data();
    void twips();
    void skinBesideTheExecutable();
};

void TwipsTest::twips_data()
{
    QTest::addColumn<int>("twips");
    QTest::addColumn<qreal>("dpi");
    QTest::addColumn<int>("pixels");
    QTest::newRow("client width at 96") << 8460 << 96.0 << 564;
    QTest::newRow("client height at 96") << 6915 << 96.0 << 461;
    QTest::newRow("one pixel") << 15 << 96.0 << 1;
    QTest::newRow("client width at 144") << 8460 << 144.0 << 846;
    QTest::newRow("panel at 192") << 1440 << 192.0 << 192;
}

void TwipsTest::twips()
{
    QFETCH(int, twips);
    QFETCH(qreal, dpi);
    QFETCH(int, pixels);
    QCOMPARE(twipsToPixels(twips, dpi), pixels);
}

void TwipsTest::skinBesideTheExecutable()
{
    QCOMPARE(
        skinPath(QStringLiteral("/usr/lib/nolvex-shortener")), QStringLiteral("/usr/lib/nolvex-shortener/skinh.she"));
    // Joined as given: a folder that ends in a separator keeps it.
    QCOMPARE(skinPath(QStringLiteral("/opt/nolvex/")), QStringLiteral("/opt/nolvex//skinh.she"));
}

QTEST_APPLESS_MAIN(TwipsTest)
#include "tst_twips.moc"
