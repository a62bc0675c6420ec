// The configuration block (seven registers from 0x2001) driven through the
// configuration tab's buttons, against the virtual controller on a real
// pseudo-terminal: save, read, factory reset, the boxes of every outcome and
// the link-health count that the block read shares with the status poll.

#include "bustrace.h"
#include "configtab.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "spcomm.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

using Access = MainWindowTestAccess;
using Words = QVector<quint16>;

namespace {

const QString enablePrefix = QStringLiteral("configAllLdEn_");
const QString lowPowerPrefix = QStringLiteral("configAllLowPower_");

// The function-16 request that writes these seven words from 0x2001.
QByteArray blockWrite(const Words &words, quint8 slave = 1)
{
    return blockRequest(slave, ConfigBlockFirst, words);
}

void setSimBlock(VirtualController &sim, const Words &words)
{
    for (int i = 0; i < words.size(); ++i)
        sim.setHoldingRegister(quint16(RegCfgReserved + i), words.at(i));
}

Words simBlock(const VirtualController &sim)
{
    Words words;
    for (int i = 0; i < ConfigBlockCount; ++i)
        words.append(sim.holdingRegister(quint16(RegCfgReserved + i)));
    return words;
}

QString hexWords(const Words &words)
{
    QStringList parts;
    for (quint16 word : words)
        parts << QStringLiteral("%1").arg(word, 4, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

// Looks at every message box while it is open and notes whether the link's
// mutex could be taken at that moment.
class LinkFreeProbe : public QObject
{
public:
    explicit LinkFreeProbe(SPComm *link) : m_link(link)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { look(); });
        m_timer.start(1);
    }
    QList<bool> freeAtBox;

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_seen)
            return;
        m_seen = box;
        const bool free = m_link->mutex.tryLock(0);
        if (free)
            m_link->mutex.unlock();
        freeAtBox.append(free);
    }

    SPComm *m_link;
    QTimer m_timer;
    QPointer<QMessageBox> m_seen;
};

// Recognisable kept configuration values, to show that an operation leaves them alone.
void markKeptValues(MainWindow &w)
{
    Access::ldEnableMask(w) = 0x0011;
    Access::ldMaxDac(w) = 3111;
    Access::ldAlarmTemperature(w) = 222;
    Access::ldLowPowerMask(w) = 0x0022;
    Access::ldCompensationSeconds(w) = 3333;
}

void verifyKeptValuesMarked(MainWindow &w)
{
    QCOMPARE(Access::ldEnableMask(w), quint16(0x0011));
    QCOMPARE(Access::ldMaxDac(w), quint16(3111));
    QCOMPARE(Access::ldAlarmTemperature(w), quint16(222));
    QCOMPARE(Access::ldLowPowerMask(w), quint16(0x0022));
    QCOMPARE(Access::ldCompensationSeconds(w), quint32(3333));
}

} // namespace

class TestConfig : public RigTestCase
{
    Q_OBJECT

private slots:
    void factoryResetSendsFactoryBlockAndShowsIt();
    void savingFactoryTabSendsFactoryFrame_data();
    void savingFactoryTabSendsFactoryFrame();
    void saveSendsTheTab_data();
    void saveSendsTheTab();
    void compensationBeyondThirtyTwoBitSecondsIsRefused_data();
    void compensationBeyondThirtyTwoBitSecondsIsRefused();
    void emptyFieldBeatsClosedPort_data();
    void emptyFieldBeatsClosedPort();
    void emptyFieldWithOpenLinkSendsNothing();
    void dacRaisedBeforeClosedPortWarning();
    void closedPortReadAndResetWarn();
    void busyLinkSaveAndResetWarn();
    void saveFailureIsTold_data();
    void saveFailureIsTold();
    void resetFailureLeavesTab_data();
    void resetFailureLeavesTab();
    void pollRunsWhileSaveFailureBoxIsOpen();
    void readFillsTabAndKeptValues_data();
    void readFillsTabAndKeptValues();
    void readChangesWhatEnableCommandShows();
    void failedReadIsCountedAndLeavesTab_data();
    void failedReadIsCountedAndLeavesTab();
    void fifthFailureAcrossPollsAndReads_data();
    void fifthFailureAcrossPollsAndReads();
    void failedReadBeforeFirstGoodReadShowsFault();
    void blockGoesToTheSlaveAddress();

};


void TestConfig::factoryResetSendsFactoryBlockAndShowsIt()
{
    QVERIFY(rig->openLink());
    setSimBlock(rig->sim, {0, 1, 2900, 0, 7200, 5, 2});
    fillTab(*rig, QStringLiteral("我的"), 0x0003, 0x0100, QStringLiteral("3000"), QStringLiteral("12.5"),
            QStringLiteral("77"));
    // The kept controller values belong to reads only.
    markKeptValues(rig->w());
    rig->sim.clearRequests();

    rig->ui()->btnResetFactory->click();

    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), factoryBlockSaveHex);
    QCOMPARE(hexWords(simBlock(rig->sim)), hexWords(factoryConfigWords));
    QCOMPARE(tabState(*rig), expectedTab(QStringLiteral("默认配置1"), 0x0FFF, 0x0FFF, QStringLiteral("3980"),
                                         QStringLiteral("30"), QStringLiteral("10000")));
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, &rig->w(), QStringLiteral("恢复出厂设置"),
              QStringLiteral("恢复出厂设置成功！"));
    verifyKeptValuesMarked(rig->w());
}

void TestConfig::savingFactoryTabSendsFactoryFrame_data()
{
    QTest::addColumn<bool>("throughReset");
    QTest::newRow("tab from a factory reset") << true;
    QTest::newRow("tab from showConfig") << false;
}

void TestConfig::savingFactoryTabSendsFactoryFrame()
{
    QFETCH(bool, throughReset);
    QCOMPARE(hexFrame(blockWrite(factoryConfigWords)), factoryBlockSaveHex); // the test's own frame builder

    QVERIFY(rig->openLink());
    if (throughReset) {
        rig->ui()->btnResetFactory->click();
        QCOMPARE(rig->modals.boxCount(), 1);
    } else {
        Access::showConfig(rig->w(), QStringLiteral("默认配置1"), 0x0FFF, 0x0FFF, 3980, 300, 10000);
    }
    setSimBlock(rig->sim, {0, 0, 0, 0, 0, 0, 0});
    // The save never reads the name.
    rig->ui()->lineEditConfigName->setText(QStringLiteral("另一个名字"));
    rig->sim.clearRequests();
    rig->modals.clear();

    rig->ui()->btnSaveAllConfig->click();

    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), factoryBlockSaveHex);
    QCOMPARE(hexWords(simBlock(rig->sim)), hexWords(factoryConfigWords));
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, &rig->w(), QStringLiteral("保存配置"),
              QStringLiteral("配置保存成功"));
    QCOMPARE(rig->ui()->lineEditConfigName->text(), QStringLiteral("另一个名字"));
}

void TestConfig::saveSendsTheTab_data()
{
    QTest::addColumn<quint16>("enable");
    QTest::addColumn<quint16>("lowPower");
    QTest::addColumn<QString>("dac");
    QTest::addColumn<QString>("alarm");
    QTest::addColumn<QString>("hours");
    QTest::addColumn<Words>("words");
    QTest::addColumn<QString>("dacShown"); // null: not checked

    const quint16 all = 0x0FFF;
    auto row = [&](const char *name, quint16 enable, quint16 lowPower, const char *dac, const char *alarm,
                   const char *hours, const Words &words, const char *dacShown) {
        QTest::newRow(name) << enable << lowPower << QString::fromUtf8(dac) << QString::fromUtf8(alarm)
                            << QString::fromUtf8(hours) << words
                            << (dacShown ? QString::fromUtf8(dacShown) : QString());
    };
    row("boxes 1,12 and 5,6", 0x0801, 0x0030, "3000", "30", "10000", {0, 0x0801, 3000, 0x0225, 0x5100, 300, 0x0030},
        "3000");
    row("no boxes", 0, 0, "2800", "30", "10000", {0, 0, 2800, 0x0225, 0x5100, 300, 0}, "2800");
    row("alarm 30", all, all, "3980", "30", "1", {0, all, 3980, 0, 3600, 300, all}, nullptr);
    row("alarm 25.3 exact", all, all, "3980", "25.3", "1", {0, all, 3980, 0, 3600, 253, all}, nullptr);
    row("alarm 25.35", all, all, "3980", "25.35", "1", {0, all, 3980, 0, 3600, 253, all}, nullptr);
    row("alarm 0", all, all, "3980", "0", "1", {0, all, 3980, 0, 3600, 0, all}, nullptr);
    row("alarm 0.7 exact", all, all, "3980", "0.7", "1", {0, all, 3980, 0, 3600, 7, all}, nullptr);
    row("alarm 9.99 truncated", all, all, "3980", "9.99", "1", {0, all, 3980, 0, 3600, 99, all}, nullptr);
    row("alarm 6553.5", all, all, "3980", "6553.5", "1", {0, all, 3980, 0, 3600, 65535, all}, nullptr);
    row("alarm 6553.6 wraps", all, all, "3980", "6553.6", "1", {0, all, 3980, 0, 3600, 0, all}, nullptr);
    row("alarm -1 counts as 0", all, all, "3980", "-1", "1", {0, all, 3980, 0, 3600, 0, all}, nullptr);
    row("alarm not a number", all, all, "3980", "abc", "1", {0, all, 3980, 0, 3600, 0, all}, nullptr);
    row("hours 100000", all, all, "3980", "30", "100000", {0, all, 3980, 0x1575, 0x2A00, 300, all}, nullptr);
    row("hours 0", all, all, "3980", "30", "0", {0, all, 3980, 0, 0, 300, all}, nullptr);
    row("hours 1193046 fits", all, all, "3980", "30", "1193046", {0, all, 3980, 0xFFFF, 0xF960, 300, all}, nullptr);
    row("hours not a number", all, all, "3980", "30", "x1", {0, all, 3980, 0, 0, 300, all}, nullptr);
    row("hours blank is text", all, all, "3980", "30", " ", {0, all, 3980, 0, 0, 300, all}, nullptr);
    row("dac 28 raised", all, all, "28", "30", "1", {0, all, 2800, 0, 3600, 300, all}, "2800");
    row("dac 100 raised", all, all, "100", "30", "1", {0, all, 2800, 0, 3600, 300, all}, "2800");
    row("dac not a number raised", all, all, "abc", "30", "1", {0, all, 2800, 0, 3600, 300, all}, "2800");
    row("dac 2800", all, all, "2800", "30", "1", {0, all, 2800, 0, 3600, 300, all}, "2800");
    row("dac 3980", all, all, "3980", "30", "1", {0, all, 3980, 0, 3600, 300, all}, "3980");
    row("dac 3981 lowered", all, all, "3981", "30", "1", {0, all, 3980, 0, 3600, 300, all}, "3980");
    row("dac 5000 lowered", all, all, "5000", "30", "1", {0, all, 3980, 0, 3600, 300, all}, "3980");
    row("dac 65536 low 16 bits raised", all, all, "65536", "30", "1", {0, all, 2800, 0, 3600, 300, all}, "2800");
    row("dac 68436 low 16 bits 2900", all, all, "68436", "30", "1", {0, all, 2900, 0, 3600, 300, all}, nullptr);
}

void TestConfig::saveSendsTheTab()
{
    QFETCH(quint16, enable);
    QFETCH(quint16, lowPower);
    QFETCH(QString, dac);
    QFETCH(QString, alarm);
    QFETCH(QString, hours);
    QFETCH(Words, words);
    QFETCH(QString, dacShown);

    QVERIFY(rig->openLink());
    fillTab(*rig, QStringLiteral("名"), enable, lowPower, dac, alarm, hours);
    rig->sim.clearRequests();

    rig->ui()->btnSaveAllConfig->click();

    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), hexFrame(blockWrite(words)));
    QCOMPARE(hexWords(simBlock(rig->sim)), hexWords(words));
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, &rig->w(), QStringLiteral("保存配置"),
              QStringLiteral("配置保存成功"));
    if (!dacShown.isNull())
        QCOMPARE(rig->ui()->lineEditMaxDac->text(), dacShown);
    // The other fields and the boxes are left as they were.
    QCOMPARE(rig->ui()->lineEditAlarmTemperature->text(), alarm);
    QCOMPARE(rig->ui()->lineEditCompensationHours->text(), hours);
    QCOMPARE(tickedMask(rig->w(), enablePrefix), enable);
    QCOMPARE(tickedMask(rig->w(), lowPowerPrefix), lowPower);
}

void TestConfig::compensationBeyondThirtyTwoBitSecondsIsRefused_data()
{
    QTest::addColumn<QString>("hours");
    QTest::addColumn<bool>("linkOpen");
    QTest::newRow("1193047, link open") << "1193047" << true;
    QTest::newRow("4294967295, link open") << "4294967295" << true;
    QTest::newRow("1193047, link closed") << "1193047" << false;
}

void TestConfig::compensationBeyondThirtyTwoBitSecondsIsRefused()
{
    QFETCH(QString, hours);
    QFETCH(bool, linkOpen);
    if (linkOpen)
        QVERIFY(rig->openLink());
    fillTab(*rig, QStringLiteral("x"), 0x0FFF, 0x0FFF, QStringLiteral("3980"), QStringLiteral("30"), hours);
    const Words before = simBlock(rig->sim);
    rig->sim.clearRequests();

    rig->ui()->btnSaveAllConfig->click();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("警告"),
              QStringLiteral("数据填写不正确"));
    QCOMPARE(rig->settledFrames().size(), 0);
    QCOMPARE(hexWords(simBlock(rig->sim)), hexWords(before));
    QCOMPARE(rig->ui()->lineEditCompensationHours->text(), hours);
}

void TestConfig::emptyFieldBeatsClosedPort_data()
{
    addEmptyFieldRows(true);
}

void TestConfig::emptyFieldBeatsClosedPort()
{
    QFETCH(QString, dac);
    QFETCH(QString, alarm);
    QFETCH(QString, hours);
    fillTab(*rig, QStringLiteral("n"), 0x0001, 0x0002, dac, alarm, hours);

    rig->ui()->btnSaveAllConfig->click();

    // Only the entry box, with no parent window; the low DAC is not raised.
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("警告"),
              QStringLiteral("数据填写不正确"));
    QCOMPARE(tabState(*rig), expectedTab(QStringLiteral("n"), 0x0001, 0x0002, dac, alarm, hours));
}

void TestConfig::emptyFieldWithOpenLinkSendsNothing()
{
    QVERIFY(rig->openLink());
    // At start-up the three numeric fields are empty.
    QVERIFY(rig->ui()->lineEditMaxDac->text().isEmpty());
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("警告"),
              QStringLiteral("数据填写不正确"));
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestConfig::dacRaisedBeforeClosedPortWarning()
{
    fillTab(*rig, QStringLiteral("n"), 0x0FFF, 0x0FFF, QStringLiteral("100"), QStringLiteral("30"),
            QStringLiteral("10"));
    QString dacWhenWarned;
    // Note what the field says while the warning is open.
    QTimer peek;
    connect(&peek, &QTimer::timeout, this, [&] {
        if (qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) && dacWhenWarned.isNull())
            dacWhenWarned = rig->ui()->lineEditMaxDac->text();
    });
    peek.start(1);
    rig->modals.holdUntil([&dacWhenWarned] { return !dacWhenWarned.isNull(); });

    rig->ui()->btnSaveAllConfig->click();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
              QStringLiteral("串口未打开"));
    QCOMPARE(dacWhenWarned, QStringLiteral("2800"));
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), QStringLiteral("2800"));
    QCOMPARE(rig->sim.requests().size(), 0);
}

void TestConfig::closedPortReadAndResetWarn()
{
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
            QStringLiteral("5"));
    const QStringList before = tabState(*rig);
    Access::commFailCount(rig->w()) = 2;

    rig->ui()->btnGetAllConfig->click();
    rig->ui()->btnResetFactory->click();

    QCOMPARE(rig->modals.boxCount(), 2);
    for (const RecordedBox &box : rig->modals.boxes())
        verifyBox(box, QMessageBox::Warning, &rig->w(), QStringLiteral("警告"), QStringLiteral("串口未打开"));
    QCOMPARE(tabState(*rig), before);
    QCOMPARE(Access::commFailCount(rig->w()), quint32(2)); // a closed link is no failed read
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestConfig::busyLinkSaveAndResetWarn()
{
    QVERIFY(rig->openLink());
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
            QStringLiteral("5"));
    const QStringList before = tabState(*rig);
    rig->sim.clearRequests();
    SPComm *link = Access::spComm(rig->w());
    link->mutex.lock();

    QElapsedTimer clock;
    clock.start();
    rig->ui()->btnSaveAllConfig->click();
    const qint64 saveMs = clock.elapsed();
    rig->ui()->btnResetFactory->click();
    link->mutex.unlock();

    QVERIFY2(saveMs >= 90, qPrintable(QString::number(saveMs))); // the try waits 100 ms
    QCOMPARE(rig->modals.boxCount(), 2);
    for (const RecordedBox &box : rig->modals.boxes())
        verifyBox(box, QMessageBox::Warning, &rig->w(), QStringLiteral("警告"), QStringLiteral("串口工作忙！"));
    QCOMPARE(tabState(*rig), before);
    QCOMPARE(rig->settledFrames().size(), 0);
    rig->sim.clearRequests();

    // Free again: the save goes through.
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
}

void TestConfig::saveFailureIsTold_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<int>("minMs");
    QTest::newRow("no acknowledgement") << int(VirtualController::FaultNoReply) << 0 << 450;
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << 0 << 0;
    QTest::newRow("five bytes") << int(VirtualController::FaultTruncate) << 5 << 450;
    QTest::newRow("eight-byte echo") << int(VirtualController::FaultEcho8) << 0 << 0;
    QTest::newRow("acknowledgement late") << int(VirtualController::FaultDelay) << 900 << 450;
}

void TestConfig::saveFailureIsTold()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(int, minMs);
    QVERIFY(rig->openLink());
    fillTab(*rig, QStringLiteral("n"), 0x0FFF, 0x0FFF, QStringLiteral("3980"), QStringLiteral("30"),
            QStringLiteral("10000"));
    const QStringList before = tabState(*rig);
    rig->sim.clearRequests();
    rig->sim.setFault(VirtualController::FaultKind(fault), param, 1);
    LinkFreeProbe probe(Access::spComm(rig->w()));
    rig->modals.holdUntil([&probe] { return !probe.freeAtBox.isEmpty(); });

    QElapsedTimer clock;
    clock.start();
    rig->ui()->btnSaveAllConfig->click();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("保存配置"),
              QStringLiteral("配置保存失败！"));
    QVERIFY(clock.elapsed() >= minMs);
    QCOMPARE(probe.freeAtBox, QList<bool>{true});
    QCOMPARE(tabState(*rig), before);
    QVERIFY(rig->sim.waitForRequests(1, 5000)); // unanswered: may be logged after the wait
    QCOMPARE(hexFrame(rig->frames().first()), factoryBlockSaveHex);

    // The link works for the next save, once a late reply has come and gone.
    QVERIFY(rig->untilQuiet(1));
    rig->modals.holdUntil({});
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), 2);
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
}

void TestConfig::resetFailureLeavesTab_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::newRow("no acknowledgement") << int(VirtualController::FaultNoReply) << 0;
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << 0;
    QTest::newRow("five bytes") << int(VirtualController::FaultTruncate) << 5;
}

void TestConfig::resetFailureLeavesTab()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QVERIFY(rig->openLink());
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
            QStringLiteral("5"));
    const QStringList before = tabState(*rig);
    rig->sim.setFault(VirtualController::FaultKind(fault), param, 1);
    LinkFreeProbe probe(Access::spComm(rig->w()));
    rig->modals.holdUntil([&probe] { return !probe.freeAtBox.isEmpty(); });

    rig->ui()->btnResetFactory->click();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("恢复出厂设置"),
              QStringLiteral("恢复出厂设置失败！"));
    QCOMPARE(probe.freeAtBox, QList<bool>{true});
    QCOMPARE(tabState(*rig), before);
}

void TestConfig::pollRunsWhileSaveFailureBoxIsOpen()
{
    QVERIFY(rig->openLink());
    Access::showConfig(rig->w(), QStringLiteral("默认配置1"), 0x0FFF, 0x0FFF, 3980, 300, 10000);
    rig->sim.clearRequests();
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    // The box stays open until a poll after the save has been answered.
    BusTrace bus;
    rig->modals.holdUntil([&bus] { return bus.answeredAfter(factoryBlockSaveHex, statusReadHex); });
    QTimer *pollTimer = Access::pollTimer(rig->w());
    pollTimer->start(500);

    rig->ui()->btnSaveAllConfig->click();
    pollTimer->stop();

    QCOMPARE(rig->modals.boxCount(), 1);
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存失败！"));
    const QList<QByteArray> frames = rig->frames();
    QVERIFY(frames.size() >= 2);
    QCOMPARE(hexFrame(frames.first()), factoryBlockSaveHex);
    // The polls of the box's lifetime got the link and were answered.
    for (int i = 1; i < frames.size(); ++i)
        QCOMPARE(hexFrame(frames.at(i)), statusReadHex);
    QVERIFY(rig->sim.replyCount() >= 1);
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
    QVERIFY(Access::commOk(rig->w()));
}

void TestConfig::readFillsTabAndKeptValues_data()
{
    QTest::addColumn<Words>("block");
    QTest::addColumn<QStringList>("tab");
    QTest::addColumn<Words>("savedAgain"); // the save of the unchanged tab

    auto tab = [](quint16 enable, quint16 lowPower, const char *dac, const char *alarm, const char *hours) {
        return expectedTab(QStringLiteral("默认配置1"), enable, lowPower, QString::fromLatin1(dac),
                           QString::fromLatin1(alarm), QString::fromLatin1(hours));
    };
    QTest::newRow("factory") << factoryConfigWords << tab(0x0FFF, 0x0FFF, "3980", "30", "10000") << factoryConfigWords;
    QTest::newRow("3599 s shows 0 h, alarm 252")
        << Words{0, 0x0A05, 3000, 0, 3599, 252, 0x0030} << tab(0x0A05, 0x0030, "3000", "25.2", "0")
        << Words{0, 0x0A05, 3000, 0, 0, 252, 0x0030};
    QTest::newRow("alarm 7 shows 0.7 and goes back as 7")
        << Words{0x1234, 0, 2800, 0x0001, 0x0000, 7, 0} << tab(0, 0, "2800", "0.7", "18")
        << Words{0, 0, 2800, 0, 64800, 7, 0};
    QTest::newRow("alarm 253 shows 25.3 and goes back as 253")
        << Words{0, 0x0FFF, 3980, 0x0225, 0x5100, 253, 0x0FFF} << tab(0x0FFF, 0x0FFF, "3980", "25.3", "10000")
        << Words{0, 0x0FFF, 3980, 0x0225, 0x5100, 253, 0x0FFF};
    QTest::newRow("alarm 1, seconds 0xFFFFFFFF")
        << Words{0, 0x0001, 2801, 0xFFFF, 0xFFFF, 1, 0x0800} << tab(0x0001, 0x0800, "2801", "0.1", "1193046")
        << Words{0, 0x0001, 2801, 0xFFFF, 0xF960, 1, 0x0800};
    QTest::newRow("alarm 65535")
        << Words{0, 0x0FFF, 3980, 0x0225, 0x5100, 65535, 0x0FFF} << tab(0x0FFF, 0x0FFF, "3980", "6553.5", "10000")
        << Words{0, 0x0FFF, 3980, 0x0225, 0x5100, 65535, 0x0FFF};
    QTest::newRow("mask bits 12..15 have no box")
        << Words{0, 0xF001, 3980, 0x0225, 0x5100, 300, 0xF800} << tab(0x0001, 0x0800, "3980", "30", "10000")
        << Words{0, 0x0001, 3980, 0x0225, 0x5100, 300, 0x0800};
}

void TestConfig::readFillsTabAndKeptValues()
{
    QFETCH(Words, block);
    QFETCH(QStringList, tab);
    QFETCH(Words, savedAgain);

    QVERIFY(rig->openLink());
    setSimBlock(rig->sim, block);
    fillTab(*rig, QStringLiteral("操作员的名字"), 0x0555, 0x0AAA, QStringLiteral("3333"), QStringLiteral("44.4"),
            QStringLiteral("55"));
    rig->sim.clearRequests();

    rig->ui()->btnGetAllConfig->click();

    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), blockReadHex);
    QCOMPARE(rig->modals.boxCount(), 0);
    QCOMPARE(tabState(*rig), tab);
    QCOMPARE(Access::ldEnableMask(rig->w()), block.at(1));
    QCOMPARE(Access::ldMaxDac(rig->w()), block.at(2));
    QCOMPARE(Access::ldCompensationSeconds(rig->w()), quint32(block.at(3)) << 16 | block.at(4));
    QCOMPARE(Access::ldAlarmTemperature(rig->w()), block.at(5));
    QCOMPARE(Access::ldLowPowerMask(rig->w()), block.at(6));

    rig->sim.clearRequests();
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), hexFrame(blockWrite(savedAgain)));
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
}

void TestConfig::readChangesWhatEnableCommandShows()
{
    QVERIFY(rig->openLink());
    rig->poll(); // the status block's enable mask: all twelve
    QCOMPARE(Access::ldEnableMask(rig->w()), quint16(0x0FFF));
    setSimBlock(rig->sim, {0, 0x0A05, 3980, 0x0225, 0x5100, 300, 0x0FFF});

    rig->ui()->btnGetAllConfig->click();
    rig->ui()->btnGetLdEn->click();

    QCOMPARE(rig->modals.boxCount(), 0);
    QCOMPARE(tickedMask(rig->w(), QStringLiteral("checkBoxLd_")), quint16(0x0A05));
}

void TestConfig::failedReadIsCountedAndLeavesTab_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("busy");
    QTest::newRow("no reply") << int(VirtualController::FaultNoReply) << 0 << false;
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << 0 << false;
    QTest::newRow("cut to 10 bytes") << int(VirtualController::FaultTruncate) << 10 << false;
    QTest::newRow("exception reply, CRC good") << int(VirtualController::FaultException) << 2 << false;
    QTest::newRow("busy link") << int(VirtualController::FaultNone) << 0 << true;
}

void TestConfig::failedReadIsCountedAndLeavesTab()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(bool, busy);
    QVERIFY(rig->openLink());
    rig->poll();
    QVERIFY(Access::commOk(rig->w()));
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
            QStringLiteral("5"));
    const QStringList before = tabState(*rig);
    markKeptValues(rig->w());
    Access::commFailCount(rig->w()) = 1;
    if (fault != VirtualController::FaultNone)
        rig->sim.setFault(VirtualController::FaultKind(fault), param, 1);
    SPComm *link = Access::spComm(rig->w());
    if (busy)
        link->mutex.lock();
    LinkFreeProbe probe(link);
    rig->modals.holdUntil([&probe] { return !probe.freeAtBox.isEmpty(); });

    rig->ui()->btnGetAllConfig->click();
    if (busy)
        link->mutex.unlock();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
              QStringLiteral("读取配置失败！"));
    if (!busy)
        QCOMPARE(probe.freeAtBox, QList<bool>{true});
    QCOMPARE(tabState(*rig), before);
    QCOMPARE(Access::commFailCount(rig->w()), quint32(2));
    QVERIFY(Access::commOk(rig->w()));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
    verifyKeptValuesMarked(rig->w());
}

void TestConfig::fifthFailureAcrossPollsAndReads_data()
{
    // P: a poll, R: a configuration read; every one of them fails.
    QTest::addColumn<QString>("sequence");
    QTest::newRow("reads only") << "RRRRR";
    QTest::newRow("alternating, a read fifth") << "RPRPR";
    QTest::newRow("alternating, a poll fifth") << "PRPRP";
    QTest::newRow("polls then a read") << "PPPPR";
}

void TestConfig::fifthFailureAcrossPollsAndReads()
{
    QFETCH(QString, sequence);
    QVERIFY(rig->openLink());
    rig->poll();
    QVERIFY(Access::commOk(rig->w()));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));

    rig->sim.setFault(VirtualController::FaultNoReply);
    int reads = 0;
    for (int i = 0; i < sequence.size(); ++i) {
        if (sequence.at(i) == QLatin1Char('R')) {
            rig->ui()->btnGetAllConfig->click();
            ++reads;
        } else {
            rig->poll();
        }
        QCOMPARE(Access::commFailCount(rig->w()), quint32(i + 1));
        if (i < 4) {
            QVERIFY(Access::commOk(rig->w()));
            QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
        }
    }
    QVERIFY(!Access::commOk(rig->w()));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(rig->modals.boxCount(), reads);

    // A good read restores the health but never writes "正常".
    rig->sim.clearFault();
    rig->ui()->btnGetAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), reads);
    QVERIFY(Access::commOk(rig->w()));
    QCOMPARE(Access::commFailCount(rig->w()), quint32(0));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));

    // The count starts over: four failed reads now leave the label alone.
    rig->sim.setFault(VirtualController::FaultNoReply);
    for (int i = 0; i < 4; ++i)
        rig->ui()->btnGetAllConfig->click();
    QVERIFY(Access::commOk(rig->w()));
    QCOMPARE(Access::commFailCount(rig->w()), quint32(4));
    rig->sim.clearFault();
    rig->poll();
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
}

void TestConfig::failedReadBeforeFirstGoodReadShowsFault()
{
    QVERIFY(rig->openLink());
    QVERIFY(!Access::commOk(rig->w()));
    rig->ui()->labelCommStat->setText(QStringLiteral("?"));
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);

    rig->ui()->btnGetAllConfig->click();

    QCOMPARE(Access::commFailCount(rig->w()), quint32(1));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("读取配置失败！"));
}

void TestConfig::blockGoesToTheSlaveAddress()
{
    rig->sim.setAddress(7);
    QVERIFY(rig->openLink(QStringLiteral("7")));
    rig->ui()->btnGetAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), 0);
    rig->ui()->btnSaveAllConfig->click();
    rig->ui()->btnResetFactory->click();
    const QList<QByteArray> frames = rig->frames();
    QCOMPARE(frames.size(), 3);
    QCOMPARE(hexFrame(frames.at(0)), readFrame(7, ConfigBlockFirst, 7));
    QCOMPARE(hexFrame(frames.at(1)), hexFrame(blockWrite(factoryConfigWords, 7)));
    QCOMPARE(hexFrame(frames.at(2)), hexFrame(blockWrite(factoryConfigWords, 7)));
    QCOMPARE(rig->modals.boxCount(), 2);
    QCOMPARE(rig->modals.boxes().at(0).text, QStringLiteral("配置保存成功"));
    QCOMPARE(rig->modals.boxes().at(1).text, QStringLiteral("恢复出厂设置成功！"));
}

QTEST_MAIN(TestConfig)
#include "tst_config.moc"
