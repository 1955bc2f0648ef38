// Time from process start to the first frame on screen, and resident memory once the start-up work
// is done: the client's window, or (with --floor) a minimal Qt Widgets window as the floor.
#include "form1.h"
#include "platform.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace
{

// Milliseconds since this process was started, from the kernel's record of its start time.
double sinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.value(19).toDouble(); // field 22 of the whole line
    timespec uptime {};
    clock_gettime(CLOCK_BOOTTIME, &uptime);
    const double now = static_cast<double>(uptime.tv_sec) * 1000.0 + static_cast<double>(uptime.tv_nsec) / 1e6;
    return now - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

class SilentPlatform final : public Nolvex::Platform
{
public:
    void inform(QWidget*, const QString&) override { }
    bool askYesNo(QWidget*, const QString&) override { return false; }
    bool openUrl(const QUrl&) override { return true; }
    void quitNow() override { }
};

// Reports the first paint of a window's contents.
class FirstFrame final : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            std::printf("first frame: %.1f ms\n", sinceProcessStart());
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const bool floor = QApplication::arguments().contains(QStringLiteral("--floor"));
    FirstFrame firstFrame;
    SilentPlatform platform;
    std::unique_ptr<QMainWindow> window;
    if (floor) {
        window = std::make_unique<QMainWindow>();
        window->setCentralWidget(new QLabel(QApplication::arguments().contains(QStringLiteral("--cjk"))
                ? QStringLiteral("运行提示：正在检测最新版本..")
                : QStringLiteral("hello"),
            window.get()));
        window->resize(564, 480);
    } else {
        Nolvex::Settings settings;
        // A closed local port: the version check fails at once and the window carries on.
        settings.shortenOrigin = QStringLiteral("http://127.0.0.1:9");
        settings.versionOrigin = QStringLiteral("http://127.0.0.1:9");
        settings.siteOrigin = QStringLiteral("https://www.nolvex.example");
        settings.makerHome = QUrl(QStringLiteral("http://www.nolvex.example/"));
        settings.companyHome = QUrl(QStringLiteral("https://www.tarvo.example/"));
        window = std::make_unique<Nolvex::Form1>(settings, platform);
    }
    window->centralWidget()->installEventFilter(&firstFrame);
    window->show();
    QTimer::singleShot(900, &app, [] { std::printf("resident before the version check: %ld KiB\n", residentKiB()); });
    // The version check fires after one second; measure memory once it has ended.
    QTimer::singleShot(2000, &app, [] {
        std::printf("resident: %ld KiB\n", residentKiB());

        QCoreApplication::exit(0); // quit() would ask the window, and the window asks the user
    });
    return QApplication::exec();
}
