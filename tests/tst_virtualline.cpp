// Several controllers on one virtual RS-485 line, seen from the master's end
// of a real pseudo-terminal: each answers only its own address, broadcasts
// reach them all, a fault strikes only the controller it was given to, and a
// silent or slow controller holds up nobody but itself.

#include "controllervalues.h"
#include "masterport.h"
#include "modbusframes.h"
#include "registers.h"
#include "simtracelog.h"
#include "virtualline.h"

#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

// The controllers of these tests, each with a temperature of its own.
const QList<quint8> addresses = {1, 7, 200};

qint16 temperatureOf(quint8 address)
{
    return qint16(200 + address);
}

QVector<quint16> statusWordsOf(quint8 address)
{
    StatusValues values;
    values.temperature = temperatureOf(address);
    return values.words(address);
}

} // namespace

class TestVirtualLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void eachControllerAnswersOnlyItsAddress();
    void broadcastReachesEveryController();
    void faultStrikesOnlyItsController();
    void silentOrSlowControllerHoldsUpOnlyItself_data();
    void silentOrSlowControllerHoldsUpOnlyItself();
    void busyControllerTakesItsNextRequestAfterItsReply();
    void repliesAtOneAddressCollide();
    void controllerAddedWhileRunning();
    void pacingAppliesToTheLine();
    void unplugFaultUnplugsTheWholeLine();

private:
    SimController at(quint8 address) const { return controllers.at(addresses.indexOf(address)); }

    std::unique_ptr<VirtualLine> line;
    QList<SimController> controllers;
    SimTraceLog trace;
};

void TestVirtualLine::init()
{
    line = std::make_unique<VirtualLine>();
    controllers.clear();
    for (quint8 address : addresses) {
        SimController controller = line->addController(address);
        controller.setTemperature(temperatureOf(address));
        controllers << controller;
    }
    trace = SimTraceLog();
    line->setTraceSink(trace.sink());
    QVERIFY(line->start());
}

void TestVirtualLine::cleanup()
{
    line.reset();
    controllers.clear();
}

void TestVirtualLine::eachControllerAnswersOnlyItsAddress()
{
    MasterPort port(line->portPath());
    QVERIFY(port.isOpen());
    for (quint8 address : addresses) {
        QCOMPARE(port.exchange(statusRead(address), 29), readReply(address, statusWordsOf(address)));
        QCOMPARE(port.readAll(quietMs), QByteArray()); // nobody else answered
    }
    QVERIFY(port.send(statusRead(9))); // nobody's address
    QCOMPARE(port.readAll(quietMs), QByteArray());

    // Every controller heard every request and answered its own.
    for (SimController c : controllers) {
        QVERIFY(c.waitForRequests(4, replyTimeoutMs));
        QCOMPARE(c.requests().size(), 4);
        QCOMPARE(c.requests().at(3).frame, statusRead(9));
        QCOMPARE(c.replyCount(), 1);
    }
    // The trace says who sent each reply.
    QTRY_VERIFY_WITH_TIMEOUT(trace.contains(QStringLiteral("(for address 9, ignored)")), replyTimeoutMs);
    const QStringList sent = trace.lines().filter(QStringLiteral(" tx "));
    QCOMPARE(sent.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(sent.at(i).endsWith(QStringLiteral("  (from %1)").arg(addresses.at(i))), qPrintable(sent.at(i)));
}

void TestVirtualLine::broadcastReachesEveryController()
{
    MasterPort port(line->portPath());
    const QVector<quint16> block = {0, 0x0033, 3100, 0, 3600, 412, 0x0F00};
    QVERIFY(port.send(writeRequest(0, RegLdSwitchMask, 0x0005)));
    QVERIFY(port.send(blockRequest(0, ConfigBlockFirst, block)));
    for (SimController c : controllers)
        QVERIFY(c.waitForRequests(2, replyTimeoutMs));
    QCOMPARE(port.readAll(quietMs), QByteArray());
    for (quint8 address : addresses) {
        QCOMPARE(at(address).replyCount(), 0);
        QCOMPARE(port.exchange(readRequest(address, RegLdEnableMask, 2), 9), readReply(address, {0x0033, 0x0005}));
        QCOMPARE(port.exchange(readRequest(address, ConfigBlockFirst, 7), 19), readReply(address, block));
    }
}

void TestVirtualLine::faultStrikesOnlyItsController()
{
    MasterPort port(line->portPath());
    at(7).setFault(SimController::FaultBadCrc);
    at(200).setFault(SimController::FaultNoReply);
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(port.exchange(statusRead(1), 29), readReply(1, statusWordsOf(1)));
        const QByteArray spoiled = port.exchange(statusRead(7), 29);
        QCOMPARE(spoiled.left(28), readReply(7, statusWordsOf(7)).left(28));
        QVERIFY(!crcOk(spoiled));
        QVERIFY(port.send(statusRead(200)));
        QVERIFY(at(200).waitForRequests(3 * (round + 1), replyTimeoutMs));
        QCOMPARE(port.readAll(quietMs), QByteArray());
    }
    at(7).clearFault();
    at(200).clearFault();
    QCOMPARE(port.exchange(statusRead(7), 29), readReply(7, statusWordsOf(7)));
    QCOMPARE(port.exchange(statusRead(200), 29), readReply(200, statusWordsOf(200)));
}

void TestVirtualLine::silentOrSlowControllerHoldsUpOnlyItself_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("answersLate");
    QTest::newRow("silent") << int(SimController::FaultNoReply) << 0 << false;
    // Far longer than a loaded machine could stall the line's thread.
    QTest::newRow("slow") << int(SimController::FaultDelay) << 2000 << true;
}

void TestVirtualLine::silentOrSlowControllerHoldsUpOnlyItself()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(bool, answersLate);
    at(7).setFault(SimController::FaultKind(fault), param, 1);
    MasterPort port(line->portPath());
    // The master gives up on 7 at once and asks 200, as a master whose wait
    // for 7 has run out would.
    QVERIFY(port.send(statusRead(7)));
    QVERIFY(port.send(statusRead(200)));
    // 200's whole reply comes first, while 7 has sent nothing yet.
    QCOMPARE(port.read(29, replyTimeoutMs), readReply(200, statusWordsOf(200)));
    QCOMPARE(at(7).finishedReplyCount(), 0);
    if (answersLate) {
        QCOMPARE(port.read(29, param + replyTimeoutMs), readReply(7, statusWordsOf(7)));
        QCOMPARE(at(7).finishedReplyCount(), 1);
    }
    QCOMPARE(port.readAll(quietMs), QByteArray());
    QCOMPARE(at(7).replyCount(), answersLate ? 1 : 0);
    QCOMPARE(at(1).replyCount(), 0);
}

void TestVirtualLine::busyControllerTakesItsNextRequestAfterItsReply()
{
    // A controller answers one request after another: a request that comes
    // while its delayed reply waits is taken after that reply has gone.
    at(7).setFault(SimController::FaultDelay, 300, 1);
    MasterPort port(line->portPath());
    QVERIFY(port.send(readRequest(7, RegLdTemperature, 1)));
    QVERIFY(port.send(readRequest(7, RegMaxPowerDac, 1)));
    QVERIFY(at(7).waitForRequests(1, replyTimeoutMs));
    QCOMPARE(port.read(14, 300 + replyTimeoutMs),
        readReply(7, {quint16(temperatureOf(7))}) + readReply(7, {FactoryLdMaxDac}));
    // The second was logged only once the first reply had left.
    const QList<SimController::Request> log = at(7).requests();
    QCOMPARE(log.size(), 2);
    QVERIFY(log.at(1).frame == readRequest(7, RegMaxPowerDac, 1));
    const QStringList lines = trace.lines();
    const int firstReply = lines.indexOf(QRegularExpression(QStringLiteral(".* tx 07 03 02 .*delayed 300 ms\\)$")));
    QVERIFY2(firstReply >= 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.filter(QStringLiteral(" rx 07 ")).size(), 2);
}

void TestVirtualLine::repliesAtOneAddressCollide()
{
    // A broadcast gives all three the same address; a request to it is
    // answered by all three at once, and their bytes mix on the line.
    MasterPort port(line->portPath());
    QVERIFY(port.send(writeRequest(0, RegRs485Address, 9)));
    for (SimController c : controllers)
        QVERIFY(c.waitForRequests(1, replyTimeoutMs));
    const QByteArray mixed = port.exchange(readRequest(9, RegLdTemperature, 1), 21);
    QCOMPARE(mixed.size(), 21);
    QVERIFY(!crcOk(mixed.left(7)));
    for (SimController c : controllers) {
        QCOMPARE(c.address(), quint8(9));
        QCOMPARE(c.replyCount(), 1);
    }
}

void TestVirtualLine::controllerAddedWhileRunning()
{
    SimController late = line->addController(42);
    QCOMPARE(line->controllers().size(), 4);
    MasterPort port(line->portPath());
    QCOMPARE(port.exchange(statusRead(42), 29), readReply(42, StatusValues().words(42)));
    QCOMPARE(late.replyCount(), 1);
    QCOMPARE(at(1).requests().size(), 1); // the others heard it too
}

void TestVirtualLine::pacingAppliesToTheLine()
{
    line->setPacingBaud(1200); // a 7-byte reply takes 58 ms on the wire
    MasterPort port(line->portPath());
    for (quint8 address : {quint8(7), quint8(200)}) {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(port.exchange(readRequest(address, RegLdTemperature, 1), 7),
            readReply(address, {quint16(temperatureOf(address))}));
        QVERIFY2(timer.nsecsElapsed() >= 7LL * 10 * 1000000000 / 1200, qPrintable(QString::number(timer.elapsed())));
    }
}

void TestVirtualLine::unplugFaultUnplugsTheWholeLine()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyLINE"));
    line->stop();
    QVERIFY(line->start(link));
    at(7).setFault(SimController::FaultUnplugOnRequest, 0, 1);
    {
        MasterPort port(link);
        QVERIFY(port.send(writeRequest(7, RegLdSwitchMask, 0x0FFF)));
        QTRY_VERIFY_WITH_TIMEOUT(!line->isPlugged(), replyTimeoutMs);
    }
    QCOMPARE(openErrno(link), ENOENT);
    QCOMPARE(at(7).holdingRegister(RegLdSwitchMask), quint16(0)); // not carried out
    QVERIFY(line->replug());
    MasterPort port(link);
    for (quint8 address : addresses)
        QCOMPARE(port.exchange(statusRead(address), 29), readReply(address, statusWordsOf(address)));
}

QTEST_GUILESS_MAIN(TestVirtualLine)
#include "tst_virtualline.moc"
