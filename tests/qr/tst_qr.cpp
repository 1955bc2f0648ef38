#include "qrcode.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <set>
#include <utility>

using namespace Nolvex;

namespace
{

using Module = std::pair<int, int>;

std::set<Module> darkModules(const Qr::Matrix& matrix)
{
    std::set<Module> modules;
    for (int y = 0; y < matrix.width(); ++y) {
        for (int x = 0; x < matrix.width(); ++x) {
            if (matrix.dark(x, y)) {
                modules.insert({x, y});
            }
        }
    }
    return modules;
}

} // namespace

// Each rendering must give back the very modules of the code, and a real decoder must read the text.
class TestQr final : public QObject
{
    Q_OBJECT

private slots:
    void decodesToTheText_data();
    void decodesToTheText();
    void renderingsKeepEveryModule();
    void refusesWhatCannotBeEncoded_data();
    void refusesWhatCannotBeEncoded();
};

void TestQr::decodesToTheText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pixels");
    QTest::newRow("short link") << QStringLiteral("http://127.0.0.1:8420/aB3dE9") << 200;
    QTest::newRow("reserved characters") << QStringLiteral("https://x.example/a?b=1&c=%41+d#frag") << 333;
    QTest::newRow("Chinese") << QStringLiteral("https://例子.测试/路径?q=短网址") << 400;
    QTest::newRow("long address") << QStringLiteral("https://long.example/") + QString(600, u'a') << 800;
}

void TestQr::decodesToTheText()
{
    QFETCH(QString, text);
    QFETCH(int, pixels);
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    QVERIFY2(!zbarimg.isEmpty(), "zbarimg (zbar-tools) is needed");
    const std::optional<Qr::Matrix> matrix = Qr::encode(text);
    QVERIFY(matrix);

    const QImage image = Qr::image(*matrix, pixels);
    QCOMPARE(image.width(), pixels);
    QCOMPARE(image.height(), pixels);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("code.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Qr::png(*matrix, pixels));
    file.close();

    QProcess decoder;
    decoder.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), path});
    QVERIFY(decoder.waitForFinished(30000));
    QCOMPARE(decoder.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(decoder.readAllStandardOutput()).chopped(1), text);
}

void TestQr::renderingsKeepEveryModule()
{
    const std::optional<Qr::Matrix> matrix = Qr::encode(QStringLiteral("https://s.example/Zx81"));
    QVERIFY(matrix);
    const std::set<Module> expected = darkModules(*matrix);
    // Version 2 at level M: 25 modules and the quiet zone on each side.
    QCOMPARE(matrix->width(), 25 + 2 * Qr::Matrix::QuietZone);
    for (int i = 0; i < matrix->width(); ++i) {
        QVERIFY(!matrix->dark(i, Qr::Matrix::QuietZone - 1) && !matrix->dark(Qr::Matrix::QuietZone - 1, i));
    }
    QVERIFY(matrix->dark(Qr::Matrix::QuietZone, Qr::Matrix::QuietZone)); // corner of a finder pattern

    // SVG: one path of unit squares.
    QXmlStreamReader reader(Qr::svg(*matrix));
    std::set<Module> fromSvg;
    QString viewBox;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1StringView("svg")) {
            viewBox = reader.attributes().value(QLatin1StringView("viewBox")).toString();
        }
        if (reader.isStartElement() && reader.name() == QLatin1StringView("path")) {
            const QString d = reader.attributes().value(QLatin1StringView("d")).toString();
            static const QRegularExpression square(QStringLiteral("M(\\d+) (\\d+)h1v1h-1z"));
            for (const QRegularExpressionMatch& match : square.globalMatch(d)) {
                fromSvg.insert({match.captured(1).toInt(), match.captured(2).toInt()});
            }
        }
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QCOMPARE(viewBox, QStringLiteral("0 0 33 33"));
    QVERIFY(fromSvg == expected);

    // Terminal: two module rows a line; the last line's lower half is light.
    const QString plain = Qr::terminal(*matrix, Qr::TerminalColours::Plain);
    const QStringList lines = plain.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), (matrix->width() + 1) / 2);
    std::set<Module> fromTerminal;
    for (int line = 0; line < lines.size(); ++line) {
        QCOMPARE(lines[line].size(), matrix->width());
        for (int x = 0; x < matrix->width(); ++x) {
            const QChar c = lines[line][x];
            if (c == u'█' || c == u'▀') {
                fromTerminal.insert({x, 2 * line});
            }
            if (c == u'█' || c == u'▄') {
                fromTerminal.insert({x, 2 * line + 1});
            }
        }
    }
    QVERIFY(fromTerminal == expected);
    const QString ansi = Qr::terminal(*matrix, Qr::TerminalColours::Ansi);
    QCOMPARE(QString(ansi).remove(QStringLiteral("\x1b[30;107m")).remove(QStringLiteral("\x1b[0m")), plain);
    QVERIFY(ansi.startsWith(QStringLiteral("\x1b[30;107m")) && ansi.endsWith(QStringLiteral("\x1b[0m\n")));

    // PNG below one pixel a module keeps one pixel a module; above, modules are whole pixels.
    QCOMPARE(Qr::image(*matrix, 10).width(), matrix->width());
    const QImage scaled = Qr::image(*matrix, 70); // 2 px a module, 4 px left over
    constexpr int Margin = 2;
    for (const auto& [x, y] : expected) {
        QCOMPARE(scaled.pixelIndex(Margin + 2 * x + 1, Margin + 2 * y + 1), 1);
    }
    QCOMPARE(scaled.pixelIndex(Margin + 2 * 3 + 1, Margin + 2 * 3 + 1), 0);
}

void TestQr::refusesWhatCannotBeEncoded_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("NUL") << QStringLiteral("http://a.example/") + QChar(u'\0') + QStringLiteral("x");
    QTest::newRow("over the largest symbol") << QString(3000, u'字');
}

void TestQr::refusesWhatCannotBeEncoded()
{
    QFETCH(QString, text);
    QVERIFY(!Qr::encode(text));
}

QTEST_GUILESS_MAIN(TestQr)
#include "tst_qr.moc"
