// nolvex-shortd-benchvisits classify
//     Nanoseconds per classification of the longest user agents a redirect meets, and of short ones.
// nolvex-shortd-benchvisits memory DIR
//     Resident memory of a shortener counting 1,000,000 visits over 100,000 links (each from its own
//     client, through the repeat filter and the referrer tally) into an SQLite file in DIR, and the
//     file's growth per link and day.

#include "links/shortener.h"
#include "links/visitclass.h"
#include "procstatus.h"
#include "store/databaseaddress.h"
#include "store/sqllinkstore.h"
#include "store/storepool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cstdio>

using namespace Shortd;

namespace
{
int classifySpeed()
{
    const QList<QByteArray> agents {
        "Mozilla/5.0 (Linux; Android 13; V2227A Build/TP1A.220624.014; wv) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Version/4.0 Chrome/107.0.5304.141 Mobile Safari/537.36 XWEB/5075 MMWEBSDK/20230405 MMWEBID/2585 "
        "MicroMessenger/8.0.35.2360(0x2800235B) WeChat/arm64 Weixin NetType/WIFI Language/zh_CN ABI/arm64",
        "Mozilla/5.0 (Linux; Android 14; SM-S918B Build/UP1A.231005.007; wv) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Version/4.0 Chrome/120.0.6099.230 Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/445.0.0.34.118;]",
        "Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/120.0.6099.129 Mobile Safari/537.36 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
        "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_11_1) AppleWebKit/601.2.4 (KHTML, like Gecko) Version/9.0.1 "
        "Safari/601.2.4 facebookexternalhit/1.1 Facebot Twitterbot/1.0",
        "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
        "Safari/537.36",
        "curl/8.5.0",
    };
    QElapsedTimer build;
    build.start();
    const VisitClassifier& classifier = builtInClassifier();
    std::printf("built %lld patterns in %.1f ms\n", static_cast<long long>(classifier.patternCount()),
        double(build.nsecsElapsed()) / 1e6);
    constexpr int Rounds = 200'000;
    for (const QByteArray& agent : agents) {
        int kinds = 0;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < Rounds; ++i) {
            kinds += static_cast<int>(classifier.classify(agent));
        }
        const double ns = double(timer.nsecsElapsed()) / Rounds;
        const char* names[] = {"human", "bot", "preview"};
        std::printf("%4lld bytes %-8s %7.0f ns  %.60s\n", static_cast<long long>(agent.size()), names[kinds / Rounds],
            ns, agent.constData());
    }
    return 0;
}

int memory(const QString& dir)
{
    constexpr int Links = 100'000;
    constexpr int Visits = 1'000'000;
    constexpr int PerSecond = 10'000;
    const QString path = QDir(dir).filePath(QStringLiteral("bench.sqlite"));
    {
        SqlLinkStore store(DatabaseAddress::sqliteFile(path));
        if (!store.open() || !store.beginGroup()) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
            return 1;
        }
        for (int i = 0; i < Links; ++i) {
            store.restoreLink({QStringLiteral("c%1").arg(i), 1, QStringLiteral("https://example.com/%1").arg(i), 1, 0});
        }
        store.commitGroup();
    }
    const qint64 fileBefore = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
    StorePool pool([path] { return std::make_unique<SqlLinkStore>(DatabaseAddress::sqliteFile(path)); }, {1, 10'000});
    auto shortener = std::make_unique<Shortener>(
        pool, ShortenerOptions {1000, std::chrono::milliseconds(5000), std::chrono::hours(1), 100'000, 200'000, 0});
    const qint64 before = statusKiB("VmRSS:");
    const QByteArray browser = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                               "Chrome/120.0.0.0 Safari/537.36";
    const qint64 start = 20'000 * SecondsPerDay + 8 * SecondsPerHour;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Visits; ++i) {
        const QString code = QStringLiteral("c%1").arg(i % Links);
        const QString client = QStringLiteral("10.%1.%2.%3").arg((i >> 16) & 255).arg((i >> 8) & 255).arg(i & 255);
        const VisitClass kind = i % 10 == 0 ? VisitClass::Bot : (i % 10 == 1 ? VisitClass::Preview : VisitClass::Human);
        const QByteArray referer = "https://r" + QByteArray::number(i % 20) + ".example/";
        shortener->countVisit(code, {kind, client, browser, referer}, start + i / PerSecond);
        if ((i + 1) % 250'000 == 0) {
            std::printf("after %7d visits: resident %lld KiB\n", i + 1, static_cast<long long>(statusKiB("VmRSS:")));
        }
        if ((i + 1) % PerSecond == 0) {
            // A second's visits: the flush goes to the store as the timer would send it.
            shortener->flushVisits();
            for (int wait = 0; wait < 10'000 && shortener->hasPendingVisits(); ++wait) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                QThread::usleep(100);
            }
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const qint64 after = statusKiB("VmRSS:");
    for (int i = 0; i < 2000 && shortener->hasPendingVisits(); ++i) {
        shortener->flushVisits();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    shortener.reset();
    const qint64 fileAfter = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
    std::printf(
        "resident before %lld KiB, after 1,000,000 visits over 100,000 links %lld KiB (+%lld KiB), peak %lld KiB\n",
        static_cast<long long>(before), static_cast<long long>(after), static_cast<long long>(after - before),
        static_cast<long long>(statusKiB("VmHWM:")));
    std::printf("counted in %.2f s (%.0f visits/s, flushed each 10,000)\n", seconds, Visits / seconds);
    std::printf("SQLite file grew %.1f bytes per link for its day (hours, referrers, totals)\n",
        double(fileAfter - fileBefore) / Links);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == u"classify") {
        return classifySpeed();
    }
    if (arguments.value(1) == u"memory" && arguments.size() == 3) {
        return memory(arguments.at(2));
    }
    std::fputs("usage: nolvex-shortd-benchvisits classify | memory DIR\n", stderr);
    return 2;
}
