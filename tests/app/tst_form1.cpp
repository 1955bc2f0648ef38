#include "cannedserver.h"
#include "protocol.h"
#include "token.h"
#include "version.h"
#include "windowharness.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QUrlQuery>

using namespace Nolvex;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace
{

const QString SiteOrigin = QStringLiteral("https://www.nolvex.example");

QByteArray upToDate()
{
    return CannedServer::response(200,
        R"({"result":1,"info":{"version":")" + Protocol::CurrentVersion.toLatin1() + R"(","sid":"7","must":"0"}})");
}

bool hasPath(const QByteArray& request, QStringView path)
{
    return CannedServer::target(request).startsWith(path.toLatin1());
}

// The query of a shortening request, split in order, values percent-decoded as UTF-8.
QList<QPair<QString, QString>> queryItems(const QByteArray& request)
{
    const QByteArray target = CannedServer::target(request);
    return QUrlQuery(QString::fromLatin1(target.mid(target.indexOf('?') + 1))).queryItems(QUrl::FullyDecoded);
}

// A local server for both services, started before the window that is pointed at it.
struct LocalServices {
    explicit LocalServices(const QByteArray& versionReply)
    {
        server.start();
        server.setHandler([this, versionReply](const QByteArray& request) {
            return hasPath(request, Protocol::VersionPath) ? versionReply : shortenReply;
        });
    }

    CannedServer server;
    QByteArray shortenReply
        = CannedServer::response(200, R"({"result":1,"info":"https://u.test/Ab3xYz","message":""})");
};

// One window against the local server; the version check is answered "up to date" unless told otherwise.
struct Harness : LocalServices, WindowHarness {
    explicit Harness(const QByteArray& versionReply = upToDate(),
        std::chrono::milliseconds shortenLimit = AmpleTimeLimit,
        std::chrono::milliseconds versionLimit = AmpleTimeLimit)
        : LocalServices(versionReply)
        , WindowHarness(testSettings(server.origin(), server.origin(), shortenLimit, versionLimit))
    {
    }

    int shortenRequests() const
    {
        return static_cast<int>(std::count_if(server.requests().cbegin(), server.requests().cend(),
            [](const QByteArray& request) { return hasPath(request, Protocol::ShortenPath); }));
    }
};

} // namespace

class TestForm1 final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void geometry_data();
    void geometry();
    void captionsFit();
    void initialState();
    void tabOrder();
    void accessibleNames();
    void skin_data();
    void skin();
    void updateCheck_data();
    void updateCheck();
    void updateCheckRunsOnce();
    void exactRequest_data();
    void exactRequest();
    void shortenOutcome_data();
    void shortenOutcome();
    void addressChecks_data();
    void addressChecks();
    void editedWhileWaiting();
    void sameLinkTwice();
    void timeOut();
    void closeWhileWaiting();
    void copy();
    void openLongAddress_data();
    void openLongAddress();
    void clearAndPaste();
    void homePages();
    void closeAsks_data();
    void closeAsks();
};

void TestForm1::initTestCase()
{
    if (!qFuzzyCompare(QGuiApplication::primaryScreen()->logicalDotsPerInch(), 96.0)) {
        QSKIP("the layout figures are for a 96 dpi screen");
    }
}

void TestForm1::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    const QString client = QStringLiteral("client");
    // Twips divided by 15.
    QTest::newRow("Frame1") << u"Frame1"_s << client << QRect(24, 24, 513, 105);
    QTest::newRow("Label3") << u"Label3"_s << u"Frame1"_s << QRect(16, 24, 480, 20);
    QTest::newRow("Text1") << u"Text1"_s << u"Frame1"_s << QRect(16, 56, 481, 28);
    QTest::newRow("Option1(0)") << u"Option1_0"_s << client << QRect(32, 152, 57, 17);
    QTest::newRow("Option1(1)") << u"Option1_1"_s << client << QRect(112, 152, 73, 17);
    QTest::newRow("Option1(2)") << u"Option1_2"_s << client << QRect(208, 152, 65, 17);
    QTest::newRow("Option1(3)") << u"Option1_3"_s << client << QRect(296, 152, 65, 17);
    QTest::newRow("Option1(4)") << u"Option1_4"_s << client << QRect(384, 152, 65, 17);
    QTest::newRow("Option1(5)") << u"Option1_5"_s << client << QRect(472, 152, 65, 17);
    QTest::newRow("Command1") << u"Command1"_s << client << QRect(24, 192, 513, 41);
    QTest::newRow("Frame2") << u"Frame2"_s << client << QRect(24, 248, 513, 145);
    QTest::newRow("Label1") << u"Label1"_s << u"Frame2"_s << QRect(16, 40, 45, 20);
    QTest::newRow("Text2") << u"Text2"_s << u"Frame2"_s << QRect(88, 40, 353, 28);
    QTest::newRow("Command3") << u"Command3"_s << u"Frame2"_s << QRect(448, 40, 49, 30);
    QTest::newRow("Label2") << u"Label2"_s << u"Frame2"_s << QRect(16, 80, 45, 20);
    QTest::newRow("Text3") << u"Text3"_s << u"Frame2"_s << QRect(88, 80, 353, 28);
    QTest::newRow("Command2") << u"Command2"_s << u"Frame2"_s << QRect(448, 80, 49, 30);
}

void TestForm1::geometry()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, rect);
    Harness h;
    const auto* widget = h.find<QWidget>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), rect);
}

void TestForm1::captionsFit()
{
    Harness h;
    // The client area: 564 x 461 with the status bar at the bottom, 41 high, and panels of 96.
    QCOMPARE(h.window->centralWidget()->width(), 564);
    QCOMPARE(h.window->centralWidget()->height() + h.window->statusBarPanels()->height(), 461);
    QCOMPARE(h.window->statusBarPanels()->height(), 41);
    QCOMPARE(h.window->statusBarPanels()->panel(1)->width(), 96);
    QCOMPARE(h.window->statusBarPanels()->panel(3)->width(), 96);
    QCOMPARE(h.window->minimumSize(), h.window->maximumSize());
    QVERIFY(!(h.window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(h.window->windowFlags() & Qt::WindowMinimizeButtonHint));
    // Nothing is clipped at the design sizes: options and buttons keep their padding, a label its ink.
    for (QWidget* widget : h.window->findChildren<QWidget*>()) {
        int needed = 0;
        if (qobject_cast<QRadioButton*>(widget)) {
            needed = widget->sizeHint().width();
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            needed = button->fontMetrics().horizontalAdvance(button->text()) + 8; // the style's bevel and margin
        } else if (auto* label = qobject_cast<QLabel*>(widget);
                   label && label->parentWidget() != h.window->statusBarPanels()) {
            needed = label->fontMetrics().boundingRect(label->text()).width();
        }
        QVERIFY2(needed <= widget->width(),
            qPrintable(widget->objectName() + QStringLiteral(" needs ") + QString::number(needed)));
    }
}

void TestForm1::initialState()
{
    Harness h;
    QCOMPARE(h.window->windowTitle(), QStringLiteral("Nolvex网址缩短工具 V%1").arg(Protocol::CurrentVersion));
    QCOMPARE(h.text("Text1")->text(), QStringLiteral("http://www.nolvex.example/"));
    QVERIFY(h.text("Text2")->text().isEmpty() && h.text("Text2")->isReadOnly());
    QVERIFY(h.text("Text3")->text().isEmpty() && h.text("Text3")->isReadOnly());
    for (int i = 0; i < Form1::OptionCount; ++i) {
        QCOMPARE(h.option(i)->isChecked(), i == 0);
    }
    QVERIFY(!h.button("Command1")->isEnabled());
    QVERIFY(h.button("Command2")->isEnabled() && h.button("Command3")->isEnabled());
    QCOMPARE(h.window->statusBarPanels()->panel(1)->text(), QStringLiteral("运行提示："));
    QCOMPARE(h.status(), QStringLiteral("正在检测最新版本.."));
    QCOMPARE(h.window->statusBarPanels()->panel(3)->text(), StatusBar::clockText(QTime::currentTime()));
    QCOMPARE(StatusBar::clockText(QTime(9, 5, 59)).count(QLatin1Char(':')), 1);
    QVERIFY(StatusBar::clockText(QTime(9, 5, 59)).contains(QStringLiteral("05")));
    QCOMPARE(h.window->statusBarPanels()->panel(3)->toolTip(), QStringLiteral("Nolvex出品"));
    QVERIFY(h.window->updateTimer().isActive());
    QCOMPARE(h.shippedTick, 1000ms);
    QStringList menus;
    for (QAction* action : h.window->menuBar()->actions()) {
        QVERIFY(action->menu() == nullptr && action->isEnabled());
        menus << action->text();
    }
    QCOMPARE(menus,
        QStringList({QStringLiteral("清空信息"), QStringLiteral("工作室官网"), QStringLiteral("Tarvo公司官网"),
            QStringLiteral("退出程序")}));
    QVERIFY(h.waitUntilReady());
    QCOMPARE(h.status(), QStringLiteral("当前软件为最新版本,欢迎使用Nolvex软件.."));
}

void TestForm1::tabOrder()
{
    Harness h;
    QVERIFY(h.waitUntilReady());
    QVERIFY(QTest::qWaitForWindowActive(h.window.get()));
    h.option(3)->setChecked(true);
    h.text("Text1")->setFocus();
    QStringList visited {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited,
        QStringList({u"Text1"_s, u"Command1"_s, u"Text2"_s, u"Text3"_s, u"Command2"_s, u"Command3"_s, u"Option1_3"_s,
            u"Text1"_s}));
    // Arrow keys move the selection within the options.
    h.option(3)->setFocus();
    QTest::keyClick(h.option(3), Qt::Key_Right);
    QVERIFY(h.option(4)->isChecked());
}

void TestForm1::accessibleNames()
{
    Harness h;
    const QList<QPair<const char*, QString>> expected {
        {"Text1", QStringLiteral("请输入要缩短的地址[双击文本粘贴地址]")},
        {"Text2", QStringLiteral("原网址:")},
        {"Text3", QStringLiteral("短网址:")},
        {"Command1", QStringLiteral("生成短网址")},
        {"Command2", QStringLiteral("复制")},
        {"Command3", QStringLiteral("访问")},
    };
    for (const auto& [name, accessibleName] : expected) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(h.find<QWidget>(name));
        QVERIFY(iface != nullptr);
        QCOMPARE(iface->text(QAccessible::Name), accessibleName);
    }
}

void TestForm1::skin_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("applied");
    QTest::newRow("style sheet") << QByteArray("QLineEdit { color: #123456; }") << true;
    QTest::newRow("not utf-8") << QByteArray("QLineEdit { color: red; } \xFF\xFE") << false;
    QTest::newRow("binary") << QByteArray("MZ\0\0\x90", 5) << false;
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("padded menu bar") << QByteArray("QMenuBar::item { padding: 9px 20px; }") << true;
}

void TestForm1::skin()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, applied);
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/skinh.she"));
    auto cleanup = qScopeGuard([&file] { file.remove(); });
    if (!content.isEmpty()) {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
    }
    Harness h;
    QCOMPARE(h.window->styleSheet(), applied ? QString::fromUtf8(content) : QString());
    QVERIFY(h.window->windowIcon().isNull());
    // Whatever the skin makes of the menu bar, the client area below it keeps its size.
    QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
    const int bar = h.window->menuBar()->height();
    QCOMPARE(h.window->size(), QSize(564, bar + 461));
    QCOMPARE(h.window->statusBarPanels()->geometry(), QRect(0, bar + 420, 564, 41));
}

void TestForm1::updateCheck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<bool>>("answers");
    QTest::addColumn<QStringList>("informed");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<bool>("quits");
    QTest::addColumn<QString>("status");

    const QString failed = QStringLiteral("检测失败,请先使用当前版本");
    const QString checking = QStringLiteral("正在检测最新版本..");
    const QString latest = QStringLiteral("当前软件为最新版本,欢迎使用Nolvex软件..");
    const QString welcome = QStringLiteral("欢迎使用Nolvex软件..");
    auto reply = [](const QByteArray& body) { return CannedServer::response(200, body); };
    auto offer = [](const char* version) {
        return QStringLiteral("发现最新版本%1，是否现在更新?").arg(QLatin1StringView(version));
    };

    QTest::newRow("result text 0") << reply(R"({"result":"0","info":{"version":"9","sid":"1","must":"1"}})")
                                   << QList<bool>() << QStringList {failed} << QStringList() << QString() << false
                                   << checking;
    QTest::newRow("result number 0") << reply(R"({"result":0,"info":{"version":"9","sid":"1","must":"1"}})")
                                     << QList<bool>() << QStringList {failed} << QStringList() << QString() << false
                                     << checking;
    QTest::newRow("up to date") << reply(
        R"({"result":1,"info":{"version":")" + Protocol::CurrentVersion.toLatin1() + R"(","sid":"1","must":"1"}})")
                                << QList<bool>() << QStringList() << QStringList() << QString() << false << latest;
    QTest::newRow("2.10, no, optional") << reply(R"({"result":1,"info":{"version":"2.10","sid":"5","must":"0"}})")
                                        << QList<bool> {false} << QStringList() << QStringList {offer("2.10")}
                                        << QString() << false << welcome;
    QTest::newRow("2.0, no, mandatory") << reply(R"({"result":1,"info":{"version":"2.0","sid":"5","must":"1"}})")
                                        << QList<bool> {false} << QStringList() << QStringList {offer("2.0")}
                                        << QString() << true << checking;
    QTest::newRow("3.0, yes") << reply(R"({"result":1,"info":{"version":"3.0","sid":"88","must":"0"}})")
                              << QList<bool> {true} << QStringList() << QStringList {offer("3.0")}
                              << SiteOrigin + Protocol::ReleasePagePrefix + u"88"_s << true << checking;
    QTest::newRow("yes, odd sid stays one segment")
        << reply(R"({"result":1,"info":{"version":"3.0","sid":"../x y","must":"1"}})") << QList<bool> {true}
        << QStringList() << QStringList {offer("3.0")} << SiteOrigin + Protocol::ReleasePagePrefix + u"..%2Fx%20y"_s
        << true << checking;
    QTest::newRow("not json") << CannedServer::response(500, "<html>oops</html>", "text/html") << QList<bool>()
                              << QStringList {failed} << QStringList() << QString() << false << checking;
    QTest::newRow("missing must") << reply(R"({"result":1,"info":{"version":"3.0","sid":"1"}})") << QList<bool>()
                                  << QStringList {failed} << QStringList() << QString() << false << checking;
    QTest::newRow("connection reset") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 80\r\n\r\n{") << QList<bool>()
                                      << QStringList {failed} << QStringList() << QString() << false << checking;
}

void TestForm1::updateCheck()
{
    QFETCH(QByteArray, reply);
    QFETCH(QList<bool>, answers);
    QFETCH(QStringList, informed);
    QFETCH(QStringList, asked);
    QFETCH(QString, opened);
    QFETCH(bool, quits);
    QFETCH(QString, status);

    Harness h(reply);
    h.platform.answers = answers;
    QVERIFY(QTest::qWaitFor([&h] { return h.window->updateTimer().isActive() == false; }, 5000));
    QCOMPARE(h.platform.informed, informed);
    QCOMPARE(h.platform.asked, asked);
    QCOMPARE(h.platform.opened.isEmpty() ? QString() : h.platform.opened.first().toString(QUrl::FullyEncoded), opened);
    QCOMPARE(h.platform.quits, quits ? 1 : 0);
    QCOMPARE(h.status(), status);
    // The client is usable afterwards unless it ended.
    QCOMPARE(h.button("Command1")->isEnabled(), !quits);
    const QByteArray request = h.server.requests().value(0);
    QVERIFY(request.startsWith("POST ") && hasPath(request, Protocol::VersionPath));
    QCOMPARE(CannedServer::body(request), (Protocol::ProductKey % u'=' % Protocol::ProductCode).toLatin1());
    // Ending from the update check never asks for confirmation.
    QVERIFY(!h.platform.asked.contains(QStringLiteral("是否确定退出软件?")));
}

void TestForm1::updateCheckRunsOnce()
{
    // A version service that never answers: ticks keep coming, but one check runs, and when its
    // time limit passes the client tells the user and becomes usable.
    Harness h(upToDate(), AmpleTimeLimit, 1s);
    h.server.setReply({}, CannedServer::Behaviour::Silent);
    QSignalSpy ticks(&h.window->updateTimer(), &QTimer::timeout);
    QTRY_COMPARE(h.server.requests().size(), 1);
    const qsizetype ticksBefore = ticks.size();
    QTRY_VERIFY(ticks.size() >= ticksBefore + 2);
    QVERIFY(h.window->versionCheckPending());
    QCOMPARE(h.server.requests().size(), 1);
    QVERIFY(!h.button("Command1")->isEnabled());
    QVERIFY(h.window->isEnabled()); // not frozen while waiting
    QTRY_VERIFY(h.button("Command1")->isEnabled());
    QCOMPARE(h.platform.informed, QStringList {QStringLiteral("检测失败,请先使用当前版本")});
    QCOMPARE(h.server.requests().size(), 1);
}

void TestForm1::exactRequest_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("option");
    QTest::newRow("plain") << QStringLiteral("http://www.example.com/") << 0;
    QTest::newRow("ampersand") << QStringLiteral("https://e.example/a?x=1&y=2") << 3;
    QTest::newRow("hash") << QStringLiteral("https://e.example/a#part") << 5;
    QTest::newRow("plus") << QStringLiteral("https://e.example/a?q=c++") << 1;
    QTest::newRow("literal %20") << QStringLiteral("https://e.example/a%20b") << 2;
    QTest::newRow("blanks") << QStringLiteral("https://e.example/a b  c ") << 4;
    QTest::newRow("chinese") << QString::fromUtf16(u"https://e.example/\u641C\u7D22?\u8BCD=\u77ED\u7F51\u5740") << 0;
    QTest::newRow("scheme later") << QStringLiteral("see http://e.example/") << 0;
}

void TestForm1::exactRequest()
{
    QFETCH(QString, address);
    QFETCH(int, option);
    Harness h;
    QVERIFY(h.waitUntilReady());
    QVERIFY(h.shorten(address, option));
    QCOMPARE(h.shortenRequests(), 1);
    const QByteArray request = h.server.requests().last();
    QVERIFY(hasPath(request, Protocol::ShortenPath));
    QVERIFY(request.contains("\r\nIf-Modified-Since: 0\r\n"));
    using namespace Protocol;
    const QList<QPair<QString, QString>> expected {{TypeKey.toString(), QString::number(option)},
        {UrlKey.toString(), address}, {TokenKey.toString(), requestToken(address)}};
    QCOMPARE(queryItems(request), expected);
    QCOMPARE(h.window->tt, QString::number(option));
    QCOMPARE(h.text("Text2")->text(), address);
}

void TestForm1::shortenOutcome_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text2");
    QTest::addColumn<QString>("text3");

    const QString address = QStringLiteral("https://e.example/long");
    const QString before2 = QStringLiteral("https://before.example/");
    const QString before3 = QStringLiteral("https://u.test/before");
    const QString unreadable = QStringLiteral("服务器返回的数据无法识别,请稍后重试..");
    const QString noConnection = QStringLiteral("无法连接短网址服务器,请检查网络后重试..");
    auto ok = [](const char* body) { return CannedServer::response(200, QByteArray(body)); };

    QTest::newRow("success, number 1") << ok(R"({"result":1,"info":"https://u.test/n1","message":""})")
                                       << QStringLiteral("短网址生成成功") << address
                                       << QStringLiteral("https://u.test/n1");
    QTest::newRow("success, text 1") << ok(R"({"result":"1","info":"https://u.test/t1"})")
                                     << QStringLiteral("短网址生成成功") << address
                                     << QStringLiteral("https://u.test/t1");
    QTest::newRow("refusal") << ok(R"({"result":0,"info":"","message":"网址不合法"})")
                             << QString::fromUtf16(u"\u7F51\u5740\u4E0D\u5408\u6CD5") << QString() << QString();
    QTest::newRow("success without a link") << ok(R"({"result":1,"info":""})") << unreadable << before2 << before3;
    QTest::newRow("html 500") << CannedServer::response(500, "<html>Internal Server Error</html>", "text/html")
                              << unreadable << before2 << before3;
    QTest::newRow("truncated json") << ok(R"({"result":1,"info":"https://u.te)") << unreadable << before2 << before3;
    QTest::newRow("null info") << ok(R"({"result":1,"info":null})") << unreadable << before2 << before3;
    QTest::newRow("nested info") << ok(R"({"result":1,"info":{"a":"b"}})") << unreadable << before2 << before3;
    QTest::newRow("no result") << ok(R"({"info":"https://u.test/x"})") << unreadable << before2 << before3;
    QTest::newRow("over 64 KiB") << CannedServer::response(200, QByteArray(70000, ' ') + "{}") << unreadable << before2
                                 << before3;
    QTest::newRow("invalid utf-8") << ok("{\"result\":1,\"info\":\"https://u.test/\xC3\x28\"}") << unreadable << before2
                                   << before3;
    QTest::newRow("reset mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 90\r\n\r\n{\"result\":1,\"info")
                                    << noConnection << before2 << before3;
}

void TestForm1::shortenOutcome()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    QFETCH(QString, text2);
    QFETCH(QString, text3);
    Harness h;
    QVERIFY(h.waitUntilReady());
    h.text("Text2")->setText(QStringLiteral("https://before.example/"));
    h.text("Text3")->setText(QStringLiteral("https://u.test/before"));
    h.shortenReply = reply;
    QVERIFY(h.shorten(QStringLiteral("https://e.example/long")));
    QCOMPARE(h.status(), status);
    QCOMPARE(h.text("Text2")->text(), text2);
    QCOMPARE(h.text("Text3")->text(), text3);
    QVERIFY(h.button("Command1")->isEnabled());
}

void TestForm1::addressChecks_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text1");
    const QString scheme = QStringLiteral("网址必须包含http://或https://");
    QTest::newRow("empty") << QString() << QStringLiteral("请输入网址..") << QString();
    QTest::newRow("bare host") << QStringLiteral("www.example.com") << scheme
                               << QStringLiteral("http://www.example.com");
    QTest::newRow("capital scheme") << QStringLiteral("HTTPS://X.EXAMPLE") << scheme
                                    << QStringLiteral("http://HTTPS://X.EXAMPLE");
    QTest::newRow("one blank") << QStringLiteral(" ") << scheme << QStringLiteral("http:// ");
}

void TestForm1::addressChecks()
{
    QFETCH(QString, typed);
    QFETCH(QString, status);
    QFETCH(QString, text1);
    Harness h;
    QVERIFY(h.waitUntilReady());
    h.text("Text1")->setText(typed);
    h.click("Command1");
    QCOMPARE(h.status(), status);
    QCOMPARE(h.text("Text1")->text(), text1);
    QVERIFY(h.button("Command1")->isEnabled());
    QVERIFY(!h.window->requestPending());
    // A second press sends the corrected address (an empty box gets one typed): once its answer is
    // in, the server has seen that request and no earlier one.
    QVERIFY(h.shorten(text1.isEmpty() ? QStringLiteral("https://e.example/typed") : text1));
    QCOMPARE(h.shortenRequests(), 1);
    QCOMPARE(h.text("Text2")->text(), h.text("Text1")->text());
}

void TestForm1::editedWhileWaiting()
{
    Harness h;
    QVERIFY(h.waitUntilReady());
    h.server.setHandler([&h](const QByteArray&) { return h.shortenReply; }, CannedServer::Behaviour::Silent);
    h.text("Text1")->setText(QStringLiteral("https://sent.example/"));
    h.click("Command1");
    QVERIFY(!h.button("Command1")->isEnabled());
    QCOMPARE(h.status(), QStringLiteral("正在生成短网址.."));
    QTRY_COMPARE(h.shortenRequests(), 1);
    // The window answers while the request waits; a second press is impossible.
    h.text("Text1")->setText(QStringLiteral("https://edited.example/"));
    h.click("Command1");
    QCOMPARE(h.shortenRequests(), 1);
    h.menu("qk")->trigger();
    QCOMPARE(h.status(), QStringLiteral("全部信息已被清空.."));
    h.text("Text1")->setText(QStringLiteral("https://edited.example/"));
    h.server.close(); // no effect on the waiting connection; answer it by hand
    const auto sockets = h.server.findChildren<QTcpSocket*>();
    QVERIFY(!sockets.isEmpty());
    sockets.last()->write(h.shortenReply);
    sockets.last()->disconnectFromHost();
    QTRY_VERIFY(!h.window->requestPending());
    QCOMPARE(h.text("Text2")->text(), QStringLiteral("https://edited.example/"));
    QCOMPARE(h.text("Text3")->text(), QStringLiteral("https://u.test/Ab3xYz"));
    QCOMPARE(h.shortenRequests(), 1); // the press while waiting sent nothing
}

void TestForm1::sameLinkTwice()
{
    Harness h;
    QVERIFY(h.waitUntilReady());
    QVERIFY(h.shorten(QStringLiteral("https://e.example/same")));
    QVERIFY(h.button("Command1")->isEnabled());
    QVERIFY(h.shorten(QStringLiteral("https://e.example/same")));
    QCOMPARE(h.shortenRequests(), 2);
    QCOMPARE(h.status(), QStringLiteral("短网址生成成功"));
    QVERIFY(h.button("Command1")->isEnabled());
}

void TestForm1::timeOut()
{
    Harness h(upToDate(), 300ms);
    QVERIFY(h.waitUntilReady());
    h.server.setHandler([](const QByteArray&) { return QByteArray(); }, CannedServer::Behaviour::Silent);
    QVERIFY(h.shorten(QStringLiteral("https://e.example/slow")));
    QCOMPARE(h.status(), QStringLiteral("服务器响应超时,请稍后重试.."));
    QVERIFY(h.text("Text3")->text().isEmpty());
    QVERIFY(h.button("Command1")->isEnabled());
}

void TestForm1::closeWhileWaiting()
{
    Harness h;
    QVERIFY(h.waitUntilReady());
    h.server.setHandler([&h](const QByteArray&) { return h.shortenReply; }, CannedServer::Behaviour::Silent);
    h.text("Text1")->setText(QStringLiteral("https://e.example/x"));
    h.click("Command1");
    QTRY_COMPARE(h.shortenRequests(), 1);
    h.platform.answers = {true};
    QVERIFY(h.window->close());
    QCOMPARE(h.platform.asked, QStringList {QStringLiteral("是否确定退出软件?")});
    QVERIFY(!h.window->requestPending());
    // The request is dropped, not left to answer a window that is gone: its connection closes.
    QTRY_VERIFY(h.server.findChildren<QTcpSocket*>().isEmpty());
    QCOMPARE(h.status(), QStringLiteral("正在生成短网址.."));
    QVERIFY(h.text("Text3")->text().isEmpty());
}

void TestForm1::copy()
{
    Harness h;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("earlier"));
    h.click("Command2");
    QCOMPARE(h.status(), QStringLiteral("请先进行网址缩短.."));
    QCOMPARE(clipboard->text(), QStringLiteral("earlier"));

    auto* mime = new QMimeData;
    mime->setHtml(QStringLiteral("<b>old</b>"));
    mime->setText(QStringLiteral("old"));
    clipboard->setMimeData(mime);
    QVERIFY(h.waitUntilReady());
    QVERIFY(h.shorten(QStringLiteral("https://e.example/copy")));
    h.click("Command2");
    QCOMPARE(h.status(), QStringLiteral("缩短网址已复制.."));
    QCOMPARE(clipboard->text(), QStringLiteral("https://u.test/Ab3xYz"));
    QVERIFY(!clipboard->mimeData()->hasHtml());
}

void TestForm1::openLongAddress_data()
{
    QTest::addColumn<QString>("text2");
    QTest::addColumn<QString>("text3");
    QTest::addColumn<bool>("launchWorks");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("status");
    const QString untouched = QStringLiteral("untouched");
    QTest::newRow("nothing shortened") << QStringLiteral("https://e.example/") << QString() << true << QString()
                                       << QStringLiteral("请先进行网址缩短..");
    QTest::newRow("opens the long address")
        << QStringLiteral("https://e.example/a b") << QStringLiteral("https://u.test/x") << true
        << QStringLiteral("https://e.example/a%20b") << untouched;
    QTest::newRow("not a web address") << QStringLiteral("see http://e.example/") << QStringLiteral("https://u.test/x")
                                       << true << QString()
                                       << QStringLiteral("只能打开http或https网址,该网址无法打开..");
    QTest::newRow("command line is never built")
        << QStringLiteral("http://x\" & calc.exe") << QStringLiteral("https://u.test/x") << true << QString()
        << QStringLiteral("只能打开http或https网址,该网址无法打开..");
    QTest::newRow("launch fails") << QStringLiteral("https://e.example/") << QStringLiteral("https://u.test/x") << false
                                  << QStringLiteral("https://e.example/") << QStringLiteral("无法启动浏览器打开网址..");
}

void TestForm1::openLongAddress()
{
    QFETCH(QString, text2);
    QFETCH(QString, text3);
    QFETCH(bool, launchWorks);
    QFETCH(QString, opened);
    QFETCH(QString, status);
    Harness h;
    QVERIFY(h.waitUntilReady());
    h.platform.launchWorks = launchWorks;
    h.text("Text2")->setText(text2);
    h.text("Text3")->setText(text3);
    h.window->statusBarPanels()->setMessage(QStringLiteral("untouched"));
    h.click("Command3");
    QCOMPARE(h.platform.opened.isEmpty() ? QString() : h.platform.opened.first().toString(QUrl::FullyEncoded), opened);
    QCOMPARE(h.status(), status);
}

void TestForm1::clearAndPaste()
{
    Harness h;
    QVERIFY(h.waitUntilReady());
    QVERIFY(h.shorten(QStringLiteral("https://e.example/clear")));
    h.menu("qk")->trigger();
    QVERIFY(
        h.text("Text1")->text().isEmpty() && h.text("Text2")->text().isEmpty() && h.text("Text3")->text().isEmpty());
    QCOMPARE(h.status(), QStringLiteral("全部信息已被清空.."));
    QVERIFY(h.button("Command1")->isEnabled());

    QGuiApplication::clipboard()->setText(QStringLiteral("https://pasted.example/?a=1"));
    h.text("Text1")->setText(QStringLiteral("something else"));
    QTest::mouseDClick(h.text("Text1"), Qt::LeftButton);
    QCOMPARE(h.text("Text1")->text(), QStringLiteral("https://pasted.example/?a=1"));
    QGuiApplication::clipboard()->clear();
    QTest::mouseDClick(h.text("Text1"), Qt::LeftButton);
    QCOMPARE(h.text("Text1")->text(), QString());

    // Clearing after a refusal leaves the button as the refusal left it.
    h.shortenReply = CannedServer::response(200, R"({"result":0,"message":"no"})");
    QVERIFY(h.shorten(QStringLiteral("https://e.example/no")));
    h.menu("qk")->trigger();
    QVERIFY(h.button("Command1")->isEnabled());
}

void TestForm1::homePages()
{
    Harness h;
    h.menu("office")->trigger();
    h.menu("tarvo")->trigger();
    QCOMPARE(h.platform.opened,
        QList<QUrl>(
            {QUrl(QStringLiteral("http://www.nolvex.example/")), QUrl(QStringLiteral("https://www.tarvo.example/"))}));
    QCOMPARE(h.status(), QStringLiteral("正在检测最新版本.."));
}

void TestForm1::closeAsks_data()
{
    QTest::addColumn<bool>("viaMenu");
    QTest::addColumn<bool>("answer");
    QTest::newRow("close box, no") << false << false;
    QTest::newRow("close box, yes") << false << true;
    QTest::newRow("menu, no") << true << false;
    QTest::newRow("menu, yes") << true << true;
}

void TestForm1::closeAsks()
{
    QFETCH(bool, viaMenu);
    QFETCH(bool, answer);
    Harness h;
    h.text("Text1")->setText(QStringLiteral("https://keep.example/"));
    h.platform.answers = {answer};
    if (viaMenu) {
        h.menu("endd")->trigger();
    } else {
        h.window->close();
    }
    QCOMPARE(h.platform.asked, QStringList {QStringLiteral("是否确定退出软件?")});
    QCOMPARE(h.window->isVisible(), !answer);
    QCOMPARE(h.text("Text1")->text(), QStringLiteral("https://keep.example/"));
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
