// The controller's behaviour as a table, without a thread or a terminal:
// RegisterBank::execute() gets a request frame, and the reply it gives and
// every register afterwards are compared with what the controller must do.
// The expected frames are built by the test support from the definition.

#include "controllervalues.h"
#include "modbusframes.h"
#include "registerbank.h"
#include "registers.h"

#include <QMap>
#include <QtTest>

#include <random>

namespace {

using Changes = QMap<int, int>; // register -> value expected after the request

// Every register of the map, the command word included.
QList<quint16> mappedRegisters()
{
    QList<quint16> regs{RegCommandWord, RegMaxPowerDac};
    for (int i = 0; i < StatusBlockCount; ++i)
        regs << quint16(StatusBlockFirst + i);
    for (int i = 0; i < ConfigBlockCount; ++i)
        regs << quint16(ConfigBlockFirst + i);
    return regs;
}

QMap<int, int> snapshot(const RegisterBank &bank)
{
    QMap<int, int> values;
    for (quint16 reg : mappedRegisters())
        values.insert(reg, bank.value(reg));
    return values;
}

// A function-16 request with a byte count that may not match its words.
QByteArray rawBlock(quint8 unit, quint16 first, quint16 count, const QVector<quint16> &words)
{
    QByteArray frame = bytes({unit, 0x10, first >> 8, first & 0xFF, count >> 8, count & 0xFF, int(2 * words.size())});
    for (quint16 w : words)
        frame += bytes({w >> 8, w & 0xFF});
    return withCrc(frame);
}

const QVector<quint16> newConfig = {0, 0x0035, 3100, 0x1575, 0x2A00, 450, 0x0030};

// What a configuration block write changes: the block, and at once the enable mask and the DAC limit.
Changes configApplied(const QVector<quint16> &words)
{
    Changes changes;
    for (int i = 0; i < words.size(); ++i)
        changes.insert(ConfigBlockFirst + i, words.at(i));
    changes.insert(RegLdEnableMask, words.at(1));
    changes.insert(RegMaxPowerDac, words.at(2));
    return changes;
}

} // namespace

class TestRegisterBank : public QObject
{
    Q_OBJECT

private slots:
    void execute_data();
    void execute();
    void addressChangeTakesEffectAfterTheReply();
    void setValueAndReset();
    void driftStaysInItsBandAndCounts();
};

void TestRegisterBank::execute_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Changes>("changes");

    // Reads.
    QTest::newRow("status block") << statusRead() << readReply(1, factoryStatusWords()) << Changes();
    QTest::newRow("part of the status block")
        << readRequest(1, 0x0009, 4) << readReply(1, {24000, 0, 0, 0x010A}) << Changes();
    QTest::newRow("power limit") << readRequest(1, RegMaxPowerDac, 1) << readReply(1, {3980}) << Changes();
    QTest::newRow("configuration block") << readRequest(1, ConfigBlockFirst, 7) << readReply(1, factoryConfigWords)
                                         << Changes();
    QTest::newRow("alarm temperature alone")
        << readRequest(1, RegCfgLdAlarmTemperature, 1) << readReply(1, {300}) << Changes();

    // Writes: the six-byte acknowledgement, and the register written.
    const QList<QPair<quint16, quint16>> singles
        = {{RegLdEnableMask, 0x0123}, {RegLdSwitchMask, 0x0FF0}, {RegAdcEnable, 1}, {RegPowerPermille, 1000},
            {RegMaxPowerDac, 2800}, {RegCommandWord, 1}, {RegRs485Address, 254}, {RegRs485Address, 1}};
    for (const auto &w : singles)
        QTest::addRow("write %04x = %d", w.first, w.second)
            << writeRequest(1, w.first, w.second) << ack(1, 0x06, w.first) << Changes{{w.first, w.second}};
    QTest::newRow("configuration block write")
        << blockRequest(1, ConfigBlockFirst, newConfig) << ack(1, 0x10, ConfigBlockFirst) << configApplied(newConfig);

    // Refused: an exception reply, and nothing changes.
    auto refused = [](const char *name, const QByteArray &request, quint8 code) {
        QTest::newRow(name) << request << exceptionReply(1, quint8(request.at(1)), code) << Changes();
    };
    refused("read command word", readRequest(1, RegCommandWord, 1), 0x02);
    refused("read past status block", readRequest(1, 0x000C, 2), 0x02);
    refused("read before DAC", readRequest(1, 0x1000, 2), 0x02);
    refused("read past DAC", readRequest(1, 0x1001, 2), 0x02);
    refused("read past config", readRequest(1, ConfigBlockFirst, 8), 0x02);
    refused("read unmapped", readRequest(1, 0x4000, 1), 0x02);
    refused("read beyond 0xFFFF", readRequest(1, 0xFFFF, 2), 0x02);
    refused("read no registers", readRequest(1, 0x0001, 0), 0x03);
    refused("read 126 registers", readRequest(1, 0x0001, 126), 0x03);
    refused("read 125 registers", readRequest(1, 0x0001, 125), 0x02);
    refused("write status word 6", writeRequest(1, RegStatusWord6, 9), 0x02);
    refused("write temperature", writeRequest(1, RegLdTemperature, 9), 0x02);
    refused("write version", writeRequest(1, RegFirmwareVersion, 9), 0x02);
    refused("write config register alone", writeRequest(1, RegCfgLdMask, 9), 0x02);
    refused("write unmapped", writeRequest(1, 0x3000, 9), 0x02);
    refused("write address 0", writeRequest(1, RegRs485Address, 0), 0x03);
    refused("write address 255", writeRequest(1, RegRs485Address, 255), 0x03);
    refused("function 4", withCrc(bytes({1, 0x04, 0, 1, 0, 1})), 0x01);
    refused("function 5", withCrc(bytes({1, 0x05, 0, 1, 0xFF, 0})), 0x01);
    refused("block to status", blockRequest(1, 0x0001, factoryConfigWords), 0x02);
    refused("block too short", blockRequest(1, ConfigBlockFirst, {1, 2, 3, 4, 5, 6}), 0x02);
    refused("block past config", blockRequest(1, ConfigBlockFirst, newConfig + QVector<quint16>{1}), 0x02);
    refused("block of nothing", rawBlock(1, ConfigBlockFirst, 0, {}), 0x03);
    refused("block byte count wrong", rawBlock(1, ConfigBlockFirst, 1, {9, 9}), 0x03);
    refused("block of 124 registers", rawBlock(1, ConfigBlockFirst, 124, QVector<quint16>(124, 1)), 0x03);

    // Broadcasts: carried out, never answered.
    QTest::newRow("broadcast write") << writeRequest(0, RegLdSwitchMask, 7) << QByteArray()
                                     << Changes{{RegLdSwitchMask, 7}};
    QTest::newRow("broadcast address") << writeRequest(0, RegRs485Address, 7) << QByteArray()
                                       << Changes{{RegRs485Address, 7}};
    QTest::newRow("broadcast block") << blockRequest(0, ConfigBlockFirst, newConfig) << QByteArray()
                                     << configApplied(newConfig);
    QTest::newRow("broadcast read") << statusRead(0) << QByteArray() << Changes();
    QTest::newRow("broadcast refused write") << writeRequest(0, RegLdTemperature, 9) << QByteArray() << Changes();
    QTest::newRow("broadcast function 4") << withCrc(bytes({0, 0x04, 0, 1, 0, 1})) << QByteArray() << Changes();

    // Another address: ignored altogether.
    QTest::newRow("read for 2") << statusRead(2) << QByteArray() << Changes();
    QTest::newRow("write for 247") << writeRequest(247, RegLdSwitchMask, 7) << QByteArray() << Changes();
    QTest::newRow("block for 3") << blockRequest(3, ConfigBlockFirst, newConfig) << QByteArray() << Changes();

    // Frames too short for their function are not carried out.
    QTest::newRow("four bytes") << withCrc(bytes({1, 0x03})) << QByteArray() << Changes();
    QTest::newRow("block cut after its count")
        << blockRequest(1, ConfigBlockFirst, newConfig).left(12) << QByteArray() << Changes();
}

void TestRegisterBank::execute()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(Changes, changes);

    RegisterBank bank;
    QMap<int, int> expected = snapshot(bank);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        expected.insert(it.key(), it.value());

    QCOMPARE(hexFrame(bank.execute(request)), hexFrame(reply));
    QCOMPARE(snapshot(bank), expected);
}

void TestRegisterBank::addressChangeTakesEffectAfterTheReply()
{
    RegisterBank bank;
    // The acknowledgement still comes from the old address; later requests use the new one.
    QCOMPARE(bank.execute(writeRequest(1, RegRs485Address, 200)), ack(1, 0x06, RegRs485Address));
    QCOMPARE(bank.address(), quint8(200));
    QCOMPARE(bank.execute(statusRead(1)), QByteArray());
    QCOMPARE(bank.execute(statusRead(200)), readReply(200, StatusValues().words(200)));
}

void TestRegisterBank::setValueAndReset()
{
    RegisterBank bank;
    bank.setValue(RegRs485Address, 0x1234); // an address is one byte
    QCOMPARE(bank.address(), quint8(0x34));
    bank.setValue(0x5555, 1); // outside the map: not kept
    QCOMPARE(bank.value(0x5555), quint16(0));
    bank.setValue(RegCommandWord, 1);
    QCOMPARE(bank.value(RegCommandWord), quint16(1));
    bank.setRunSeconds(0x12345678);
    QCOMPARE(bank.execute(readRequest(0x34, RegRunSecondsHigh, 2)), readReply(0x34, {0x1234, 0x5678}));

    QVERIFY(!bank.execute(blockRequest(0x34, ConfigBlockFirst, newConfig)).isEmpty());
    bank.reset();
    QCOMPARE(bank.execute(statusRead()), readReply(1, factoryStatusWords()));
    QCOMPARE(bank.execute(readRequest(1, ConfigBlockFirst, 7)), readReply(1, factoryConfigWords));
    QCOMPARE(bank.value(RegCommandWord), quint16(0));
}

void TestRegisterBank::driftStaysInItsBandAndCounts()
{
    RegisterBank bank;
    const quint32 start = 0xFFFF - 10; // the count carries into the high word
    bank.setRunSeconds(start);
    const QMap<int, int> before = snapshot(bank);
    std::mt19937 random(42);
    QSet<int> temperatures;
    for (int second = 0; second < 600; ++second) {
        bank.drift(random);
        const qint16 temperature = qint16(bank.value(RegLdTemperature));
        QVERIFY2(temperature >= 240 && temperature <= 260, qPrintable(QString::number(temperature)));
        const quint16 supply = bank.value(RegSupplyVoltage);
        QVERIFY2(supply >= 23900 && supply <= 24100, qPrintable(QString::number(supply)));
        temperatures.insert(temperature);
    }
    QVERIFY(temperatures.size() > 1); // it did move
    const quint32 seconds = (quint32(bank.value(RegRunSecondsHigh)) << 16) | bank.value(RegRunSecondsLow);
    QCOMPARE(seconds, start + 600);
    // Nothing but those three moves.
    QMap<int, int> after = snapshot(bank);
    for (quint16 reg : {RegLdTemperature, RegSupplyVoltage, RegRunSecondsHigh, RegRunSecondsLow})
        after.insert(reg, before.value(reg));
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(TestRegisterBank)
#include "tst_registerbank.moc"
