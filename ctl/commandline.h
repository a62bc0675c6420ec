#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QHash>
#include <QString>
#include <QStringList>

struct CommandEntry;

// vortanix-ctl's command line: global options anywhere, the command
// ("status", "config get", ...), its arguments and its own options after it.
// Options are --name VALUE or --name=VALUE; "--" ends them. An argument that
// starts with a minus and a digit ("-5") is an argument, so that its value
// is refused with its range rather than as an unknown option.
class CommandLine
{
public:
    // False, with a message in `error`, when the command line is wrong.
    bool parse(const QStringList &arguments, QString *error);

    // The command ("status", "config get"); empty when none was given.
    QString command() const { return name; }
    const CommandEntry *entry() const { return commandEntry; }
    QStringList arguments() const { return positional; }
    // For "help COMMAND": the command asked about.
    QString helpTopic() const { return topic; }

    bool has(const QString &option) const { return options.contains(option); }
    QString value(const QString &option) const { return options.value(option); }

private:
    bool takeCommandWord(const QString &word, QString *error);
    bool takeOption(const QStringList &arguments, int *index, QString *error);

    QString name;
    const CommandEntry *commandEntry = nullptr;
    QStringList positional;
    QString topic;
    QHash<QString, QString> options;
};

#endif // COMMANDLINE_H
