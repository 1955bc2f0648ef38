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
             notFoundPage(hostile), releasePage(hostile, hostile, true), messagePage(hostile, hostile)}) {
        QVERIFY(!page.contains("<script>"));
        QVERIFY(!page.contains("\"'>"));
        QVERIFY(page.contains("&quot;&#39;&gt;&lt;script&gt;"));
    }
    QVERIFY(previewPage(u"http://s/abc"_s, hostile, "http://e.com/", 7, 0, u"abc.svg"_s).contains("7"));
}

QTEST_APPLESS_MAIN(PagesTest)
#include "tst_pages.moc"
