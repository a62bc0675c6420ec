// vortanix-ctl --tcp: every command through the bridge's Modbus TCP gateway
// (the real bridge on a virtual line) with the output and exit statuses of
// the serial port, each gateway exception mapped to its status; and through
// a standard Modbus TCP server of pymodbus, which answers writes with the
// standard echo and start-and-count.

#include "bridgerig.h"
#include "childprocess.h"
#include "ctlrig.h"
#include "loopback.h"
#include "registers.h"

#include <QtTest>

class TestCtlTcp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void ctlThroughTheGateway_data();
    void ctlThroughTheGateway();
    void ctlWritesThroughTheGateway();
    void standardServer();

private:
    SimController controller(quint8 address) { return rig->controller(QStringLiteral("a"), address); }
    QString gateway() const { return QStringLiteral("127.0.0.1:%1").arg(port); }

    std::unique_ptr<BridgeRig> rig;
    int port = 0;
};

namespace {

constexpr int waitMs = BridgeRig::WaitMs;

// A standard Modbus TCP server: pymodbus on a free port of loopback, which it prints first.
const char standardServerScript[] = R"(
import socket
from pymodbus.server import StartTcpServer
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext, ModbusServerContext
values = [0] * 0x2100
values[1:13] = [0x0FFF, 0, 0, 420, 1, 0, 253, 0, 24000, 0, 60, 0x010A]
values[0x1001] = 3980
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
probe = socket.socket()
probe.bind(('127.0.0.1', 0))
port = probe.getsockname()[1]
probe.close()
print(port, flush=True)
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=('127.0.0.1', port))
)";

} // namespace

void TestCtlTcp::initTestCase()
{
    rig = std::make_unique<BridgeRig>();
    rig->addLine(QStringLiteral("a"), {1, 7});
    port = rig->startGateway(QStringLiteral("a"), 100);
    QVERIFY2(port > 0, qPrintable(rig->bridge().log()));
}

void TestCtlTcp::init()
{
    QVERIFY(rig->resetLine(QStringLiteral("a")));
}

void TestCtlTcp::ctlThroughTheGateway_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    QTest::newRow("status") << QStringList{"-a", "7", "status"} << 0 << int(CtlExit::Ok) << "250 ‰";
    QTest::newRow("unit instead of address")
        << QStringList{"--unit", "7", "config", "get"} << 0 << int(CtlExit::Ok) << "maximum DAC        3980";
    QTest::newRow("no controller at the unit")
        << QStringList{"--unit", "99", "status"} << 0 << int(CtlExit::NoReply) << "exception 0B";
    QTest::newRow("silent controller") << QStringList{"-a", "7", "status"} << int(SimController::FaultNoReply)
                                       << int(CtlExit::NoReply) << "no reply from address 7";
    QTest::newRow("silent to a write") << QStringList{"-a", "7", "power", "10"} << int(SimController::FaultNoReply)
                                       << int(CtlExit::NotAcknowledged) << "not acknowledged";
    QTest::newRow("controller refuses") << QStringList{"-a", "7", "status"} << int(SimController::FaultException)
                                        << int(CtlExit::BadReply) << "exception 04";
    QTest::newRow("bad reply on the line") << QStringList{"-a", "7", "status"} << int(SimController::FaultBadCrc)
                                           << int(CtlExit::BadReply) << "exception 04";
    QTest::newRow("address change refused")
        << QStringList{"address", "9"} << 0 << int(CtlExit::Usage) << "stop the bridge";
    QTest::newRow("--unit without --tcp")
        << QStringList{"--unit", "7", "status"} << 0 << int(CtlExit::Usage) << "give --tcp too";
    // The gateway's line is the bridge's: options that set up a serial line are refused, not ignored.
    QTest::newRow("--echo through the gateway")
        << QStringList{"--echo", "-a", "7", "status"} << 0 << int(CtlExit::Usage) << "the echo key of its line";
    QTest::newRow("--rs485 through the gateway") << QStringList{"--rs485", "kernel", "-a", "7", "status"} << 0
                                                 << int(CtlExit::Usage) << "--rs485 is for a serial port";
    QTest::newRow("--rts-delay through the gateway")
        << QStringList{"--rts-delay", "100", "-a", "7", "status"} << 0 << int(CtlExit::Usage) << "the rts_delay_us key";
}

void TestCtlTcp::ctlThroughTheGateway()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    controller(7).setPowerPermille(250);
    if (fault != 0)
        controller(7).setFault(SimController::FaultKind(fault));
    const bool withTcp = !arguments.contains(QStringLiteral("--unit")) || !text.contains(QStringLiteral("--tcp"));
    const CtlResult result
        = CtlRig::runProgram((withTcp ? QStringList{QStringLiteral("--tcp"), gateway()} : QStringList()) + arguments);
    QVERIFY2(result.finished && result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((result.out + result.err).contains(text), qPrintable(result.describe()));
}

void TestCtlTcp::ctlWritesThroughTheGateway()
{
    CtlResult result = CtlRig::runProgram({QStringLiteral("--tcp"), gateway(), QStringLiteral("-a"),
        QStringLiteral("7"), QStringLiteral("switch"), QStringLiteral("1,3")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(int(controller(7).holdingRegister(RegLdSwitchMask)), 0x0005);
    result = CtlRig::runProgram({QStringLiteral("--tcp"), gateway(), QStringLiteral("-a"), QStringLiteral("7"),
        QStringLiteral("config"), QStringLiteral("factory")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    // A gateway that is not there: no connection, nothing sent.
    result = CtlRig::runProgram(
        {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(freeLoopbackPort()), QStringLiteral("status")});
    QVERIFY2(result.exitCode == CtlExit::Port && result.err.contains(QStringLiteral("cannot reach")),
        qPrintable(result.describe()));
    // Unplugged: the gateway reports its line unavailable.
    rig->line(QStringLiteral("a")).unplug();
    QDeadlineTimer deadline(waitMs);
    do {
        result = CtlRig::runProgram({QStringLiteral("--tcp"), gateway(), QStringLiteral("status")});
    } while (result.exitCode != CtlExit::PortLost && !deadline.hasExpired());
    QVERIFY2(result.err.contains(QStringLiteral("line unavailable")), qPrintable(result.describe()));
}

void TestCtlTcp::standardServer()
{
    ChildProcess server;
    server.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(standardServerScript)});
    QVERIFY(server.waitForStarted(waitMs));
    QDeadlineTimer deadline(waitMs);
    while (!server.canReadLine() && !deadline.hasExpired())
        server.waitForReadyRead(200);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(QString::fromLatin1(server.readLine()).trimmed());
    CtlResult result = CtlRig::runProgram({QStringLiteral("--tcp"), address, QStringLiteral("status")});
    QVERIFY2(result.exitCode == 0 && result.out.contains(QStringLiteral("420 ‰")), qPrintable(result.describe()));
    // Function 6 answered with the standard echo, 16 with start and count: both acknowledged.
    result = CtlRig::runProgram({QStringLiteral("--tcp"), address, QStringLiteral("power"), QStringLiteral("500")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    result
        = CtlRig::runProgram({QStringLiteral("--tcp"), address, QStringLiteral("config"), QStringLiteral("factory")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    result = CtlRig::runProgram({QStringLiteral("--tcp"), address, QStringLiteral("--json"), QStringLiteral("status")});
    QVERIFY2(result.exitCode == 0 && result.out.contains(QStringLiteral("\"power_permille\":500")),
        qPrintable(result.describe()));
    server.kill();
    server.waitForFinished(waitMs);
}

QTEST_GUILESS_MAIN(TestCtlTcp)
#include "tst_ctltcp.moc"
