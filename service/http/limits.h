#pragma once

#include <QtGlobal>
#include <chrono>

namespace Shortd
{

// What one client and all clients together may hold of the front end. Each limit is an option.
struct FrontEndLimits {
    // Connections open at once, in total and from one client address; a connection over either is
    // answered 503 with Retry-After and closed.
    int maxConnections = 512;
    int maxConnectionsPerClient = 32;
    // Request line, headers and body together; a longer request is answered 413 and closed.
    qsizetype maxRequestBytes = qsizetype(80) * 1024;
    // More header fields than this is answered 431 and closed.
    int maxHeaderFields = 100;
    // A request whose line and headers have not all arrived this long after its first byte (or after
    // the connection opened) ends the connection.
    std::chrono::milliseconds headerTimeout {10'000};
    // A connection that completes no request for this long is closed; also ends slow bodies.
    std::chrono::milliseconds idleTimeout {30'000};
    // Connections the kernel queues before the service accepts them; beyond it newcomers are reset.
    int listenBacklog = 1024;
    // When the connections are all taken, a newcomer takes the place of the one idle the longest
    // (no request under way) instead of being refused; a connection in the middle of a request
    // keeps its place. For a listener whose few clients must always get through.
    bool replaceIdleWhenFull = false;
};

} // namespace Shortd
