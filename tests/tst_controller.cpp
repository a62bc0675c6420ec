// The controller library: how a reply is judged (a table of byte sequences),
// the configuration block's words, the status as JSON, and the typed
// operations on a serial port held open, against the virtual controller on a
// real pseudo-terminal, with every way a reply can go wrong.

#include "configblock.h"
#include "controller.h"
#include "modbusframes.h"
#include "protocol.h"
#include "registers.h"
#include "seriallink.h"
#include "statusjson.h"
#include "virtualcontroller.h"

#include <QJsonArray>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

Q_DECLARE_METATYPE(Outcome::Kind)

namespace {

const QByteArray powerWrite = writeRequest(1, RegPowerPermille, 500);

// Waits for exchanges that must be answered, long enough for a loaded
// machine: how soon the virtual controller answers is not what they test.
Controller::Waits patientWaits()
{
    Controller::Waits waits;
    waits.readMs = waits.writeAckMs = waits.blockAckMs = 2000;
    return waits;
}
const QVector<quint16> someStatus{0x0FFF, 0x0005, 1, 650, 1, 0, 253, 0, 23999, 0x0045, 0xA870, 0x010A};

} // namespace

class TestController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void judge_data();
    void judge();
    void traceLineTellsEverything();
    void configBlockWords();
    void waitsCoverTheRequestOnTheWire_data();
    void waitsCoverTheRequestOnTheWire();
    void statusAsJson_data();
    void statusAsJson();

    void typedOperations();
    void blockWritesGoOutWhole_data();
    void blockWritesGoOutWhole();
    void faultsBecomeOutcomes_data();
    void faultsBecomeOutcomes();
    void staleBytesNeverReachTheNextReply();
    void addressChangeIsBroadcast();
    void openErrorsSayWhy();
    void pulledAdapterIsPortLost();
    void requestThatLeftIsNeverCalledUnsent();

private:
    std::unique_ptr<VirtualController> sim;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SerialLink> link;
    Protocol protocol;
};

void TestController::init()
{
    dir = std::make_unique<QTemporaryDir>();
    sim = std::make_unique<VirtualController>();
    QVERIFY(sim->start(dir->filePath(QStringLiteral("ttyVIRT0"))));
    link = std::make_unique<SerialLink>();
    QVERIFY2(link->open(sim->portPath(), 115200), qPrintable(link->openErrorText()));
}

void TestController::cleanup()
{
    link.reset();
    sim.reset();
    dir.reset();
}

// What arrived for a request → what it counts as.
void TestController::judge_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("want");
    QTest::addColumn<bool>("prepared");
    QTest::addColumn<Outcome::Kind>("kind");
    QTest::addColumn<int>("exceptionCode");

    const QByteArray fullStatus = readReply(1, someStatus);
    const int statusLength = readReplyLength(StatusBlockCount);
    QTest::newRow("status read answered") << statusRead() << fullStatus << statusLength << true << Outcome::Ok << 0;
    QTest::newRow("nothing came") << statusRead() << QByteArray() << statusLength << true << Outcome::Timeout << 0;
    QTest::newRow("cut off") << statusRead() << fullStatus.left(20) << statusLength << true << Outcome::Short << 0;
    QTest::newRow("fewer words than asked, good CRC")
        << statusRead() << readReply(1, {1, 2}) << statusLength << true << Outcome::Incomplete << 0;
    QByteArray flipped = fullStatus;
    flipped[10] = char(flipped.at(10) ^ 0x01);
    QTest::newRow("one bit flipped") << statusRead() << flipped << statusLength << true << Outcome::BadCrc << 0;
    QTest::newRow("exception 2") << statusRead() << exceptionReply(1, 0x03, 2) << statusLength << true
                                 << Outcome::Exception << 2;
    QTest::newRow("exception 6") << powerWrite << exceptionReply(1, 0x06, 6) << WriteAckLength << true
                                 << Outcome::Exception << 6;
    QTest::newRow("another controller") << statusRead() << readReply(9, someStatus) << statusLength << true
                                        << Outcome::WrongAddress << 0;
    QTest::newRow("exception from another controller")
        << statusRead() << exceptionReply(9, 0x03, 2) << statusLength << true << Outcome::WrongAddress << 0;
    QTest::newRow("an acknowledgement where a read was asked")
        << statusRead() << ack(1, 0x06, RegPowerPermille) << statusLength << true << Outcome::WrongFunction << 0;
    QTest::newRow("write acknowledged") << powerWrite << ack(1, 0x06, RegPowerPermille) << WriteAckLength << true
                                        << Outcome::Ok << 0;
    QTest::newRow("write acknowledged by another controller")
        << powerWrite << ack(7, 0x06, RegPowerPermille) << WriteAckLength << true << Outcome::WrongAddress << 0;
    QTest::newRow("write echoed in the standard 8 bytes")
        << powerWrite << powerWrite.left(6) << WriteAckLength << true << Outcome::NotAcknowledged << 0;
    QTest::newRow("write acknowledged for another register")
        << powerWrite << ack(1, 0x06, RegMaxPowerDac) << WriteAckLength << true << Outcome::WrongRegister << 0;
    QTest::newRow("write acknowledged for the register next to it")
        << powerWrite << ack(1, 0x06, RegPowerPermille + 1) << WriteAckLength << true << Outcome::WrongRegister << 0;
    QTest::newRow("write acknowledged for 0x1004: the high byte differs")
        << powerWrite << ack(1, 0x06, RegPowerPermille + 0x1000) << WriteAckLength << true << Outcome::WrongRegister
        << 0;
    const QByteArray blockWrite = blockRequest(1, ConfigBlockFirst, {0, 1, 2, 3, 4, 5, 6});
    QTest::newRow("block write acknowledged for its second register")
        << blockWrite << ack(1, 0x10, ConfigBlockFirst + 1) << WriteAckLength << true << Outcome::WrongRegister << 0;
    QTest::newRow("block write acknowledged as a single write of its first register")
        << blockWrite << ack(1, 0x06, ConfigBlockFirst) << WriteAckLength << true << Outcome::WrongFunction << 0;
    QTest::newRow("block write acknowledged")
        << blockWrite << ack(1, 0x10, ConfigBlockFirst) << WriteAckLength << true << Outcome::Ok << 0;
    QTest::newRow("block write echoed") << blockWrite << blockWrite.left(6) << WriteAckLength << true
                                        << Outcome::NotAcknowledged << 0;
    QTest::newRow("broadcast") << writeRequest(0, RegCommandWord, 1) << QByteArray() << 0 << true << Outcome::Sent << 0;
    QTest::newRow("port not ready") << statusRead() << QByteArray() << statusLength << false << Outcome::PortLost << 0;
    QTest::newRow("port not ready for a broadcast")
        << writeRequest(0, RegCommandWord, 1) << QByteArray() << 0 << false << Outcome::PortLost << 0;
}

void TestController::judge()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(int, want);
    QFETCH(bool, prepared);
    QFETCH(Outcome::Kind, kind);
    QFETCH(int, exceptionCode);
    quint8 code = 0;
    QCOMPARE(Outcome::judge(request, reply, want, prepared, &code), kind);
    QCOMPARE(int(code), exceptionCode);
}

void TestController::traceLineTellsEverything()
{
    Outcome outcome;
    outcome.kind = Outcome::Exception;
    outcome.exceptionCode = 2;
    outcome.request = statusRead();
    outcome.reply = exceptionReply(1, 0x03, 2);
    outcome.elapsedNs = 1234567;
    outcome.prepareNs = 500000;
    QCOMPARE(outcome.traceLine("read", "clear"),
        QStringLiteral("read req 01 03 00 01 00 0C 14 0F | rep 01 83 02 C0 F1 | 1.235 ms (clear 0.500 ms) | "
                       "exception 02"));
}

void TestController::configBlockWords()
{
    // The factory block as the controller documents it.
    const auto factory = ConfigBlock::factory().toWords();
    QCOMPARE(QVector<quint16>(factory.begin(), factory.end()),
        (QVector<quint16>{0, 0x0FFF, 3980, 0x0225, 0x5100, 300, 0x0FFF}));
    // Decoding ignores the reserved word and takes the seconds high word first.
    const ConfigBlock block = ConfigBlock::fromWords({0xBEEF, 0x0A05, 3500, 0x0003, 0x4000, 417, 0x0030});
    QCOMPARE(block.ldMask, quint16(0x0A05));
    QCOMPARE(block.ldMaxDac, quint16(3500));
    QCOMPARE(block.compensationSeconds, quint32(0x00034000));
    QCOMPARE(block.alarmTenths, quint16(417));
    QCOMPARE(block.lowPowerMask, quint16(0x0030));
    const auto words = block.toWords();
    QCOMPARE(
        QVector<quint16>(words.begin(), words.end()), (QVector<quint16>{0, 0x0A05, 3500, 0x0003, 0x4000, 417, 0x0030}));
}

// Baud rate → the default waits with the request's time on the wire added
// (8 bytes, 23 for the block, 10 bits a byte, rounded up).
void TestController::waitsCoverTheRequestOnTheWire_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<QVector<int>>("waits"); // read, write, block, broadcast pause
    QTest::newRow("9600") << 9600 << QVector<int>{59, 209, 524, 29};
    QTest::newRow("19200") << 19200 << QVector<int>{55, 205, 512, 25};
    QTest::newRow("57600") << 57600 << QVector<int>{52, 202, 504, 22};
    QTest::newRow("115200") << 115200 << QVector<int>{51, 201, 502, 21};
}

void TestController::waitsCoverTheRequestOnTheWire()
{
    QFETCH(int, baud);
    QFETCH(QVector<int>, waits);
    const Controller::Waits w = Controller::Waits().plusWireTime(baud);
    QCOMPARE((QVector<int>{w.readMs, w.writeAckMs, w.blockAckMs, w.broadcastPauseMs}), waits);
}

void TestController::statusAsJson_data()
{
    QTest::addColumn<int>("temperature");
    QTest::addColumn<QJsonValue>("celsius");
    QTest::addColumn<QString>("sensor");
    QTest::newRow("25.3") << 253 << QJsonValue(25.3) << "ok";
    QTest::newRow("-10") << -100 << QJsonValue(-10.0) << "ok";
    QTest::newRow("open circuit") << -600 << QJsonValue(QJsonValue::Null) << "open";
    QTest::newRow("short circuit") << 1200 << QJsonValue(QJsonValue::Null) << "short";
}

void TestController::statusAsJson()
{
    QFETCH(int, temperature);
    QFETCH(QJsonValue, celsius);
    QFETCH(QString, sensor);
    StatusBlock status;
    status.setWord(RegLdEnableMask, 0x0FFF);
    status.setWord(RegLdSwitchMask, 0x0803);
    status.setWord(RegAdcEnable, 0x0101); // only the low byte counts
    status.setWord(RegPowerPermille, 650);
    status.setWord(RegRs485Address, 0x0107);
    status.setWord(RegLdTemperature, quint16(qint16(temperature)));
    status.setWord(RegSupplyVoltage, 23999);
    status.setWord(RegRunSecondsHigh, quint16(4564800u >> 16));
    status.setWord(RegRunSecondsLow, quint16(4564800u & 0xFFFF));
    status.setWord(RegFirmwareVersion, 0x010A);
    status.setWord(RegStatusWord6, 6);
    status.setWord(RegStatusWord8, 8);
    const QDateTime time(QDate(2026, 12, 7), QTime(17, 6, 44, 123), Qt::OffsetFromUTC, 8 * 3600);
    const QJsonObject json = StatusJson::toJson(status, time);

    QCOMPARE(json.keys().size(), StatusJson::keys().size());
    for (const QString &key : StatusJson::keys())
        QVERIFY2(json.contains(key), qPrintable(key));
    QCOMPARE(json.value("time").toString(), QStringLiteral("2026-12-07T17:06:44.123+08:00"));
    QCOMPARE(json.value("address").toInt(), 7);
    QCOMPARE(json.value("temperature_c"), celsius);
    QCOMPARE(json.value("sensor").toString(), sensor);
    QCOMPARE(json.value("power_permille").toInt(), 650);
    QCOMPARE(json.value("supply_v").toDouble(), 23.999);
    QCOMPARE(json.value("run_seconds").toInt(), 4564800);
    QCOMPARE(json.value("run_hours").toInt(), 1268);
    QCOMPARE(json.value("firmware").toString(), QStringLiteral("1.10"));
    QCOMPARE(json.value("adc_enabled").toBool(), true);
    QCOMPARE(json.value("modules_on").toArray(), (QJsonArray{1, 2, 12}));
    QCOMPARE(json.value("modules_enabled").toArray().size(), 12);
    QCOMPARE(json.value("status_word_6").toInt(), 6);
    QCOMPARE(json.value("status_word_8").toInt(), 8);
}

void TestController::typedOperations()
{
    Controller controller(*link, protocol, 1);
    controller.setWaits(patientWaits());
    for (int k = 0; k < StatusBlockCount; ++k)
        sim->setHoldingRegister(quint16(StatusBlockFirst + k), someStatus.at(k));
    StatusBlock status;
    Outcome outcome = controller.readStatus(&status);
    QCOMPARE(outcome.kind, Outcome::Ok);
    QCOMPARE(status.ldSwitchMask(), quint16(0x0005));
    QCOMPARE(status.ldTemperature(), qint16(253));
    QCOMPARE(status.runSeconds(), quint32(0x0045A870));
    QCOMPARE(status.firmwareVersion(), quint16(0x010A));

    QCOMPARE(controller.writeRegister(RegPowerPermille, 777).kind, Outcome::Ok);
    QCOMPARE(sim->holdingRegister(RegPowerPermille), quint16(777));
    QCOMPARE(controller.writeRegister(RegMaxPowerDac, 3100).kind, Outcome::Ok);
    quint16 dac = 0;
    QCOMPARE(controller.readMaxDac(&dac).kind, Outcome::Ok);
    QCOMPARE(dac, quint16(3100));

    ConfigBlock block = ConfigBlock::fromWords({0, 0x0A05, 3500, 0x0003, 0x4000, 417, 0x0030});
    QCOMPARE(controller.writeConfig(block).kind, Outcome::Ok);
    ConfigBlock back;
    QCOMPARE(controller.readConfig(&back).kind, Outcome::Ok);
    QVERIFY(back == block);

    // What went on the line, frame by frame.
    const QList<VirtualController::Request> requests = sim->requests();
    QCOMPARE(requests.size(), 6);
    QCOMPARE(requests.at(0).frame, statusRead());
    QCOMPARE(requests.at(1).frame, writeRequest(1, RegPowerPermille, 777));
    QCOMPARE(requests.at(4).frame, blockRequest(1, ConfigBlockFirst, {0, 0x0A05, 3500, 0x0003, 0x4000, 417, 0x0030}));
}

// A block write sends every word it is given, also where the controller
// refuses the block: a block cut short would be acknowledged as a whole.
void TestController::blockWritesGoOutWhole_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<Outcome::Kind>("kind");
    QTest::addColumn<int>("exceptionCode");
    QTest::newRow("the configuration block") << int(ConfigBlockFirst) << int(ConfigBlockCount) << Outcome::Ok << 0;
    QTest::newRow("the most one request holds") << int(ConfigBlockFirst) << 123 << Outcome::Exception << 2;
    QTest::newRow("one word more") << int(ConfigBlockFirst) << 124 << Outcome::Exception << 3;
}

void TestController::blockWritesGoOutWhole()
{
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(Outcome::Kind, kind);
    QFETCH(int, exceptionCode);
    QVector<quint16> words(count);
    for (int i = 0; i < count; ++i)
        words[i] = quint16(i == 2 ? MaxPowerDacMin : i); // the block's third word is the DAC
    Controller controller(*link, protocol, 1);
    controller.setWaits(patientWaits());
    const Outcome outcome = controller.writeRegisters(quint16(first), words.constData(), quint16(count));
    QCOMPARE(outcome.kind, kind);
    QCOMPARE(int(outcome.exceptionCode), exceptionCode);
    const QList<VirtualController::Request> requests = sim->requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().frame, blockRequest(1, quint16(first), words));
}

void TestController::faultsBecomeOutcomes_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("write");
    QTest::addColumn<Outcome::Kind>("kind");
    using F = VirtualController;
    QTest::newRow("read: silent") << int(F::FaultNoReply) << 0 << false << Outcome::Timeout;
    QTest::newRow("read: bad CRC") << int(F::FaultBadCrc) << 0 << false << Outcome::BadCrc;
    QTest::newRow("read: cut to 10 bytes") << int(F::FaultTruncate) << 10 << false << Outcome::Short;
    QTest::newRow("read: exception 4") << int(F::FaultException) << 4 << false << Outcome::Exception;
    QTest::newRow("read: from address 9") << int(F::FaultWrongAddress) << 9 << false << Outcome::WrongAddress;
    QTest::newRow("read: garbage first") << int(F::FaultGarbageBefore) << 3 << false << Outcome::BadCrc;
    QTest::newRow("write: silent") << int(F::FaultNoReply) << 0 << true << Outcome::Timeout;
    QTest::newRow("write: bad CRC") << int(F::FaultBadCrc) << 0 << true << Outcome::BadCrc;
    QTest::newRow("write: 8-byte echo") << int(F::FaultEcho8) << 0 << true << Outcome::NotAcknowledged;
    QTest::newRow("write: from address 9") << int(F::FaultWrongAddress) << 9 << true << Outcome::WrongAddress;
    QTest::newRow("read: with function 4") << int(F::FaultWrongFunction) << 4 << false << Outcome::WrongFunction;
    QTest::newRow("write: with function 3") << int(F::FaultWrongFunction) << 3 << true << Outcome::WrongFunction;
    QTest::newRow("write: for register 0x0007") << int(F::FaultWrongRegister) << 7 << true << Outcome::WrongRegister;
}

void TestController::faultsBecomeOutcomes()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(bool, write);
    QFETCH(Outcome::Kind, kind);
    Controller controller(*link, protocol, 1);
    sim->setFault(VirtualController::FaultKind(fault), param, 1);
    StatusBlock status;
    status.setWord(RegPowerPermille, 4321);
    const Outcome outcome = write ? controller.writeRegister(RegPowerPermille, 500) : controller.readStatus(&status);
    QCOMPARE(outcome.kind, kind);
    QVERIFY(!outcome.isOk());
    QCOMPARE(status.powerPermille(), quint16(4321)); // nothing decoded from a bad reply
    // The next exchange is clean, whatever the fault left on the line.
    QVERIFY(sim->waitForRequests(1, 5000));
    QTRY_COMPARE_WITH_TIMEOUT(sim->finishedReplyCount(), sim->replyCount(), 5000);
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
}

// A reply that comes after its exchange gave up waits in the input; clearing
// it before the next request keeps it out of the next reply.
void TestController::staleBytesNeverReachTheNextReply()
{
    Controller controller(*link, protocol, 1);
    sim->setFault(VirtualController::FaultDelay, 300, 1);
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(sim->finishedReplyCount(), 1, 5000); // the late reply is in the input now
    sim->setPowerPermille(321);
    controller.setWaits(patientWaits());
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
    QCOMPARE(status.powerPermille(), quint16(321));
}

void TestController::addressChangeIsBroadcast()
{
    Controller controller(*link, protocol, 1);
    controller.setWaits(patientWaits());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(controller.changeAddress(42).kind, Outcome::Sent);
    QVERIFY(clock.elapsed() >= 3 * 20); // a pause after each broadcast
    QVERIFY(sim->waitForRequests(3, 5000));
    const QList<VirtualController::Request> requests = sim->requests();
    QCOMPARE(requests.at(0).frame, writeRequest(0, RegRs485Address, 42));
    QCOMPARE(requests.at(1).frame, writeRequest(0, RegRs485Address, 42));
    QCOMPARE(requests.at(2).frame, writeRequest(0, RegCommandWord, 1));
    QCOMPARE(sim->address(), quint8(42));
    controller.setAddress(42);
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
    QCOMPARE(status.rs485Address(), quint16(42));
}

void TestController::openErrorsSayWhy()
{
    SerialLink other;
    QVERIFY(!other.open(dir->filePath(QStringLiteral("nothing-here")), 115200));
    QCOMPARE(other.openError(), SerialLink::Missing);
    QVERIFY(other.openErrorText().contains(QStringLiteral("no such port")));
    // The port this test holds is taken.
    QVERIFY(!other.open(sim->portPath(), 115200));
    QCOMPARE(other.openError(), SerialLink::Busy);
    QVERIFY2(other.openErrorText().contains(QStringLiteral("in use by PID %1").arg(::getpid())),
        qPrintable(other.openErrorText()));
    // Free again once it is let go.
    link->close();
    QVERIFY2(other.open(sim->portPath(), 115200), qPrintable(other.openErrorText()));
}

void TestController::pulledAdapterIsPortLost()
{
    Controller controller(*link, protocol, 1);
    controller.setWaits(patientWaits());
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
    sim->unplug();
    QCOMPARE(controller.readStatus(&status).kind, Outcome::PortLost);
    QVERIFY(link->isLost());
    // Plugged back in, the same path opens again.
    QVERIFY(sim->replug());
    QVERIFY2(link->open(sim->portPath(), 115200), qPrintable(link->openErrorText()));
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
}

// The port's name goes away (the adapter is being pulled) after the request
// was prepared: the bytes still reach the line and the controller acts on
// them, so the send counts as done; the loss shows from then on.
void TestController::requestThatLeftIsNeverCalledUnsent()
{
    QVERIFY(link->prepare());
    QVERIFY(QFileInfo(sim->portPath()).isSymLink());
    QVERIFY(QFile::remove(sim->portPath()));
    QVERIFY(link->send(reinterpret_cast<const quint8 *>(powerWrite.constData()), powerWrite.size()));
    QVERIFY(sim->waitForRequests(1, 5000));
    QCOMPARE(sim->requests().at(0).frame, powerWrite);
    QVERIFY(link->isLost());
    Controller controller(*link, protocol, 1);
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::PortLost);
}

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
