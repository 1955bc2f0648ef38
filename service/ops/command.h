#pragma once

#include "links/result.h"
#include "store/store.h"
#include "store/storeopening.h"

#include <QCommandLineOption>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <functional>

class QCommandLineParser;
class QIODevice;

namespace Shortd
{

inline constexpr QLatin1StringView OpsProgram("nolvex-shortd");

// Where one command writes: results to out, messages to err, each message naming the command.
class Session
{
public:
    Session(QIODevice& out, QIODevice& err, QString commandName);

    QIODevice& out() { return m_out; }
    void say(const QString& message);
    // Says what went wrong and returns status; bad usage also points at --help.
    int fail(int status, const QString& message);
    // Says the fault's English and returns its exit status: a value the command cannot use is bad
    // usage, anything else (missing, refused, a store that failed) a refusal.
    int fail(const Fault& fault);

private:
    QIODevice& m_out;
    QIODevice& m_err;
    QString m_commandName;
};

struct ServiceConfig;

// A command whose options and argument were checked: the work left to do on the store, with the
// values read bound in; config is the service's configuration the store was found by. When a value
// was refused, run is empty and status is the exit status (the message has been given).
struct CheckedCommand {
    int status = 0;
    std::function<int(Store& store, const ServiceConfig& config)> run;
};

// One operator command, all that help, parsing, checking and running need of it. Every command
// also takes --database and --data-dir, as the service does.
struct OperatorCommand {
    QString name; // "links list", "stats": the group, if any, then the command
    QString argument; // in the usage line: "CODE", "FILE|-"; empty when it takes none
    QString argumentHelp;
    QString description;
    QList<QCommandLineOption> options;
    StoreAccess access = StoreAccess::Read;
    // Reads the options and the argument before the store is touched; the session lives until
    // the run is done.
    std::function<CheckedCommand(const QCommandLineParser& parser, const QString& argument, Session& session)> check;
};

// A refusal, for a command's check: the status session.fail() returned.
CheckedCommand refusedWith(int status);

// A link as a terminal is to print it: no stored text can send it control sequences. Tables do
// this themselves (RecordWriter); this is for text written otherwise.
StoredLink shownOnTerminal(StoredLink link);

} // namespace Shortd
