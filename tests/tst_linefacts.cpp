// The line's facts as every program applies them: the addresses a controller
// takes and the rates it runs at are the same for vortanix-ctl, the bridge
// and vortanix-sim, at both ends of each range; a controller at 248..254 is
// reached through the gateway by a unit id mapped to it; and the bridge
// counts a controller offline at its fifth failed poll in a row, not sooner
// or later.

#include "bridgeprocess.h"
#include "bridgerig.h"
#include "buildprogram.h"
#include "childprocess.h"
#include "ctlrig.h"
#include "verifyempty.h"

#include <QtTest>

class TestLineFacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyProgramTakesTheSameAddresses_data();
    void everyProgramTakesTheSameAddresses();
    void everyProgramTakesTheSameRates_data();
    void everyProgramTakesTheSameRates();
    void gatewayReachesAnAddressAbove247ByAMappedUnit();
    void gatewayWithoutAUnitForAnAddressAbove247IsRefused();
    void offlineAtTheFifthFailedPollInARow();

private:
    // vortanix-ctl's, the bridge's and vortanix-sim's answers to one value;
    // empty when each took or refused it as `taken` says.
    QString ctlAddress(int address, bool taken);
    QString bridgeCheck(const QString &lineKeys, bool taken, const QString &refusal);
    QString simAddress(int address, bool taken);

    QTemporaryDir folder;
    CtlRig ctlRig;
};

namespace {

// Every address the line carries, both ends of each range.
const QList<quint8> reachable = {1, 247, 248, 254};

} // namespace

void TestLineFacts::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY(ctlRig.start(reachable));
}

void TestLineFacts::everyProgramTakesTheSameAddresses_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("taken");
    QTest::newRow("0, the broadcast address") << 0 << false;
    QTest::newRow("1, the lowest") << 1 << true;
    QTest::newRow("247, Modbus's highest unit id") << 247 << true;
    QTest::newRow("248, beyond Modbus's unit ids") << 248 << true;
    QTest::newRow("254, the controller's highest") << 254 << true;
    QTest::newRow("255") << 255 << false;
}

QString TestLineFacts::ctlAddress(int address, bool taken)
{
    const QString text = QString::number(address);
    // Taken: the controller there is reached. Refused: nothing goes out.
    const CtlResult status = ctlRig.run(CtlRig::withReplyWait({"--address", text, "status"}));
    const QString statusProblem = taken ? status.mismatch(CtlExit::Ok) : status.mismatch(CtlExit::Usage, "1..254");
    if (!statusProblem.isEmpty())
        return statusProblem;
    const CtlResult scan = ctlRig.run(CtlRig::withReplyWait({"scan", "--bauds", "115200", "--addresses", text}));
    if (!taken)
        return scan.mismatch(CtlExit::Usage, "1..254");
    if (!scan.out.contains(QStringLiteral("address %1 ").arg(address)))
        return QStringLiteral("scan did not find %1: %2").arg(address).arg(scan.describe());
    return scan.mismatch(CtlExit::Ok);
}

QString TestLineFacts::bridgeCheck(const QString &lineKeys, bool taken, const QString &refusal)
{
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(QStringLiteral("[line.a]\nport=/dev/null\n") + lineKeys);
    if (!bridge.start({QStringLiteral("--check")}))
        return QStringLiteral("the bridge did not start");
    const int code = bridge.waitForExit();
    const QString log = bridge.log();
    if (taken ? code == 0 : code == 2 && log.contains(refusal))
        return QString();
    return QStringLiteral("bridge --check with %1: exit %2, %3").arg(lineKeys.trimmed()).arg(code).arg(log);
}

QString TestLineFacts::simAddress(int address, bool taken)
{
    ChildProcess sim;
    BuildProgram::start(sim, QStringLiteral(VORTANIX_SIM_PATH), {"--address", QString::number(address)});
    if (!sim.waitForStarted())
        return QStringLiteral("vortanix-sim did not start");
    if (!taken) {
        const bool ended = sim.waitForFinished(20000);
        const QString err = QString::fromUtf8(sim.readAllStandardError());
        return ended && sim.exitCode() == 2 && err.contains(QLatin1String("1..254"))
            ? QString()
            : QStringLiteral("vortanix-sim --address %1 was not refused: %2").arg(address).arg(err);
    }
    // Serving: the first line is the port's path.
    while (!sim.canReadLine() && sim.waitForReadyRead(20000)) { } // ends at the line, an exit or the wait
    const QString path = QString::fromUtf8(sim.readLine()).trimmed();
    sim.terminate();
    sim.waitForFinished(20000);
    return path.startsWith(QLatin1String("/dev/")) ? QString()
                                                   : QStringLiteral("vortanix-sim --address %1 printed no port: %2 %3")
                                                         .arg(address)
                                                         .arg(path, QString::fromUtf8(sim.readAllStandardError()));
}

void TestLineFacts::everyProgramTakesTheSameAddresses()
{
    QFETCH(int, address);
    QFETCH(bool, taken);
    VERIFY_EMPTY(ctlAddress(address, taken));
    VERIFY_EMPTY(bridgeCheck(QStringLiteral("addresses=%1\n").arg(address), taken, QStringLiteral("1..254")));
    VERIFY_EMPTY(simAddress(address, taken));
}

void TestLineFacts::everyProgramTakesTheSameRates_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("taken");
    QTest::newRow("9600") << 9600 << true;
    QTest::newRow("19200") << 19200 << true;
    QTest::newRow("38400, a serial rate the controller lacks") << 38400 << false;
    QTest::newRow("57600") << 57600 << true;
    QTest::newRow("115200") << 115200 << true;
    QTest::newRow("230400") << 230400 << false;
}

void TestLineFacts::everyProgramTakesTheSameRates()
{
    QFETCH(int, baud);
    QFETCH(bool, taken);
    const QString rate = QString::number(baud);
    const QString rates = QStringLiteral("115200, 57600, 19200 or 9600");
    // A rate taken goes on to the port, which is not there (exit 3); one refused stops first.
    const QString nowhere = folder.filePath(QStringLiteral("no-such-port"));
    const CtlResult status = CtlRig::runProgram({"--port", nowhere, "--baud", rate, "status"});
    VERIFY_EMPTY(taken ? status.mismatch(CtlExit::Port) : status.mismatch(CtlExit::Usage, rates));
    const CtlResult scan = CtlRig::runProgram({"--port", nowhere, "scan", "--bauds", rate});
    VERIFY_EMPTY(taken ? scan.mismatch(CtlExit::Port) : scan.mismatch(CtlExit::Usage, rates));
    VERIFY_EMPTY(bridgeCheck(QStringLiteral("addresses=1\nbaud=%1\n").arg(baud), taken, rates));
}

void TestLineFacts::gatewayReachesAnAddressAbove247ByAMappedUnit()
{
    BridgeRig rig;
    rig.addLine(QStringLiteral("a"), {7, 254});
    const int port = rig.startGateway(QStringLiteral("a"), 100, {}, QStringLiteral("unit.1=a:254\nunit.7=a:7\n"));
    QVERIFY2(port > 0, qPrintable(rig.bridge().log()));
    rig.controller(QStringLiteral("a"), 254).setPowerPermille(321);
    const CtlResult status
        = CtlRig::runProgram({"--tcp", QStringLiteral("127.0.0.1:%1").arg(port), "--unit", "1", "--json", "status"});
    VERIFY_EMPTY(status.mismatch(CtlExit::Ok));
    const QJsonObject json = QJsonDocument::fromJson(status.out.toUtf8()).object();
    QCOMPARE(json.value(QStringLiteral("address")).toInt(), 254);
    QCOMPARE(json.value(QStringLiteral("power_permille")).toInt(), 321);
}

void TestLineFacts::gatewayWithoutAUnitForAnAddressAbove247IsRefused()
{
    VERIFY_EMPTY(bridgeCheck(QStringLiteral("addresses=7,250\n[modbus_tcp]\nlisten=127.0.0.1:0\n"), false,
        QStringLiteral("a-250 at address 250 has no unit id (unit ids are 1..247): map the units with "
                       "unit.N=LINE:ADDRESS")));
    // Mapped, it is served.
    VERIFY_EMPTY(bridgeCheck(
        QStringLiteral("addresses=7,250\n[modbus_tcp]\nlisten=127.0.0.1:0\nunit.1=a:250\n"), true, QString()));
}

// Four silent polls and an answer leave the controller online; five in a
// row make it offline, and the log says after how many.
void TestLineFacts::offlineAtTheFifthFailedPollInARow()
{
    BridgeRig rig;
    rig.addLine(QStringLiteral("a"), {7});
    SimController controller = rig.controller(QStringLiteral("a"), 7);
    QVERIFY2(rig.startGateway(QStringLiteral("a"), 20) > 0, qPrintable(rig.bridge().log()));
    controller.clearRequests();
    controller.setFault(SimController::FaultNoReply, 0, 4);
    // The four silent polls and an answered one: the controller takes one
    // request after another, so a sixth means the fifth was answered.
    QVERIFY(controller.waitForRequests(6, BridgeRig::WaitMs));
    controller.setFault(SimController::FaultNoReply);
    QVERIFY2(rig.bridge().waitForLog(QStringLiteral("offline after")), qPrintable(rig.bridge().log()));
    const QString log = rig.bridge().log();
    QCOMPARE(log.count(QStringLiteral("offline after")), 1);
    QVERIFY2(log.contains(QStringLiteral("a-7 (address 7): offline after 5 failed polls (")), qPrintable(log));
}

QTEST_GUILESS_MAIN(TestLineFacts)
#include "tst_linefacts.moc"
