#include "commandline.h"

#include "commands.h"

namespace {

const OptionEntry *findOption(const QList<OptionEntry> &options, const QString &name)
{
    for (const OptionEntry &option : options) {
        if (option.name == name || (!option.shortName.isEmpty() && option.shortName == name))
            return &option;
    }
    return nullptr;
}

bool isOption(const QString &argument)
{
    return argument.size() > 1 && argument.startsWith(QLatin1Char('-')) && !argument.at(1).isDigit();
}

} // namespace

bool CommandLine::parse(const QStringList &arguments, QString *error)
{
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && isOption(argument)) {
            if (!takeOption(arguments, &i, error))
                return false;
        } else if (!takeCommandWord(argument, error)) {
            return false;
        }
    }
    if (name == QLatin1String("config") && !has(QStringLiteral("help"))) {
        *error = QStringLiteral("config needs get, set or factory");
        return false;
    }
    if (commandEntry && !has(QStringLiteral("help")) && name != QLatin1String("help")) {
        if (positional.size() < commandEntry->minArguments || positional.size() > commandEntry->maxArguments) {
            *error = commandEntry->arguments.isEmpty()
                ? QStringLiteral("%1 takes no arguments (got '%2')").arg(name, positional.join(QLatin1Char(' ')))
                : QStringLiteral("usage: %1").arg(Commands::usageLine(*commandEntry));
            return false;
        }
    }
    return true;
}

bool CommandLine::takeCommandWord(const QString &word, QString *error)
{
    if (name.isEmpty()) {
        name = word;
        if (name == QLatin1String("config"))
            return true; // its second word follows
        commandEntry = Commands::find(name);
        if (!commandEntry) {
            *error = QStringLiteral("unknown command '%1' (vortanix-ctl --help lists the commands)").arg(word);
            return false;
        }
        return true;
    }
    if (name == QLatin1String("config")) {
        name += QLatin1Char(' ') + word;
        commandEntry = Commands::find(name);
        if (!commandEntry) {
            *error = QStringLiteral("config needs get, set or factory, not '%1'").arg(word);
            return false;
        }
        return true;
    }
    if (name == QLatin1String("help")) {
        topic = topic.isEmpty() ? word : topic + QLatin1Char(' ') + word;
        return true;
    }
    positional << word;
    return true;
}

bool CommandLine::takeOption(const QStringList &arguments, int *index, QString *error)
{
    QString argument = arguments.at(*index);
    QString inlineValue;
    bool hasInlineValue = false;
    const int equals = argument.indexOf(QLatin1Char('='));
    if (argument.startsWith(QLatin1String("--")) && equals > 0) {
        inlineValue = argument.mid(equals + 1);
        hasInlineValue = true;
        argument.truncate(equals);
    }
    const QString key = argument.startsWith(QLatin1String("--")) ? argument.mid(2) : argument;

    const OptionEntry *entry = findOption(Commands::globalOptions(), key);
    if (!entry && commandEntry)
        entry = findOption(commandEntry->options, key);
    if (!entry) {
        const CommandEntry *owner = Commands::owning(key);
        if (owner && !commandEntry)
            *error = QStringLiteral("%1 is an option of %2: put it after the command").arg(argument, owner->name);
        else if (owner)
            *error = QStringLiteral("%1 is an option of %2, not of %3").arg(argument, owner->name, name);
        else
            *error = QStringLiteral("unknown option %1 (vortanix-ctl --help lists the options)").arg(argument);
        return false;
    }

    QString value;
    if (entry->valueName.isEmpty()) {
        if (hasInlineValue) {
            *error = QStringLiteral("--%1 takes no value").arg(entry->name);
            return false;
        }
    } else if (hasInlineValue) {
        value = inlineValue;
    } else if (*index + 1 < arguments.size() && !isOption(arguments.at(*index + 1))) {
        value = arguments.at(++*index);
    } else if (*index + 1 < arguments.size()) {
        // "--port --json": the port was left out, --json is not a port.
        *error = QStringLiteral("--%1 needs a value: --%1 %2 (%3 is an option, not a value; a value that starts "
                                "with a dash is written --%1=VALUE)")
                     .arg(entry->name, entry->valueName, arguments.at(*index + 1));
        return false;
    } else {
        *error = QStringLiteral("--%1 needs a value: --%1 %2").arg(entry->name, entry->valueName);
        return false;
    }
    if (options.contains(entry->name)) {
        *error = QStringLiteral("--%1 is given twice").arg(entry->name);
        return false;
    }
    options.insert(entry->name, value);
    return true;
}
