// The virtual controller seen from the master's side of the line: the test opens
// the controller's port with plain POSIX calls, sends request frames and reads
// what comes back, as the panel (or any Modbus master) would.

#include "controllervalues.h"
#include "masterport.h"
#include "modbusframes.h"
#include "simtracelog.h"
#include "virtualcontroller.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>
#include <QtTest>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Where this process's open descriptors lead.
QStringList openDescriptorTargets()
{
    QStringList targets;
    const QDir dir(QStringLiteral("/proc/self/fd"));
    for (const QString &name : dir.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        targets << QFile::symLinkTarget(dir.filePath(name));
    return targets;
}

} // namespace

class TestVirtualController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void crcHelperMatchesKnownFrames();
    void startsOnRawTerminal();
    void statusBlockRead();
    void statusSettersShowInReads();
    void maxDacRead();
    void configBlockRead();
    void writeSingleAcknowledgedAndApplied();
    void writeSingleEveryWritableRegister();
    void writeBlockAcknowledgedAndApplied();
    void exceptions_data();
    void exceptions();
    void otherAddressIsIgnored();
    void broadcastAppliedWithoutReply();
    void addressChangeByBroadcast();
    void addressChangeAddressed();

    void faultNoReply();
    void faultBadCrc();
    void faultTruncate();
    void faultDelay();
    void faultGapPace();
    void faultEcho8();
    void faultException();
    void faultGarbageBefore();
    void faultWrongAddress();
    void faultEndlessStream();
    void faultUnplugOnRequest();
    void faultCountAndClear();

    void pacingAtBaudRate();
    void turnaround();
    void reopenBetweenRequests();
    void bytesWrittenWhileClosedReachNextOpener();
    void unplugAndReplugWithLink();
    void unplugWithoutLink();
    void unplugHangsUpOpenPort();
    void garbageBeforeRequestIsSkipped();
    void garbageClaimingLongFrameIsSkipped();
    void incompleteFrameDroppedAfterSilence();
    void requestLogInOrderWithTimes();
    void traceLines();
    void drift();
    void stopIsPrompt();
    void resetRegisters();
    void setHoldingRegisterShowsInReads();
    void twoControllersSideBySide();
    void descriptorsKeptAndReleased();
    void linkNeverReplacesFile();

private:
    std::unique_ptr<VirtualController> vc;
    QElapsedTimer sinceStart;
};

void TestVirtualController::init()
{
    vc.reset(new VirtualController);
    sinceStart.start();
    QVERIFY(vc->start());
    QVERIFY(vc->isRunning());
    QVERIFY(vc->isPlugged());
}

void TestVirtualController::cleanup()
{
    vc.reset(); // the destructor stops the controller
}

void TestVirtualController::crcHelperMatchesKnownFrames()
{
    QCOMPARE(referenceCrc(QByteArray("123456789")), quint16(0x4B37));
    QCOMPARE(statusRead(), frameFromHex(statusReadHex));
    QCOMPARE(readRequest(1, 0x1001, 1), frameFromHex(dacReadHex));
    QCOMPARE(readRequest(1, 0x2001, 7), frameFromHex(blockReadHex));
    QCOMPARE(blockRequest(1, 0x2001, factoryConfigWords), frameFromHex(factoryBlockSaveHex));
    QCOMPARE(writeRequest(1, 0x0002, 5), bytes({0x01, 0x06, 0x00, 0x02, 0x00, 0x05, 0xE8, 0x09}));
    QCOMPARE(writeRequest(0, 0x0005, 7), bytes({0x00, 0x06, 0x00, 0x05, 0x00, 0x07, 0xD9, 0xD8}));
}

void TestVirtualController::startsOnRawTerminal()
{
    const QString path = vc->portPath();
    QCOMPARE(path, vc->terminalPath());
    QVERIFY2(path.startsWith(QLatin1String("/dev/pts/")), qPrintable(path));
    QCOMPARE(vc->address(), quint8(1));
    QVERIFY(!vc->start()); // already running

    // The terminal is raw from the start: no echo of what the master sends,
    // and a carriage return is not turned into a newline on the way.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    struct termios tio;
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    QCOMPARE(tio.c_lflag & (ECHO | ICANON), tcflag_t(0));
    QCOMPARE(tio.c_iflag & ICRNL, tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    const QByteArray request = statusRead();
    QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
    QByteArray reply;
    QElapsedTimer timer;
    timer.start();
    while (reply.size() < 29 && timer.elapsed() < replyTimeoutMs) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) > 0) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                reply.append(buffer, int(n));
        }
    }
    ::close(fd);
    QCOMPARE(reply, readReply(1, factoryStatusWords())); // the reply, and not our request echoed
}

void TestVirtualController::statusBlockRead()
{
    MasterPort port(vc->portPath());
    QVERIFY(port.isOpen());
    const QByteArray reply = port.exchange(statusRead(), 29);
    QCOMPARE(reply.size(), 29);
    QCOMPARE(quint8(reply.at(0)), quint8(1));
    QCOMPARE(quint8(reply.at(1)), quint8(3));
    QCOMPARE(quint8(reply.at(2)), quint8(24));
    QVERIFY(crcOk(reply));
    QCOMPARE(replyWords(reply), factoryStatusWords());
    QCOMPARE(reply, readReply(1, factoryStatusWords()));
    // Nothing more follows the reply.
    QCOMPARE(port.readAll(quietMs), QByteArray());
}

void TestVirtualController::statusSettersShowInReads()
{
    vc->setEnableMask(0x0A05);
    vc->setSwitchMask(0x0003);
    vc->setAdcEnable(1);
    vc->setPowerPermille(750);
    vc->setTemperature(-600);
    vc->setSupplyMillivolts(23456);
    vc->setRunSeconds(0x12345678);
    vc->setFirmwareVersion(0x0203);

    MasterPort port(vc->portPath());
    QByteArray reply = port.exchange(statusRead(), 29);
    QCOMPARE(reply, readReply(1, {0x0A05, 0x0003, 1, 750, 1, 0, 0xFDA8, 0, 23456, 0x1234, 0x5678, 0x0203}));

    vc->setTemperature(1200);
    reply = port.exchange(readRequest(1, 0x0007, 1), 7);
    QCOMPARE(reply, readReply(1, {1200}));
    QCOMPARE(vc->holdingRegister(0x0007), quint16(1200));
    QCOMPARE(vc->holdingRegister(0x000A), quint16(0x1234));
    QCOMPARE(vc->holdingRegister(0x000B), quint16(0x5678));

    // A part of the status block reads on its own.
    reply = port.exchange(readRequest(1, 0x0009, 4), 13);
    QCOMPARE(reply, readReply(1, {23456, 0x1234, 0x5678, 0x0203}));
}

void TestVirtualController::maxDacRead()
{
    MasterPort port(vc->portPath());
    const QByteArray reply = port.exchange(readRequest(1, 0x1001, 1), 7);
    QCOMPARE(reply, bytes({0x01, 0x03, 0x02, 0x0F, 0x8C}) + withCrc(bytes({0x01, 0x03, 0x02, 0x0F, 0x8C})).right(2));
    QCOMPARE(replyWords(reply), QVector<quint16>{3980});
}

void TestVirtualController::configBlockRead()
{
    MasterPort port(vc->portPath());
    const QByteArray reply = port.exchange(readRequest(1, 0x2001, 7), 19);
    QCOMPARE(reply.size(), 19);
    QCOMPARE(quint8(reply.at(2)), quint8(14));
    QVERIFY(crcOk(reply));
    QCOMPARE(replyWords(reply), factoryConfigWords);
}

void TestVirtualController::writeSingleAcknowledgedAndApplied()
{
    MasterPort port(vc->portPath());
    const QByteArray reply = port.exchange(bytes({0x01, 0x06, 0x00, 0x02, 0x00, 0x05, 0xE8, 0x09}), 6);
    // Six bytes: address, function, register, and the CRC of those four, low byte first.
    QCOMPARE(reply.size(), 6);
    const quint16 crc = referenceCrc(reply.left(4));
    QCOMPARE(reply.left(4), bytes({0x01, 0x06, 0x00, 0x02}));
    QCOMPARE(quint8(reply.at(4)), quint8(crc & 0xFF));
    QCOMPARE(quint8(reply.at(5)), quint8(crc >> 8));
    QCOMPARE(port.readAll(quietMs), QByteArray()); // not the 8-byte echo
    QCOMPARE(vc->holdingRegister(0x0002), quint16(5));

    const QByteArray status = port.exchange(statusRead(), 29);
    QCOMPARE(replyWords(status).value(1), quint16(5));
}

void TestVirtualController::writeSingleEveryWritableRegister()
{
    MasterPort port(vc->portPath());
    const QList<QPair<quint16, quint16>> writes = {
        {0x0001, 0x0123}, {0x0002, 0x0FF0}, {0x0003, 1}, {0x0004, 1000}, {0x1001, 2800}, {0x0000, 1}};
    for (const auto &w : writes) {
        QCOMPARE(port.exchange(writeRequest(1, w.first, w.second), 6), ack(1, 0x06, w.first));
        QCOMPARE(vc->holdingRegister(w.first), w.second);
    }
    QCOMPARE(port.exchange(readRequest(1, 0x0001, 4), 13), readReply(1, {0x0123, 0x0FF0, 1, 1000}));
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7), readReply(1, {2800}));
    // The configuration block is not touched by single writes.
    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x2001, 7), 19)), factoryConfigWords);
}

void TestVirtualController::writeBlockAcknowledgedAndApplied()
{
    MasterPort port(vc->portPath());
    const QVector<quint16> block = {0, 0x0035, 3100, 0x1575, 0x2A00, 450, 0x0030};
    const QByteArray request = blockRequest(1, 0x2001, block);
    QCOMPARE(request.size(), 23);
    const QByteArray reply = port.exchange(request, 6);
    QCOMPARE(reply, ack(1, 0x10, 0x2001));
    QCOMPARE(port.readAll(quietMs), QByteArray());

    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x2001, 7), 19)), block);
    for (int i = 0; i < block.size(); ++i)
        QCOMPARE(vc->holdingRegister(quint16(0x2001 + i)), block.at(i));
    // The controller applies its new configuration: enable mask and DAC limit.
    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x0001, 1), 7)), QVector<quint16>{0x0035});
    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x1001, 1), 7)), QVector<quint16>{3100});

    // The factory block written back restores the defaults.
    QCOMPARE(port.exchange(blockRequest(1, 0x2001, factoryConfigWords), 6), ack(1, 0x10, 0x2001));
    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x2001, 7), 19)), factoryConfigWords);
    QCOMPARE(vc->holdingRegister(0x1001), quint16(3980));
}

void TestVirtualController::exceptions_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("guardedRegister"); // must stay unchanged; -1 = none

    QTest::newRow("read command word") << readRequest(1, 0x0000, 1) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read past status block") << readRequest(1, 0x000C, 2) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read before DAC") << readRequest(1, 0x1000, 2) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read past DAC") << readRequest(1, 0x1001, 2) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read past config") << readRequest(1, 0x2001, 8) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read unmapped") << readRequest(1, 0x4000, 1) << exceptionReply(1, 0x03, 0x02) << -1;
    QTest::newRow("read no registers") << readRequest(1, 0x0001, 0) << exceptionReply(1, 0x03, 0x03) << -1;
    QTest::newRow("write status word 6") << writeRequest(1, 0x0006, 9) << exceptionReply(1, 0x06, 0x02) << 0x0006;
    QTest::newRow("write temperature") << writeRequest(1, 0x0007, 9) << exceptionReply(1, 0x06, 0x02) << 0x0007;
    QTest::newRow("write version") << writeRequest(1, 0x000C, 9) << exceptionReply(1, 0x06, 0x02) << 0x000C;
    QTest::newRow("write config register alone") << writeRequest(1, 0x2002, 9) << exceptionReply(1, 0x06, 0x02) << 0x2002;
    QTest::newRow("write unmapped") << writeRequest(1, 0x3000, 9) << exceptionReply(1, 0x06, 0x02) << -1;
    QTest::newRow("write address 0") << writeRequest(1, 0x0005, 0) << exceptionReply(1, 0x06, 0x03) << 0x0005;
    QTest::newRow("write address 255") << writeRequest(1, 0x0005, 255) << exceptionReply(1, 0x06, 0x03) << 0x0005;
    QTest::newRow("function 4") << withCrc(bytes({1, 0x04, 0, 1, 0, 1})) << exceptionReply(1, 0x04, 0x01) << -1;
    QTest::newRow("function 5") << withCrc(bytes({1, 0x05, 0, 1, 0xFF, 0})) << exceptionReply(1, 0x05, 0x01) << -1;
    QTest::newRow("block to status") << blockRequest(1, 0x0001, factoryConfigWords) << exceptionReply(1, 0x10, 0x02)
                                     << 0x0002;
    QTest::newRow("block too short") << blockRequest(1, 0x2001, {1, 2, 3, 4, 5, 6}) << exceptionReply(1, 0x10, 0x02) << 0x2002;
    QTest::newRow("block of nothing") << bytes({0x01, 0x10, 0x20, 0x01, 0x00, 0x00, 0x00, 0x89, 0x6B})
                                      << exceptionReply(1, 0x10, 0x03) << 0x2002;
    QTest::newRow("block byte count wrong")
        << withCrc(bytes({1, 0x10, 0x20, 0x01, 0, 1, 4, 0, 9, 0, 9})) << exceptionReply(1, 0x10, 0x03) << 0x2001;
}

void TestVirtualController::exceptions()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(int, guardedRegister);

    const quint16 before = guardedRegister >= 0 ? vc->holdingRegister(quint16(guardedRegister)) : 0;
    MasterPort port(vc->portPath());
    QCOMPARE(port.exchange(request, expected.size()), expected);
    QCOMPARE(port.readAll(quietMs), QByteArray());
    if (guardedRegister >= 0)
        QCOMPARE(vc->holdingRegister(quint16(guardedRegister)), before);
    QCOMPARE(vc->address(), quint8(1));
    QCOMPARE(vc->replyCount(), 1);
    // The controller goes on answering.
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::otherAddressIsIgnored()
{
    MasterPort port(vc->portPath());
    QVERIFY(port.send(readRequest(2, 0x0001, 12)));
    QVERIFY(port.send(writeRequest(247, 0x0002, 7)));
    QVERIFY(vc->waitForRequests(2, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(vc->holdingRegister(0x0002), quint16(0)); // a write to another address is not applied
    QCOMPARE(vc->replyCount(), 0);
    // Both were logged all the same.
    const QList<VirtualController::Request> log = vc->requests();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).frame, readRequest(2, 0x0001, 12));
    QCOMPARE(log.at(1).frame, writeRequest(247, 0x0002, 7));
    // The next reply is the one to our own request, nothing stale before it.
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::broadcastAppliedWithoutReply()
{
    MasterPort port(vc->portPath());
    QVERIFY(port.send(writeRequest(0, 0x0002, 7)));
    QVERIFY(vc->waitForRequests(1, replyTimeoutMs));
    QCOMPARE(vc->holdingRegister(0x0002), quint16(7));
    QCOMPARE(port.readAll(quietMs), QByteArray());

    // A broadcast block write is applied too, silently.
    const QVector<quint16> block = {0, 0x0001, 2900, 0, 3600, 200, 0x0002};
    QVERIFY(port.send(blockRequest(0, 0x2001, block)));
    QVERIFY(vc->waitForRequests(2, replyTimeoutMs));
    QCOMPARE(vc->holdingRegister(0x2003), quint16(2900));
    // A broadcast read has nothing to give back.
    QVERIFY(port.send(readRequest(0, 0x0001, 12)));
    QVERIFY(vc->waitForRequests(3, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(vc->replyCount(), 0);

    QCOMPARE(replyWords(port.exchange(readRequest(1, 0x0001, 2), 9)), (QVector<quint16>{0x0001, 7}));
}

void TestVirtualController::addressChangeByBroadcast()
{
    MasterPort port(vc->portPath());
    // What the panel sends to change the address: the address twice, then the command word.
    QVERIFY(port.send(bytes({0x00, 0x06, 0x00, 0x05, 0x00, 0x07, 0xD9, 0xD8})));
    QVERIFY(port.send(writeRequest(0, 0x0005, 7)));
    QVERIFY(port.send(writeRequest(0, 0x0000, 1)));
    QVERIFY(vc->waitForRequests(3, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(vc->address(), quint8(7));
    QCOMPARE(vc->holdingRegister(0x0005), quint16(7));
    QCOMPARE(vc->holdingRegister(0x0000), quint16(1));

    // The old address is no longer answered, the new one is.
    QVERIFY(port.send(statusRead()));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(port.exchange(statusRead(7), 29), readReply(7, StatusValues().words(7)));
    QCOMPARE(port.exchange(writeRequest(7, 0x0002, 1), 6), ack(7, 0x06, 0x0002));
}

void TestVirtualController::addressChangeAddressed()
{
    MasterPort port(vc->portPath());
    // The acknowledgement still comes from the old address; later requests use the new one.
    QCOMPARE(port.exchange(writeRequest(1, 0x0005, 200), 6), ack(1, 0x06, 0x0005));
    QCOMPARE(vc->address(), quint8(200));
    QVERIFY(port.send(readRequest(1, 0x0005, 1)));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(port.exchange(readRequest(200, 0x0005, 1), 7), readReply(200, {200}));

    vc->setAddress(3);
    QCOMPARE(port.exchange(readRequest(3, 0x0005, 1), 7), readReply(3, {3}));
}

void TestVirtualController::faultNoReply()
{
    vc->setFault(VirtualController::FaultNoReply, 0, 1);
    MasterPort port(vc->portPath());
    QVERIFY(port.send(writeRequest(1, 0x0002, 0x0005)));
    QVERIFY(vc->waitForRequests(1, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(vc->holdingRegister(0x0002), quint16(5)); // the write is still applied
    QCOMPARE(vc->replyCount(), 0);
    // One request only: the next is answered.
    QCOMPARE(port.exchange(readRequest(1, 0x0002, 1), 7), readReply(1, {5}));
}

void TestVirtualController::faultBadCrc()
{
    vc->setFault(VirtualController::FaultBadCrc);
    MasterPort port(vc->portPath());
    const QByteArray good = readReply(1, factoryStatusWords());
    const QByteArray reply = port.exchange(statusRead(), 29);
    QCOMPARE(reply.size(), 29);
    QVERIFY(!crcOk(reply));
    QCOMPARE(reply.left(28), good.left(28));
    QCOMPARE(quint8(reply.at(28)), quint8(~quint8(good.at(28))));
    // Until cleared: writes are hit as well.
    const QByteArray ackReply = port.exchange(writeRequest(1, 0x0002, 1), 6);
    QCOMPARE(ackReply.size(), 6);
    QVERIFY(!crcOk(ackReply));
    vc->clearFault();
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
    QVERIFY(crcOk(port.exchange(statusRead(), 29)));
}

void TestVirtualController::faultTruncate()
{
    vc->setFault(VirtualController::FaultTruncate, 10, 1);
    MasterPort port(vc->portPath());
    const QByteArray reply = port.exchange(statusRead(), 29, 1000);
    QCOMPARE(reply, readReply(1, factoryStatusWords()).left(10));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::faultDelay()
{
    vc->setFault(VirtualController::FaultDelay, 300, 1);
    MasterPort port(vc->portPath());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(port.send(statusRead()));
    const QByteArray first = port.read(1, replyTimeoutMs);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(first.size(), 1);
    QVERIFY2(elapsed >= 300, qPrintable(QString::number(elapsed)));
    QCOMPARE(first + port.read(28, replyTimeoutMs), readReply(1, factoryStatusWords()));
}

void TestVirtualController::faultGapPace()
{
    vc->setFault(VirtualController::FaultGapPace, 40, 1);
    MasterPort port(vc->portPath());
    QElapsedTimer timer;
    timer.start();
    const QByteArray reply = port.exchange(readRequest(1, 0x1001, 1), 7, 5000);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(reply, readReply(1, {3980}));
    // Seven bytes, six gaps of 40 ms between them.
    QVERIFY2(elapsed >= 240, qPrintable(QString::number(elapsed)));
}

void TestVirtualController::faultEcho8()
{
    vc->setFault(VirtualController::FaultEcho8, 0, 2);
    MasterPort port(vc->portPath());
    // A read is not a write: answered normally, and the fault waits for writes.
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
    const QByteArray request = writeRequest(1, 0x0004, 500);
    QCOMPARE(port.exchange(request, 8), request);
    QCOMPARE(vc->holdingRegister(0x0004), quint16(500));
    // A block write gets the standard 8-byte reply: address, function, start, count.
    QCOMPARE(port.exchange(blockRequest(1, 0x2001, factoryConfigWords), 8),
        withCrc(bytes({1, 0x10, 0x20, 0x01, 0x00, 0x07})));
    // Both used up: the controller's own acknowledgement again.
    QCOMPARE(port.exchange(writeRequest(1, 0x0004, 600), 6), ack(1, 0x06, 0x0004));
    QCOMPARE(port.readAll(quietMs), QByteArray());
}

void TestVirtualController::faultException()
{
    vc->setFault(VirtualController::FaultException, 0, 1);
    MasterPort port(vc->portPath());
    // Writes are not reads: acknowledged as usual.
    QCOMPARE(port.exchange(writeRequest(1, 0x0002, 3), 6), ack(1, 0x06, 0x0002));
    const QByteArray reply = port.exchange(statusRead(), 29, 1000);
    QCOMPARE(reply, exceptionReply(1, 0x03, 0x04));
    QCOMPARE(reply.size(), 5);
    QCOMPARE(port.exchange(readRequest(1, 0x2001, 7), 19), readReply(1, factoryConfigWords));

    vc->setFault(VirtualController::FaultException, 6);
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7, 1000), exceptionReply(1, 0x03, 0x06));
    QCOMPARE(port.exchange(readRequest(1, 0x2001, 7), 19, 1000), exceptionReply(1, 0x03, 0x06));
}

void TestVirtualController::faultGarbageBefore()
{
    vc->setFault(VirtualController::FaultGarbageBefore, 5, 1);
    MasterPort port(vc->portPath());
    const QByteArray reply = port.exchange(statusRead(), 34);
    QCOMPARE(reply.size(), 34);
    QCOMPARE(reply.mid(5), readReply(1, factoryStatusWords()));
    QVERIFY(!crcOk(reply.left(29))); // what a master awaiting 29 bytes would see
    QCOMPARE(port.readAll(quietMs), QByteArray());
}

void TestVirtualController::faultWrongAddress()
{
    vc->setFault(VirtualController::FaultWrongAddress, 9, 1);
    MasterPort port(vc->portPath());
    QCOMPARE(port.exchange(statusRead(), 29), readReply(9, factoryStatusWords()));
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::faultEndlessStream()
{
    vc->setFault(VirtualController::FaultEndlessStream, 0, 1);
    MasterPort port(vc->portPath());
    QVERIFY(port.send(statusRead()));
    const QByteArray stream = port.read(500, 5000);
    QCOMPARE(stream.size(), 500);
    QCOMPARE(stream, QByteArray(500, 0x55));
    // It goes on, also while the master's side is closed and reopened.
    port.close();
    QThread::msleep(50);
    MasterPort again(vc->portPath());
    QCOMPARE(again.read(100, 5000).size(), 100);
    QVERIFY(vc->isPlugged());

    vc->clearFault();
    // What was on the way when the stream ended still comes: then the line goes quiet.
    QByteArray late;
    for (int i = 0; i < 10 && !(late = again.readAll(quietMs)).isEmpty(); ++i)
        QVERIFY2(late.count(char(0x55)) == late.size(), late.toHex(' ').constData());
    QCOMPARE(late, QByteArray());
    QCOMPARE(again.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::faultUnplugOnRequest()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyVORTANIX"));
    vc.reset(new VirtualController);
    QVERIFY(vc->start(link));
    vc->setFault(VirtualController::FaultUnplugOnRequest, 0, 1);

    MasterPort port(link);
    QVERIFY(port.isOpen());
    QVERIFY(port.send(writeRequest(1, 0x0002, 0x0FFF)));
    QVERIFY(vc->waitForRequests(1, replyTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(!vc->isPlugged(), replyTimeoutMs);
    QCOMPARE(port.read(6, quietMs), QByteArray());
    QCOMPARE(openErrno(link), ENOENT);
    QVERIFY(vc->isRunning());
    QCOMPARE(vc->holdingRegister(0x0002), quint16(0)); // the request never reached the device

    QVERIFY(vc->replug());
    MasterPort fresh(link);
    QVERIFY(fresh.isOpen());
    QCOMPARE(fresh.exchange(writeRequest(1, 0x0002, 0x0FFF), 6), ack(1, 0x06, 0x0002));
}

void TestVirtualController::faultCountAndClear()
{
    MasterPort port(vc->portPath());
    vc->setFault(VirtualController::FaultNoReply, 0, 2);
    // Requests to another address and broadcasts are not counted.
    QVERIFY(port.send(readRequest(5, 0x0001, 12)));
    QVERIFY(port.send(writeRequest(0, 0x0003, 1)));
    QVERIFY(port.send(statusRead()));
    QVERIFY(port.send(statusRead()));
    QVERIFY(vc->waitForRequests(4, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(port.exchange(readRequest(1, 0x0003, 1), 7), readReply(1, {1}));

    // -1: until cleared.
    vc->setFault(VirtualController::FaultNoReply);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(port.send(statusRead()));
        QCOMPARE(port.readAll(150), QByteArray());
    }
    vc->clearFault();
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);

    // A fault with a count of 0 does nothing; FaultNone clears.
    vc->setFault(VirtualController::FaultNoReply, 0, 0);
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
    vc->setFault(VirtualController::FaultNoReply);
    vc->setFault(VirtualController::Fault());
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
}

void TestVirtualController::pacingAtBaudRate()
{
    vc->setPacingBaud(9600);
    MasterPort port(vc->portPath());
    QElapsedTimer timer;
    timer.start();
    const QByteArray reply = port.exchange(statusRead(), 29);
    const qint64 elapsedNs = timer.nsecsElapsed();
    QCOMPARE(reply, readReply(1, factoryStatusWords()));
    // 29 bytes of 10 bits at 9600 baud take 30.2 ms on the line.
    QVERIFY2(elapsedNs >= 29LL * 10 * 1000000000 / 9600, qPrintable(QString::number(elapsedNs)));

    vc->setPacingBaud(1200);
    timer.restart();
    QCOMPARE(port.exchange(readRequest(1, 0x2001, 7), 19), readReply(1, factoryConfigWords));
    QVERIFY2(timer.nsecsElapsed() >= 19LL * 10 * 1000000000 / 1200, qPrintable(QString::number(timer.elapsed())));

    vc->setPacingBaud(0);
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::turnaround()
{
    vc->setTurnaroundUs(100000);
    MasterPort port(vc->portPath());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(port.send(writeRequest(1, 0x0002, 1)));
    const QByteArray first = port.read(1, replyTimeoutMs);
    QCOMPARE(first.size(), 1);
    QVERIFY2(timer.nsecsElapsed() >= 100000000LL, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(first + port.read(5, replyTimeoutMs), ack(1, 0x06, 0x0002));
}

void TestVirtualController::reopenBetweenRequests()
{
    // The panel closes and reopens its side before every exchange.
    for (int i = 0; i < 8; ++i) {
        MasterPort port(vc->portPath());
        QVERIFY(port.isOpen());
        QCOMPARE(port.exchange(writeRequest(1, 0x0004, quint16(i * 100)), 6), ack(1, 0x06, 0x0004));
        port.close();
        MasterPort reopened(vc->portPath());
        QCOMPARE(reopened.exchange(readRequest(1, 0x0004, 1), 7), readReply(1, {quint16(i * 100)}));
    }
    // A pause with the port closed changes nothing either.
    QThread::msleep(100);
    QVERIFY(vc->isPlugged());
    MasterPort port(vc->portPath());
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
}

void TestVirtualController::bytesWrittenWhileClosedReachNextOpener()
{
    SimTraceLog trace;
    vc->setTraceSink(trace.sink());
    vc->setFault(VirtualController::FaultDelay, 200, 1);
    {
        MasterPort port(vc->portPath());
        QVERIFY(port.send(statusRead()));
        QVERIFY(vc->waitForRequests(1, replyTimeoutMs));
    } // closed before the reply goes out
    QTRY_VERIFY_WITH_TIMEOUT(trace.contains(QStringLiteral(" tx ")), 5000);
    MasterPort next(vc->portPath());
    QCOMPARE(next.read(29, replyTimeoutMs), readReply(1, factoryStatusWords()));
}

void TestVirtualController::unplugAndReplugWithLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyVORTANIX0"));
    vc.reset(new VirtualController);
    QVERIFY(vc->start(link));
    QCOMPARE(vc->portPath(), link);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), vc->terminalPath());
    vc->setSwitchMask(0x0101);
    {
        MasterPort port(link);
        QVERIFY(port.isOpen());
        QCOMPARE(port.exchange(readRequest(1, 0x0002, 1), 7), readReply(1, {0x0101}));
    }

    vc->unplug();
    QVERIFY(!vc->isPlugged());
    QVERIFY(vc->isRunning());
    QCOMPARE(openErrno(link), ENOENT);
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!QFileInfo(link).isSymLink());
    vc->unplug(); // twice is harmless

    QVERIFY(vc->replug());
    QVERIFY(vc->isPlugged());
    QCOMPARE(vc->portPath(), link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), vc->terminalPath());
    MasterPort port(link);
    QVERIFY(port.isOpen());
    // The controller kept its registers while unplugged.
    QCOMPARE(port.exchange(readRequest(1, 0x0002, 1), 7), readReply(1, {0x0101}));
    QVERIFY(vc->replug()); // already plugged

    vc->stop();
    QVERIFY(!vc->isRunning());
    QVERIFY(!QFileInfo(link).isSymLink()); // the link goes with the controller
}

void TestVirtualController::unplugWithoutLink()
{
    const QString path = vc->portPath();
    {
        MasterPort port(path);
        QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
    }
    vc->unplug();
    QVERIFY(!vc->isPlugged());
    QCOMPARE(openErrno(path), ENOENT);
    QVERIFY(vc->replug());
    MasterPort port(vc->portPath());
    QVERIFY(port.isOpen());
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
}

void TestVirtualController::unplugHangsUpOpenPort()
{
    MasterPort port(vc->portPath());
    QVERIFY(port.isOpen());
    vc->unplug();
    struct pollfd pfd = {port.fd, POLLIN, 0};
    QVERIFY(::poll(&pfd, 1, replyTimeoutMs) > 0);
    QVERIFY(pfd.revents & POLLHUP);
    QVERIFY(port.read(1, 200).isEmpty());
    QVERIFY(port.hungUp);
}

void TestVirtualController::garbageBeforeRequestIsSkipped()
{
    MasterPort port(vc->portPath());
    const QByteArray request = statusRead();
    QCOMPARE(port.exchange(bytes({0xFF, 0x55, 0xAA, 0x13}) + request, 29), readReply(1, factoryStatusWords()));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    // A frame with a bad CRC alone gets nothing.
    QByteArray broken = writeRequest(1, 0x0002, 9);
    broken[7] = char(broken.at(7) ^ 0x01);
    QVERIFY(port.send(broken));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(vc->holdingRegister(0x0002), quint16(0));
    // Only the good request was taken.
    const QList<VirtualController::Request> log = vc->requests();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.at(0).frame, request);
}

void TestVirtualController::garbageClaimingLongFrameIsSkipped()
{
    // The garbage looks like the start of a long function 16 frame; once the line
    // has gone quiet the controller gives it up and finds the request behind it.
    MasterPort port(vc->portPath());
    const QByteArray request = statusRead();
    QCOMPARE(port.exchange(bytes({0x07, 0x10, 0x00, 0x00, 0x00, 0x7F, 0xFE}) + request, 29),
        readReply(1, factoryStatusWords()));
    QCOMPARE(vc->requests().size(), 1);
}

void TestVirtualController::incompleteFrameDroppedAfterSilence()
{
    SimTraceLog trace;
    vc->setTraceSink(trace.sink());
    MasterPort port(vc->portPath());
    const QByteArray block = blockRequest(1, 0x2001, {0, 1, 2900, 0, 0, 0, 1});
    QVERIFY(port.send(block.left(12))); // the rest never comes
    QTRY_VERIFY_WITH_TIMEOUT(
        trace.contains(QStringLiteral(" -- dropped ") + QString::fromLatin1(block.left(12).toHex(' ').toUpper())),
        replyTimeoutMs);
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
    QCOMPARE(vc->holdingRegister(0x2003), quint16(3980)); // the broken block was not applied
    const QList<VirtualController::Request> log = vc->requests();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.at(0).frame, statusRead());
}

void TestVirtualController::requestLogInOrderWithTimes()
{
    MasterPort port(vc->portPath());
    vc->clearRequests();
    QCOMPARE(vc->requests().size(), 0);
    const QByteArray a = statusRead();
    const QByteArray b = readRequest(9, 0x0001, 12);
    const QByteArray c = writeRequest(0, 0x0002, 4);
    QCOMPARE(port.exchange(a, 29).size(), 29);
    QThread::msleep(60);
    QVERIFY(port.send(b));
    QVERIFY(vc->waitForRequests(2, replyTimeoutMs));
    QThread::msleep(60);
    QVERIFY(port.send(c));
    QVERIFY(vc->waitForRequests(3, replyTimeoutMs));
    const qint64 upperUs = sinceStart.nsecsElapsed() / 1000;

    const QList<VirtualController::Request> log = vc->requests();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(0).frame, a);
    QCOMPARE(log.at(1).frame, b);
    QCOMPARE(log.at(2).frame, c);
    QVERIFY(log.at(0).timeUs >= 0);
    QVERIFY2(log.at(1).timeUs - log.at(0).timeUs >= 60000,
             qPrintable(QString::number(log.at(1).timeUs - log.at(0).timeUs)));
    QVERIFY(log.at(2).timeUs - log.at(1).timeUs >= 60000);
    QVERIFY(log.at(2).timeUs <= upperUs);
    QCOMPARE(vc->replyCount(), 1);

    // Waiting for more than came times out.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!vc->waitForRequests(4, 100));
    QVERIFY(timer.elapsed() >= 95);

    vc->clearRequests();
    QVERIFY(vc->requests().isEmpty());
    QCOMPARE(vc->replyCount(), 0);
    QVERIFY(!vc->waitForRequests(1, 0));
}

void TestVirtualController::traceLines()
{
    SimTraceLog trace;
    vc->setTraceSink(trace.sink());
    MasterPort port(vc->portPath());
    QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
    vc->setFault(VirtualController::FaultBadCrc, 0, 1);
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7).size(), 7);
    QVERIFY(port.send(readRequest(4, 0x0001, 1)));
    QTRY_VERIFY_WITH_TIMEOUT(trace.lines().size() >= 5, 5000);

    const QStringList lines = trace.lines();
    const QRegularExpression rx1(QStringLiteral("^\\d+\\.\\d{6} rx 01 03 00 01 00 0C 14 0F$"));
    const QRegularExpression tx1(QStringLiteral("^\\d+\\.\\d{6} tx 01 03 18 0F FF 00 00 .* 01 0A [0-9A-F]{2} [0-9A-F]{2}  \\(from 1\\)$"));
    const QRegularExpression rx2(QStringLiteral("^\\d+\\.\\d{6} rx 01 03 10 01 00 01 D1 0A$"));
    const QRegularExpression tx2(QStringLiteral("^\\d+\\.\\d{6} tx 01 03 02 0F 8C .*\\(from 1; fault: bad CRC\\)$"));
    const QRegularExpression rx3(QStringLiteral("^\\d+\\.\\d{6} rx 04 03 00 01 00 01 .*ignored"));
    QCOMPARE(lines.size(), 5);
    QVERIFY2(rx1.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(tx1.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY2(rx2.match(lines.at(2)).hasMatch(), qPrintable(lines.at(2)));
    QVERIFY2(tx2.match(lines.at(3)).hasMatch(), qPrintable(lines.at(3)));
    QVERIFY2(rx3.match(lines.at(4)).hasMatch(), qPrintable(lines.at(4)));
    // Time stamps do not go backwards.
    double last = 0;
    for (const QString &line : lines) {
        const double t = line.section(QLatin1Char(' '), 0, 0).toDouble();
        QVERIFY(t >= last);
        last = t;
    }
    vc->setTraceSink(nullptr);
}

void TestVirtualController::drift()
{
    MasterPort port(vc->portPath());
    auto status = [&port]() { return replyWords(port.exchange(statusRead(), 29)); };
    // Without drift the values stand still (for longer than a step).
    QThread::msleep(SimController::DriftStepMs * 6 / 5);
    QCOMPARE(status(), factoryStatusWords());

    QElapsedTimer timer;
    timer.start();
    vc->setDrift(true);
    quint32 seconds = 0;
    QVector<quint16> words;
    QTRY_VERIFY_WITH_TIMEOUT((words = status(), seconds = (quint32(words.value(9)) << 16) | words.value(10),
                              seconds >= 3),
                             20000);
    // Never faster than the clock.
    QVERIFY2(seconds <= quint32(timer.elapsed() / 1000 + 1), qPrintable(QString::number(seconds)));
    for (int i = 0; i < 5; ++i) {
        words = status();
        QCOMPARE(words.size(), 12);
        const qint16 temperature = qint16(words.at(6));
        QVERIFY2(temperature >= 240 && temperature <= 260, qPrintable(QString::number(temperature)));
        QVERIFY2(words.at(8) >= 23900 && words.at(8) <= 24100, qPrintable(QString::number(words.at(8))));
        QCOMPARE(words.at(0), quint16(0x0FFF)); // settings do not drift
        QCOMPARE(words.at(11), quint16(0x010A));
        QThread::msleep(100);
    }
    vc->setDrift(false);
    const QVector<quint16> stopped = status();
    QThread::msleep(SimController::DriftStepMs * 13 / 10);
    QCOMPARE(status().mid(9, 2), stopped.mid(9, 2));
}

void TestVirtualController::stopIsPrompt()
{
    // A reply held back for 20 s does not hold up stop().
    vc->setFault(VirtualController::FaultDelay, 20000);
    MasterPort port(vc->portPath());
    QVERIFY(port.send(statusRead()));
    QVERIFY(vc->waitForRequests(1, replyTimeoutMs));
    QElapsedTimer timer;
    timer.start();
    vc->stop();
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!vc->isRunning());
    QVERIFY(!vc->isPlugged());

    // Nor does an endless stream hold up unplug(); and a stopped controller starts again.
    QVERIFY(vc->start());
    vc->setFault(VirtualController::FaultEndlessStream);
    MasterPort again(vc->portPath());
    QVERIFY(again.send(statusRead()));
    QCOMPARE(again.read(50, 5000).size(), 50);
    timer.restart();
    vc->unplug();
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!vc->isPlugged());
    vc->stop();
    vc->stop(); // twice is harmless
    QVERIFY(!vc->replug()); // not running
}

void TestVirtualController::resetRegisters()
{
    MasterPort port(vc->portPath());
    QCOMPARE(port.exchange(blockRequest(1, 0x2001, {0, 1, 2, 3, 4, 5, 6}), 6), ack(1, 0x10, 0x2001));
    QCOMPARE(port.exchange(writeRequest(1, 0x0004, 999), 6), ack(1, 0x06, 0x0004));
    vc->setTemperature(-600);
    vc->resetRegisters();
    QCOMPARE(port.exchange(statusRead(), 29), readReply(1, factoryStatusWords()));
    QCOMPARE(port.exchange(readRequest(1, 0x2001, 7), 19), readReply(1, factoryConfigWords));
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7), readReply(1, {3980}));
}

void TestVirtualController::setHoldingRegisterShowsInReads()
{
    vc->setHoldingRegister(0x2006, 450);
    vc->setHoldingRegister(0x1001, 3000);
    vc->setHoldingRegister(0x0008, 0xBEEF);
    vc->setHoldingRegister(0x0000, 1);
    vc->setHoldingRegister(0x5555, 1); // outside the map: nothing to keep
    QCOMPARE(vc->holdingRegister(0x5555), quint16(0));
    QCOMPARE(vc->holdingRegister(0x0000), quint16(1));
    MasterPort port(vc->portPath());
    QVector<quint16> config = factoryConfigWords;
    config[5] = 450;
    QCOMPARE(port.exchange(readRequest(1, 0x2001, 7), 19), readReply(1, config));
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7), readReply(1, {3000}));
    QCOMPARE(port.exchange(readRequest(1, 0x0008, 1), 7), readReply(1, {0xBEEF}));
    QCOMPARE(port.exchange(readRequest(1, 0x0000, 1), 5), exceptionReply(1, 0x03, 0x02));
    QCOMPARE(port.exchange(readRequest(1, 0x5555, 1), 5), exceptionReply(1, 0x03, 0x02));
}

void TestVirtualController::twoControllersSideBySide()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VirtualController other;
    other.setAddress(2);
    other.setTemperature(300);
    QVERIFY(other.start(dir.filePath(QStringLiteral("second"))));
    QVERIFY(other.portPath() != vc->portPath());
    QVERIFY(other.terminalPath() != vc->terminalPath());

    MasterPort first(vc->portPath());
    MasterPort second(other.portPath());
    QCOMPARE(first.exchange(readRequest(1, 0x0007, 1), 7), readReply(1, {253}));
    QCOMPARE(second.exchange(readRequest(2, 0x0007, 1), 7), readReply(2, {300}));
    QVERIFY(second.send(readRequest(1, 0x0007, 1)));
    QCOMPARE(second.readAll(quietMs), QByteArray());
    QCOMPARE(vc->requests().size(), 1);
    QCOMPARE(other.requests().size(), 2);
}

void TestVirtualController::descriptorsKeptAndReleased()
{
    // The controller holds one descriptor of the panel's side itself, so its own
    // side sees no hang-up while the panel has the port closed.
    QCOMPARE(openDescriptorTargets().count(vc->terminalPath()), 1);
    {
        MasterPort port(vc->portPath());
        QCOMPARE(openDescriptorTargets().count(vc->terminalPath()), 2);
    }
    QCOMPARE(openDescriptorTargets().count(vc->terminalPath()), 1);
    const QString oldTerminal = vc->terminalPath();
    vc->unplug();
    QCOMPARE(openDescriptorTargets().count(oldTerminal), 0);
    vc.reset();

    // Nothing leaks over start, unplug, replug and stop.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const int before = openDescriptorTargets().size();
    for (int round = 0; round < 3; ++round) {
        VirtualController controller;
        QVERIFY(controller.start(dir.filePath(QStringLiteral("leak"))));
        for (int i = 0; i < 3; ++i) {
            MasterPort port(controller.portPath());
            QCOMPARE(port.exchange(statusRead(), 29).size(), 29);
            port.close();
            controller.unplug();
            QVERIFY(controller.replug());
        }
    }
    QCOMPARE(openDescriptorTargets().size(), before);
}

void TestVirtualController::linkNeverReplacesFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A real file at the link path is left alone and the start fails.
    const QString file = dir.filePath(QStringLiteral("file"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    VirtualController controller;
    QVERIFY(!controller.start(file));
    QVERIFY(!controller.isRunning());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("keep me"));

    // A stale link left behind by an earlier run is replaced.
    const QString link = dir.filePath(QStringLiteral("stale"));
    QVERIFY(QFile::link(QStringLiteral("/dev/pts/nonexistent"), link));
    QVERIFY(controller.start(link));
    QCOMPARE(QFileInfo(link).symLinkTarget(), controller.terminalPath());
    MasterPort port(link);
    QCOMPARE(port.exchange(readRequest(1, 0x1001, 1), 7), readReply(1, {3980}));
}

QTEST_GUILESS_MAIN(TestVirtualController)
#include "tst_virtualcontroller.moc"
