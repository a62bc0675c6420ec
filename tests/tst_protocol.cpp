// Modbus RTU frames, the CRC and the reply decoders.

#include "modbusframes.h"
#include "protocol.h"
#include "registers.h"
#include "replydecoder.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray bytes(const quint8 *data, int length)
{
    return QByteArray(reinterpret_cast<const char *>(data), length);
}

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValue();
    void crcMatchesBitwiseDefinition();
    void builtFrames_data();
    void builtFrames();
    void checkReplyLengths();
    void checkReplyBitFlipsAndSwappedCrc();
    void decodersRefuseShortReplies_data();
    void decodersRefuseShortReplies();
    void statusDecoding();
    void configDecoding();
};

void TestProtocol::crcCheckValue()
{
    Protocol protocol;
    const QByteArray digits("123456789");
    const quint16 crc = protocol.crc16(reinterpret_cast<const quint8 *>(digits.constData()), digits.size());
    // 0x4B37 goes out as 37 4B: the wire-order value holds the first byte in its high half.
    QCOMPARE(crc, quint16(0x374B));
    QCOMPARE(protocol.crc16(nullptr, 0), quint16(0xFFFF));
}

void TestProtocol::crcMatchesBitwiseDefinition()
{
    Protocol protocol;
    QRandomGenerator random(20261207);
    for (int round = 0; round < 2000; ++round) {
        QByteArray data(int(random.bounded(0, 300)), Qt::Uninitialized);
        for (char &c : data)
            c = char(random.bounded(256));
        const quint16 expected = referenceCrc(data);
        const quint16 wire = quint16(((expected & 0xFF) << 8) | (expected >> 8));
        QCOMPARE(protocol.crc16(reinterpret_cast<const quint8 *>(data.constData()), data.size()), wire);
    }
}

void TestProtocol::builtFrames_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("slave");
    QTest::addColumn<int>("reg");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QString>("expected");

    QTest::newRow("write 5 to 0x0002") << "write" << 1 << 0x0002 << QList<int>{5} << "01 06 00 02 00 05 E8 09";
    QTest::newRow("broadcast 7 to 0x0005") << "write" << 0 << 0x0005 << QList<int>{7} << "00 06 00 05 00 07 D9 D8";
    QTest::newRow("read 12 from 0x0001") << "read" << 1 << 0x0001 << QList<int>{12} << statusReadHex;
    QTest::newRow("read 1 from 0x1001") << "read" << 1 << 0x1001 << QList<int>{1} << dacReadHex;
    QTest::newRow("read block") << "read" << 1 << 0x2001 << QList<int>{7} << blockReadHex;
    QTest::newRow("factory block") << "block" << 1 << 0x2001
                                   << QList<int>{0x0000, 0x0FFF, 0x0F8C, 0x0225, 0x5100, 0x012C, 0x0FFF}
                                   << factoryBlockSaveHex;
    QTest::newRow("empty block") << "block" << 1 << 0x2001 << QList<int>{} << "01 10 20 01 00 00 00 89 6B";
}

void TestProtocol::builtFrames()
{
    QFETCH(QString, kind);
    QFETCH(int, slave);
    QFETCH(int, reg);
    QFETCH(QList<int>, values);
    QFETCH(QString, expected);

    Protocol protocol;
    quint8 frame[512];
    memset(frame, 0xAA, sizeof frame);
    quint16 length = 0;
    if (kind == QLatin1String("write")) {
        length = protocol.buildWriteSingleRegister(quint8(slave), quint16(reg), quint16(values.first()), frame);
    } else if (kind == QLatin1String("read")) {
        length = protocol.buildReadHoldingRegisters(quint8(slave), quint16(reg), quint16(values.first()), frame);
    } else {
        QVector<quint16> words;
        for (int v : values)
            words.append(quint16(v));
        length = protocol.buildWriteMultipleRegisters(
            quint8(slave), quint16(reg), words.constData(), quint16(words.size()), frame);
        QCOMPARE(int(length), 9 + 2 * words.size());
    }
    QCOMPARE(hexFrame(bytes(frame, length)), expected);
    QCOMPARE(frame[length], quint8(0xAA)); // nothing written past the frame
}

void TestProtocol::checkReplyLengths()
{
    Protocol protocol;
    quint8 buffer[8] = {0x01, 0x06, 0x00, 0x02, 0x00, 0x05, 0xE8, 0x09};
    for (int length = 0; length < 5; ++length)
        QCOMPARE(protocol.checkReply(buffer, length), 1);
    QCOMPARE(protocol.checkReply(buffer, 8), 0);
    QCOMPARE(protocol.checkReply(buffer, -3), 1);

    // Five bytes whose last two are the CRC of the first three.
    const QByteArray exception = withCrc(QByteArray::fromHex("018302"));
    QCOMPARE(protocol.checkReply(reinterpret_cast<const quint8 *>(exception.constData()), 5), 0);
    // The controller's six-byte acknowledgement: four bytes and their CRC.
    const QByteArray ack = withCrc(QByteArray::fromHex("01060002"));
    QCOMPARE(protocol.checkReply(reinterpret_cast<const quint8 *>(ack.constData()), 6), 0);
}

void TestProtocol::checkReplyBitFlipsAndSwappedCrc()
{
    Protocol protocol;
    const QByteArray good = withCrc(QByteArray::fromHex("0103180FFF0000"));
    for (int byte = 0; byte < good.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray bad = good;
            bad[byte] = char(bad[byte] ^ (1 << bit));
            QCOMPARE(protocol.checkReply(reinterpret_cast<const quint8 *>(bad.constData()), bad.size()), 2);
        }
    }
    QByteArray swapped = good;
    const char last = swapped.at(swapped.size() - 1);
    swapped[swapped.size() - 1] = swapped.at(swapped.size() - 2);
    swapped[swapped.size() - 2] = last;
    QVERIFY(swapped != good);
    QCOMPARE(protocol.checkReply(reinterpret_cast<const quint8 *>(swapped.constData()), swapped.size()), 2);
}

void TestProtocol::decodersRefuseShortReplies_data()
{
    QTest::addColumn<int>("registers");
    QTest::newRow("status") << int(StatusBlockCount);
    QTest::newRow("max DAC") << 1;
    QTest::newRow("config") << int(ConfigBlockCount);
}

void TestProtocol::decodersRefuseShortReplies()
{
    QFETCH(int, registers);
    quint8 reply[64];
    memset(reply, 0x5A, sizeof reply);
    const int full = readReplyLength(registers);
    for (int length = 0; length <= full; ++length) {
        StatusBlock status;
        ConfigBlock config;
        quint16 dac = 0;
        bool ok = false;
        if (registers == StatusBlockCount)
            ok = decodeStatusReply(reply, length, &status);
        else if (registers == 1)
            ok = decodeMaxDacReply(reply, length, &dac);
        else
            ok = decodeConfigReply(reply, length, &config);
        QCOMPARE(ok, length == full);
    }
}

void TestProtocol::statusDecoding()
{
    const QByteArray reply = withCrc(QByteArray::fromHex("010318"
                                                         "0FFF"
                                                         "0005"
                                                         "0101"
                                                         "01F4"
                                                         "0007"
                                                         "1234"
                                                         "FDA8"
                                                         "5678"
                                                         "5E56"
                                                         "0001"
                                                         "0000"
                                                         "0203"));
    StatusBlock s;
    QVERIFY(decodeStatusReply(reinterpret_cast<const quint8 *>(reply.constData()), reply.size(), &s));
    QCOMPARE(s.ldEnableMask(), quint16(0x0FFF));
    QCOMPARE(s.ldSwitchMask(), quint16(0x0005));
    QCOMPARE(s.adcEnable(), quint16(0x0101));
    QCOMPARE(s.powerPermille(), quint16(500));
    QCOMPARE(s.rs485Address(), quint16(7));
    QCOMPARE(s.ldTemperature(), qint16(-600));
    QCOMPARE(s.supplyMillivolts(), quint16(24150));
    QCOMPARE(s.runSeconds(), quint32(65536));
    QCOMPARE(s.firmwareVersion(), quint16(0x0203));
    // Every register of the block by its number, as a new register is read;
    // the registers around the block read as 0.
    const quint16 words[]
        = {0x0FFF, 0x0005, 0x0101, 0x01F4, 0x0007, 0x1234, 0xFDA8, 0x5678, 0x5E56, 0x0001, 0x0000, 0x0203};
    for (quint16 reg = 0x0001; reg <= 0x000C; ++reg)
        QCOMPARE(s.word(reg), words[reg - 1]);
    QCOMPARE(s.word(0x0000), quint16(0));
    QCOMPARE(s.word(0x000D), quint16(0));
    s.setWord(0x000D, 0xBEEF); // outside the block: nothing is kept
    QCOMPARE(s.word(0x000D), quint16(0));
}

void TestProtocol::configDecoding()
{
    const QByteArray reply = withCrc(QByteArray::fromHex("01030E"
                                                         "ABCD"
                                                         "0FFF"
                                                         "0F8C"
                                                         "0225"
                                                         "5100"
                                                         "012C"
                                                         "0030"));
    ConfigBlock c;
    QVERIFY(decodeConfigReply(reinterpret_cast<const quint8 *>(reply.constData()), reply.size(), &c));
    QCOMPARE(c.ldMask, quint16(0x0FFF));
    QCOMPARE(c.ldMaxDac, quint16(3980));
    QCOMPARE(c.compensationSeconds, quint32(36000000));
    QCOMPARE(c.alarmTenths, quint16(300));
    QCOMPARE(c.lowPowerMask, quint16(0x0030));
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
