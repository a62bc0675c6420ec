#ifndef COMMANDS_H
#define COMMANDS_H

#include <QList>
#include <QString>
#include <QStringList>

// An option on the command line: --name, or --name VALUE when it takes a value.
struct OptionEntry
{
    QString name;
    QString valueName; // empty: a flag
    QString shortName; // "-a", or empty
};

// A command of vortanix-ctl: its name ("status", "config get"), the
// arguments it takes and its own options, and its help.
struct CommandEntry
{
    QString name;
    QString arguments; // as the synopsis shows them: "MODULES", "[VALUE]"
    int minArguments = 0;
    int maxArguments = 0;
    QList<OptionEntry> options;
    QString summary; // one line of the program's help
    QString help; // the command's own help, after its usage line
    QString usage = {}; // the usage after "vortanix-ctl [OPTIONS] ", when it is not made from the above
};

// The commands and the global options, with their help texts: one table
// that the parser, --help and the command dispatch share.
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
};

#endif // COMMANDS_H
