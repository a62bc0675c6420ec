// vortanix-ctl: the VORTANIX light-source controller from the command line,
// for scripts and test stations. `vortanix-ctl --help` tells the commands.

#include "commandline.h"
#include "commands.h"
#include "configcommands.h"
#include "devicemodel.h"
#include "exitstatus.h"
#include "output.h"
#include "portscommand.h"
#include "scancommand.h"
#include "settingcommands.h"
#include "statuscommand.h"

#include <QCoreApplication>
#include <QHash>

#include <functional>

namespace {

using Run = std::function<int(const CommandLine &, Output &)>;

const QHash<QString, Run> &runners()
{
    static const QHash<QString, Run> table{
        {QStringLiteral("ports"), PortsCommand::run},
        {QStringLiteral("scan"), ScanCommand::run},
        {QStringLiteral("status"), StatusCommand::run},
        {QStringLiteral("address"), SettingCommands::address},
        {QStringLiteral("config get"), ConfigCommands::get},
        {QStringLiteral("config set"), ConfigCommands::set},
        {QStringLiteral("config factory"), ConfigCommands::factory},
    };
    return table;
}

// The help a command line asks for: the program's, a command's, or the
// three config commands'. Empty when the topic names no command.
QString helpFor(const QString &topic)
{
    if (topic.isEmpty())
        return Commands::programHelp();
    if (const CommandEntry *entry = Commands::find(topic))
        return Commands::commandHelp(*entry);
    if (topic == QLatin1String("config")) {
        QString text;
        for (const char *name : {"config get", "config set", "config factory"})
            text += Commands::commandHelp(*Commands::find(QString::fromLatin1(name))) + QLatin1Char('\n');
        return text;
    }
    return QString();
}

int runCommandLine(const QStringList &arguments)
{
    CommandLine commandLine;
    Output out(false);
    QString error;
    if (!commandLine.parse(arguments, &error)) {
        out.error(error);
        return ExitUsage;
    }
    if (commandLine.has(QStringLiteral("version"))) {
        out.line(QStringLiteral("vortanix-ctl " VORTANIX_VERSION));
        return ExitOk;
    }
    const bool helpCommand = commandLine.command() == QLatin1String("help");
    if (commandLine.has(QStringLiteral("help")) || helpCommand || commandLine.command().isEmpty()) {
        const QString topic = helpCommand ? commandLine.helpTopic() : commandLine.command();
        const QString text = helpFor(topic);
        if (text.isEmpty()) {
            out.error(QStringLiteral("no command '%1' (vortanix-ctl --help lists the commands)").arg(topic));
            return ExitUsage;
        }
        if (commandLine.command().isEmpty() && !commandLine.has(QStringLiteral("help"))) {
            out.error(QStringLiteral("a command is missing (vortanix-ctl --help lists the commands)"));
            return ExitUsage;
        }
        out.line(text.trimmed());
        return ExitOk;
    }

    Output results(commandLine.has(QStringLiteral("json")));
    if (const SettingRow *row = DeviceModel::setting(commandLine.command()))
        return SettingCommands::run(*row, commandLine, results);
    return runners().value(commandLine.command())(commandLine, results);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // Output that could not be written fails the run, whatever the command.
    return Output::finish(runCommandLine(arguments));
}
