#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>
#include <array>

namespace Shortd
{

// What the short links are made from, as the options set it.
struct LinkBaseOptions {
    // Each type's link base; an empty one shows the service's own origin.
    std::array<QUrl, Nolvex::Protocol::LinkTypeCount> linkBases;
    // The service's own origin: the listen address (a loopback one for a wildcard) and port.
    QUrl ownOrigin;
    QHostAddress listenAddress = QHostAddress::LocalHost;
    int port = 0;
    bool tls = false;
    // The addresses that lead back to the service whatever the Host: the link bases, the listen
    // origin and, on a loopback or wildcard listener, its loopback names.
    QList<QUrl> fixedBases;
};

// The short link of a code, and the addresses that lead back to the service, for the Host a client
// asked with. A value: the routes and the API each hold one made from the same options.
class LinkBases
{
public:
    explicit LinkBases(LinkBaseOptions options);

    // The short link of a code as the client is to show it.
    QString shortLink(int type, const QString& code, const QByteArray& host) const;
    // The fixed bases and, when the Host names an origin, that one too.
    QList<QUrl> ownBases(const QByteArray& host) const;
    const QList<QUrl>& fixedBases() const { return m_options.fixedBases; }

private:
    QString scheme() const;
    QUrl originFromHost(const QByteArray& host) const;

    LinkBaseOptions m_options;
    // Each type's link base as text, when it does not hang on the Host header; empty when it does.
    std::array<QString, Nolvex::Protocol::LinkTypeCount> m_baseText;
    // The last Host's origin: clients mostly use one name.
    mutable QByteArray m_lastHost;
    mutable QString m_lastHostBase;
    mutable quint64 m_lastHostGeneration = 0; // of the machine's addresses m_lastHostBase was made with
};

} // namespace Shortd
