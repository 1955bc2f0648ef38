#pragma once

#include "http/message.h"

#include <QObject>

namespace Shortd
{

class Routes;
class Shortener;

// The redirect of a link this instance has at hand, answered on the thread that read the request:
// a GET or HEAD of a bare code whose cached link simply leads on (active, no visit limit, no end
// passed), counted into that thread's lane of visits. Everything else goes to the routes on the
// thread the lane was made on, and is answered from there as before.
class FastLane
{
public:
    FastLane(Routes& routes, Shortener& shortener, bool classifyVisits);
    FastLane(const FastLane&) = delete;
    FastLane& operator=(const FastLane&) = delete;

    // The handler of the thread'th thread that serves requests; safe to call on that thread while
    // the others call theirs.
    RequestHandler handlerFor(int thread);
    // Answers the request and returns true when it is such a redirect; false, unanswered, otherwise.
    bool answer(const HttpRequest& request, int lane, const Respond& respond);

private:
    Routes& m_routes;
    Shortener& m_shortener;
    bool m_classifyVisits;
    // Requests handed to the routes run on its thread; those still queued when it goes are dropped
    // with it, never run against routes that are gone.
    QObject m_routesThread;
};

} // namespace Shortd
