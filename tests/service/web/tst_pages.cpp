#include "web/pages.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class PagesTest final : public QObject
{
    Q_OBJECT

private slots:
    void pagesEscape();
};

void PagesTest::pagesEscape()
{
    const QString hostile = u"http://e.com/?a=\"'><script>alert(1)</script>&"_s;
    for (const QByteArray& page : {previewPage(u"http://s/abc"_s, hostile, "http://e.com/", 7, 0, hostile),
             notFoundPage(hostile), releasePage(hostile, hostile, true), messagePage(hostile, hostile),
             expiredPage(hostile, 0), limitedPage({hostile, hostile, hostile, hostile}, hostile, hostile),
             gonePage(u"abc"_s, false, hostile, true,
                 reportForm({hostile, hostile, {hostile}, hostile, hostile}, hostile))}) {
        QVERIFY(!page.contains("<script>"));
        QVERIFY(!page.contains("\"'>"));
        QVERIFY(page.contains("&quot;&#39;&gt;&lt;script&gt;"));
    }
    QVERIFY(previewPage(u"http://s/abc"_s, hostile, "http://e.com/", 7, 0, u"abc.svg"_s).contains("7"));
    // An expired link says why: the moment its end came, or its visits used up.
    QVERIFY(QString::fromUtf8(expiredPage(u"abc"_s, 1'700'000'000)).contains(u"2023-11-14 22:13 UTC"_s));
    QVERIFY(QString::fromUtf8(expiredPage(u"abc"_s, 0)).contains(u"访问次数已达上限"_s));
}

QTEST_APPLESS_MAIN(PagesTest)
#include "tst_pages.moc"
