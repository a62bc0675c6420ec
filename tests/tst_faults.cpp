// Line faults against the real slots: every way a controller or a cable can
// spoil an exchange, injected by the virtual controller on a real
// pseudo-terminal, while the panel polls (queryDevInfo), writes (a button
// click), reads the power limit (getLimitPower) and reads the configuration
// block (btnGetAllConfig). For every fault: the outcome the panel promises,
// no crash, no stale or invented value on screen, the link's mutex free
// afterwards, and the next good exchange works.
//
// The fault cases of libmodbus's own client/server unit tests
// (tests/unit-test-client.c), and where each one lives here:
//   "no response from another slave id" (RTU time-out) .... requestToAnAddressNobodyAnswers
//   "reply after a broadcast query" / broadcast write ...... broadcastLeavesNothingOnTheLine
//   "illegal data address" exception (code 2) ............. faultMatrix "exception 2" rows (three reads),
//                                                            exceptionReplyToAWrite (a refused write)
//   "server busy" manual exception (code 6) ................ faultMatrix "exception 6" rows
//   "slave device failure" exception (code 4) .............. faultMatrix "exception 4" rows
//   "invalid slave id in the response" ..................... faultMatrix "reply from address 7" rows: a
//                                                            reply from another address is a failed exchange
//   "response of another function code" .................... lateReplyOfAnotherFunctionIsRefused (both ways);
//                                                            exception rows (function | 0x80)
//   "too short response timeout" / "adequate timeout" ...... faultMatrix "delay beyond/within the wait"
//   "too short byte timeout" / "adequate byte timeout" ..... faultMatrix "paced slower than the wait" and
//                                                            "paced at 9600/1200 baud"
//   "bad response: more bytes than asked" .................. faultMatrix "8-byte echo" and "garbage first";
//                                                            "endless stream" (the read stops at its count)
//   too few bytes (truncated confirmation) ................. faultMatrix "cut to 4 bytes", "last byte missing"
//   invalid CRC of the confirmation ........................ faultMatrix "bad CRC"
//   modbus_flush of stale data after a time-out ............ staleReplyIsFlushedBeforeTheNextExchange
//   error recovery of the link (reconnect) ................. unplugDuringAnExchange, unplugBetweenPolls...
// Not applicable to this device: coils, discrete inputs, input registers,
// mask write, write-and-read, report slave id, float helpers (functions the
// controller does not have), "too many data" (a client-side check of the
// register count; the panel only ever asks for 12, 1 and 7 registers) and
// the server-side request checks (those are the virtual controller's own).

#include "bustrace.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "simtracelog.h"
#include "spcomm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QMutex>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

using Access = MainWindowTestAccess;
using Fault = VirtualController::FaultKind;

namespace {

// The operations whose exchanges the matrix spoils, each through its real slot.
enum Op { OpPoll, OpWrite, OpDacRead, OpConfigRead };

const char *opName(int op)
{
    switch (op) {
    case OpPoll:
        return "poll";
    case OpWrite:
        return "write";
    case OpDacRead:
        return "DAC read";
    default:
        return "block read";
    }
}

// Reply bytes each operation awaits.
int replyLength(int op)
{
    switch (op) {
    case OpPoll:
        return readReplyLength(StatusBlockCount);
    case OpWrite:
        return WriteAckLength;
    case OpDacRead:
        return readReplyLength(1);
    default:
        return readReplyLength(ConfigBlockCount);
    }
}

// Two sets of controller values: A is on screen before the fault, B is in the
// controller when the fault strikes. A failed exchange must leave A on screen.
struct Values
{
    StatusValues status;
    quint16 maxDac;
    quint16 config[7];
};

const Values valuesA
    = {{0x0FFF, 0x0005, 0, 321, 0, 253, 0, 24150, 65536, 0x0203}, 3100, {0, 0x0F0F, 3500, 0x0001, 0x1940, 255, 0x00FF}};
// Seconds of the B block: 50 h = 180000 s = 0x0002BF20.
const Values valuesB = {
    {0x0FF0, 0x0FF0, 0, 999, 0, -600, 0, 5000, 7 * 3600, 0x0909}, 2900, {0, 0x0033, 3200, 0x0002, 0xBF20, 412, 0x0F00}};

void applyValues(VirtualController &sim, const Values &v)
{
    v.status.applyTo(sim);
    sim.setHoldingRegister(RegMaxPowerDac, v.maxDac);
    for (int i = 0; i < 7; ++i)
        sim.setHoldingRegister(quint16(ConfigBlockFirst + i), v.config[i]);
}

// Everything the operator can see, and every kept controller value, except
// labelCommStat, which the health rule owns.
QStringList screenWithoutCommStat(PanelRig &rig)
{
    QWidget *root = &rig.w();
    QStringList state;
    for (QLabel *w : root->findChildren<QLabel *>()) {
        if (w != rig.ui()->labelCommStat)
            state << w->objectName() + QLatin1Char('=') + w->text() + QLatin1Char('|') + w->styleSheet();
    }
    for (QLineEdit *w : root->findChildren<QLineEdit *>())
        state << w->objectName() + QLatin1Char('=') + w->text();
    for (QAbstractButton *w : root->findChildren<QAbstractButton *>())
        state << w->objectName() + QLatin1Char('=') + w->text() + QLatin1Char('|') + QString::number(w->isChecked())
                     + QString::number(w->isEnabled());
    for (QComboBox *w : root->findChildren<QComboBox *>())
        state << w->objectName() + QLatin1Char('=') + QString::number(w->count()) + w->currentText()
                     + QString::number(w->isEnabled());
    state.sort();
    MainWindow &m = rig.w();
    state << QStringLiteral("slaveAddress=%1").arg(Access::slaveAddress(m))
          << QStringLiteral("ldEnableMask=%1").arg(Access::ldEnableMask(m))
          << QStringLiteral("ldSwitchMask=%1").arg(Access::ldSwitchMask(m))
          << QStringLiteral("powerPermille=%1").arg(Access::powerPermille(m))
          << QStringLiteral("ldTemperature=%1").arg(Access::ldTemperature(m))
          << QStringLiteral("supplyMillivolts=%1").arg(Access::supplyMillivolts(m))
          << QStringLiteral("runSeconds=%1").arg(Access::runSeconds(m))
          << QStringLiteral("firmwareVersion=%1").arg(Access::firmwareVersion(m))
          << QStringLiteral("ldMaxDac=%1").arg(Access::ldMaxDac(m))
          << QStringLiteral("ldAlarmTemperature=%1").arg(Access::ldAlarmTemperature(m))
          << QStringLiteral("ldLowPowerMask=%1").arg(Access::ldLowPowerMask(m))
          << QStringLiteral("ldCompensationSeconds=%1").arg(Access::ldCompensationSeconds(m));
    return state;
}

bool isChecked(MainWindow &w, const QString &name)
{
    auto *box = w.findChild<QCheckBox *>(name);
    return box && box->isChecked();
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void faultMatrix_data();
    void faultMatrix();
    void unplugDuringAnExchange_data();
    void unplugDuringAnExchange();
    void unplugBetweenPollsThenReplugAndReopen();
    void timerPollWhileAnotherCommandsBoxIsOpen_data();
    void timerPollWhileAnotherCommandsBoxIsOpen();

    void requestToAnAddressNobodyAnswers();
    void broadcastLeavesNothingOnTheLine();
    void exceptionReplyToAWrite();
    void staleReplyIsFlushedBeforeTheNextExchange();
    void lateReplyOfAnotherFunctionIsRefused_data();
    void lateReplyOfAnotherFunctionIsRefused();

private:
    void runOp(int op);
    bool goodOp(int op, bool lenient = false, const std::function<void()> &beforeEach = {});
    bool arrange();
    void verifyShowsB(int op);
    void verifyStatusB();
    void verifyMutexFree();
    void waitForFaultedReply(int answersAfter = 0);
    // Boxes the panel showed, leaving out those of attempts that goodOp repeated.
    int boxesShown() const { return rig->modals.boxCount() - rig->repeatedBoxes; }
    void clearBoxes()
    {
        rig->modals.clear();
        rig->repeatedBoxes = 0;
    }

    std::unique_ptr<PanelRig> rig;
    std::unique_ptr<BusTrace> bus;
    SimTraceLog simTrace; // the controller's trace: a "tx" line per reply sent (or cut off)
};

void TestFaults::init()
{
    bus = std::make_unique<BusTrace>();
    rig = std::make_unique<PanelRig>();
    QVERIFY(rig->start());
    simTrace = SimTraceLog();
    rig->sim.setTraceSink(simTrace.sink());
}

void TestFaults::cleanup()
{
    rig.reset();
    bus.reset();
}

void TestFaults::runOp(int op)
{
    switch (op) {
    case OpPoll:
        rig->poll();
        break;
    case OpWrite:
        rig->ui()->ldAdcOn->click();
        break;
    case OpDacRead:
        rig->ui()->getLimitPower->click();
        break;
    default:
        rig->ui()->btnGetAllConfig->click();
        break;
    }
}

// One exchange that the controller answers properly; `lenient` where the
// controller itself paces or delays its reply on purpose (see
// PanelRig::untilAnswered). beforeEach runs before every attempt (to arm a
// fault again).
bool TestFaults::goodOp(int op, bool lenient, const std::function<void()> &beforeEach)
{
    return rig->untilAnswered(
        [this, op] { runOp(op); }, lenient ? PanelRig::Retry::TimeOutOrCut : PanelRig::Retry::TimeOut, beforeEach);
}

// Waits until the controller has sent the reply it spoiled (its trace line
// carries the fault), and then `answersAfter` more replies.
void TestFaults::waitForFaultedReply(int answersAfter)
{
    auto done = [this, answersAfter] {
        const QStringList sent = simTrace.lines().filter(QStringLiteral(" tx "));
        for (int i = 0; i < sent.size(); ++i) {
            if (sent.at(i).contains(QStringLiteral("fault:")))
                return sent.size() - 1 - i >= answersAfter;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(done(), 20000);
}

void TestFaults::verifyMutexFree()
{
    SPComm *link = Access::spComm(rig->w());
    QVERIFY(link->mutex.tryLock());
    link->mutex.unlock();
}

// Link open, A on screen everywhere (status tab, power limit field, configuration tab).
bool TestFaults::arrange()
{
    applyValues(rig->sim, valuesA);
    if (!rig->openLink())
        return false;
    if (!goodOp(OpPoll) || !goodOp(OpDacRead) || !goodOp(OpConfigRead))
        return false;
    clearBoxes();
    MainWindowForm *ui = rig->ui();
    return ui->labelCommStat->text() == QStringLiteral("正常") && ui->labelPowerPercent->text() == QStringLiteral("321")
           && ui->lineLimitPower->text() == QStringLiteral("3100") && ui->lineEditMaxDac->text() == QStringLiteral("3500")
           && !ui->radioButtonAdcEnableStat->isChecked() && Access::commFailCount(rig->w()) == 0;
}

void TestFaults::verifyStatusB()
{
    MainWindowForm *ui = rig->ui();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(ui->labelPowerPercent->text(), QStringLiteral("999"));
    QCOMPARE(ui->labelLdTemperature->text(), QStringLiteral("开路"));
    QCOMPARE(ui->labelSupplyVoltage->text(), QStringLiteral("5"));
    QCOMPARE(ui->labelWorkHours->text(), QStringLiteral("7H"));
    QCOMPARE(ui->labelVersion->text(), QStringLiteral("V9.9"));
    QCOMPARE(ui->ldStatLd_1->text(), QStringLiteral("关"));
    QCOMPARE(ui->ldStatLd_5->text(), QStringLiteral("开"));
    QCOMPARE(ui->ldStatLd_12->text(), QStringLiteral("开"));
    QCOMPARE(ui->radioButtonAdcEnableStat->isChecked(), (rig->sim.holdingRegister(RegAdcEnable) & 0xFF) == 1);
    QCOMPARE(Access::ldEnableMask(rig->w()), quint16(0x0FF0));
    QCOMPARE(Access::slaveAddress(rig->w()), quint8(1));
}

void TestFaults::verifyShowsB(int op)
{
    MainWindowForm *ui = rig->ui();
    MainWindow &w = rig->w();
    switch (op) {
    case OpPoll:
        verifyStatusB();
        break;
    case OpWrite:
        QVERIFY(ui->radioButtonAdcEnableStat->isChecked());
        QCOMPARE(rig->sim.holdingRegister(RegAdcEnable), quint16(1));
        break;
    case OpDacRead:
        QCOMPARE(ui->lineLimitPower->text(), QStringLiteral("2900"));
        QCOMPARE(Access::ldMaxDac(w), quint16(2900));
        break;
    default:
        QCOMPARE(ui->lineEditConfigName->text(), QStringLiteral("默认配置1"));
        QCOMPARE(ui->lineEditMaxDac->text(), QStringLiteral("3200"));
        QCOMPARE(ui->lineEditAlarmTemperature->text(), QStringLiteral("41.2"));
        QCOMPARE(ui->lineEditCompensationHours->text(), QStringLiteral("50"));
        for (int n = 1; n <= 12; ++n) {
            QCOMPARE(isChecked(w, QStringLiteral("configAllLdEn_%1").arg(n)), bool(0x0033 & (1 << (n - 1))));
            QCOMPARE(isChecked(w, QStringLiteral("configAllLowPower_%1").arg(n)), bool(0x0F00 & (1 << (n - 1))));
        }
        QCOMPARE(Access::ldEnableMask(w), quint16(0x0033));
        QCOMPARE(Access::ldCompensationSeconds(w), quint32(180000));
        break;
    }
}

void TestFaults::faultMatrix_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<int>("pacingBaud");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("repliesSent"); // replies the controller sends for the spoiled request

    for (int op : {OpPoll, OpWrite, OpDacRead, OpConfigRead}) {
        const bool write = op == OpWrite;
        const int length = replyLength(op);
        auto row = [op](const char *what) -> QTestData & { return QTest::addRow("%s: %s", opName(op), what); };
        row("no reply") << op << int(Fault::FaultNoReply) << 0 << 0 << false << 0;
        row("bad CRC") << op << int(Fault::FaultBadCrc) << 0 << 0 << false << 1;
        row("cut to 4 bytes") << op << int(Fault::FaultTruncate) << 4 << 0 << false << 1;
        row("last byte missing") << op << int(Fault::FaultTruncate) << length - 1 << 0 << false << 1;
        // Reads wait 50 ms for each byte, write acknowledgements 200 ms.
        row("delay within the wait") << op << int(Fault::FaultDelay) << (write ? 80 : 20) << 0 << true << 1;
        row("delay beyond the wait") << op << int(Fault::FaultDelay) << (write ? 600 : 300) << 0 << false << 1;
        row("paced slower than the wait") << op << int(Fault::FaultGapPace) << (write ? 300 : 100) << 0 << false
                                          << 1;
        row("paced at 9600 baud") << op << int(Fault::FaultNone) << 0 << 9600 << true << 1;
        row("paced at 1200 baud") << op << int(Fault::FaultNone) << 0 << 1200 << true << 1;
        row("garbage first") << op << int(Fault::FaultGarbageBefore) << 3 << 0 << false << 1;
        row("reply from address 7") << op << int(Fault::FaultWrongAddress) << 7 << 0 << false << 1;
        row("endless stream") << op << int(Fault::FaultEndlessStream) << 0 << 0 << false << 0;
        if (write) {
            row("8-byte echo") << op << int(Fault::FaultEcho8) << 0 << 0 << false << 1;
        } else {
            row("exception 2 (illegal data address)") << op << int(Fault::FaultException) << 2 << 0 << false << 1;
            row("exception 4 (device failure)") << op << int(Fault::FaultException) << 4 << 0 << false << 1;
            row("exception 6 (busy)") << op << int(Fault::FaultException) << 6 << 0 << false << 1;
        }
    }
}

void TestFaults::faultMatrix()
{
    QFETCH(int, op);
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(int, pacingBaud);
    QFETCH(bool, succeeds);
    QFETCH(int, repliesSent);

    QVERIFY(arrange());
    MainWindow &w = rig->w();
    MainWindowForm *ui = rig->ui();
    applyValues(rig->sim, valuesB);
    const QStringList before = screenWithoutCommStat(*rig);

    rig->sim.setPacingBaud(pacingBaud);
    rig->sim.clearRequests();
    bus->clear();
    if (succeeds) {
        // A fault the panel rides out. An attempt spoiled by a stalled
        // controller thread earns another go, with the fault armed again; a
        // panel that cannot ride the fault out fails every attempt.
        QVERIFY(goodOp(op, true, [&] {
            clearBoxes();
            rig->sim.setFault(Fault(fault), param, 1);
        }));
    }
    int attempts = 0; // spoiled exchanges
    while (!succeeds) {
        rig->sim.setFault(Fault(fault), param, 1);
        runOp(op);
        rig->sim.clearFault(); // also ends an endless stream
        ++attempts;
        // A stream that the controller's stalled thread started only after
        // the read had given up proves nothing about the read: once more.
        if (fault != Fault::FaultEndlessStream || bus->last().outcome != QStringLiteral("time-out")
            || attempts == 3)
            break;
        QVERIFY(rig->untilQuiet(attempts));
    }
    rig->sim.clearFault();
    QVERIFY(!QTest::currentTestFailed());

    // Exactly the one request of the operation reached the controller.
    QVERIFY(rig->sim.waitForRequests(succeeds ? 1 : attempts, 5000));
    const QList<QByteArray> frames = rig->frames();
    QVERIFY(!frames.isEmpty());
    QCOMPARE(quint8(frames.last().at(0)), quint8(1));
    QCOMPARE(quint8(frames.last().at(1)), quint8(op == OpWrite ? FuncWriteSingleRegister : FuncReadHoldingRegisters));
    if (!succeeds)
        QCOMPARE(frames.size(), attempts);

    verifyMutexFree();
    if (QTest::currentTestFailed())
        return;

    if (succeeds) {
        verifyShowsB(op);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
        QCOMPARE(Access::commFailCount(w), quint32(0));
        QCOMPARE(boxesShown(), 0);
    } else {
        // Nothing on screen changed, and nothing kept changed.
        QCOMPARE(screenWithoutCommStat(*rig), before);
        // A failed read after good ones: counted, but the label stays.
        QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
        QVERIFY(Access::commOk(w));
        const bool counted = op == OpPoll || op == OpConfigRead;
        QCOMPARE(Access::commFailCount(w), quint32(counted ? attempts : 0));
        if (op == OpConfigRead) {
            QCOMPARE(boxesShown(), attempts);
            verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &w, QStringLiteral("警告"),
                QStringLiteral("读取配置失败！"));
        } else {
            QCOMPARE(boxesShown(), 0);
        }
        if (fault == Fault::FaultEndlessStream) {
            // The read took exactly the bytes it awaited, all of them stream bytes.
            const BusExchange exchange = bus->last();
            QCOMPARE(exchange.reply.size(), replyLength(op));
            QCOMPARE(exchange.reply, QByteArray(replyLength(op), char(0x55)));
        }
    }

    // The next good exchange works: once the controller has sent what it was
    // going to send, the same operation and then a poll both succeed, and
    // nothing of the spoiled reply reaches them.
    if (!succeeds && repliesSent > 0)
        waitForFaultedReply();
    rig->sim.setPacingBaud(0);
    clearBoxes();
    rig->sim.clearRequests();
    QVERIFY(goodOp(op));
    verifyShowsB(op);
    QVERIFY(goodOp(OpPoll));
    verifyStatusB();
    QCOMPARE(Access::commFailCount(w), quint32(0));
    QCOMPARE(boxesShown(), 0);
    for (const QByteArray &frame : rig->frames())
        QCOMPARE(quint8(frame.at(0)), quint8(1));
    verifyMutexFree();
}

void TestFaults::unplugDuringAnExchange_data()
{
    QTest::addColumn<int>("op");
    for (int op : {OpPoll, OpWrite, OpDacRead, OpConfigRead})
        QTest::newRow(opName(op)) << op;
}

void TestFaults::unplugDuringAnExchange()
{
    QFETCH(int, op);
    QVERIFY(arrange());
    MainWindow &w = rig->w();
    MainWindowForm *ui = rig->ui();
    applyValues(rig->sim, valuesB);
    const QStringList before = screenWithoutCommStat(*rig);

    rig->sim.clearRequests();
    rig->sim.setFault(Fault::FaultUnplugOnRequest, 0, 1);
    runOp(op);
    QVERIFY(rig->sim.waitForRequests(1, 5000));
    QCOMPARE(rig->frames().size(), 1);
    QVERIFY(!rig->sim.isPlugged());
    verifyMutexFree();
    QCOMPARE(screenWithoutCommStat(*rig), before);
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(boxesShown(), op == OpConfigRead ? 1 : 0);
    if (op == OpConfigRead)
        QCOMPARE(rig->modals.lastBox().text, QStringLiteral("读取配置失败！"));
    clearBoxes();

    // The next exchange finds the adapter gone: its reopen fails and the link
    // is closed underneath. The tick after shows it and hands the controls back.
    rig->poll();
    QVERIFY(!Access::spComm(w)->isOpen());
    verifyMutexFree();
    rig->poll();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("故障"));
    QVERIFY(!Access::commOk(w));
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(ui->serialName->isEnabled());
    QVERIFY(ui->lineEditRs485Id->isEnabled());
    QCOMPARE(boxesShown(), 0);
    // Apart from the link state and its controls, the screen still shows A.
    QStringList now = screenWithoutCommStat(*rig);
    QStringList expected = before;
    const QRegularExpression connectionControls(
        QStringLiteral("^(switchSerial|checkSerial|serialName|baudRate|stopBits|paritySelect|lineEditRs485Id)="));
    now.erase(std::remove_if(now.begin(), now.end(),
                             [&](const QString &s) { return connectionControls.match(s).hasMatch(); }),
              now.end());
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [&](const QString &s) { return connectionControls.match(s).hasMatch(); }),
                   expected.end());
    QCOMPARE(now, expected);

    // Plug back in and open again: everything works and shows B.
    QVERIFY(rig->sim.replug());
    QVERIFY(rig->openLink());
    rig->sim.clearRequests();
    QVERIFY(goodOp(op));
    verifyShowsB(op);
    QVERIFY(goodOp(OpPoll));
    verifyStatusB();
    QCOMPARE(boxesShown(), 0);
    verifyMutexFree();
}

void TestFaults::unplugBetweenPollsThenReplugAndReopen()
{
    QVERIFY(arrange());
    MainWindow &w = rig->w();
    MainWindowForm *ui = rig->ui();
    applyValues(rig->sim, valuesB);
    rig->sim.unplug();
    rig->sim.clearRequests();
    // A command while the link still looks open: its reopen fails, nothing is
    // acknowledged, nothing kept changes, and no box (the link was open when it began).
    ui->lineEditPower->setText(QStringLiteral("700"));
    ui->powerSet->click();
    QVERIFY(!Access::spComm(w)->isOpen());
    QCOMPARE(Access::powerPermille(w), quint16(321));
    QCOMPARE(boxesShown(), 0);
    verifyMutexFree();

    // From now on the link is closed: a command says so, reads do nothing.
    ui->ldAdcOn->click();
    QCOMPARE(boxesShown(), 1);
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("串口未打开"));
    QVERIFY(!ui->radioButtonAdcEnableStat->isChecked());
    ui->getLimitPower->click();
    QCOMPARE(boxesShown(), 1);
    QCOMPARE(ui->lineLimitPower->text(), QStringLiteral("3100"));

    // The poll shows the lost link once, then stays quiet.
    rig->poll();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    rig->poll();
    rig->poll();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(ui->labelPowerPercent->text(), QStringLiteral("321"));
    QCOMPARE(ui->labelVersion->text(), QStringLiteral("V2.3"));
    QCOMPARE(boxesShown(), 1);

    // Plugged back, but not yet reopened: still nothing goes out.
    QVERIFY(rig->sim.replug());
    rig->poll();
    QCOMPARE(rig->settledFrames().size(), 0);
    QCOMPARE(ui->labelPowerPercent->text(), QStringLiteral("321"));

    // Reopened by the operator: B shows, commands work again.
    QVERIFY(rig->openLink());
    QVERIFY(goodOp(OpPoll));
    verifyStatusB();
    QVERIFY(goodOp(OpWrite));
    QVERIFY(ui->radioButtonAdcEnableStat->isChecked());
    QCOMPARE(boxesShown(), 1);
    verifyMutexFree();
}

void TestFaults::timerPollWhileAnotherCommandsBoxIsOpen_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("commandHex");
    QTest::newRow("enable mask saved") << "btnSaveLdEn" << int(Fault::FaultNone) << "设置成功！"
                                       << "01 06 00 01 0F FF";
    QTest::newRow("factory reset") << "btnResetFactory" << int(Fault::FaultNone) << "恢复出厂设置成功！"
                                   << "01 10 20 01 00 07";
    QTest::newRow("block read failed") << "btnGetAllConfig" << int(Fault::FaultException) << "读取配置失败！"
                                       << "01 03 20 01 00 07";
}

void TestFaults::timerPollWhileAnotherCommandsBoxIsOpen()
{
    QFETCH(QString, button);
    QFETCH(int, fault);
    QFETCH(QString, text);
    QFETCH(QString, commandHex);

    QVERIFY(rig->openLink());
    QVERIFY(goodOp(OpPoll));
    MainWindow &w = rig->w();
    MainWindowForm *ui = rig->ui();
    for (int n = 1; n <= 12; ++n) {
        if (auto *box = w.findChild<QCheckBox *>(QStringLiteral("checkBoxLd_%1").arg(n)))
            box->setChecked(true);
    }
    rig->sim.setPowerPermille(777);
    rig->sim.clearRequests();
    if (fault != Fault::FaultNone)
        rig->sim.setFault(Fault(fault), 2, 1);

    // While the box is held open, a probe looks at the panel from inside the
    // box's event loop once a poll after the command has been answered: which
    // box is up, how many polls went out after the command, whether they were
    // answered, and whether the link is free.
    struct Probe
    {
        bool ran = false;
        QString boxText;
        int pollsAfterCommand = 0;
        bool commandFirst = false;
        bool mutexFree = false;
        QString power;
        QString commStat;
    } probe;
    SPComm *link = Access::spComm(w);
    bus->clear();
    rig->modals.holdUntil([&] {
        if (!bus->answeredAfter(commandHex, statusReadHex))
            return false;
        probe.ran = true;
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            probe.boxText = box->text();
        const QList<QByteArray> frames = rig->frames();
        probe.commandFirst = !frames.isEmpty() && hexFrame(frames.first()).startsWith(commandHex);
        for (int i = 1; i < frames.size(); ++i) {
            if (hexFrame(frames.at(i)) == statusReadHex)
                ++probe.pollsAfterCommand;
        }
        probe.mutexFree = link->mutex.tryLock();
        if (probe.mutexFree)
            link->mutex.unlock();
        probe.power = ui->labelPowerPercent->text();
        probe.commStat = ui->labelCommStat->text();
        return true;
    });

    QTimer *pollTimer = Access::pollTimer(w);
    pollTimer->start(); // 500 ms, as in service
    auto *target = w.findChild<QPushButton *>(button);
    QVERIFY(target);
    target->click(); // returns once the held box is closed
    pollTimer->stop();
    rig->modals.holdUntil({});

    QVERIFY(probe.ran);
    QCOMPARE(probe.boxText, text);
    QVERIFY(probe.commandFirst);
    QVERIFY2(probe.pollsAfterCommand >= 1, qPrintable(QString::number(probe.pollsAfterCommand)));
    QVERIFY(probe.mutexFree);
    QCOMPARE(probe.power, QStringLiteral("777"));
    QCOMPARE(probe.commStat, QStringLiteral("正常"));
    QCOMPARE(boxesShown(), 1);
    QCOMPARE(rig->modals.lastBox().text, text);
    verifyMutexFree();
}

void TestFaults::requestToAnAddressNobodyAnswers()
{
    MainWindowForm *ui = rig->ui();
    QVERIFY(rig->openLink(QStringLiteral("18")));
    const QStringList before = screenWithoutCommStat(*rig);
    rig->poll();
    QVERIFY(rig->sim.waitForRequests(1, 2000));
    QCOMPARE(quint8(rig->frames().first().at(0)), quint8(18));
    QCOMPARE(rig->sim.replyCount(), 0);
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("故障")); // no good read yet
    ui->btnGetAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("读取配置失败！"));
    ui->getLimitPower->click();
    QCOMPARE(screenWithoutCommStat(*rig), before);
    QCOMPARE(rig->sim.replyCount(), 0);
    verifyMutexFree();

    // Reopened with the controller's address, it answers.
    rig->closeLink();
    QVERIFY(rig->openLink(QStringLiteral("1")));
    rig->sim.setPowerPermille(456);
    QVERIFY(goodOp(OpPoll));
    QCOMPARE(ui->labelPowerPercent->text(), QStringLiteral("456"));
}

void TestFaults::broadcastLeavesNothingOnTheLine()
{
    MainWindowForm *ui = rig->ui();
    QVERIFY(rig->openLink());
    QVERIFY(goodOp(OpPoll));
    rig->sim.clearRequests();
    // The same address again: the controller takes it, answers nothing.
    ui->lineSet485_ID->setText(QStringLiteral("1"));
    ui->set485Id->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("命令已发送，请用新地址尝试连接！"));
    QVERIFY(rig->sim.waitForRequests(3, 2000));
    QCOMPARE(rig->sim.replyCount(), 0);
    for (const QByteArray &frame : rig->frames())
        QCOMPARE(quint8(frame.at(0)), quint8(0));
    QCOMPARE(rig->sim.holdingRegister(RegCommandWord), quint16(1));

    // The very next poll gets a clean reply of its own.
    rig->sim.setPowerPermille(654);
    QVERIFY(goodOp(OpPoll));
    QCOMPARE(ui->labelPowerPercent->text(), QStringLiteral("654"));
    verifyMutexFree();
}

void TestFaults::exceptionReplyToAWrite()
{
    // No button writes a register the controller refuses, so the transaction
    // is called directly: address 0 is refused with exception 3, five bytes
    // where six are awaited.
    QVERIFY(rig->openLink());
    rig->sim.clearRequests();
    bus->clear();
    QCOMPARE(Access::writeRegister(rig->w(), RegRs485Address, 0), -1);
    QCOMPARE(bus->last().reply.size(), 5);
    QCOMPARE(quint8(bus->last().reply.at(1)), quint8(0x86));
    QCOMPARE(quint8(bus->last().reply.at(2)), quint8(0x03));
    QCOMPARE(rig->sim.address(), quint8(1));
    verifyMutexFree();
    QCOMPARE(boxesShown(), 0);
    QVERIFY(goodOp(OpWrite));
    QVERIFY(rig->ui()->radioButtonAdcEnableStat->isChecked());
}

void TestFaults::staleReplyIsFlushedBeforeTheNextExchange()
{
    QVERIFY(arrange());
    applyValues(rig->sim, valuesB);
    // The status reply comes 300 ms late: the poll has given up by then.
    rig->sim.setFault(Fault::FaultDelay, 300, 1);
    rig->poll();
    QCOMPARE(Access::commFailCount(rig->w()), quint32(1));
    waitForFaultedReply(); // the 29 late bytes now wait in the port
    // The next exchange, a one-register read, must not take them for its reply
    // (goodOp repeats it only if nothing at all came back in time).
    QVERIFY(goodOp(OpDacRead));
    QCOMPARE(bus->last().reply.size(), readReplyLength(1));
    QCOMPARE(rig->ui()->lineLimitPower->text(), QStringLiteral("2900"));
    QVERIFY(goodOp(OpPoll));
    verifyStatusB();
}

void TestFaults::lateReplyOfAnotherFunctionIsRefused_data()
{
    QTest::addColumn<bool>("blockSave"); // the next exchange: a register write, or the block save
    QTest::addColumn<int>("delay");      // how late the status reply comes, after the poll's request
    // The poll gives up 50 ms after its request; the write then waits 200 ms,
    // the block save 500 ms: the late reply lands inside that wait.
    QTest::newRow("status reply arrives in a register write") << false << 150;
    QTest::newRow("status reply arrives in the block save") << true << 300;
}

void TestFaults::lateReplyOfAnotherFunctionIsRefused()
{
    // A reply so late that it arrives while the next exchange is waiting: the
    // port reset before that exchange cannot catch it. The bytes belong to
    // another function (a function-3 reply where an acknowledgement is
    // awaited); the exchange must refuse them and show nothing new.
    QFETCH(bool, blockSave);
    QFETCH(int, delay);
    QVERIFY(arrange());
    applyValues(rig->sim, valuesB);
    MainWindowForm *ui = rig->ui();

    bool happened = false;
    for (int attempt = 0; attempt < 3 && !happened; ++attempt) {
        rig->sim.setAdcEnable(0);
        QVERIFY(goodOp(OpPoll));
        clearBoxes();
        const QStringList before = screenWithoutCommStat(*rig);
        simTrace.clear();
        rig->sim.setFault(Fault::FaultDelay, delay, 1);
        rig->poll();
        bus->clear();
        if (blockSave)
            ui->btnSaveAllConfig->click();
        else
            ui->ldAdcOn->click();
        const BusExchange exchange = bus->last();
        // On a badly loaded machine the late reply may land before the next
        // exchange begins; its reset then drops it and there is nothing to see.
        happened = exchange.reply.size() >= 2 && quint8(exchange.reply.at(1)) == FuncReadHoldingRegisters;
        if (happened) {
            QVERIFY(exchange.outcome != QStringLiteral("ok"));
            QCOMPARE(screenWithoutCommStat(*rig), before);
            QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
            if (blockSave) {
                QCOMPARE(boxesShown(), 1);
                QCOMPARE(rig->modals.lastBox().title, QStringLiteral("保存配置"));
                QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存失败！"));
            } else {
                QCOMPARE(boxesShown(), 0);
            }
        }
        waitForFaultedReply(1); // the late reply, and the answer to the next request
        verifyMutexFree();
    }
    QVERIFY(happened);

    // Both replies gone, the next exchanges are clean. (The controller did
    // carry out the request whose acknowledgement was spoiled: a block save
    // rewrites its enable mask and power limit, so B is set afresh.)
    applyValues(rig->sim, valuesB);
    QVERIFY(goodOp(OpPoll));
    verifyStatusB();
    QVERIFY(goodOp(OpDacRead));
    QCOMPARE(ui->lineLimitPower->text(), QStringLiteral("2900"));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
