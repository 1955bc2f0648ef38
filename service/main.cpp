#include "config.h"
#include "ops/operatorcommands.h"
#include "shortdservice.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int signalPipe[2] = {-1, -1};

void onTerminate(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT stop the service in order (see ShortdService::stop()), then end the event
// loop normally; a second one ends it at once.
void stopOnTerminate(QCoreApplication& app, Shortd::ShortdService& service)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&service] {
        char bytes[16];
        [[maybe_unused]] const ssize_t drained = ::read(signalPipe[0], bytes, sizeof(bytes));
        service.stop([] { QCoreApplication::quit(); });
    });
    struct sigaction action {
    };
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
} // namespace

int main(int argc, char* argv[])
{
    // Store workers allocate the links the event loop caches and later frees. With glibc's default
    // of an arena per thread, that traffic leaves each arena fragmented and the resident memory
    // creeping up as the cache turns over; two arenas keep it flat at no measurable cost.
    mallopt(M_ARENA_MAX, 2);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nolvex-shortd"));

    if (Shortd::isOperatorCommand(QCoreApplication::arguments())) {
        QFile out;
        QFile err;
        out.open(stdout, QIODevice::WriteOnly);
        err.open(stderr, QIODevice::WriteOnly);
        return Shortd::runOperatorCommand(
            QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment(), out, err);
    }
    const Shortd::ConfigResult parsed
        = Shortd::parseConfig(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment());
    if (parsed.helpRequested) {
        std::fputs(qPrintable(parsed.helpText), stdout);
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "nolvex-shortd: %s\n(--help lists the options)\n", qPrintable(parsed.error));
        return 2;
    }

    Shortd::ShortdService service(parsed.config);
    QString error;
    if (!service.start(&error)) {
        std::fprintf(stderr, "nolvex-shortd: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "nolvex-shortd: serving %s on %s, links in %s\n",
        qPrintable(parsed.config.ownOrigin().toString()), qPrintable(parsed.config.listenAddress.toString()),
        qPrintable(service.databasePath()));
    if (service.metricsPort() != 0) {
        std::fprintf(stderr, "nolvex-shortd: metrics at %s/metrics\n",
            qPrintable(Shortd::listenUrl(parsed.config.metricsAddress, service.metricsPort())));
    }
    stopOnTerminate(app, service);
    return QCoreApplication::exec();
}
