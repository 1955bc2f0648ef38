// nolvex-shortd-benchtool hello PORT
//     Serves "hello" at /hello with a plain QHttpServer route: the floor the service is measured against.
// nolvex-shortd-benchtool requests COUNT PREFIX
//     Prints a Lua table of COUNT distinct shortening request targets, signed like the client signs them.

#include "protocol.h"
#include "token.h"

#include <QCoreApplication>
#include <QHttpServer>
#include <QUrl>
#include <cstdio>

namespace
{
int serveHello(quint16 port)
{
    QHttpServer server;
    server.route(QStringLiteral("/hello"), [] { return QStringLiteral("hello"); });
    if (server.listen(QHostAddress::LocalHost, port) == 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", unsigned(port));
        return 1;
    }
    return QCoreApplication::exec();
}

int printRequests(qint64 count, const QString& prefix)
{
    std::fputs("return {\n", stdout);
    for (qint64 i = 0; i < count; ++i) {
        const QString address = prefix + QString::number(i) + QStringLiteral("?q=%E4%B8%AD&n=") + QString::number(i);
        using namespace Nolvex::Protocol;
        const QByteArray target = ShortenPath.toLatin1() + '?' + TypeKey.toLatin1() + '=' + QByteArray::number(i % 6)
            + '&' + UrlKey.toLatin1() + '=' + QUrl::toPercentEncoding(address) + '&' + TokenKey.toLatin1() + '='
            + Nolvex::requestToken(address).toLatin1();
        std::fprintf(stdout, "\"%s\",\n", target.constData());
    }
    std::fputs("}\n", stdout);
    return 0;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args.at(1) == QLatin1StringView("hello")) {
        return serveHello(static_cast<quint16>(args.at(2).toUInt()));
    }
    if (args.size() == 4 && args.at(1) == QLatin1StringView("requests")) {
        return printRequests(args.at(2).toLongLong(), args.at(3));
    }
    std::fputs("usage: nolvex-shortd-benchtool hello PORT | requests COUNT PREFIX\n", stderr);
    return 2;
}
