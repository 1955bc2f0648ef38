#include "ops/command.h"

#include "displaytext.h"
#include "ops/operatorcommands.h"

#include <QIODevice>
#include <QStringBuilder>

namespace Shortd
{

Session::Session(QIODevice& out, QIODevice& err, QString commandName)
    : m_out(out)
    , m_err(err)
    , m_commandName(std::move(commandName))
{
}

void Session::say(const QString& message)
{
    m_err.write((message + u'\n').toUtf8());
}

int Session::fail(int status, const QString& message)
{
    say(OpsProgram % u' ' % m_commandName % u": " % message);
    if (status == OpsBadUsage) {
        say(QStringLiteral("(--help lists the options)"));
    }
    return status;
}

int Session::fail(const Fault& fault)
{
    return fail(fault.kind == FaultKind::Invalid ? OpsBadUsage : OpsRefused, fault.english);
}

CheckedCommand refusedWith(int status)
{
    return {status, {}};
}

StoredLink shownOnTerminal(StoredLink link)
{
    link.code = forTerminal(link.code);
    link.target = forTerminal(link.target);
    link.reason = forTerminal(link.reason);
    link.title = forTerminal(link.title);
    for (QString& tag : link.tags) {
        tag = forTerminal(tag);
    }
    link.owner = forTerminal(link.owner);
    return link;
}

} // namespace Shortd
