#include "links/quarantine.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class QuarantineTest final : public QObject
{
    Q_OBJECT

private slots:
    void defanged_data();
    void defanged();
};

void QuarantineTest::defanged_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("shown");
    const std::pair<const char*, const char*> rows[] {
        {"https://evil.example/a.b/c.html?x=1.2#f.g", "hxxps://evil[.]example/a.b/c.html?x=1.2#f.g"},
        {"http://evil.example", "hxxp://evil[.]example"},
        {"HTTP://Evil.Example:8080/", "HXXP://Evil[.]Example:8080/"},
        {"http://user.name@evil.example/", "hxxp://user[.]name@evil[.]example/"},
        {"http://203.0.113.7/x", "hxxp://203[.]0[.]113[.]7/x"},
        {"http://[::ffff:192.0.2.1]/", "hxxp://[::ffff:192[.]0[.]2[.]1]/"},
        {"ftp://files.example/a.zip", "ftp://files[.]example/a.zip"},
        {"http://evil.example\\@good.example/", "hxxp://evil[.]example\\@good.example/"},
        {"evil.example/path.x", "evil[.]example/path.x"},
        {"", ""},
    };
    for (const auto& [address, shown] : rows) {
        QTest::newRow(address) << QString::fromUtf8(address) << QString::fromUtf8(shown);
    }
}

void QuarantineTest::defanged()
{
    QFETCH(QString, address);
    QTEST(Shortd::defanged(address), "shown");
}

QTEST_APPLESS_MAIN(QuarantineTest)
#include "tst_quarantine.moc"
