#include "twips.h"
#include "windowharness.h"

#include <QImage>
#include <QMenuBar>
#include <QScreen>
#include <QSet>

using namespace Nolvex;

// The real window on a real (virtual) X display: it opens, the skin applies, and what the screen
// shows of it is saved and is not blank.
class TestSmoke final : public QObject
{
    Q_OBJECT

private slots:
    void windowOnScreen();
};

void TestSmoke::windowOnScreen()
{
    if (QGuiApplication::platformName() != QLatin1StringView("xcb")) {
        QSKIP("needs an X display");
    }
    // A closed local port: the version check fails at once and the window carries on.
    const QString nowhere = QStringLiteral("http://127.0.0.1:9");
    WindowHarness h(testSettings(nowhere, nowhere));
    Form1& window = *h.window;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(!window.styleSheet().isEmpty(), "the skin beside the executable was not applied");
    // The client area below the menu bar keeps its design size, whatever the skin makes of the menu bar.
    // (564 x 461, status bar at 420, at 96 dpi.)
    const qreal dpi = window.screen()->logicalDotsPerInch();
    const int width = twipsToPixels(8460, dpi);
    const int statusTop = twipsToPixels(6300, dpi);
    const int menuBar = window.menuBar()->height();
    QCOMPARE(window.size(), QSize(width, menuBar + twipsToPixels(6915, dpi)));
    QCOMPARE(window.centralWidget()->geometry(), QRect(0, menuBar, width, statusTop));
    QCOMPARE(
        window.statusBarPanels()->geometry(), QRect(0, menuBar + statusTop, width, twipsToPixels(6915 - 6300, dpi)));
    QVERIFY(h.waitUntilReady()); // the version check ran and ended
    QCOMPARE(h.platform.informed.size(), 1);

    window.repaint(); // painted and on the display before the grab, which asks the display for it
    const QRect frame = window.frameGeometry();
    const QImage shot = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage();
    QVERIFY(!shot.isNull());
    QSet<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 2) {
        for (int x = 0; x < shot.width(); x += 2) {
            colours.insert(shot.pixel(x, y));
        }
    }
    QVERIFY2(colours.size() > 20, qPrintable(QStringLiteral("only %1 colours").arg(colours.size())));
    const QString path = QStringLiteral(NOLVEX_BUILD_DIR "/screenshot.png");
    QVERIFY(shot.save(path));
    qInfo("screenshot: %s (%d colours)", qPrintable(path), static_cast<int>(colours.size()));
}

QTEST_MAIN(TestSmoke)
#include "tst_smoke.moc"
