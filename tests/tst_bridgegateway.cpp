// The bridge's Modbus TCP gateway against clients no one here wrote:
// mbpoll (reads and writes), pymodbus's TCP client and libmodbus, all on the
// real vortanix-bridge with virtual RS-485 lines. Each exception from the
// fault that causes it; writes the register rules refuse never reach the
// line; 32 clients at once; malformed frames close only their connection;
// the polls keep their beat under load; unit ids across lines, read-only
// mode, idle connections. vortanix-ctl --tcp: tst_ctltcp.

#include "bridgerig.h"
#include "childprocess.h"
#include "mbapframe.h"
#include "modbusframes.h"
#include "modbustcpclient.h"
#include "registers.h"

#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>

#include <csignal>
#include <sys/types.h>

class TestBridgeGateway : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void mbpollReadsAndWrites();
    void pymodbusReadsAndWrites();
    void libmodbusReadsAndWrites();
    void exceptionsFromFaults_data();
    void exceptionsFromFaults();
    void lostPortIsPathUnavailable();
    void refusedWritesSendNothing_data();
    void refusedWritesSendNothing();
    void broadcastIsRefused();
    void malformedFramesCloseOnlyTheirConnection_data();
    void malformedFramesCloseOnlyTheirConnection();
    void functionsNotCarriedAreRefused();
    void requestsOfAClientThatLeftGoWithIt();
    void sigtermAnswersTheWriteOnTheLine();
    void thirtyTwoClientsAtOnce();
    void pollsKeepTheirBeatUnderLoad();
    void unitsMappedAcrossLines();
    void readOnlyAndIdleConnections();
    void clientsBeyondTheLimitOrAllowAreClosed();
    void agentModeReadBackAndIdentity();

private:
    SimController controller(quint8 address) { return rig->controller(QStringLiteral("a"), address); }

    std::unique_ptr<BridgeRig> rig;
    int port = 0;
};

namespace {

constexpr int waitMs = BridgeRig::WaitMs;

using Run = ChildProcess::Finished;

// A pymodbus script against the gateway: `body` uses `c` (a connected
// client) and prints what the test compares.
Run python(int port, const QString &body)
{
    const QString script = QStringLiteral("from pymodbus.client import ModbusTcpClient\n"
                                          "c = ModbusTcpClient('127.0.0.1', port=%1, timeout=10)\n"
                                          "assert c.connect()\n%2\nc.close()\n")
                               .arg(port)
                               .arg(body);
    return ChildProcess::run(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script});
}

// `clients` libmodbus clients of the gateway at once, each in a thread of
// its own at unit 1 (even n) or 7 (odd n); `meanwhile` runs in the test's
// thread. Each `work` returns how many of its requests failed; the failures
// of all once all have ended (a client that cannot connect: one).
int crowd(int port, int clients, const std::function<int(ModbusTcpClient &, int)> &work,
    const std::function<void()> &meanwhile = {})
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < clients; ++n)
        threads.emplace_back([&, n] {
            ModbusTcpClient client(port, n % 2 ? 7 : 1);
            failures += client.connect() ? work(client, n) : 1;
        });
    if (meanwhile)
        meanwhile();
    for (std::thread &thread : threads)
        thread.join();
    return failures;
}

// A bridge of a test's own: a line per name with a controller at address
// 1, then the configuration `config` and the `arguments`; its gateway's
// port, or 0 when it did not start.
int startOwnBridge(BridgeRig &rig, const QStringList &lines, const QString &config, const QStringList &arguments = {})
{
    QString sections;
    for (const QString &name : lines) {
        rig.addLine(name, {1});
        sections += rig.lineSection(name, QStringLiteral("1"));
    }
    rig.bridge().writeConfig(config + sections);
    return rig.bridge().start(arguments) ? rig.bridge().gatewayPort() : 0;
}

// The frames functions 6 and 16 among those a controller heard.
int writesHeard(const SimController &controller)
{
    int writes = 0;
    for (const SimController::Request &request : controller.requests()) {
        const quint8 function = quint8(request.frame.at(1));
        writes += function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters;
    }
    return writes;
}

const QByteArray readPower = QByteArray::fromHex("0300040001");

// What comes on `socket` until `bytes` have come, it closes, or waitMs pass.
QByteArray readAnswer(QTcpSocket &socket, int bytes)
{
    QByteArray answer = socket.readAll();
    QDeadlineTimer deadline(waitMs);
    while (answer.size() < bytes && !deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(100))
            answer += socket.readAll();
    }
    return answer + socket.readAll();
}

// Function 6: `value` to `reg`.
QByteArray pdu6(quint16 reg, quint16 value)
{
    QByteArray pdu(1, char(FuncWriteSingleRegister));
    for (quint16 word : {reg, value})
        pdu.append(char(word >> 8)).append(char(word & 0xFF));
    return pdu;
}

// Sends raw bytes on a new connection; the answer, or empty when the
// gateway closed the connection instead.
QByteArray exchangeRaw(int port, const QByteArray &bytes, bool *closed)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    *closed = false;
    if (!socket.waitForConnected(waitMs))
        return "no connection";
    socket.write(bytes);
    QByteArray answer;
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState && answer.size() < 9)
        if (socket.waitForReadyRead(200))
            answer += socket.readAll();
    answer += socket.readAll();
    *closed = socket.state() != QAbstractSocket::ConnectedState;
    return answer;
}

} // namespace

void TestBridgeGateway::initTestCase()
{
    rig = std::make_unique<BridgeRig>();
    rig->addLine(QStringLiteral("a"), {1, 7});
    // The virtual controllers answer from this process, which a loaded machine
    // may hold up: the line waits a second for them, not the default 50 ms.
    port = rig->startGateway(QStringLiteral("a"), 100);
    QVERIFY2(port > 0, qPrintable(rig->bridge().log()));
}

void TestBridgeGateway::init()
{
    QVERIFY(rig->resetLine(QStringLiteral("a")));
}

void TestBridgeGateway::mbpollReadsAndWrites()
{
    controller(7).setPowerPermille(321);
    controller(7).setTemperature(-55);
    const QStringList power = {"-m", "tcp", "-p", QString::number(port), "-o", "10", "-a", "7", "-0", "-1", "-r", "4"};
    const Run read = ChildProcess::run("mbpoll", power + QStringList{"-c", "4", "-t", "4", "127.0.0.1"});
    QCOMPARE(read.code, 0);
    for (const char *word : {"[4]: \t321", "[5]: \t7", "[7]: \t65481"}) // -5.5 °C as a word
        QVERIFY2(read.out.contains(QLatin1String(word)), qPrintable(read.out));
    // mbpoll writes with function 6 and waits for the standard echo; a
    // value the rules refuse leaves the register as it was.
    for (const QStringList &write : {QStringList{"650", "Written 1 references"}, {"1001", "Illegal data value"}}) {
        const Run run = ChildProcess::run("mbpoll", power + QStringList{"127.0.0.1", write.first()});
        QVERIFY2((run.code == 0) == (write.first() == "650") && run.out.contains(write.last()), qPrintable(run.out));
        QCOMPARE(int(controller(7).holdingRegister(RegPowerPermille)), 650);
    }
}

void TestBridgeGateway::pymodbusReadsAndWrites()
{
    controller(1).setSupplyMillivolts(23456);
    const Run result = python(port,
        // Written for pymodbus 3.0 (Debian 12) and 3.8 (Debian 13): the count
        // by keyword, and a single write's value as either version names it.
        QStringLiteral(
            "r = c.read_holding_registers(1, count=12, slave=1)\n"
            "print('status', r.registers)\n"
            "w = c.write_register(0x1001, 3100, slave=1)\n"
            "print('single', w.function_code, w.address, w.value if hasattr(w, 'value') else w.registers[0])\n"
            "w = c.write_registers(0x2001, [0, 0x00FF, 3500, 0, 3600, 450, 0x000F], slave=1)\n"
            "print('block', w.function_code, w.address, w.count)\n"
            "r = c.read_holding_registers(0x2001, count=7, slave=1)\n"
            "print('config', r.registers)\n"
            "e = c.write_register(5, 9, slave=1)\n"
            "print('address', e.isError(), e.exception_code)\n"
            "e = c.read_holding_registers(1, count=1, slave=42)\n"
            "print('unknown', e.isError(), e.exception_code)\n"));
    QVERIFY2(result.code == 0, qPrintable(result.out));
    for (const char *line : {"status [4095, 0, 0, 0, 1, 0, 253, 0, 23456, 0, 0, 266]", "single 6 4097 3100",
             "block 16 8193 7", "config [0, 255, 3500, 0, 3600, 450, 15]", "address True 1", "unknown True 11"})
        QVERIFY2(result.out.contains(QLatin1String(line)), qPrintable(result.out));
    QCOMPARE(int(controller(1).holdingRegister(RegMaxPowerDac)), 3500); // the block's DAC applies at once
    QCOMPARE(int(controller(1).holdingRegister(RegCfgLdAlarmTemperature)), 450);
}

void TestBridgeGateway::libmodbusReadsAndWrites()
{
    ModbusTcpClient client(port, 1);
    QVERIFY(client.connect());
    QVERIFY(client.write(RegLdSwitchMask, 0x0A05));
    QCOMPARE(int(controller(1).holdingRegister(RegLdSwitchMask)), 0x0A05);
    QCOMPARE(int(controller(7).holdingRegister(RegLdSwitchMask)), 0); // the other unit is untouched
    QVector<quint16> values;
    QVERIFY(client.read(RegLdSwitchMask, 1, &values));
    QCOMPARE(values, QVector<quint16>{0x0A05});
    const QVector<quint16> block = {0, 0x0FF0, 2900, 1, 2, 123, 0x0003};
    QVERIFY(client.writeBlock(ConfigBlockFirst, block));
    QVERIFY(client.read(ConfigBlockFirst, 7, &values));
    QCOMPARE(values, block);
}

void TestBridgeGateway::exceptionsFromFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("exception");

    QTest::newRow("silent on a read") << int(SimController::FaultNoReply) << 0 << false << 0x0B;
    QTest::newRow("silent on a write") << int(SimController::FaultNoReply) << 0 << true << 0x0B;
    QTest::newRow("bad CRC") << int(SimController::FaultBadCrc) << 0 << false << 4;
    QTest::newRow("cut short") << int(SimController::FaultTruncate) << 5 << false << 4;
    QTest::newRow("wrong address") << int(SimController::FaultWrongAddress) << 9 << false << 4;
    QTest::newRow("wrong function") << int(SimController::FaultWrongFunction) << 4 << false << 4;
    QTest::newRow("standard echo to a write") << int(SimController::FaultEcho8) << 0 << true << 4;
    QTest::newRow("controller's exception 02") << int(SimController::FaultException) << 2 << false << 2;
    QTest::newRow("controller's exception 06") << int(SimController::FaultException) << 6 << false << 6;
}

void TestBridgeGateway::exceptionsFromFaults()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(bool, write);
    QFETCH(int, exception);
    controller(7).setFault(SimController::FaultKind(fault), param);
    ModbusTcpClient client(port, 7);
    QVERIFY(client.connect());
    QVector<quint16> values;
    QVERIFY(!(write ? client.write(RegPowerPermille, 500) : client.read(RegPowerPermille, 1, &values)));
    QCOMPARE(client.lastException(), exception);
    // The other controller on the line answers as ever.
    client.setUnit(1);
    QVERIFY(client.read(RegPowerPermille, 1, &values));
}

void TestBridgeGateway::lostPortIsPathUnavailable()
{
    ModbusTcpClient client(port, 1);
    QVERIFY(client.connect());
    rig->line(QStringLiteral("a")).unplug();
    QVector<quint16> values;
    QDeadlineTimer deadline(waitMs);
    // The first requests may still meet the port as it goes, or find it silent.
    do
        client.read(RegPowerPermille, 1, &values);
    while (client.lastException() != 0x0A && !deadline.hasExpired());
    QCOMPARE(client.lastException(), 0x0A);
    const int from = rig->bridge().log().size();
    QVERIFY(rig->line(QStringLiteral("a")).replug());
    // The bridge reopens the port at its next poll; then requests go through again.
    QVERIFY(rig->bridge().waitForLog(QStringLiteral(" open at "), waitMs, from));
    QVERIFY(client.read(RegPowerPermille, 1, &values));
    QCOMPARE(client.lastException(), 0);
}

void TestBridgeGateway::refusedWritesSendNothing_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QVector<quint16>>("values");
    QTest::addColumn<int>("exception");

    QTest::newRow("the address") << int(RegRs485Address) << QVector<quint16>{9} << 1;
    QTest::newRow("the command word") << int(RegCommandWord) << QVector<quint16>{1} << 1;
    QTest::newRow("power 1001") << int(RegPowerPermille) << QVector<quint16>{1001} << 3;
    QTest::newRow("dac 4000") << int(RegMaxPowerDac) << QVector<quint16>{4000} << 3;
    QTest::newRow("temperature") << int(RegLdTemperature) << QVector<quint16>{1} << 2;
    QTest::newRow("no register") << 0x4000 << QVector<quint16>{1} << 2;
    QTest::newRow("block, alarm in range, dac not")
        << int(ConfigBlockFirst) << QVector<quint16>{0, 0x0FFF, 9999, 0, 0, 300, 0x0FFF} << 3;
    QTest::newRow("block of the status registers") << int(RegLdEnableMask) << QVector<quint16>{1, 1} << 2;
}

void TestBridgeGateway::refusedWritesSendNothing()
{
    QFETCH(int, reg);
    QFETCH(QVector<quint16>, values);
    QFETCH(int, exception);
    ModbusTcpClient client(port, 1);
    QVERIFY(client.connect());
    controller(1).clearRequests();
    QVERIFY(!(values.size() == 1 ? client.write(reg, values.first()) : client.writeBlock(reg, values)));
    QCOMPARE(client.lastException(), exception);
    // A read on the same connection comes after the refused write: once it
    // is answered, anything the write sent would be in the log.
    QVector<quint16> marker;
    QVERIFY(client.read(RegMaxPowerDac, 1, &marker));
    QVERIFY(controller(1).waitForRequests(1, waitMs));
    QCOMPARE(writesHeard(controller(1)), 0);
    // The same log sees a write that is allowed.
    QVERIFY(client.write(RegPowerPermille, 1000));
    QCOMPARE(writesHeard(controller(1)), 1);
}

void TestBridgeGateway::broadcastIsRefused()
{
    controller(1).clearRequests();
    bool closed = false;
    const QByteArray answer = exchangeRaw(port, mbapFrame(0, QByteArray::fromHex("0600040064"), 0, 0, 0x4242), &closed);
    QCOMPARE(answer.toHex(), QByteArray("424200000003008601"));
    QCOMPARE(writesHeard(controller(1)), 0);
}

void TestBridgeGateway::malformedFramesCloseOnlyTheirConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("protocol id 1") << mbapFrame(1, readPower, 1);
    QTest::newRow("length says 300") << mbapFrame(1, QByteArray::fromHex("10200100"), 0, 300 - 6)
            + QByteArray(300, '\x01');
    QTest::newRow("length 1: a unit id without a function") << QByteArray::fromHex("00010000000107");
    // Part of a frame, then nothing: the rest does not follow within half a second.
    QTest::newRow("a frame cut off") << mbapFrame(1, readPower).left(9);
}

void TestBridgeGateway::malformedFramesCloseOnlyTheirConnection()
{
    QFETCH(QByteArray, bytes);
    ModbusTcpClient bystander(port, 7);
    QVERIFY(bystander.connect());
    controller(7).setPowerPermille(444);
    bool closed = false;
    exchangeRaw(port, bytes, &closed);
    QVERIFY(closed);
    QVector<quint16> values;
    QVERIFY(bystander.read(RegPowerPermille, 1, &values));
    QCOMPARE(values, QVector<quint16>{444});
    // A good frame on a new connection carries its own transaction id back.
    const QByteArray answer = exchangeRaw(port, mbapFrame(7, readPower, 0, 0, 0xBEEF), &closed);
    QCOMPARE(answer.toHex(),
        QByteArray("beef00000005070302"
                   "01bc"));
}

void TestBridgeGateway::functionsNotCarriedAreRefused()
{
    // Framed by their header whatever their length, answered 01, and the connection stays.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    QVERIFY(socket.waitForConnected(waitMs));
    const struct
    {
        const char *pdu;
        const char *answer;
    } rows[] = {{"0800001234", "123400000003078801"}, {"1800040001", "123400000003079801"}};
    for (const auto &row : rows) {
        socket.write(mbapFrame(7, QByteArray::fromHex(row.pdu)));
        QCOMPARE(readAnswer(socket, 9).toHex(), QByteArray(row.answer));
    }
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TestBridgeGateway::requestsOfAClientThatLeftGoWithIt()
{
    // 200 writes in one burst, each acknowledged 100 ms late; the client is
    // gone after the first reached the controller. What it sent goes with it:
    // at most the write on the wire then is carried out.
    SimController seven = controller(7);
    seven.setFault(SimController::FaultDelay, 100);
    seven.clearRequests();
    QByteArray burst;
    for (int i = 0; i < 200; ++i)
        burst += mbapFrame(7, pdu6(RegPowerPermille, quint16(i)), 0, 0, quint16(i));
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        QVERIFY(socket.waitForConnected(waitMs));
        socket.write(burst);
        QVERIFY(socket.waitForBytesWritten(waitMs));
        QVERIFY(seven.waitForRequests(1, waitMs));
        socket.abort();
    }
    // A marker from another client: once it is heard, nothing of the first one is still coming.
    seven.clearFault();
    ModbusTcpClient marker(port, 7);
    QVERIFY(marker.connect());
    QVector<quint16> values;
    QVERIFY(marker.read(RegMaxPowerDac, 1, &values));
    QVERIFY2(writesHeard(seven) <= 2, qPrintable(QString::number(writesHeard(seven))));
}

void TestBridgeGateway::sigtermAnswersTheWriteOnTheLine()
{
    // A bridge of its own: SIGTERM comes while a write is on the line; the
    // controller acknowledges it a byte at a time, and the client still gets its answer.
    BridgeRig own;
    const int ownPort = startOwnBridge(
        own, {QStringLiteral("t")}, QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\n"));
    QVERIFY2(ownPort > 0, qPrintable(own.bridge().log()));
    QVERIFY(own.bridge().waitForLog(QStringLiteral("t-1 (address 1): online")));
    SimController one = own.controller(QStringLiteral("t"), 1);
    one.setFault(SimController::FaultGapPace, 30);
    one.clearRequests();
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(ownPort));
    QVERIFY(socket.waitForConnected(waitMs));
    socket.write(mbapFrame(1, pdu6(RegPowerPermille, 432), 0, 0, 0x5151));
    QVERIFY(socket.waitForBytesWritten(waitMs));
    QDeadlineTimer heard(waitMs);
    while (writesHeard(one) == 0 && !heard.hasExpired())
        one.waitForRequests(one.requests().size() + 1, 100);
    QCOMPARE(writesHeard(one), 1);
    ::kill(pid_t(own.bridge().pid()), SIGTERM);
    const QByteArray answer = readAnswer(socket, 12);
    QCOMPARE(own.bridge().waitForExit(), 0);
    QVERIFY2(answer.toHex()
            == QByteArray("51510000000601060004"
                          "01b0"),
        qPrintable(answer.toHex() + '\n' + own.bridge().log()));
}

void TestBridgeGateway::thirtyTwoClientsAtOnce()
{
    controller(1).setPowerPermille(111);
    controller(7).setPowerPermille(777);
    constexpr int clients = 32;
    constexpr int reads = 15;
    std::atomic<int> good{0};
    const int wrong = crowd(port, clients, [&good](ModbusTcpClient &client, int n) {
        int failed = 0;
        for (int i = 0; i < reads; ++i) {
            QVector<quint16> values;
            if (client.read(RegPowerPermille, 1, &values) && values.first() == (n % 2 ? 777 : 111))
                ++good;
            else
                ++failed;
        }
        return failed;
    });
    QCOMPARE(wrong, 0);
    QCOMPARE(good.load(), clients * reads);
}

void TestBridgeGateway::pollsKeepTheirBeatUnderLoad()
{
    // The bridge polls each controller every 100 ms: 12 registers from 0x0001.
    // The clients read the DAC limit, so the two are told apart in the log.
    const auto isPoll
        = [](const QByteArray &f) { return f.at(0) == 1 && f.mid(1, 5) == QByteArray::fromHex("030001000C"); };
    const auto isClient = [](const QByteArray &f) { return f.mid(1, 5) == QByteArray::fromHex("0310010001"); };
    controller(1).clearRequests();
    std::atomic<bool> stop{false};
    int polls = 0;
    QList<SimController::Request> heard;
    const auto load = [&stop](ModbusTcpClient &client, int) {
        int failed = 0;
        QVector<quint16> values;
        while (!stop)
            failed += client.read(RegMaxPowerDac, 1, &values) ? 0 : 1;
        return failed;
    };
    // Load until controller 1 has had 20 polls; a bridge that served its
    // clients before its polls would never get there.
    const int failures = crowd(port, 32, load, [&] {
        QDeadlineTimer deadline(120000);
        while (polls < 20 && !deadline.hasExpired()) {
            controller(1).waitForRequests(heard.size() + 1, 500);
            heard = controller(1).requests();
            polls = int(std::count_if(
                heard.begin(), heard.end(), [&](const SimController::Request &r) { return isPoll(r.frame); }));
        }
        stop = true;
    });
    QCOMPARE(failures, 0);
    QVERIFY2(polls >= 20, qPrintable(QStringLiteral("%1 polls").arg(polls)));
    // The clients did load the line, and between two polls of controller 1 no
    // more gateway requests went out than fit in a few poll intervals.
    int served = 0;
    int longestRun = 0;
    int run = 0;
    for (const SimController::Request &request : heard) {
        if (isPoll(request.frame)) {
            longestRun = qMax(longestRun, run);
            run = 0;
        } else if (isClient(request.frame)) {
            ++served;
            ++run;
        }
    }
    QVERIFY2(served >= 20, qPrintable(QStringLiteral("%1 client requests").arg(served)));
    qInfo("%d polls of controller 1 with %d client requests on the line; at most %d between two polls", polls, served,
        longestRun);
}

void TestBridgeGateway::unitsMappedAcrossLines()
{
    // One address on two lines: the unit ids are mapped (the refusals of
    // unmapped and doubly mapped units: tst_bridgeconfig).
    BridgeRig two;
    const int gatewayPort = startOwnBridge(two, {"a", "b"},
        QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\nunit.10=a:1\nunit.11=b:1\n"));
    QVERIFY2(gatewayPort > 0, qPrintable(two.bridge().log()));
    two.controller(QStringLiteral("b"), 1).setPowerPermille(222);
    ModbusTcpClient client(gatewayPort, 11);
    QVERIFY(client.connect());
    QVector<quint16> values;
    // Read from what the bridge holds: the value shows once a poll has seen it.
    QTRY_VERIFY_WITH_TIMEOUT(client.read(RegPowerPermille, 1, &values) && values == QVector<quint16>{222}, waitMs);
    client.setUnit(1); // not a unit any more once units are mapped
    QVERIFY(!client.read(RegPowerPermille, 1, &values));
    QCOMPARE(client.lastException(), 0x0B);
    QCOMPARE(two.bridge().terminate(), 0);
}

void TestBridgeGateway::readOnlyAndIdleConnections()
{
    BridgeRig other;
    const int gatewayPort = startOwnBridge(other, {"a"}, QStringLiteral("[modbus_tcp]\nidle_timeout_s=1\n"),
        {"--no-mqtt", "--read-only", "--modbus-tcp", "127.0.0.1:0"});
    QVERIFY2(gatewayPort > 0, qPrintable(other.bridge().log()));
    ModbusTcpClient client(gatewayPort, 1);
    QVERIFY(client.connect());
    QVERIFY(!client.write(RegPowerPermille, 5));
    QCOMPARE(client.lastException(), 1);
    QVector<quint16> values;
    QVERIFY(client.read(RegPowerPermille, 1, &values));
    // A connection that stays quiet is closed after idle_timeout_s.
    QTcpSocket quiet;
    quiet.connectToHost(QStringLiteral("127.0.0.1"), quint16(gatewayPort));
    QVERIFY(quiet.waitForConnected(waitMs));
    QVERIFY(quiet.state() == QAbstractSocket::UnconnectedState || quiet.waitForDisconnected(waitMs));
    QCOMPARE(other.bridge().terminate(), 0);
}

void TestBridgeGateway::clientsBeyondTheLimitOrAllowAreClosed()
{
    BridgeRig own;
    const int ownPort = startOwnBridge(
        own, {QStringLiteral("c")}, QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\n"));
    QVERIFY2(ownPort > 0, qPrintable(own.bridge().log()));
    // 64 clients, each served: the 65th is closed at once, and logged once.
    std::vector<std::unique_ptr<ModbusTcpClient>> clients;
    QVector<quint16> values;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<ModbusTcpClient>(ownPort, 1));
        QVERIFY(clients.back()->connect());
        QVERIFY(clients.back()->read(RegPowerPermille, 1, &values));
    }
    bool closed = false;
    QCOMPARE(exchangeRaw(ownPort, mbapFrame(1, readPower), &closed), QByteArray());
    QVERIFY(closed);
    QVERIFY(own.bridge().waitForLog(QStringLiteral("64 clients are served already (logged once)")));
    for (const auto &client : clients)
        QVERIFY(client->read(RegPowerPermille, 1, &values));
    QCOMPARE(own.bridge().terminate(), 0);

    // A client outside allow= is closed with nothing sent on the line.
    BridgeRig fenced;
    const int fencedPort = startOwnBridge(fenced, {QStringLiteral("f")},
        QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\nallow=192.0.2.0/24\n"));
    QVERIFY2(fencedPort > 0, qPrintable(fenced.bridge().log()));
    SimController one = fenced.controller(QStringLiteral("f"), 1);
    one.clearRequests();
    QCOMPARE(exchangeRaw(fencedPort, mbapFrame(1, pdu6(RegPowerPermille, 9)), &closed), QByteArray());
    QVERIFY(closed);
    QVERIFY(fenced.bridge().waitForLog(QStringLiteral("refused a client at 127.0.0.1: not in [modbus_tcp] allow")));
    QVERIFY(one.waitForRequests(1, waitMs)); // a poll came since
    QCOMPARE(writesHeard(one), 0);
    QCOMPARE(fenced.bridge().terminate(), 0);
}

void TestBridgeGateway::agentModeReadBackAndIdentity()
{
    // A bridge as it comes (reads served from what it holds, writes read
    // back) and pymodbus: a read of the power is answered from the last poll,
    // with no exchange; a controller that acknowledges a write but does not
    // take it is exception 04; the device's identification comes from the
    // bridge (vendor, product, revision from the firmware register).
    BridgeRig own;
    const int ownPort = startOwnBridge(
        own, {QStringLiteral("m")}, QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\n"));
    QVERIFY2(ownPort > 0, qPrintable(own.bridge().log()));
    QVERIFY(own.bridge().waitForLog(QStringLiteral("m-1 (address 1): online")));
    SimController one = own.controller(QStringLiteral("m"), 1);
    one.setFault(SimController::FaultNotApplied);
    one.clearRequests();
    const Run result = python(ownPort,
        QStringLiteral("r = c.read_holding_registers(4, count=1, slave=1)\n"
                       "print('power', r.registers)\n"
                       "w = c.write_register(4, 700, slave=1)\n"
                       "print('write', w.isError(), w.exception_code)\n"
                       "try:\n"
                       "    from pymodbus.mei_message import ReadDeviceInformationRequest\n"
                       "except ImportError:\n"
                       "    from pymodbus.pdu.mei_message import ReadDeviceInformationRequest\n"
                       "q = ReadDeviceInformationRequest(read_code=1, object_id=0)\n"
                       "q.unit_id = q.slave_id = q.dev_id = 1  # as pymodbus 3.0, 3.1+ and later name it\n"
                       "try:\n"
                       "    i = c.execute(False, q)  # 3.8 and later: (no_response_expected, request)\n"
                       "except TypeError:\n"
                       "    i = c.execute(q)\n"
                       "print('identity', [i.information[k].decode() for k in sorted(i.information)])\n"));
    QVERIFY2(result.code == 0, qPrintable(result.out));
    for (const char *line :
        {"power [0]", "write True 4", "identity ['VORTANIX', 'VORTANIX UV light-source controller', 'V1.10']"})
        QVERIFY2(result.out.contains(QLatin1String(line)), qPrintable(result.out));
    QCOMPARE(int(one.holdingRegister(RegPowerPermille)), 0);
    // The write and its read-back went on the line; the read did not.
    QStringList heard = hexFrames(framesOf(one.requests()));
    QVERIFY2(heard.contains(writeFrame(1, RegPowerPermille, 700)), qPrintable(heard.join('\n')));
    QVERIFY2(heard.contains(readFrame(1, RegPowerPermille, 1)), qPrintable(heard.join('\n')));
    QCOMPARE(heard.count(readFrame(1, RegPowerPermille, 1)), 1);
    QCOMPARE(own.bridge().terminate(), 0);
}

QTEST_GUILESS_MAIN(TestBridgeGateway)
#include "tst_bridgegateway.moc"
