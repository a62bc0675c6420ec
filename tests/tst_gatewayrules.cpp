// What the Modbus TCP gateway decides before anything goes on a line: the
// controller's register rules (one table), the verdict on each request
// frame, the exception for each outcome of a forwarded request, and the
// gateway addresses vortanix-ctl --tcp takes; and a connection's requests
// taken one at a time, on the hub's fake lines in this thread.

#include "gatewayrequest.h"
#include "hubrig.h"
#include "mbapframe.h"
#include "modbusframes.h"
#include "modbusgateway.h"
#include "registerbank.h"
#include "registermap.h"
#include "registerrules.h"
#include "registers.h"
#include "tcplink.h"

#include <QTcpSocket>
#include <QtTest>

class TestGatewayRules : public QObject
{
    Q_OBJECT

private slots:
    void writesAgainstTheRules_data();
    void writesAgainstTheRules();
    void blockWrites_data();
    void blockWrites();
    void everyRegisterAsItsRowSays();
    void frameLengths_data();
    void frameLengths();
    void requestVerdicts_data();
    void requestVerdicts();
    void forwardedRequestCarriesTheValues();
    void outcomeExceptions_data();
    void outcomeExceptions();
    void gatewayAddresses_data();
    void gatewayAddresses();
    void aConnectionsRequestsInTheirOrder();
};

namespace {

QByteArray words(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v >> 8)).append(char(v & 0xFF));
    return bytes;
}

// A PDU: the function, then words.
QByteArray pdu(int function, std::initializer_list<int> values)
{
    return QByteArray(1, char(function)) + words(values);
}

QByteArray blockWrite(quint16 first, const QVector<quint16> &values, int byteCountDelta = 0)
{
    QByteArray bytes = pdu(FuncWriteMultipleRegisters, {first, int(values.size())});
    bytes.append(char(2 * values.size() + byteCountDelta));
    for (quint16 v : values)
        bytes += words({v});
    return bytes;
}

const QVector<quint16> goodBlock = {0, 0x0FFF, 3980, 0x0225, 0x5100, 300, 0x0FFF};

// The gateway's verdict on a frame when units 1 and 7 are on its lines, or
// every unit is.
GatewayRequest judge(const QByteArray &frame, bool readOnly, bool everyUnit = false)
{
    return GatewayRequest::judge(reinterpret_cast<const quint8 *>(frame.constData()), frame.size(), readOnly,
        [everyUnit](quint8 unit) { return everyUnit || unit == 1 || unit == 7; });
}

} // namespace

void TestGatewayRules::writesAgainstTheRules_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("refusal");

    // Written alone, within range.
    QTest::newRow("power 0") << int(RegPowerPermille) << 0 << 0;
    QTest::newRow("power 1000") << int(RegPowerPermille) << 1000 << 0;
    QTest::newRow("power 1001") << int(RegPowerPermille) << 1001 << 3;
    QTest::newRow("switch all") << int(RegLdSwitchMask) << 0x0FFF << 0;
    QTest::newRow("switch bit 13") << int(RegLdSwitchMask) << 0x1000 << 3;
    QTest::newRow("enable none") << int(RegLdEnableMask) << 0 << 0;
    QTest::newRow("enable 0xFFFF") << int(RegLdEnableMask) << 0xFFFF << 3;
    QTest::newRow("adc on") << int(RegAdcEnable) << 1 << 0;
    QTest::newRow("adc 2") << int(RegAdcEnable) << 2 << 3;
    QTest::newRow("dac 2800") << int(RegMaxPowerDac) << 2800 << 0;
    QTest::newRow("dac 3980") << int(RegMaxPowerDac) << 3980 << 0;
    QTest::newRow("dac 2799") << int(RegMaxPowerDac) << 2799 << 3;
    QTest::newRow("dac 3981") << int(RegMaxPowerDac) << 3981 << 3;
    // Changed on the line itself only.
    QTest::newRow("address") << int(RegRs485Address) << 7 << 1;
    QTest::newRow("command word") << int(RegCommandWord) << 1 << 1;
    // Read-only, block-only, or no register at all.
    QTest::newRow("temperature") << int(RegLdTemperature) << 0 << 2;
    QTest::newRow("firmware") << int(RegFirmwareVersion) << 0x010A << 2;
    QTest::newRow("config mask alone") << int(RegCfgLdMask) << 0x0FFF << 2;
    QTest::newRow("0x000D") << 0x000D << 0 << 2;
    QTest::newRow("0x1000") << 0x1000 << 0 << 2;
    QTest::newRow("0xFFFF") << 0xFFFF << 0 << 2;
}

void TestGatewayRules::writesAgainstTheRules()
{
    QFETCH(int, reg);
    QFETCH(int, value);
    QFETCH(int, refusal);
    QCOMPARE(int(RegisterRules::checkWrite(quint16(reg), quint16(value))), refusal);
}

void TestGatewayRules::blockWrites_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<QVector<quint16>>("values");
    QTest::addColumn<int>("refusal");

    QTest::newRow("the block") << int(ConfigBlockFirst) << goodBlock << 0;
    QVector<quint16> reserved = goodBlock;
    reserved[0] = 0xABCD; // sent as given
    QTest::newRow("reserved word kept") << int(ConfigBlockFirst) << reserved << 0;
    QVector<quint16> dac = goodBlock;
    dac[2] = 2799;
    QTest::newRow("dac below range") << int(ConfigBlockFirst) << dac << 3;
    QVector<quint16> mask = goodBlock;
    mask[6] = 0x1FFF;
    QTest::newRow("low-power mask too wide") << int(ConfigBlockFirst) << mask << 3;
    QTest::newRow("part of the block") << int(ConfigBlockFirst) << goodBlock.mid(0, 6) << 2;
    QTest::newRow("block and one more") << int(ConfigBlockFirst) << (goodBlock + QVector<quint16>{0}) << 2;
    QTest::newRow("shifted by one") << int(ConfigBlockFirst + 1) << goodBlock << 2;
    QTest::newRow("status registers") << int(RegLdEnableMask) << QVector<quint16>{0x0FFF, 0} << 2;
}

void TestGatewayRules::blockWrites()
{
    QFETCH(int, first);
    QFETCH(QVector<quint16>, values);
    QFETCH(int, refusal);
    QCOMPARE(int(RegisterRules::checkBlockWrite(quint16(first), values)), refusal);
}

void TestGatewayRules::everyRegisterAsItsRowSays()
{
    // Every register of the device's table, as its row says: the virtual
    // controller serves a read of it unless it is write-only and takes a write
    // of it alone only when it is written alone; the gateway forwards a write
    // within the range, refuses one beyond either end (as far as a word
    // reaches), and never forwards one to a register changed only on the line.
    using RegisterMap::Access;
    for (const RegisterMap::Row &row : RegisterMap::rows()) {
        const QString name = QString::fromUtf8(row.name);
        RegisterBank bank;
        const bool readRefused = bank.execute(readRequest(1, row.reg, 1)) == exceptionReply(1, 3, 2);
        QVERIFY2(readRefused == (row.access == Access::WriteOnly), qPrintable(name));
        const bool alone = row.access == Access::ReadWrite || row.access == Access::WriteOnly;
        const QByteArray written = bank.execute(writeRequest(1, row.reg, row.min));
        QVERIFY2((written == ack(1, 6, row.reg)) == alone, qPrintable(name));
        const int forwarded = !alone ? RegisterRules::NoSuchRegister
            : row.lineOnly           ? RegisterRules::NotAllowed
                                     : RegisterRules::None;
        QCOMPARE(int(RegisterRules::checkWrite(row.reg, row.min)), forwarded);
        QCOMPARE(int(RegisterRules::checkWrite(row.reg, row.max)), forwarded);
        if (!alone || row.lineOnly)
            continue;
        if (row.max < 0xFFFF)
            QCOMPARE(int(RegisterRules::checkWrite(row.reg, quint16(row.max + 1))), int(RegisterRules::OutOfRange));
        if (row.min > 0)
            QCOMPARE(int(RegisterRules::checkWrite(row.reg, quint16(row.min - 1))), int(RegisterRules::OutOfRange));
    }
}

void TestGatewayRules::frameLengths_data()
{
    // The frame's length from its header, before anything is dispatched: 0
    // while the header is not all there, -1 for a header no frame has.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("length");
    const QByteArray read = mbapFrame(1, pdu(3, {1, 12}));
    QTest::newRow("a read") << read << 12;
    QTest::newRow("its first 6 bytes") << read.left(6) << 12;
    QTest::newRow("its first 5 bytes") << read.left(5) << 0;
    QTest::newRow("protocol id 1") << mbapFrame(1, pdu(3, {1, 12}), 1).left(4) << -1;
    QTest::newRow("length 1: no function") << bytes({0, 1, 0, 0, 0, 1}) << -1;
    QTest::newRow("length 2: a function alone") << bytes({0, 1, 0, 0, 0, 2}) << 8;
    QTest::newRow("length 254: 260 bytes") << bytes({0, 1, 0, 0, 0, 254}) << 260;
    QTest::newRow("length 255") << bytes({0, 1, 0, 0, 0, 255}) << -1;
}

void TestGatewayRules::frameLengths()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, length);
    QCOMPARE(GatewayRequest::frameLength(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size()), length);
}

void TestGatewayRules::requestVerdicts_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<int>("exception");

    const QByteArray read = pdu(3, {1, 12});
    const QByteArray power = pdu(6, {RegPowerPermille, 650});
    const int forward = GatewayRequest::Forward;
    const int refused = GatewayRequest::Refused;
    const int malformed = GatewayRequest::Malformed;

    QTest::newRow("read") << mbapFrame(1, read) << false << forward << 0;
    QTest::newRow("read in read-only mode") << mbapFrame(1, read) << true << forward << 0;
    QTest::newRow("write") << mbapFrame(1, power) << false << forward << 0;
    QTest::newRow("block") << mbapFrame(1, blockWrite(ConfigBlockFirst, goodBlock)) << false << forward << 0;
    // Malformed: the connection is closed.
    QTest::newRow("protocol id 1") << mbapFrame(1, read, 1) << false << malformed << 0;
    QTest::newRow("length one too many") << mbapFrame(1, read, 0, 1) << false << malformed << 0;
    QTest::newRow("length one too few") << mbapFrame(1, read, 0, -1) << false << malformed << 0;
    QTest::newRow("header only") << mbapFrame(1, QByteArray()).left(7) << false << malformed << 0;
    QTest::newRow("over 260 bytes") << mbapFrame(1, QByteArray(1, char(3)) + QByteArray(260, '\0')) << false
                                    << malformed << 0;
    // Refused before the line.
    QTest::newRow("broadcast read") << mbapFrame(0, read) << false << refused << 1;
    QTest::newRow("broadcast write") << mbapFrame(0, power) << false << refused << 1;
    QTest::newRow("unknown unit") << mbapFrame(9, read) << false << refused << 0x0B;
    QTest::newRow("function 4") << mbapFrame(1, pdu(4, {1, 1})) << false << refused << 1;
    QTest::newRow("function 5") << mbapFrame(1, pdu(5, {1, 0xFF00})) << false << refused << 1;
    QTest::newRow("read 0 registers") << mbapFrame(1, pdu(3, {1, 0})) << false << refused << 3;
    QTest::newRow("read 125 registers") << mbapFrame(1, pdu(3, {1, 125})) << false << forward << 0;
    QTest::newRow("read 126 registers") << mbapFrame(1, pdu(3, {1, 126})) << false << refused << 3;
    QTest::newRow("block of 0 registers") << mbapFrame(1, blockWrite(ConfigBlockFirst, {})) << false << refused << 3;
    // Read device identification (43/14), answered by the gateway itself: the
    // basic objects as a stream, or one of them.
    const int identify = GatewayRequest::Identify;
    QTest::newRow("identification, basic") << mbapFrame(1, bytes({0x2B, 0x0E, 1, 0})) << true << identify << 0;
    QTest::newRow("identification, one object") << mbapFrame(1, bytes({0x2B, 0x0E, 4, 2})) << false << identify << 0;
    QTest::newRow("identification, object 3 alone") << mbapFrame(1, bytes({0x2B, 0x0E, 4, 3})) << false << refused << 2;
    QTest::newRow("identification, regular objects")
        << mbapFrame(1, bytes({0x2B, 0x0E, 2, 0})) << false << refused << 3;
    QTest::newRow("identification, one byte short") << mbapFrame(1, bytes({0x2B, 0x0E, 1})) << false << refused << 3;
    QTest::newRow("function 43, another MEI type") << mbapFrame(1, bytes({0x2B, 0x0D, 1, 0})) << false << refused << 1;
    QTest::newRow("identification, unknown unit")
        << mbapFrame(9, bytes({0x2B, 0x0E, 1, 0})) << false << refused << 0x0B;
    // Functions of fixed length the gateway does not carry: framed by their header, answered 01.
    QTest::newRow("function 8 (diagnostics)") << mbapFrame(1, pdu(8, {0, 0x1234})) << false << refused << 1;
    QTest::newRow("function 24 (FIFO queue)") << mbapFrame(1, pdu(24, {0x0004})) << false << refused << 1;
    QTest::newRow("read, short PDU") << mbapFrame(1, pdu(3, {1})) << false << refused << 3;
    QTest::newRow("write in read-only mode") << mbapFrame(1, power) << true << refused << 1;
    QTest::newRow("block in read-only mode")
        << mbapFrame(1, blockWrite(ConfigBlockFirst, goodBlock)) << true << refused << 1;
    QTest::newRow("write out of range") << mbapFrame(1, pdu(6, {RegPowerPermille, 1001})) << false << refused << 3;
    QTest::newRow("write the address") << mbapFrame(1, pdu(6, {RegRs485Address, 2})) << false << refused << 1;
    QTest::newRow("write no register") << mbapFrame(1, pdu(6, {0x3000, 1})) << false << refused << 2;
    QTest::newRow("block, byte count off")
        << mbapFrame(1, blockWrite(ConfigBlockFirst, goodBlock, 2)) << false << refused << 3;
    QTest::newRow("block elsewhere") << mbapFrame(1, blockWrite(RegLdEnableMask, {1, 2})) << false << refused << 2;
}

void TestGatewayRules::requestVerdicts()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, readOnly);
    QFETCH(int, verdict);
    QFETCH(int, exception);
    const GatewayRequest judged = judge(frame, readOnly);
    QCOMPARE(int(judged.verdict), verdict);
    QCOMPARE(int(judged.exception), exception);
}

void TestGatewayRules::forwardedRequestCarriesTheValues()
{
    // A stream from an object the basic set lacks starts at the first one.
    GatewayRequest identity = judge(mbapFrame(7, bytes({0x2B, 0x0E, 1, 9})), false, true);
    QCOMPARE(int(identity.identification), 1);
    QCOMPARE(int(identity.object), 0);
    identity = judge(mbapFrame(7, bytes({0x2B, 0x0E, 4, 2})), false, true);
    QCOMPARE(int(identity.object), 2);

    GatewayRequest judged = judge(mbapFrame(7, pdu(3, {0x2001, 7})), false, true);
    QCOMPARE(int(judged.unit), 7);
    QCOMPARE(int(judged.request.kind), int(HubRequest::ReadRegisters));
    QCOMPARE(int(judged.request.first), 0x2001);
    QCOMPARE(int(judged.request.count), 7);

    judged = judge(mbapFrame(200, pdu(6, {RegMaxPowerDac, 3100})), false, true);
    QCOMPARE(int(judged.unit), 200);
    QCOMPARE(int(judged.request.first), int(RegMaxPowerDac));
    QCOMPARE(judged.request.values, QVector<quint16>{3100});

    judged = judge(mbapFrame(3, blockWrite(ConfigBlockFirst, goodBlock)), false, true);
    QCOMPARE(int(judged.request.kind), int(HubRequest::WriteRegisters));
    QCOMPARE(judged.request.values, goodBlock);
}

void TestGatewayRules::outcomeExceptions_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("exception");

    QTest::newRow("ok") << int(Outcome::Ok) << 0 << 0;
    QTest::newRow("time-out") << int(Outcome::Timeout) << 0 << 0x0B;
    QTest::newRow("port lost") << int(Outcome::PortLost) << 0 << 0x0A;
    QTest::newRow("bad CRC") << int(Outcome::BadCrc) << 0 << 4;
    QTest::newRow("short") << int(Outcome::Short) << 0 << 4;
    QTest::newRow("short, CRC ok") << int(Outcome::Incomplete) << 0 << 4;
    QTest::newRow("wrong address") << int(Outcome::WrongAddress) << 0 << 4;
    QTest::newRow("wrong function") << int(Outcome::WrongFunction) << 0 << 4;
    QTest::newRow("8-byte echo") << int(Outcome::NotAcknowledged) << 0 << 4;
    QTest::newRow("another register acknowledged") << int(Outcome::WrongRegister) << 0 << 4;
    QTest::newRow("bus collision") << int(Outcome::BusCollision) << 0 << 4;
    QTest::newRow("controller's 02") << int(Outcome::Exception) << 2 << 2;
    QTest::newRow("controller's 06") << int(Outcome::Exception) << 6 << 6;
    QTest::newRow("controller's 0B") << int(Outcome::Exception) << 0x0B << 0x0B;
    QTest::newRow("controller's 0C") << int(Outcome::Exception) << 0x0C << 4;
    QTest::newRow("controller's 00") << int(Outcome::Exception) << 0 << 4;
    QTest::newRow("controller's 0x55") << int(Outcome::Exception) << 0x55 << 4;
    QTest::newRow("read back, not applied") << int(Outcome::NotApplied) << 0 << 4;
}

void TestGatewayRules::outcomeExceptions()
{
    QFETCH(int, kind);
    QFETCH(int, code);
    QFETCH(int, exception);
    Outcome outcome;
    outcome.kind = Outcome::Kind(kind);
    outcome.exceptionCode = quint8(code);
    QCOMPARE(int(outcome.gatewayException()), exception);
}

void TestGatewayRules::gatewayAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("host and port") << "127.0.0.1:1502" << true << "127.0.0.1" << 1502;
    QTest::newRow("host alone") << "plc-gateway" << true << "plc-gateway" << 502;
    QTest::newRow("name and port") << "bridge.local:1502" << true << "bridge.local" << 1502;
    QTest::newRow("IPv6 in brackets") << "[::1]:1502" << true << "::1" << 1502;
    QTest::newRow("IPv6 bare") << "fe80::1" << true << "fe80::1" << 502;
    QTest::newRow("port 0") << "127.0.0.1:0" << false << "" << 0;
    QTest::newRow("port 65536") << "127.0.0.1:65536" << false << "" << 0;
    QTest::newRow("port not a number") << "127.0.0.1:http" << false << "" << 0;
    QTest::newRow("empty") << "" << false << "" << 0;
    QTest::newRow("blank inside") << "my host:1502" << false << "" << 0;
}

void TestGatewayRules::gatewayAddresses()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, host);
    QFETCH(int, port);
    QString gotHost;
    int gotPort = 0;
    QString error;
    QCOMPARE(TcpLink::parseAddress(text, &gotHost, &gotPort, &error), ok);
    if (ok) {
        QCOMPARE(gotHost, host);
        QCOMPARE(gotPort, port);
    } else {
        QVERIFY2(error.contains(QStringLiteral("HOST:PORT")), qPrintable(error));
    }
}

void TestGatewayRules::aConnectionsRequestsInTheirOrder()
{
    BridgeConfig config = HubRig::config({HubRig::line(QStringLiteral("a"), {1})});
    config.lines[0].maxAgeMs = 0;
    config.modbusTcp.address = QHostAddress(QHostAddress::LocalHost);
    config.modbusTcp.units.insert(1, {0, 0});
    HubRig rig(config);
    rig.run();
    ModbusGateway gateway(rig.hub());
    QString error;
    QVERIFY2(gateway.listen(&error) && gateway.start(&error), qPrintable(error));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, gateway.port());
    const auto answers = [&](int bytes) {
        return QTest::qWaitFor([&] { return rig.run(), client.bytesAvailable() >= bytes; }, 10000) ? client.readAll()
                                                                                                   : QByteArray();
    };
    // A write sent after a read does not overtake it, though writes go first on the line.
    const QByteArray read = mbapFrame(1, readRequest(1, RegMaxPowerDac, 1).mid(1, 5), 0, 0, 1);
    client.write(read + mbapFrame(1, writeRequest(1, RegPowerPermille, 5).mid(1, 5), 0, 0, 2));
    const QByteArray both = answers(11 + 12);
    QCOMPARE(both.size(), 23);
    QCOMPARE(both.left(2).toHex(), QByteArray("0001"));
    QCOMPARE(both.mid(11, 2).toHex(), QByteArray("0002"));
    // A request the hub does not take is answered 0A, and the next is taken;
    // a write not taken counts as a command refused.
    rig.hub().stop();
    const QByteArray write = mbapFrame(1, writeRequest(1, RegPowerPermille, 6).mid(1, 5), 0, 0, 3);
    client.write(write + read);
    QCOMPARE(answers(2 * 9).toHex(),
        QByteArray("00030000000301860a"
                   "00010000000301830a"));
    QCOMPARE(rig.hub().commandCount(Source::ModbusTcp, LineHub::Refused), quint64(1));
}

QTEST_GUILESS_MAIN(TestGatewayRules)
#include "tst_gatewayrules.moc"
