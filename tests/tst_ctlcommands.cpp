// vortanix-ctl, the real program run as a process against a virtual line on
// a real pseudo-terminal: the frame each command puts on the line and what it
// does to the controller, values out of range that send nothing, every exit
// status from the fault that causes it, ports that cannot be opened, and the
// help of every command.

#include "buildprogram.h"
#include "controllervalues.h"
#include "ctlrig.h"
#include "devicemodel.h"
#include "modbusframes.h"
#include "registers.h"
#include "seriallink.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The documented exit statuses.
// The commands and the first words of their help's usage line.
const QStringList commandNames{QStringLiteral("ports"), QStringLiteral("scan"), QStringLiteral("status"),
    QStringLiteral("switch"), QStringLiteral("power"), QStringLiteral("adc"), QStringLiteral("enable"),
    QStringLiteral("dac"), QStringLiteral("address"), QStringLiteral("config get"), QStringLiteral("config set"),
    QStringLiteral("config factory")};

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class TestCtlCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandFrames_data();
    void commandFrames();
    void multiDropReachesOnlyTheAddressed();
    void traceShowsTheExchange();
    void valuesOutOfRangeSendNothing_data();
    void valuesOutOfRangeSendNothing();
    void faultsGiveTheirExitStatus_data();
    void faultsGiveTheirExitStatus();
    void addressChangeUnconfirmed();
    void missingAndBusyPorts();
    void portOfAnotherUser_data();
    void portOfAnotherUser();
    void withoutPortTheOnlyPortIsUsed();
    void helpOfEveryCommand_data();
    void helpOfEveryCommand();

private:
    std::unique_ptr<CtlRig> rig;
};

void TestCtlCommands::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1, 7}));
}

void TestCtlCommands::cleanup()
{
    rig.reset();
}

// A command → the frames on the line, its words on standard output, and the
// register it sets at controller 1 (-1: none).
void TestCtlCommands::commandFrames_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QString>("printed");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("value");

    QTest::newRow("status") << "status" << QStringList{statusReadHex} << "temperature        25.3 °C" << -1 << 0;
    QTest::newRow("status, 9600 baud") << "-b 9600 status" << QStringList{statusReadHex} << "firmware           1.10"
                                       << -1 << 0;
    QTest::newRow("switch a list") << "switch 1,2,5-8" << QStringList{writeFrame(1, RegLdSwitchMask, 0x00F3)}
                                   << "modules on: 1 2 5-8 (the others off)" << int(RegLdSwitchMask) << 0x00F3;
    QTest::newRow("switch all") << "switch all" << QStringList{writeFrame(1, RegLdSwitchMask, 0x0FFF)}
                                << "modules on: 1-12" << int(RegLdSwitchMask) << 0x0FFF;
    QTest::newRow("switch none") << "switch none" << QStringList{writeFrame(1, RegLdSwitchMask, 0)}
                                 << "modules on: none" << int(RegLdSwitchMask) << 0;
    QTest::newRow("power") << "power 650" << QStringList{writeFrame(1, RegPowerPermille, 650)} << "power: 650 ‰"
                           << int(RegPowerPermille) << 650;
    QTest::newRow("power 0 with leading zeros")
        << "power 000" << QStringList{writeFrame(1, RegPowerPermille, 0)} << "power: 0 ‰" << int(RegPowerPermille) << 0;
    QTest::newRow("power from 735 mV") << "power --millivolts 735" << QStringList{writeFrame(1, RegPowerPermille, 149)}
                                       << "power: 149 ‰ (from 735 mV)" << int(RegPowerPermille) << 149;
    QTest::newRow("power from 3200 mV") << "power --millivolts=3200"
                                        << QStringList{writeFrame(1, RegPowerPermille, 1000)} << "power: 1000 ‰"
                                        << int(RegPowerPermille) << 1000;
    QTest::newRow("power from 300 mV") << "power --millivolts 300" << QStringList{writeFrame(1, RegPowerPermille, 0)}
                                       << "power: 0 ‰ (from 300 mV)" << int(RegPowerPermille) << 0;
    QTest::newRow("adc on") << "adc on" << QStringList{writeFrame(1, RegAdcEnable, 1)} << "analog input: enabled"
                            << int(RegAdcEnable) << 1;
    QTest::newRow("adc off") << "adc off" << QStringList{writeFrame(1, RegAdcEnable, 0)} << "analog input: masked"
                             << int(RegAdcEnable) << 0;
    QTest::newRow("enable some") << "enable 1-4,12" << QStringList{writeFrame(1, RegLdEnableMask, 0x080F)}
                                 << "modules enabled: 1-4 12 (the others disabled)" << int(RegLdEnableMask) << 0x080F;
    QTest::newRow("enable, read") << "enable" << QStringList{readFrame(1, RegLdEnableMask, 1)}
                                  << "modules enabled: 1-12" << -1 << 0;
    QTest::newRow("dac") << "dac 3100" << QStringList{writeFrame(1, RegMaxPowerDac, 3100)} << "maximum DAC: 3100"
                         << int(RegMaxPowerDac) << 3100;
    QTest::newRow("dac, lowest") << "dac 2800" << QStringList{writeFrame(1, RegMaxPowerDac, 2800)}
                                 << "maximum DAC: 2800" << int(RegMaxPowerDac) << 2800;
    QTest::newRow("dac, read") << "dac" << QStringList{dacReadHex} << "maximum DAC: 3980" << -1 << 0;
    QTest::newRow("config get") << "config get" << QStringList{blockReadHex}
                                << "compensation time  10000 h (36000000 s)" << -1 << 0;
    QTest::newRow("config factory") << "config factory" << QStringList{factoryBlockSaveHex}
                                    << "factory configuration written" << -1 << 0;
    QTest::newRow("options after the command")
        << "power 5 -b 19200 -a 1" << QStringList{writeFrame(1, RegPowerPermille, 5)} << "power: 5 ‰"
        << int(RegPowerPermille) << 5;
}

void TestCtlCommands::commandFrames()
{
    QFETCH(QString, arguments);
    QFETCH(QStringList, frames);
    QFETCH(QString, printed);
    QFETCH(int, reg);
    QFETCH(int, value);
    SimController controller = rig->at(1);
    if (reg >= 0)
        controller.setHoldingRegister(quint16(reg), quint16(value ^ 0x0001)); // so that the write shows
    // The line runs at the rate asked for: at another, nothing would answer.
    const QStringList given = words(arguments);
    const int b = given.indexOf(QStringLiteral("-b"));
    rig->line.setBaud(b >= 0 ? given.at(b + 1).toInt() : 115200);

    const CtlResult result
        = rig->run(QStringList{QStringLiteral("--timeout"), QStringLiteral("3000")} + words(arguments));
    QVERIFY2(result.finished && result.exitCode == Ok, qPrintable(result.describe()));
    QVERIFY2(result.out.contains(printed), qPrintable(result.out));
    QCOMPARE(hexFrames(rig->settledFrames()), frames);
    if (reg >= 0)
        QCOMPARE(int(controller.holdingRegister(quint16(reg))), value);
}

void TestCtlCommands::multiDropReachesOnlyTheAddressed()
{
    const CtlResult result = rig->run({QStringLiteral("--address"), QStringLiteral("7"), QStringLiteral("--timeout"),
        QStringLiteral("3000"), QStringLiteral("power"), QStringLiteral("650")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList{writeFrame(7, RegPowerPermille, 650)});
    QCOMPARE(rig->at(7).holdingRegister(RegPowerPermille), quint16(650));
    QCOMPARE(rig->at(1).holdingRegister(RegPowerPermille), quint16(0));

    const CtlResult status = rig->run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("--timeout"),
        QStringLiteral("3000"), QStringLiteral("--json"), QStringLiteral("status")});
    QVERIFY2(status.exitCode == Ok, qPrintable(status.describe()));
    const QJsonObject json = QJsonDocument::fromJson(status.out.toUtf8()).object();
    QCOMPARE(json.value(QStringLiteral("address")).toInt(), 7);
    QCOMPARE(json.value(QStringLiteral("power_permille")).toInt(), 650);
}

void TestCtlCommands::traceShowsTheExchange()
{
    const CtlResult result = rig->run(
        {QStringLiteral("--trace"), QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("status")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    const QString reply = hexFrame(readReply(1, factoryStatusWords()));
    QVERIFY2(result.err.contains(QStringLiteral("read req %1 | rep %2 | ").arg(statusReadHex, reply)),
        qPrintable(result.err));
    QVERIFY2(result.err.trimmed().endsWith(QStringLiteral("| ok")), qPrintable(result.err));
    QVERIFY(!result.out.contains(QStringLiteral("req"))); // the trace stays off standard output
}

// Arguments → a word of the error. Nothing may reach the line.
void TestCtlCommands::valuesOutOfRangeSendNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    auto row = [](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name) << arguments << QString::fromUtf8(error);
    };
    row("power above 1000", {"power", "1001"}, "power: 1001 is out of range 0..1000: nothing was sent");
    row("power negative", {"power", "-1"}, "'-1' is not a whole number 0..1000");
    row("power with a sign", {"power", "+5"}, "'+5' is not a whole number 0..1000");
    row("power full-width", {"power", "６５０"}, "digits 0-9 only");
    row("power with a point", {"power", "65.0"}, "'65.0' is not a whole number");
    row("power exponent", {"power", "1e3"}, "'1e3' is not a whole number");
    row("power empty", {"power", ""}, "'' is not a whole number");
    row("power, 20 digits", {"power", "99999999999999999999"}, "out of range 0..1000");
    row("power wrapping to 5", {"power", "65541"}, "out of range 0..1000");
    row("power and millivolts", {"power", "5", "--millivolts", "5"}, "either PERMILLE or --millivolts MV");
    row("power without value", {"power"}, "either PERMILLE or --millivolts MV");
    row("millivolts above 3200", {"power", "--millivolts", "3201"}, "out of range 0..3200");
    row("dac below", {"dac", "2799"}, "dac: 2799 is out of range 2800..3980");
    row("dac above", {"dac", "3981"}, "out of range 2800..3980");
    row("new address 0", {"address", "0"}, "address: 0 is out of range 1..254");
    row("new address 255", {"address", "255"}, "out of range 1..254");
    row("address 0", {"-a", "0", "status"}, "--address: 0 is out of range 1..254");
    row("address 255", {"--address", "255", "status"}, "out of range 1..254");
    row("module 13", {"switch", "13"}, "modules: 13 is out of range 1..12");
    row("module 0", {"switch", "0"}, "out of range 1..12");
    row("range backwards", {"switch", "8-5"}, "runs backwards");
    row("empty list item", {"switch", "1,,2"}, "not a list of numbers 1..12");
    row("list with blanks", {"enable", "1, 2"}, "modules: ' 2' is not a whole number 1..12");
    row("enable 13", {"enable", "1-13"}, "out of range 1..12");
    row("adc maybe", {"adc", "maybe"}, "neither on nor off");
    row("baud 38400", {"--baud", "38400", "status"}, "115200, 57600, 19200 or 9600");
    row("timeout 0", {"--timeout", "0", "status"}, "--timeout: 0 is out of range 1..60000");
    row("interval negative", {"status", "--interval", "-5"}, "--interval");
    row("count 0", {"status", "--count", "0"}, "--count: 0 is out of range");
    row("scan address 0", {"scan", "--addresses", "0-10"}, "out of range 1..254");
    row("scan 4800 baud", {"scan", "--bauds", "9600,4800"}, "'4800' is not one of the controller's rates");
    row("unknown command", {"reboot"}, "unknown command 'reboot'");
    row("unknown option", {"--parity", "E", "status"}, "unknown option --parity");
    row("option of another command", {"status", "--bauds", "9600"}, "--bauds is an option of scan, not of status");
    row("option before its command", {"--interval", "5", "status"}, "put it after the command");
    row("value missing", {"status", "--csv"}, "--csv needs a value");
    row("option twice", {"-a", "1", "--address", "2", "status"}, "--address is given twice");
    row("an option as the CSV file", {"status", "--csv", "--json"},
        "--csv needs a value: --csv FILE (--json is an option");
    row("an option as the address", {"--address", "--json", "status"}, "(--json is an option, not a value");
    row("a short option as the timeout", {"--timeout", "-a", "1", "status"}, "(-a is an option, not a value");
    row("flag with a value", {"--json=yes", "status"}, "--json takes no value");
    row("config alone", {"config"}, "config needs get, set or factory");
    row("config of another kind", {"config", "put"}, "config needs get, set or factory, not 'put'");
    row("config set without file", {"config", "set"}, "config set --ini FILE");
    row("argument too many", {"switch", "1", "2"}, "usage: vortanix-ctl [OPTIONS] switch MODULES");
    row("argument to status", {"status", "now"}, "status takes no arguments");
    row("no command", {"--json"}, "a command is missing");
}

void TestCtlCommands::valuesOutOfRangeSendNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const CtlResult result = rig->run(arguments);
    QVERIFY2(result.finished && result.exitCode == Usage, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(error), qPrintable(result.err));
    QCOMPARE(result.out, QString());
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
}

// A command and a fault of the controller → the exit status and a word of the message.
void TestCtlCommands::faultsGiveTheirExitStatus_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    using C = SimController;
    QTest::newRow("read, silent") << "status" << int(C::FaultNoReply) << 0 << int(NoReply)
                                  << "status: no reply from address 1 at 115200 baud (time-out)";
    QTest::newRow("read, bad CRC") << "status" << int(C::FaultBadCrc) << 0 << int(BadReply)
                                   << "status: bad reply from address 1: bad CRC";
    QTest::newRow("read, short") << "status" << int(C::FaultTruncate) << 10 << int(BadReply)
                                 << "bad reply from address 1: short";
    QTest::newRow("read, exception 2") << "status" << int(C::FaultException) << 2 << int(BadReply)
                                       << "status: refused by the controller at address 1 (exception 02)";
    QTest::newRow("read, another address")
        << "status" << int(C::FaultWrongAddress) << 9 << int(BadReply) << "bad reply from address 1: wrong address 09";
    QTest::newRow("read, another function") << "status" << int(C::FaultWrongFunction) << 4 << int(BadReply)
                                            << "bad reply from address 1: wrong function 04";
    QTest::newRow("read, adapter pulled")
        << "status" << int(C::FaultUnplugOnRequest) << 0 << int(PortLost) << "status: the port";
    QTest::newRow("DAC read, exception 3") << "dac" << int(C::FaultException) << 3 << int(BadReply)
                                           << "dac: refused by the controller at address 1 (exception 03)";
    QTest::newRow("block read, silent") << "config get" << int(C::FaultNoReply) << 0 << int(NoReply)
                                        << "config get: no reply";
    QTest::newRow("write, silent") << "power 500" << int(C::FaultNoReply) << 0 << int(NotAcknowledged)
                                   << "power: sent, but not acknowledged (time-out): the controller may or may not";
    QTest::newRow("write, 8-byte echo") << "power 500" << int(C::FaultEcho8) << 0 << int(NotAcknowledged)
                                        << "power: sent, but not acknowledged (a standard 8-byte echo came back";
    QTest::newRow("write, bad CRC") << "switch all" << int(C::FaultBadCrc) << 0 << int(NotAcknowledged)
                                    << "switch: sent, but not acknowledged (bad CRC)";
    QTest::newRow("write, short") << "adc on" << int(C::FaultTruncate) << 3 << int(NotAcknowledged)
                                  << "adc: sent, but not acknowledged (short)";
    QTest::newRow("write, another address") << "dac 3000" << int(C::FaultWrongAddress) << 9 << int(NotAcknowledged)
                                            << "not acknowledged (wrong address 09)";
    QTest::newRow("write, adapter pulled") << "power 500" << int(C::FaultUnplugOnRequest) << 0 << int(PortLost)
                                           << "the request went out, the controller may or may not have applied it";
    QTest::newRow("block write, 8-byte echo") << "config factory" << int(C::FaultEcho8) << 0 << int(NotAcknowledged)
                                              << "config factory: sent, but not acknowledged";
    QTest::newRow("write, acknowledged for another register")
        << "power 500" << int(C::FaultWrongRegister) << 7 << int(BadReply)
        << "power: wrong reply from address 1 (acknowledges register 0007, not 0004)";
    QTest::newRow("block write, acknowledged for another register")
        << "config factory" << int(C::FaultWrongRegister) << 0x2002 << int(BadReply)
        << "config factory: wrong reply from address 1 (acknowledges register 2002, not 2001)";
    // --verify: each write read back once acknowledged.
    QTest::newRow("write read back, not taken")
        << "--verify power 500" << int(C::FaultNotApplied) << 0 << int(NotAcknowledged)
        << "power: acknowledged by the controller at address 1, but not applied: register 0004 holds 0, not 500";
    QTest::newRow("write read back, the read refused")
        << "--verify power 500" << int(C::FaultException) << 4 << int(NotAcknowledged)
        << "power: acknowledged by the controller at address 1, but reading it back failed (exception 04)";
}

void TestCtlCommands::faultsGiveTheirExitStatus()
{
    QFETCH(QString, arguments);
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(int, status);
    QFETCH(QString, message);
    rig->at(1).setFault(SimController::FaultKind(fault), param);
    const CtlResult result
        = rig->run(QStringList{QStringLiteral("--timeout"), QStringLiteral("300")} + words(arguments));
    QVERIFY2(result.finished && result.exitCode == status, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.out, QString()); // no value shown for a failed exchange
}

// The broadcasts reach the line, but the controller does not answer at its
// new address: the change is reported unconfirmed.
void TestCtlCommands::addressChangeUnconfirmed()
{
    rig->at(1).setFault(SimController::FaultNoReply);
    rig->at(7).setFault(SimController::FaultNoReply);
    const CtlResult result = rig->run(
        {QStringLiteral("--timeout"), QStringLiteral("200"), QStringLiteral("address"), QStringLiteral("42")});
    QVERIFY2(result.exitCode == NotAcknowledged, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("42 was broadcast, but the controller does not answer at 42")),
        qPrintable(result.err));
    // Both controllers took the broadcast: it reaches every controller on the line.
    QCOMPARE(rig->at(1).address(), quint8(42));
    QCOMPARE(rig->at(7).address(), quint8(42));
    const QStringList frames = hexFrames(rig->settledFrames());
    QCOMPARE(frames.mid(0, 4),
        (QStringList{writeFrame(0, RegRs485Address, 42), writeFrame(0, RegRs485Address, 42),
            writeFrame(0, RegCommandWord, 1), hexFrame(statusRead(42))}));
    QCOMPARE(frames.size(), 6); // the confirmation, tried three times

    // In JSON: the new address and the error, which only a failure has.
    const CtlResult json = rig->run({QStringLiteral("--timeout"), QStringLiteral("200"), QStringLiteral("--json"),
        QStringLiteral("address"), QStringLiteral("43")});
    QVERIFY2(json.exitCode == NotAcknowledged, qPrintable(json.describe()));
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object.value(QStringLiteral("address")), QJsonValue(43));
    QVERIFY2(!object.value(QStringLiteral("error")).toString().isEmpty(), qPrintable(json.out));

    // One of them answers at its new address: confirmed.
    rig->at(1).clearFault();
    const CtlResult confirmed = rig->run(
        {QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("address"), QStringLiteral("44")});
    QVERIFY2(confirmed.exitCode == Ok, qPrintable(confirmed.describe()));
    QVERIFY2(
        confirmed.out.contains(QStringLiteral("address: the controller answers at 44 now")), qPrintable(confirmed.out));
}

void TestCtlCommands::missingAndBusyPorts()
{
    const CtlResult empty = CtlRig::runProgram({QStringLiteral("--port="), QStringLiteral("status")});
    QVERIFY2(empty.exitCode == Usage, qPrintable(empty.describe()));
    QVERIFY2(empty.err.contains(QStringLiteral("--port needs the path of a port")), qPrintable(empty.err));
    // An option name is no port: --json is not opened as one.
    const CtlResult optionName
        = CtlRig::runProgram({QStringLiteral("--port"), QStringLiteral("--json"), QStringLiteral("status")});
    QVERIFY2(optionName.exitCode == Usage, qPrintable(optionName.describe()));
    QVERIFY2(optionName.err.contains(QStringLiteral("--port needs a value: --port PATH (--json is an option")),
        qPrintable(optionName.err));

    const CtlResult missing = CtlRig::runProgram(
        {QStringLiteral("--port"), rig->filePath(QStringLiteral("ttyNONE")), QStringLiteral("status")});
    QVERIFY2(missing.exitCode == Port, qPrintable(missing.describe()));
    QVERIFY2(missing.err.contains(QStringLiteral("no such port (is the adapter plugged in?")), qPrintable(missing.err));

    SerialLink holder;
    QVERIFY2(holder.open(rig->portPath(), 115200), qPrintable(holder.openErrorText()));
    const CtlResult busy = rig->run({QStringLiteral("power"), QStringLiteral("5")});
    QVERIFY2(busy.exitCode == Port, qPrintable(busy.describe()));
    QVERIFY2(busy.err.contains(QStringLiteral("in use by PID %1").arg(::getpid())), qPrintable(busy.err));
    holder.close();
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
}

// Run as an ordinary user, the program may not open root's terminal: the
// message says whether joining the port's group helps. (Mode, group) of the
// terminal → the message.
void TestCtlCommands::portOfAnotherUser_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("message");
    QTest::newRow("owner only") << 0600 << "root"
                                << ": permission denied; only its owner root may open it";
    QTest::newRow("group dialout") << 0660 << "dialout"
                                   << ": permission denied; the port belongs to group dialout: sudo adduser $USER "
                                      "dialout, then log out and in again";
}

void TestCtlCommands::portOfAnotherUser()
{
    QFETCH(int, mode);
    QFETCH(QString, group);
    QFETCH(QString, message);
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const struct group *entry = ::getgrnam(group.toLatin1().constData());
    if (setpriv.isEmpty() || ::geteuid() != 0 || !entry)
        QSKIP("needs root, setpriv (util-linux) and the group to run the program as nobody");
    const QString terminal = rig->line.terminalPath();
    const QByteArray terminalName = QFile::encodeName(terminal);
    QVERIFY(::chown(terminalName.constData(), 0, entry->gr_gid) == 0);
    QVERIFY(::chmod(terminalName.constData(), mode_t(mode)) == 0);

    QTemporaryDir reachable;
    const QStringList ctl = BuildProgram::commandLineForAnyUser(
        reachable.path(), CtlRig::program(), {QStringLiteral("--port"), terminal, QStringLiteral("status")});
    QVERIFY(!ctl.isEmpty());
    QProcess process;
    process.start(setpriv,
        QStringList{
            QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups")}
            + ctl);
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == Port, qPrintable(err));
    QVERIFY2(err.contains(terminal + message), qPrintable(err));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
}

// Without --port: the one port there is, or a list and an error. What the
// machine has is what `ports` lists.
void TestCtlCommands::withoutPortTheOnlyPortIsUsed()
{
    const CtlResult listing = CtlRig::runProgram({QStringLiteral("--json"), QStringLiteral("ports")});
    QVERIFY2(listing.exitCode == Ok, qPrintable(listing.describe()));
    QStringList paths;
    for (const QString &line : listing.outLines()) {
        const QJsonObject port = QJsonDocument::fromJson(line.toUtf8()).object();
        for (const char *key : {"path", "by_id", "description", "usable", "problem"})
            QVERIFY2(port.contains(QLatin1String(key)), qPrintable(line));
        QCOMPARE(port.value(QStringLiteral("usable")).toBool(), port.value(QStringLiteral("problem")).isNull());
        paths << port.value(QStringLiteral("path")).toString();
    }

    const CtlResult result
        = CtlRig::runProgram({QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("status")});
    QVERIFY(result.finished);
    if (paths.size() == 1) {
        QVERIFY2(result.err.contains(QStringLiteral("using %1, the only serial port").arg(paths.first())),
            qPrintable(result.err));
    } else {
        QVERIFY2(result.exitCode == Port, qPrintable(result.describe()));
        QVERIFY2(result.err.contains(paths.isEmpty() ? QStringLiteral("no serial port found")
                                                     : QStringLiteral("choose one with --port")),
            qPrintable(result.err));
    }
}

void TestCtlCommands::helpOfEveryCommand_data()
{
    QTest::addColumn<QString>("command");
    for (const QString &command : commandNames)
        QTest::newRow(qPrintable(command)) << command;
}

void TestCtlCommands::helpOfEveryCommand()
{
    QFETCH(QString, command);
    const CtlResult help = CtlRig::runProgram(words(command) << QStringLiteral("--help"));
    QVERIFY2(help.exitCode == Ok, qPrintable(help.describe()));
    QVERIFY2(help.out.startsWith(QStringLiteral("Usage: vortanix-ctl [OPTIONS] ") + command), qPrintable(help.out));
    QCOMPARE(CtlRig::runProgram(QStringList{QStringLiteral("help")} + words(command)).out, help.out);
    // The program's help names every command.
    const CtlResult overview = CtlRig::runProgram({QStringLiteral("-h")});
    QVERIFY2(overview.out.contains(QStringLiteral("\n  ") + command), qPrintable(overview.out));
    // A setting's help starts with its summary as a sentence.
    for (const SettingRow &row : DeviceModel::settings()) {
        if (row.name == command) {
            const QString sentence = row.summary.left(1).toUpper() + row.summary.mid(1) + QLatin1Char('.');
            QVERIFY2(help.out.simplified().contains(sentence.simplified()), qPrintable(help.out));
        }
    }
    // A command's own help is wrapped to 79 columns, a blank between words.
    if (help.out != overview.out) {
        for (const QString &line : help.out.split(QLatin1Char('\n')))
            QVERIFY2(line.size() <= 79, qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(TestCtlCommands)
#include "tst_ctlcommands.moc"
