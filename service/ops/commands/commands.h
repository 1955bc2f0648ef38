#pragma once

#include "ops/command.h"

#include <QList>

// The operator commands by group, each group in a file of its own; operatorcommands.cpp lists the
// groups. A new command is one more entry in its group's list.
namespace Shortd
{

QList<OperatorCommand> linkCommands(); // links list, show, set, disable, enable, delete, export
QList<OperatorCommand> importCommands(); // links import
QList<OperatorCommand> statsCommands(); // stats
QList<OperatorCommand> keyCommands(); // keys create, list, revoke
QList<OperatorCommand> blockCommands(); // blocks list, remove
QList<OperatorCommand> reportCommands(); // reports list, dismiss
QList<OperatorCommand> auditCommands(); // audit list, verify

// The operator as the store and its audit log name them: `shell:` and the operating-system user.
QString operatorName();

} // namespace Shortd
