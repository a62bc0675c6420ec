// vortanix-ctl --tcp: every command through the bridge's Modbus TCP gateway
// (the real bridge on a virtual line) with the output and exit statuses of
// the serial port, each gateway exception mapped to its status; and through
// a standard Modbus TCP server of pymodbus, which answers writes with the
// standard echo and start-and-count; and a gateway of the test's own whose
// answers are wrong on purpose, each held to its request.

#include "bridgerig.h"
#include "childprocess.h"
#include "ctlrig.h"
#include "fakegateway.h"
#include "loopback.h"
#include "mbapframe.h"
#include "registers.h"

#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <atomic>

// vortanix-ctl --tcp to `address`.
static CtlResult tcpCtl(const QString &address, const QStringList &arguments)
{
    return CtlRig::runProgram(QStringList{"--tcp", address} + arguments);
}

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
    void answersHeldToTheRequest_data();
    void answersHeldToTheRequest();
    void mismatchedReplyEndsTheConnection();

private:
    SimController controller(quint8 address) { return rig->controller(QStringLiteral("a"), address); }
    QString gateway() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // vortanix-ctl through this suite's gateway.
    CtlResult ctl(const QStringList &arguments) const { return tcpCtl(gateway(), arguments); }

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
# Without zero_mode (which pymodbus 3.8 no longer has) register N is the
# block's N + 1: the block starts at 1, so that values[N] is register N.
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(1, values))
probe = socket.socket()
probe.bind(('127.0.0.1', 0))
port = probe.getsockname()[1]
probe.close()
print(port, flush=True)
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=('127.0.0.1', port))
)";

// How the test's gateway spoils its answer: the transaction and the length
// field moved by these, protocol id and unit id (-1: the one asked), an
// exception instead (0: none), and the register and value of a write's echo moved.
struct Spoil
{
    int transaction = 0;
    int protocol = 0;
    int length = -1; // the header's length field; -1: the right one
    int unit = -1;
    int exception = 0;
    int reg = 0;
    int value = 0;
};

// The gateway's answer to a request: the right one (zeros for a read, the
// standard echo for a write), then spoilt.
QByteArray answerFor(const Spoil &spoil, quint16 transaction, quint8 unit, const QByteArray &pdu)
{
    const char function = pdu.at(0);
    QByteArray reply = function == FuncReadHoldingRegisters
        ? QByteArray(1, function) + char(2 * pdu.at(4)) + QByteArray(2 * pdu.at(4), '\0')
        : pdu.left(5);
    if (reply.size() == 5 && function != FuncReadHoldingRegisters) {
        reply[2] = char(reply.at(2) + spoil.reg);
        reply[4] = char(reply.at(4) + spoil.value);
    }
    if (spoil.exception != 0)
        reply = QByteArray(1, char(function | 0x80)) + char(spoil.exception);
    const int lengthDelta = spoil.length < 0 ? 0 : spoil.length - (reply.size() + 1);
    return mbapFrame(spoil.unit < 0 ? unit : quint8(spoil.unit), reply, spoil.protocol, lengthDelta,
        quint16(transaction + spoil.transaction));
}

} // namespace

Q_DECLARE_METATYPE(Spoil)

void TestCtlTcp::initTestCase()
{
    rig = std::make_unique<BridgeRig>();
    rig->addLine(QStringLiteral("a"), {1, 7});
    // The virtual controllers answer from this process, which a loaded machine
    // may hold up: the line waits a second for them, not the default 50 ms.
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

    const auto row = [](const char *name, const QStringList &arguments, int fault, int exitCode, const char *text) {
        QTest::newRow(name) << arguments << fault << exitCode << QString::fromUtf8(text);
    };
    row("status", {"-a", "7", "status"}, 0, CtlExit::Ok, "250 ‰");
    row("unit instead of address", {"--unit", "7", "config", "get"}, 0, CtlExit::Ok, "maximum DAC        3980");
    row("no controller at the unit", {"--unit", "99", "status"}, 0, CtlExit::NoReply, "exception 0B");
    row("silent controller", {"-a", "7", "status"}, SimController::FaultNoReply, CtlExit::NoReply,
        "no reply from address 7");
    row("silent to a write", {"-a", "7", "power", "10"}, SimController::FaultNoReply, CtlExit::NotAcknowledged,
        "not acknowledged");
    row("controller refuses", {"-a", "7", "status"}, SimController::FaultException, CtlExit::BadReply, "exception 04");
    row("bad reply on the line", {"-a", "7", "status"}, SimController::FaultBadCrc, CtlExit::BadReply, "exception 04");
    row("address change refused", {"address", "9"}, 0, CtlExit::Usage, "stop the bridge");
    row("--unit without --tcp", {"--unit", "7", "status"}, 0, CtlExit::Usage, "give --tcp too");
    // The gateway's line is the bridge's: options that set up a serial line are refused, not ignored.
    row("--echo through the gateway", {"--echo", "-a", "7", "status"}, 0, CtlExit::Usage, "the echo key of its line");
    row("--rs485 through the gateway", {"--rs485", "kernel", "-a", "7", "status"}, 0, CtlExit::Usage,
        "--rs485 is for a serial port");
    row("--rts-delay through the gateway", {"--rts-delay", "100", "-a", "7", "status"}, 0, CtlExit::Usage,
        "the rts_delay_us key");
    row("--baud through the gateway", {"--baud", "9600", "-a", "7", "status"}, 0, CtlExit::Usage,
        "--baud is for a serial port; through --tcp the bridge sets up the line (the baud key of its line)");
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
    const CtlResult result = withTcp ? ctl(arguments) : CtlRig::runProgram(arguments);
    QVERIFY2(result.finished && result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((result.out + result.err).contains(text), qPrintable(result.describe()));
}

void TestCtlTcp::ctlWritesThroughTheGateway()
{
    CtlResult result = ctl({"-a", "7", "switch", "1,3"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(int(controller(7).holdingRegister(RegLdSwitchMask)), 0x0005);
    result = ctl({"-a", "7", "config", "factory"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    // A gateway that is not there: no connection, nothing sent.
    result = tcpCtl(QStringLiteral("127.0.0.1:%1").arg(freeLoopbackPort()), {"status"});
    QVERIFY2(result.exitCode == CtlExit::Port && result.err.contains(QStringLiteral("cannot reach")),
        qPrintable(result.describe()));
    // Unplugged: the gateway reports its line unavailable.
    rig->line(QStringLiteral("a")).unplug();
    QDeadlineTimer deadline(waitMs);
    do {
        result = ctl({"status"});
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
    const quint16 port = quint16(server.readLine().trimmed().toUInt());
    // The script names its port before its server listens there (StartTcpServer
    // does not return): wait until a connection is taken.
    bool listening = false;
    while (port != 0 && !listening && !deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        listening = probe.waitForConnected(1000);
        if (!listening)
            QThread::msleep(20);
    }
    QVERIFY2(listening, "the pymodbus server did not listen");
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    // Function 6 answered with the standard echo, 16 with start and count:
    // both acknowledged, and the power written is read back.
    const QList<QPair<QStringList, QString>> commands = {{{"status"}, "420 ‰"}, {{"power", "500"}, ""},
        {{"config", "factory"}, ""}, {{"--json", "status"}, "\"power_permille\":500"}};
    for (const auto &command : commands) {
        const CtlResult result = tcpCtl(address, command.first);
        QVERIFY2(result.exitCode == 0 && result.out.contains(command.second), qPrintable(result.describe()));
    }
    server.kill();
    server.waitForFinished(waitMs);
}

// A reply is the answer to its request only with its transaction, protocol
// id 0, a length field that matches what came, the unit asked, and a write's
// echo of what was written; the gateway's 0A is a lost line.
void TestCtlTcp::answersHeldToTheRequest_data()
{
    QTest::addColumn<Spoil>("spoil");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    const QStringList status{"-a", "7", "status"};
    const QStringList power{"-a", "7", "power", "10"};
    const auto row
        = [](const char *name, const Spoil &spoil, const QStringList &arguments, int exitCode, const char *text) {
              QTest::newRow(name) << spoil << arguments << exitCode << QString::fromUtf8(text);
          };
    row("the right answer", Spoil{}, status, CtlExit::Ok, "firmware");
    row("another transaction", Spoil{1}, status, CtlExit::BadReply, "mismatched reply: transaction");
    row("protocol id 1", Spoil{0, 1}, status, CtlExit::BadReply, "mismatched reply: protocol id 0001");
    row("length 0", Spoil{0, 0, 0}, status, CtlExit::BadReply, "the header's length 0, for 27 bytes");
    row("length 5", Spoil{0, 0, 5}, status, CtlExit::BadReply, "the header's length 5, for 27 bytes");
    row("length 65535", Spoil{0, 0, 65535}, status, CtlExit::BadReply, "the header's length 65535");
    row("the address's unit, not the unit asked", Spoil{0, 0, -1, 7}, {"--unit", "20", "-a", "7", "status"},
        CtlExit::BadReply, "from unit 7, not 20");
    row("exception 0A", Spoil{0, 0, -1, -1, 0x0A}, status, CtlExit::PortLost, "reports the line unavailable");
    row("a write's echo of another value", Spoil{0, 0, -1, -1, 0, 0, 1}, power, CtlExit::NotAcknowledged,
        "the write's echo holds 00 04 00 0B, not 00 04 00 0A");
    row("a write's echo of another register", Spoil{0, 0, -1, -1, 0, 1}, power, CtlExit::BadReply,
        "acknowledges register 0005, not 0004");
}

void TestCtlTcp::answersHeldToTheRequest()
{
    QFETCH(Spoil, spoil);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    FakeGateway gateway([spoil](quint16 transaction, quint8 unit, const QByteArray &pdu) {
        return answerFor(spoil, transaction, unit, pdu);
    });
    QVERIFY(gateway.port() > 0);
    const CtlResult result = tcpCtl(QStringLiteral("127.0.0.1:%1").arg(gateway.port()), arguments);
    QVERIFY2(result.finished && result.exitCode == exitCode, qPrintable(result.describe()));
    QVERIFY2((result.out + result.err).contains(text), qPrintable(result.describe()));
}

// The rest of an answer to another request, or the late answer to this one,
// may still come: the next request goes over a new connection. The help
// tells what such a reply means.
void TestCtlTcp::mismatchedReplyEndsTheConnection()
{
    std::atomic<int> answers{0};
    FakeGateway gateway([&answers](quint16 transaction, quint8 unit, const QByteArray &pdu) {
        return answerFor(Spoil{answers++ == 0 ? 1 : 0}, transaction, unit, pdu);
    });
    const CtlResult result
        = tcpCtl(QStringLiteral("127.0.0.1:%1").arg(gateway.port()), {"-a", "7", "status", "--count", "2"});
    QVERIFY2(result.err.contains(QStringLiteral("mismatched reply")) && result.out.contains(QStringLiteral("firmware")),
        qPrintable(result.describe()));
    QCOMPARE(gateway.connections(), 2);
    const QString help = CtlRig::runProgram({"--help"}).out;
    QVERIFY2(help.contains(QStringLiteral("A reply to another request (transaction, unit id) is %1, or %2 for a write.")
                               .arg(int(CtlExit::BadReply))
                               .arg(int(CtlExit::NotAcknowledged))),
        qPrintable(help));
}

QTEST_GUILESS_MAIN(TestCtlTcp)
#include "tst_ctltcp.moc"
