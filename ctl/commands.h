#ifndef COMMANDS_H
#define COMMANDS_H

#include <QList>
#include <QString>
#include <QStringList>

class CommandLine;
class Output;

// An option on the command line: --name, or --name VALUE when it takes a value.
struct OptionEntry
{
    QString name;
    QString valueName; // empty: a flag
    QString shortName; // "-a", or empty
};

// A command of vortanix-ctl: its name ("status", "config get"), the
// function that carries it out (it returns the exit status), the arguments
// it takes and its own options, and its help.
struct CommandEntry
{
    using Run = int (*)(const CommandLine &commandLine, Output &out);

    QString name;
    Run run;
    QString arguments; // as the synopsis shows them: "MODULES", "[VALUE]"
    int minArguments = 0;
    int maxArguments = 0;
    QList<OptionEntry> options;
    QString summary; // one line of the program's help
    QString help; // the command's own help, after its usage line
    QString usage = {}; // the usage after "vortanix-ctl [OPTIONS] ", when it is not made from the above
};

// The commands and the global options, with their help texts: one table
// that the parser, --help and the command dispatch share. A new command is
// one row in commands.cpp: its name, its function, its help.
class Commands
{
public:
    static const QList<CommandEntry> &all();
    static const CommandEntry *find(const QString &name);
    static const QList<OptionEntry> &globalOptions();
    // The command that has this option among its own, or null.
    static const CommandEntry *owning(const QString &option);

    static QString programHelp();
    static QString commandHelp(const CommandEntry &command);
    static QString usageLine(const CommandEntry &command);
    // The help a topic asks for: the program's (empty topic), a command's, or
    // the three config commands'; empty when the topic names no command.
    static QString help(const QString &topic);
    // The help command: the text of its topic, or a refusal when there is no such command.
    static int runHelp(const CommandLine &commandLine, Output &out);
};

#endif // COMMANDS_H
