// Register transactions and the connection slots, against the virtual
// controller on a real pseudo-terminal.

#include "mainwindowform.h"
#include "panelrig.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

using Access = MainWindowTestAccess;

class TestTransactions : public RigTestCase
{
    Q_OBJECT

private slots:
    void openAndCloseThroughTheButton();
    void openFailureWarnsAndStaysClosed();
    void addressFieldTakesLowEightBits_data();
    void addressFieldTakesLowEightBits();

    void closedLinkWarnsOnceAndSendsNothing();
    void busyLinkGivesUpWithoutBox();
    void writeAcknowledged();
    void writeUnanswered();
    void writeWithBadCrc();
    void writeEchoedWithEightBytesFailsAndLeftoversVanish();
    void readFullReply();
    void readExceptionReplyFailsAndKeepsLength();
    void readCutShortFailsAndKeepsLength();
    void readPacedSlowerThanWaitBetweenBytesFails();
    void readStreamedInPiecesIsReadToItsEnd();
    void broadcastSendsFrameAndPauses();
    void requestsGoToTheSlaveAddress();
    void portGoneForAMomentIsRiddenOut();
    void portGoneForLongerClosesTheLink();
    void replyThatIsNoAnswer_data();
    void replyThatIsNoAnswer();
    void writeAcknowledgedForAnotherRegisterFails_data();
    void writeAcknowledgedForAnotherRegisterFails();

private:
    // Counts the panel's failed attempts to open its port; the first one runs `onFirst`.
    QMetaObject::Connection countFailedOpens(int &count, const std::function<void()> &onFirst);
};


void TestTransactions::openAndCloseThroughTheButton()
{
    MainWindowForm *ui = rig->ui();
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(rig->openLink());
    for (QWidget *w : {static_cast<QWidget *>(ui->checkSerial), static_cast<QWidget *>(ui->serialName),
                       static_cast<QWidget *>(ui->baudRate), static_cast<QWidget *>(ui->stopBits),
                       static_cast<QWidget *>(ui->paritySelect), static_cast<QWidget *>(ui->lineEditRs485Id)})
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(ui->switchSerial->isEnabled());
    QCOMPARE(rig->modals.boxCount(), 0);

    rig->closeLink();
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(!Access::spComm(rig->w())->isOpen());
    for (QWidget *w : {static_cast<QWidget *>(ui->checkSerial), static_cast<QWidget *>(ui->serialName),
                       static_cast<QWidget *>(ui->baudRate), static_cast<QWidget *>(ui->stopBits),
                       static_cast<QWidget *>(ui->paritySelect), static_cast<QWidget *>(ui->lineEditRs485Id)})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));

    // Open again: the port can be reopened any number of times.
    QVERIFY(rig->openLink());
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 10), 0);
}

void TestTransactions::openFailureWarnsAndStaysClosed()
{
    MainWindowForm *ui = rig->ui();
    ui->serialName->clear();
    ui->serialName->addItem(rig->dir.filePath(QStringLiteral("no-such-port")));
    ui->lineEditRs485Id->setText(QStringLiteral("9"));
    ui->switchSerial->click();
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(
        rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"), QStringLiteral("串口打开失败"));
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(ui->serialName->isEnabled());
    QCOMPARE(Access::slaveAddress(rig->w()), quint8(9)); // taken before the open was tried

    // An empty port list fails the same way.
    ui->serialName->clear();
    ui->switchSerial->click();
    QCOMPARE(rig->modals.boxCount(), 2);
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("串口打开失败"));
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
}

void TestTransactions::addressFieldTakesLowEightBits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address");
    QTest::newRow("5") << "5" << 5;
    QTest::newRow("256") << "256" << 0;
    QTest::newRow("300") << "300" << 44;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "abc" << 0;
}

void TestTransactions::addressFieldTakesLowEightBits()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    QVERIFY(rig->openLink(text));
    QCOMPARE(int(Access::slaveAddress(rig->w())), address);
    // The next request goes to that address.
    rig->sim.clearRequests();
    Access::writeRegister(rig->w(), RegPowerPermille, 1);
    QVERIFY(rig->sim.waitForRequests(1, 2000));
    QCOMPARE(int(quint8(rig->frames().first().at(0))), address);
}

void TestTransactions::closedLinkWarnsOnceAndSendsNothing()
{
    quint8 reply[64];
    quint16 received = 77;
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 5), -1);
    QCOMPARE(rig->modals.boxCount(), 1);
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), -1);
    QCOMPARE(rig->modals.boxCount(), 2);
    QCOMPARE(received, quint16(77));
    Access::broadcastWriteRegister(rig->w(), 0, RegRs485Address, 3);
    QCOMPARE(rig->modals.boxCount(), 3);
    for (const RecordedBox &box : rig->modals.boxes()) {
        verifyBox(box, QMessageBox::Warning, &rig->w(), QStringLiteral("警告"), QStringLiteral("串口未打开"));
    }
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestTransactions::busyLinkGivesUpWithoutBox()
{
    QVERIFY(rig->openLink());
    SPComm *link = Access::spComm(rig->w());
    link->mutex.lock();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 5), -1);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 90, qPrintable(QString::number(elapsed)));
    quint8 reply[64];
    quint16 received = 0;
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), -1);
    Access::broadcastWriteRegister(rig->w(), 0, RegRs485Address, 3);
    link->mutex.unlock();
    QCOMPARE(rig->modals.boxCount(), 0);
    QCOMPARE(rig->settledFrames().size(), 0);
    // Free again: the next exchange works.
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 5), 0);
}

void TestTransactions::writeAcknowledged()
{
    QVERIFY(rig->openLink());
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 5), 0);
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), QStringLiteral("01 06 00 02 00 05 E8 09"));
    QCOMPARE(rig->sim.holdingRegister(RegLdSwitchMask), quint16(5));
    QVERIFY(rig->modals.boxCount() == 0);
    QVERIFY(Access::spComm(rig->w())->mutex.tryLock());
    Access::spComm(rig->w())->mutex.unlock();
}

void TestTransactions::writeUnanswered()
{
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 5), -1);
    QVERIFY(clock.elapsed() >= 190); // the acknowledgement is awaited for 200 ms
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 6), 0);
}

void TestTransactions::writeWithBadCrc()
{
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultBadCrc, 0, 1);
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 5), -1);
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 6), 0);
}

void TestTransactions::writeEchoedWithEightBytesFailsAndLeftoversVanish()
{
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultEcho8, 0, 1);
    QCOMPARE(Access::writeRegister(rig->w(), RegLdSwitchMask, 5), -1);
    // The two bytes the write left unread must not spoil the next read.
    quint8 reply[64];
    quint16 received = 0;
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), 0);
    QCOMPARE(received, quint16(29));
    QCOMPARE(reply[0], quint8(1));
    QCOMPARE(reply[1], quint8(3));
    QCOMPARE(reply[2], quint8(24));
}

void TestTransactions::readFullReply()
{
    QVERIFY(rig->openLink());
    rig->sim.setSupplyMillivolts(24150);
    quint8 reply[64];
    quint16 received = 0;
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), 0);
    QCOMPARE(received, quint16(29));
    QCOMPARE(hexFrame(rig->frames().first()), statusReadHex);
    // Register 0x0009 is word 8 of the block: offsets 3 + 16 and 4 + 16.
    QCOMPARE(int(reply[19]) << 8 | reply[20], 24150);
}

// An exception reply has a good CRC but answers with function 0x83: no reply to a read.
void TestTransactions::readExceptionReplyFailsAndKeepsLength()
{
    QVERIFY(rig->openLink());
    quint8 reply[64];
    quint16 received = 1234;
    int result = 0;
    // A controller late under load is asked again, with the fault armed again.
    rig->untilReplied(
        [&] { result = Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received); },
        PanelRig::Retry::TimeOut, [this] { rig->sim.setFault(VirtualController::FaultException, 2, 1); });
    QCOMPARE(result, -1);
    QCOMPARE(received, quint16(1234));
    QCOMPARE(reply[1], quint8(0x83));
}

void TestTransactions::readCutShortFailsAndKeepsLength()
{
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultTruncate, 20, 1);
    quint8 reply[64];
    quint16 received = 1234;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), -1);
    QVERIFY(clock.elapsed() >= 45); // one wait after the last byte
    QCOMPARE(received, quint16(1234));
}

void TestTransactions::readPacedSlowerThanWaitBetweenBytesFails()
{
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultGapPace, 120, 1);
    quint8 reply[64];
    quint16 received = 0;
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), -1);
    QVERIFY(Access::spComm(rig->w())->mutex.tryLock());
    Access::spComm(rig->w())->mutex.unlock();
    // The controller goes on sending the rest of that reply; once it is done
    // the next exchange starts clean.
    QTRY_COMPARE_WITH_TIMEOUT(rig->sim.finishedReplyCount(), rig->sim.replyCount(), 15000);
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), 0);
    QCOMPARE(received, quint16(29));
}

void TestTransactions::readStreamedInPiecesIsReadToItsEnd()
{
    QVERIFY(rig->openLink());
    // 29 bytes, 5 ms apart: 140 ms in all, beyond two waits of 50 ms, but no
    // gap comes near one, even when a loaded machine runs the line late.
    rig->sim.setFault(VirtualController::FaultGapPace, 5, 1);
    quint8 reply[64];
    quint16 received = 0;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), 0);
    QCOMPARE(received, quint16(29));
    QVERIFY(clock.elapsed() >= 28 * 5);
}

void TestTransactions::broadcastSendsFrameAndPauses()
{
    QVERIFY(rig->openLink());
    QElapsedTimer clock;
    clock.start();
    Access::broadcastWriteRegister(rig->w(), 0, 0x0005, 7);
    QVERIFY(clock.elapsed() >= 20);
    QVERIFY(rig->sim.waitForRequests(1, 2000));
    QCOMPARE(hexFrame(rig->frames().first()), QStringLiteral("00 06 00 05 00 07 D9 D8"));
    QCOMPARE(rig->sim.address(), quint8(7));
    QVERIFY(Access::spComm(rig->w())->mutex.tryLock());
    Access::spComm(rig->w())->mutex.unlock();
}

void TestTransactions::requestsGoToTheSlaveAddress()
{
    rig->sim.setAddress(5);
    QVERIFY(rig->openLink(QStringLiteral("5")));
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 3), 0);
    // Another address stays silent.
    Access::slaveAddress(rig->w()) = 6;
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 4), -1);
    QCOMPARE(rig->sim.holdingRegister(RegPowerPermille), quint16(3));
    QVERIFY(rig->sim.waitForRequests(2, 5000)); // unanswered: may be logged after the wait
    QCOMPARE(quint8(rig->frames().last().at(0)), quint8(6));
}

QMetaObject::Connection TestTransactions::countFailedOpens(int &count, const std::function<void()> &onFirst)
{
    QSerialPort *port = Access::spComm(rig->w())->serialPort;
    return QObject::connect(port, &QSerialPort::errorOccurred, [&count, onFirst](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::DeviceNotFoundError)
            return;
        if (count++ == 0 && onFirst)
            onFirst();
    });
}

// Another program that opens the port just when the panel reopens it (a
// second panel's scan, a modem manager) makes that open fail for a moment.
// Here the port is gone just for the first attempt: the reopen is tried
// again, and the exchange goes through on the same link.
void TestTransactions::portGoneForAMomentIsRiddenOut()
{
    QVERIFY(rig->openLink());
    int failedOpens = 0;
    const QMetaObject::Connection watch = countFailedOpens(failedOpens, [this] { rig->sim.replug(); });
    rig->sim.unplug();
    rig->sim.clearRequests();
    quint8 reply[64];
    quint16 received = 0;
    const int result = Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received);
    QObject::disconnect(watch);
    QCOMPARE(failedOpens, 1);
    QCOMPARE(result, 0);
    QCOMPARE(received, quint16(29));
    QVERIFY(Access::spComm(rig->w())->isOpen());
    QCOMPARE(rig->ui()->switchSerial->text(), QStringLiteral("关闭串口"));
    QCOMPARE(rig->modals.boxCount(), 0);
}

// An adapter that is really gone: after 50 ms of attempts the link is
// closed, and the next poll shows it.
void TestTransactions::portGoneForLongerClosesTheLink()
{
    QVERIFY(rig->openLink());
    int failedOpens = 0;
    const QMetaObject::Connection watch = countFailedOpens(failedOpens, {});
    rig->sim.unplug();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 5), -1);
    const qint64 tried = clock.elapsed();
    QObject::disconnect(watch);
    QVERIFY2(tried >= 50, qPrintable(QString::number(tried)));
    QVERIFY2(failedOpens >= 2, qPrintable(QString::number(failedOpens)));
    QVERIFY(!Access::spComm(rig->w())->isOpen());

    rig->poll();
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(rig->ui()->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(rig->sim.replug());
    QVERIFY(rig->openLink());
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 5), 0);
    QCOMPARE(rig->modals.boxCount(), 0);
}

// A reply with a good CRC that is still no answer to the request: from a
// controller at another address (two set to one address, a reply that
// strayed), or with a function code that is neither the request's nor its
// exception form.
void TestTransactions::replyThatIsNoAnswer_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("toTheWrite");
    QTest::addColumn<int>("toTheRead");
    const int address = VirtualController::FaultWrongAddress;
    const int function = VirtualController::FaultWrongFunction;
    QTest::newRow("from address 9") << address << 9 << 9;
    QTest::newRow("from the broadcast address") << address << 0 << 0;
    QTest::newRow("from address 247") << address << 247 << 247;
    QTest::newRow("function 4") << function << 4 << 4;
    QTest::newRow("each the other's function") << function << int(FuncWriteMultipleRegisters)
                                               << int(FuncWriteSingleRegister);
}

void TestTransactions::replyThatIsNoAnswer()
{
    QFETCH(int, fault);
    QFETCH(int, toTheWrite);
    QFETCH(int, toTheRead);
    QVERIFY(rig->openLink(QStringLiteral("3")));
    rig->sim.setAddress(3);
    rig->sim.setFault(VirtualController::FaultKind(fault), toTheWrite, 1);
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 7), -1);
    QCOMPARE(rig->sim.holdingRegister(RegPowerPermille), quint16(7)); // carried out, but not confirmed
    rig->sim.setFault(VirtualController::FaultKind(fault), toTheRead, 1);
    quint8 reply[64];
    quint16 received = 1234;
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), -1);
    QCOMPARE(received, quint16(1234));
    // The same requests answered properly succeed, once the controller is
    // done sending the wrong reply (a loaded machine may send it late).
    QTRY_COMPARE_WITH_TIMEOUT(rig->sim.finishedReplyCount(), rig->sim.replyCount(), 15000);
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 8), 0);
    QCOMPARE(Access::readRegisters(rig->w(), StatusBlockFirst, StatusBlockCount, reply, received), 0);
}

// An acknowledgement with a good CRC, the right address and function, but
// for another register: another master's write, or a late one of an
// earlier write. The write it arrived for is not confirmed by it.
void TestTransactions::writeAcknowledgedForAnotherRegisterFails_data()
{
    QTest::addColumn<int>("acknowledged");
    QTest::newRow("the register next to it") << int(RegPowerPermille + 1);
    QTest::newRow("the switch mask") << int(RegLdSwitchMask);
    QTest::newRow("register 0xFFFF") << 0xFFFF;
}

void TestTransactions::writeAcknowledgedForAnotherRegisterFails()
{
    QFETCH(int, acknowledged);
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultWrongRegister, acknowledged, 1);
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 7), -1);
    QCOMPARE(rig->modals.boxCount(), 0); // a failed write, told as any other
    QCOMPARE(Access::writeRegister(rig->w(), RegPowerPermille, 8), 0);
}

QTEST_MAIN(TestTransactions)
#include "tst_transactions.moc"
