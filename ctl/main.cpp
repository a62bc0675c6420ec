// vortanix-ctl: the VORTANIX light-source controller from the command line,
// for scripts and test stations. `vortanix-ctl --help` tells the commands.

#include "commandline.h"
#include "commands.h"
#include "exitstatus.h"
#include "output.h"

#include <QCoreApplication>

namespace {

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
    if (commandLine.command().isEmpty() && !commandLine.has(QStringLiteral("help"))) {
        out.error(QStringLiteral("a command is missing (vortanix-ctl --help lists the commands)"));
        return ExitUsage;
    }
    // COMMAND --help, or "config --help" (the three config commands).
    if (commandLine.has(QStringLiteral("help")) || !commandLine.entry())
        return Commands::runHelp(commandLine, out);
    Output results(commandLine.has(QStringLiteral("json")));
    return commandLine.entry()->run(commandLine, results);
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
