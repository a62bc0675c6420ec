#include "commands.h"

#include "commandline.h"
#include "configblock.h"
#include "configcommands.h"
#include "configfile.h"
#include "devicemodel.h"
#include "exitstatus.h"
#include "linefacts.h"
#include "outcome.h"
#include "output.h"
#include "portscommand.h"
#include "reconnectbackoff.h"
#include "registers.h"
#include "rs485.h"
#include "scancommand.h"
#include "session.h"
#include "settingcommands.h"
#include "statuscommand.h"
#include "statusjson.h"
#include "valuetext.h"

namespace {

// Help text; {ADDRESSES}, {UNITS}, {BAUDS}, {BAUD} (the default) and {BAUDLIST} stand for the line's
// facts, {EXITSTATUS} and {EXIT:Name} for the exit statuses, {GATEWAYEXITS} for what a gateway's answers
// mean, {WAITS} and {...MAX} for the waits and limits of the options, and {DAC}, {ALARM}, {HOURS},
// {MASK} and {FACTORY...} for the configuration block's limits and factory values, so that the help
// says what the program does.
QString lines(std::initializer_list<const char *> text)
{
    QStringList out;
    for (const char *line : text)
        out << QString::fromUtf8(line);
    QStringList bauds;
    for (int rate : LineFacts::bauds())
        bauds << QString::number(rate);
    const Controller::Waits waits;
    const auto exit = [](Outcome::Kind kind, bool write) {
        return QString::number(write ? Outcome::row(kind).writeExit : Outcome::row(kind).readExit);
    };
    QString joined = out.join(QLatin1Char('\n'));
    for (const ExitStatusTable::Row &row : ExitStatusTable::rows())
        joined.replace(QStringLiteral("{EXIT:%1}").arg(QLatin1String(row.name)), QString::number(int(row.status)));
    return joined.replace(QStringLiteral("{ADDRESSES}"), LineFacts::addressRangeText())
        .replace(
            QStringLiteral("{UNITS}"), QStringLiteral("%1..%2").arg(LineFacts::UnitIdMin).arg(LineFacts::UnitIdMax))
        .replace(QStringLiteral("{BAUDS}"), LineFacts::baudsText())
        .replace(QStringLiteral("{BAUD}"), bauds.first())
        .replace(QStringLiteral("{BAUDLIST}"), bauds.join(QLatin1Char(',')))
        .replace(QStringLiteral("{EXITSTATUS}"), ExitStatusTable::help(ExitStatusTable::Ctl))
        .replace(QStringLiteral("{CONFIGNAME}"), ConfigFile::defaultName())
        .replace(QStringLiteral("{DAC}"), QStringLiteral("%1..%2").arg(MaxPowerDacMin).arg(MaxPowerDacMax))
        .replace(QStringLiteral("{ALARM}"), QString::number(ConfigBlock::AlarmTenthsMax))
        .replace(QStringLiteral("{HOURS}"), QString::number(ConfigBlock::HoursMax))
        .replace(QStringLiteral("{FACTORYDAC}"), QString::number(FactoryLdMaxDac))
        .replace(QStringLiteral("{FACTORYHOURS}"), QString::number(FactoryCompensationHours))
        .replace(QStringLiteral("{FACTORYALARM}"), QString::number(FactoryAlarmTenths / 10.0, 'f', 1))
        .replace(QStringLiteral("{MASK}"), QStringLiteral("0..%1").arg(AllModulesMask))
        .replace(QStringLiteral("{READWAIT}"), QString::number(waits.readMs))
        .replace(QStringLiteral("{WAITS}"),
            QStringLiteral("%1 for reads,\n                       %2 for a write, %3 for the configuration block")
                .arg(waits.readMs)
                .arg(waits.writeAckMs)
                .arg(waits.blockAckMs))
        .replace(QStringLiteral("{TIMEOUTMAX}"), QString::number(Session::TimeoutMaxMs))
        .replace(QStringLiteral("{INTERVALMAX}"), QString::number(StatusCommand::IntervalMaxMs))
        .replace(QStringLiteral("{INTERVAL}"), QString::number(StatusCommand::DefaultIntervalMs))
        .replace(QStringLiteral("{COUNTMAX}"), QString::number(StatusCommand::CountMax))
        .replace(QStringLiteral("{RTSDELAYMAX}"), QString::number(Rs485::MaxDelayUs))
        .replace(QStringLiteral("{BACKOFF}"),
            QStringLiteral("%1 s doubling to %2 s")
                .arg(ReconnectBackoff::FirstMs / 1000)
                .arg(ReconnectBackoff::LongestMs / 1000))
        .replace(QStringLiteral("{GATEWAYEXITS}"),
            QStringLiteral(
                "exception 0B (the controller does not answer) is\n%1, or %2 for a write; 0A (the line "
                "unavailable) and a lost connection are %3;\n01, 02, 03, 04 and the controller's own are "
                "%4; no connection is %5.\nA reply to another request (transaction, unit id) is %6, or %7 for "
                "a write.")
                .arg(exit(Outcome::Timeout, false), exit(Outcome::Timeout, true), exit(Outcome::PortLost, false),
                    exit(Outcome::Exception, false))
                .arg(int(ExitPort))
                .arg(exit(Outcome::MismatchedReply, false), exit(Outcome::MismatchedReply, true)));
}

// `head` and the words of `text` after it, wrapped into lines of at most 79
// characters; each line after the first is indented to `indent`. A number
// and its unit stay on one line.
QString wrapped(const QString &head, const QString &text, int indent = 0)
{
    const QChar glue(0x00A0);
    QString glued = text;
    for (int i = 1; i + 1 < glued.size(); ++i) {
        if (glued.at(i) == QLatin1Char(' ') && glued.at(i - 1).isDigit()
            && (glued.mid(i + 1).startsWith(QStringLiteral("‰")) || glued.mid(i + 1).startsWith(QLatin1String("mV"))))
            glued[i] = glue;
    }
    QStringList out{head};
    bool lineHasWord = false;
    for (const QString &word : glued.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (lineHasWord && out.last().size() + 1 + word.size() > 79) {
            out << QString(indent, QLatin1Char(' '));
            lineHasWord = false;
        }
        if (lineHasWord)
            out.last() += QLatin1Char(' ');
        out.last() += word;
        lineHasWord = true;
    }
    return out.join(QLatin1Char('\n')).replace(glue, QLatin1Char(' '));
}

// A setting command, its help made from the device model's row and from the
// rows that are its options.
CommandEntry settingEntry(const SettingRow &row)
{
    CommandEntry entry{};
    entry.name = row.name;
    entry.run = SettingCommands::runNamed;
    entry.arguments = row.readable ? QStringLiteral("[%1]").arg(row.argument) : row.argument;
    entry.maxArguments = 1;
    entry.minArguments = row.readable ? 0 : 1;
    entry.summary = row.summary;
    if (row.kind == SettingRow::Number)
        entry.summary += QStringLiteral(", %1..%2%3")
                             .arg(row.low)
                             .arg(row.high)
                             .arg(row.unit.isEmpty() ? QString() : QLatin1Char(' ') + row.unit);
    QStringList help{wrapped(QString(), row.summary.left(1).toUpper() + row.summary.mid(1) + QLatin1Char('.'))};
    if (row.kind == SettingRow::OnOff)
        help << wrapped(QString(),
            QStringLiteral("on: %1 %2; off: %1 %3. The words: %4.")
                .arg(row.label, row.onText, row.offText, ValueText::onOffWords()));
    else
        help << wrapped(QString(), QStringLiteral("%1: %2.").arg(row.argument, DeviceModel::valuesText(row)));
    if (row.kind == SettingRow::Modules)
        help << QStringLiteral("The modules left out are %1.").arg(row.othersText);
    if (row.readable)
        help << QStringLiteral("Without %1, reads the setting.").arg(row.argument);
    QString json = QStringLiteral("JSON: ") + row.jsonKey;
    QStringList usage{row.name + QLatin1Char(' ') + row.argument};
    for (const SettingRow *optionRow : DeviceModel::ctlOptions(row)) {
        const SettingRow &option = *optionRow;
        entry.minArguments = 0;
        entry.options << OptionEntry{option.ctlOption, option.argument, QString()};
        entry.summary += QStringLiteral(" (or --%1 %2)").arg(option.ctlOption, option.argument);
        const QString head = QStringLiteral("  --%1 %2").arg(option.ctlOption, option.argument).leftJustified(20);
        help << QString()
             << wrapped(head,
                    QStringLiteral("%1; %2: %3.").arg(option.summary, option.argument, DeviceModel::valuesText(option)),
                    20);
        json += QStringLiteral(" (and %1 when --%2 is given)").arg(option.jsonKey, option.ctlOption);
        usage << QStringLiteral("%1 --%2 %3").arg(row.name, option.ctlOption, option.argument);
    }
    if (usage.size() > 1)
        entry.usage = usage.join(QStringLiteral("\n   or: vortanix-ctl [OPTIONS] "));
    help << QString() << json + QLatin1Char('.');
    entry.help = help.join(QLatin1Char('\n'));
    return entry;
}

QList<CommandEntry> makeCommands()
{
    QList<CommandEntry> commands;
    commands << CommandEntry{QStringLiteral("ports"), PortsCommand::run, QString(), 0, 0, {},
        QStringLiteral("the serial ports, and whether this user can open each"),
        lines({
            "Lists the serial ports: the path, the /dev/serial/by-id name where there is",
            "one, the description, and whether this user can open the port (and why not).",
            "Pseudo-terminals are never listed; give them with --port.",
            "",
            "JSON: one object a port: path, by_id, description, usable, problem.",
        })};
    commands << CommandEntry{QStringLiteral("scan"), ScanCommand::run, QString(), 0, 0,
        {{QStringLiteral("bauds"), QStringLiteral("LIST"), QString()},
            {QStringLiteral("addresses"), QStringLiteral("LIST"), QString()}},
        QStringLiteral("find controllers: address, baud rate, firmware"),
        lines({
            "Asks every address at every baud rate for the status and prints the address,",
            "baud rate and firmware of each controller that answers. Each address gets the",
            "request's wire time plus --timeout (default {READWAIT} ms) to answer.",
            "",
            "  --bauds LIST       baud rates, e.g. 115200,9600 (default: --baud when given,",
            "                     otherwise all of them: {BAUDLIST})",
            "  --addresses LIST   addresses {ADDRESSES}, e.g. 1-20 or 3,200-210 (default:",
            "                     --address when given, otherwise all of them)",
            "",
            "Progress goes to standard error when that is a terminal. Ctrl-C ends the scan",
            "with what was found so far.",
            "Through --tcp one pass asks the gateway, at the rate its line runs at: no",
            "--bauds, no --unit (each address is asked as its unit id), and no baud rate",
            "is printed (null in JSON). Through a device server (--port tcp://HOST:PORT)",
            "one pass asks at the rate set on it: no --bauds, no baud rate printed.",
            "JSON: one object a controller: address, baud, firmware.",
            "Exit status {EXIT:Ok} when a controller answered, {EXIT:NoReply} when none did.",
        })};
    commands << CommandEntry{QStringLiteral("status"), StatusCommand::run, QString(), 0, 0,
        {{QStringLiteral("interval"), QStringLiteral("MS"), QString()},
            {QStringLiteral("count"), QStringLiteral("N"), QString()},
            {QStringLiteral("csv"), QStringLiteral("FILE"), QString()}},
        QStringLiteral("read the status once, or repeatedly"),
        lines({
            "Reads the status: temperature, power, supply voltage, running time, firmware,",
            "analog input, the modules switched on and the modules enabled.",
            "",
            "  --interval MS   read every MS ms (0..{INTERVALMAX}) until Ctrl-C or SIGTERM, or",
            "                  until --count readings",
            "  --count N       read N times (1..{COUNTMAX}), every {INTERVAL} ms unless --interval",
            "                  says otherwise",
            "  --csv FILE      append every reading to FILE as a CSV row, a failed reading",
            "                  as a row with its error; a new file starts with a header",
            "",
            "Repeated readings: SIGINT (Ctrl-C) and SIGTERM end the run between two",
            "readings, with the CSV file whole. A failed reading does not end the run;",
            "while the adapter is pulled every reading fails with \"port lost\", and the",
            "port is opened again before each following reading. A device server's",
            "connection is made again at once, then after pauses of {BACKOFF}.",
            "",
        })
            + wrapped(QString(),
                QStringLiteral("JSON keys: %1; temperature_c is null while the sensor is open or shorted "
                               "(sensor: ok, open or short). A failed reading: time, address (the one asked), error.")
                    .arg(StatusJson::keys().join(QStringLiteral(", "))))
            + QLatin1Char('\n')
            + lines({
                "Exit status: {EXIT:Ok} when every reading succeeded, otherwise that of the last",
                "failed reading.",
            })};
    for (const SettingRow &row : DeviceModel::settings()) {
        if (row.ctlOption.isEmpty())
            commands << settingEntry(row);
    }
    commands << CommandEntry{QStringLiteral("address"), SettingCommands::address, QStringLiteral("NEW"), 1, 1, {},
        QStringLiteral("give the controller a new address (a broadcast)"),
        lines({
            "Gives the controller the address NEW ({ADDRESSES}): NEW is broadcast twice, then",
            "the command word 1, as the panel does; then the status is read at NEW to",
            "confirm it (up to three tries).",
            "",
            "WARNING: a broadcast reaches every controller on the line, and every one of",
            "them takes the new address. Connect only the controller to be changed.",
            "Modbus masters of other makes often reach only {UNITS}; through a Modbus TCP",
            "gateway (unit ids {UNITS}) a higher address needs a unit id mapped to it.",
            "",
            "JSON: address. Exit status {EXIT:NotAcknowledged} when no controller answers at NEW.",
        })};
    commands << CommandEntry{QStringLiteral("config get"), ConfigCommands::get, QString(), 0, 0,
        {{QStringLiteral("ini"), QStringLiteral("FILE"), QString()},
            {QStringLiteral("name"), QStringLiteral("TEXT"), QString()}},
        QStringLiteral("read the configuration (--ini FILE: for the panel)"),
        lines({
            "Reads the configuration block: enabled modules, low-power modules, maximum",
            "DAC, compensation time and alarm temperature.",
            "",
            "  --ini FILE    also write it to FILE as the panel exports it (the panel",
            "                imports the file; config set writes it back)",
            "  --name TEXT   the configuration's name in the file (default {CONFIGNAME},",
            "                the panel's)",
            "",
            "The file holds the compensation time in whole hours.",
            "JSON: modules_enabled, modules_low_power, max_dac, compensation_seconds,",
            "compensation_hours, alarm_c; and ini when a file was written.",
        })};
    commands << CommandEntry{QStringLiteral("config set"), ConfigCommands::set, QStringLiteral("--ini FILE"), 0, 0,
        {{QStringLiteral("ini"), QStringLiteral("FILE"), QString()}},
        QStringLiteral("write the configuration from an INI file"),
        lines({
            "Writes the configuration block from an INI file as the panel exports it.",
            "Every value is checked first, and nothing is sent when one is wrong:",
            "  ConfigLdMask, ConfigLdLowPowerMask   {MASK} (a bit for each module)",
            "  ConfigLdMaxDac                       {DAC}",
            "  ConfigLdAlarmTemperature             0..{ALARM} (0.1 °C)",
            "  ConfigLdCompensationHours            0..{HOURS} (hours)",
            "ConfigName is shown, not sent.",
            "",
            "  --ini FILE   the file to write from",
            "",
            "JSON: as config get.",
        })};
    commands << CommandEntry{QStringLiteral("config factory"), ConfigCommands::factory, QString(), 0, 0, {},
        QStringLiteral("restore the factory configuration"),
        lines({
            "Writes the factory configuration block: all twelve modules enabled and",
            "low-power, maximum DAC {FACTORYDAC}, compensation time {FACTORYHOURS} h, alarm {FACTORYALARM} °C.",
            "",
            "JSON: as config get.",
        })};
    commands << CommandEntry{QStringLiteral("help"), Commands::runHelp, QStringLiteral("[COMMAND]"), 0, 2, {},
        QStringLiteral("this text, or a command's"), QString()};
    return commands;
}

} // namespace

const QList<CommandEntry> &Commands::all()
{
    static const QList<CommandEntry> commands = makeCommands();
    return commands;
}

const CommandEntry *Commands::find(const QString &name)
{
    for (const CommandEntry &command : all()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

const QList<OptionEntry> &Commands::globalOptions()
{
    static const QList<OptionEntry> options{
        {QStringLiteral("port"), QStringLiteral("PATH"), QString()},
        {QStringLiteral("baud"), QStringLiteral("B"), QStringLiteral("-b")},
        {QStringLiteral("address"), QStringLiteral("N"), QStringLiteral("-a")},
        {QStringLiteral("timeout"), QStringLiteral("MS"), QString()},
        {QStringLiteral("tcp"), QStringLiteral("HOST[:PORT]"), QString()},
        {QStringLiteral("unit"), QStringLiteral("N"), QString()},
        {QStringLiteral("json"), QString(), QString()},
        {QStringLiteral("trace"), QString(), QString()},
        {QStringLiteral("echo"), QString(), QString()},
        {QStringLiteral("verify"), QString(), QString()},
        {QStringLiteral("rs485"), QStringLiteral("MODE"), QString()},
        {QStringLiteral("rts-delay"), QStringLiteral("US"), QString()},
        {QStringLiteral("help"), QString(), QStringLiteral("-h")},
        {QStringLiteral("version"), QString(), QString()},
    };
    return options;
}

const CommandEntry *Commands::owning(const QString &option)
{
    for (const CommandEntry &command : all()) {
        for (const OptionEntry &entry : command.options) {
            if (entry.name == option)
                return &command;
        }
    }
    return nullptr;
}

QString Commands::usageLine(const CommandEntry &command)
{
    if (!command.usage.isEmpty())
        return QStringLiteral("vortanix-ctl [OPTIONS] ") + command.usage;
    QString line = QStringLiteral("vortanix-ctl [OPTIONS] ") + command.name;
    for (const OptionEntry &option : command.options) {
        if (command.arguments.contains(QStringLiteral("--") + option.name))
            continue;
        line += QStringLiteral(" [--%1 %2]").arg(option.name, option.valueName);
    }
    if (!command.arguments.isEmpty())
        line += QLatin1Char(' ') + command.arguments;
    return line;
}

QString Commands::commandHelp(const CommandEntry &command)
{
    return QStringLiteral("Usage: ") + usageLine(command) + QStringLiteral("\n\n") + command.help
        + QStringLiteral("\n\nThe global options (--port, --baud, ...): vortanix-ctl --help\n");
}

QString Commands::help(const QString &topic)
{
    if (topic.isEmpty())
        return programHelp();
    if (const CommandEntry *entry = find(topic))
        return commandHelp(*entry);
    if (topic == QLatin1String("config")) {
        QString text;
        for (const char *name : {"config get", "config set", "config factory"})
            text += commandHelp(*find(QString::fromLatin1(name))) + QLatin1Char('\n');
        return text;
    }
    return QString();
}

int Commands::runHelp(const CommandLine &commandLine, Output &out)
{
    const QString topic
        = commandLine.command() == QLatin1String("help") ? commandLine.helpTopic() : commandLine.command();
    const QString text = help(topic);
    if (text.isEmpty()) {
        out.error(QStringLiteral("no command '%1' (vortanix-ctl --help lists the commands)").arg(topic));
        return ExitUsage;
    }
    out.line(text.trimmed());
    return ExitOk;
}

QString Commands::programHelp()
{
    QString text = lines({
        "Usage: vortanix-ctl [OPTIONS] COMMAND [ARGUMENTS]",
        "",
        "Speaks to VORTANIX light-source controllers on an RS-485 line (Modbus RTU):",
        "reads the status, sets power and modules, backs up and restores the",
        "configuration, finds the controllers on a line.",
        "",
        "Commands:",
    });
    text += QLatin1Char('\n');
    for (const CommandEntry &command : all()) {
        const QString head
            = command.name + (command.arguments.isEmpty() ? QString() : QLatin1Char(' ') + command.arguments);
        if (head.size() > 22)
            text += QStringLiteral("  %1\n%2%3\n").arg(head, QString(25, QLatin1Char(' ')), command.summary);
        else
            text += QStringLiteral("  %1%2\n").arg(head.leftJustified(23), command.summary);
    }
    text += lines({
        "",
        "Options (before or after the command):",
        "  --port PATH          the serial port, e.g. /dev/serial/by-id/usb-...; without",
        "                       it, the only serial port there is. tcp://HOST:PORT: a",
        "                       serial device server in TCP server mode (raw bytes);",
        "                       its serial rate is set on it, --baud times the waits",
        "                       and the frame gap (no --rs485, --rts-delay or --bauds)",
        "  --baud B, -b B       {BAUDS} (default {BAUD})",
        "  --address N, -a N    the controller's address, {ADDRESSES} (default 1)",
        "  --timeout MS         how long a reply may keep the line quiet, 1..{TIMEOUTMAX} ms, on",
        "                       top of the request's wire time (default: {WAITS})",
        "  --tcp HOST[:PORT]    through a Modbus TCP gateway instead of a serial port,",
        "                       e.g. the bridge's: --tcp 127.0.0.1:1502 (port 502 when",
        "                       none is given); not for the address command, nor",
        "                       with --baud, --echo, --rs485, --rts-delay",
        "  --unit N             the controller's unit id at the gateway, {UNITS}",
        "                       (default: its address)",
        "  --json               print results as JSON, one object a line",
        "  --trace              print every request and reply in hex on standard error",
        "  --echo               the adapter hands each request back (2-wire, no echo",
        "                       cancellation): check and drop it before the reply",
        "  --verify             read each write back once it is acknowledged (one more",
        "                       exchange): another value found is exit {EXIT:NotAcknowledged}, not applied",
        "  --rs485 MODE         who switches the transceiver: none (default: the",
        "                       adapter), kernel (the driver's RS-485 mode, for UARTs",
        "                       on gateway boards), rts (RTS raised around each request)",
        "  --rts-delay US       with --rs485 kernel or rts: RTS up this long before and",
        "                       after each request, 0..{RTSDELAYMAX} microseconds (default 0)",
        "  --help, -h           show this text; COMMAND --help shows a command's",
        "  --version            show the version",
        "Options of the commands: --interval, --count, --csv (status), --bauds,",
        "--addresses (scan), --millivolts (power), --ini, --name (config).",
        "",
        "Exit status:",
        "{EXITSTATUS}",
        "Through a gateway (--tcp): {GATEWAYEXITS}",
        "",
        "Output is plain text on standard output, messages go to standard error.",
        "See vortanix-ctl COMMAND --help and man vortanix-ctl.",
    });
    return text + QLatin1Char('\n');
}
