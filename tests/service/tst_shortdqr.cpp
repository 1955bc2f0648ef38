#include "httpprobe.h"
#include "shortdprocess.h"

#include <QImage>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace
{
// What a real reader makes of an image: zbarimg's text, or an empty one when it finds no code.
QString decoded(const QImage& image)
{
    QTemporaryFile file(QDir::tempPath() + u"/qr-XXXXXX.png"_s);
    if (!file.open() || !image.save(&file, "PNG")) {
        return {};
    }
    file.close();
    QProcess reader;
    reader.start(u"zbarimg"_s, {u"--raw"_s, u"-q"_s, u"-Sdisable"_s, u"-Sqrcode.enable"_s, file.fileName()});
    if (!reader.waitForFinished(30'000)) {
        return {};
    }
    return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
}

// The SVG drawn as pixels, four a module: its paths are unit squares "Mx yh1v1h-1z".
QImage rasterised(const QByteArray& svg)
{
    const QRegularExpressionMatch box
        = QRegularExpression(u"viewBox=\"0 0 (\\d+) (\\d+)\""_s).match(QString::fromUtf8(svg));
    const int side = box.captured(1).toInt();
    QImage image(side * 4, side * 4, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QRegularExpressionMatchIterator squares
        = QRegularExpression(u"M(\\d+) (\\d+)h1v1h-1z"_s).globalMatch(QString::fromUtf8(svg));
    while (squares.hasNext()) {
        const QRegularExpressionMatch square = squares.next();
        const int x = square.captured(1).toInt();
        const int y = square.captured(2).toInt();
        for (int py = 0; py < 4; ++py) {
            for (int px = 0; px < 4; ++px) {
                image.setPixel(x * 4 + px, y * 4 + py, qRgb(0, 0, 0));
            }
        }
    }
    return image;
}
} // namespace

class ShortdQrTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void images_data();
    void images();
    void previewShowsTheCode();

private:
    ShortdProcess m_service {{u"--rate-limit"_s, u"0"_s}};
    QNetworkAccessManager m_manager;
    QString m_shortLink;
    QString m_code;
};

void ShortdQrTest::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(u"zbarimg"_s).isEmpty(), "zbarimg (Debian zbar-tools) is needed");
    QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
    const HttpResult created = fetch(m_manager,
        QUrl::fromEncoded(m_service.origin().toLatin1() + shortenTarget(2, u"https://example.com/二维码?a=1&b=2"_s)));
    m_shortLink = created.json().value(u"info"_s).toString();
    m_code = m_shortLink.section(u'/', -1);
    QVERIFY2(!m_code.isEmpty(), created.body.constData());
}

void ShortdQrTest::cleanupTestCase()
{
    QVERIFY2(m_service.stop(), qPrintable(m_service.errorString()));
}

void ShortdQrTest::images_data()
{
    QTest::addColumn<QString>("target"); // %1 is the code
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("side"); // of a PNG; 0 for none

    QTest::newRow("svg") << u"/%1.svg"_s << 200 << QByteArray("image/svg+xml") << 0;
    QTest::newRow("svg ignores a size") << u"/%1.svg?size=5"_s << 200 << QByteArray("image/svg+xml") << 0;
    QTest::newRow("png default size") << u"/%1.png"_s << 200 << QByteArray("image/png") << 256;
    QTest::newRow("png smallest") << u"/%1.png?size=64"_s << 200 << QByteArray("image/png") << 64;
    QTest::newRow("png odd size") << u"/%1.png?size=333"_s << 200 << QByteArray("image/png") << 333;
    QTest::newRow("png largest") << u"/%1.png?size=1024"_s << 200 << QByteArray("image/png") << 1024;
    QTest::newRow("png other fields") << u"/%1.png?x=1&size=128"_s << 200 << QByteArray("image/png") << 128;
    const QByteArray html = "text/html; charset=utf-8";
    QTest::newRow("size 63") << u"/%1.png?size=63"_s << 400 << html << 0;
    QTest::newRow("size 1025") << u"/%1.png?size=1025"_s << 400 << html << 0;
    QTest::newRow("size 0") << u"/%1.png?size=0"_s << 400 << html << 0;
    QTest::newRow("size empty") << u"/%1.png?size="_s << 400 << html << 0;
    QTest::newRow("size not a number") << u"/%1.png?size=big"_s << 400 << html << 0;
    QTest::newRow("size signed") << u"/%1.png?size=+128"_s << 400 << html << 0;
    QTest::newRow("size fraction") << u"/%1.png?size=128.5"_s << 400 << html << 0;
    QTest::newRow("size huge") << u"/%1.png?size=99999999999999999999"_s << 400 << html << 0;
    QTest::newRow("size repeated") << u"/%1.png?size=128&size=256"_s << 400 << html << 0;
    QTest::newRow("unknown code svg") << u"/zzzzzz.svg"_s << 404 << html << 0;
    QTest::newRow("unknown code png") << u"/zzzzzz.png"_s << 404 << html << 0;
    QTest::newRow("not code-shaped") << u"/a%2Fb.png"_s << 404 << html << 0;
    QTest::newRow("upper-case suffix is a code") << u"/%1.PNG"_s << 404 << html << 0;
    QTest::newRow("preview of an image") << u"/%1.svg+"_s << 404 << html << 0;
}

void ShortdQrTest::images()
{
    QFETCH(QString, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(int, side);

    const QUrl address = QUrl::fromEncoded(m_service.origin().toLatin1() + target.arg(m_code).toLatin1());
    const HttpResult result = fetch(m_manager, address);
    QCOMPARE(result.status, status);
    QCOMPARE(result.header("Content-Type"), contentType);
    QCOMPARE(result.header("X-Content-Type-Options"), QByteArray("nosniff"));
    if (status != 200) {
        return;
    }
    QCOMPARE(result.header("Cache-Control"), QByteArray("no-store"));
    QCOMPARE(fetch(m_manager, address).body, result.body); // drawn again or kept: the same image
    if (side == 0) {
        QVERIFY(result.header("Content-Security-Policy").startsWith("default-src 'none'"));
        QCOMPARE(decoded(rasterised(result.body)), m_shortLink);
        return;
    }
    const QImage image = QImage::fromData(result.body, "PNG");
    QCOMPARE(image.size(), QSize(side, side));
    QCOMPARE(decoded(image), m_shortLink);
}

void ShortdQrTest::previewShowsTheCode()
{
    const HttpResult preview
        = fetch(m_manager, QUrl::fromEncoded(m_service.origin().toLatin1() + '/' + m_code.toLatin1() + '+'));
    QCOMPARE(preview.status, 200);
    QVERIFY(preview.body.contains(QByteArray("<img src=\"" + m_code.toLatin1() + ".svg\"")));
    QVERIFY(preview.header("Content-Security-Policy").contains("img-src 'self'"));
}

QTEST_GUILESS_MAIN(ShortdQrTest)
#include "tst_shortdqr.moc"
