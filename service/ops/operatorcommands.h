#pragma once

#include <QProcessEnvironment>
#include <QStringList>

class QIODevice;

namespace Shortd
{

// "nolvex-shortd links ...", "keys ..." and "stats": what an operator does with the stored links and
// the API keys, on the same database as the service (--database, --data-dir, or their environment
// variables), also while it runs: a running service sees a change within its cache's time to live.
bool isOperatorCommand(const QStringList& arguments);

inline constexpr int OpsDone = 0;
inline constexpr int OpsRefused = 1; // not found, refused, or the database failed
inline constexpr int OpsBadUsage = 2;

// Results go to out, messages to err. Returns the exit status.
int runOperatorCommand(
    const QStringList& arguments, const QProcessEnvironment& environment, QIODevice& out, QIODevice& err);

} // namespace Shortd
