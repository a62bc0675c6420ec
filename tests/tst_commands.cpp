// The operator's single-register commands against the virtual controller:
// laser switching, power, the external analog input, the module enable mask,
// the maximum-power DAC limit and the RS-485 address change. Each command is
// driven by clicking its button; the frames on the line, the kept members,
// the widgets and the message boxes are checked.

#include "bustrace.h"
#include "configtab.h"
#include "mainwindowform.h"
#include "modulewidgets.h"
#include "panelrig.h"
#include "registers.h"
#include "spcomm.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

// Checks exactly the listed boxes of a family.
void checkOnly(MainWindow &w, const QString &prefix, const QList<int> &modules)
{
    quint16 mask = 0;
    for (int n : modules)
        mask |= quint16(1u << (n - 1));
    tickBoxes(w, prefix, mask);
}

QList<int> checkedModules(MainWindow &w, const QString &prefix)
{
    const quint16 mask = tickedMask(w, prefix);
    QList<int> modules;
    for (int n = 1; n <= 12; ++n) {
        if (mask & (1u << (n - 1)))
            modules << n;
    }
    return modules;
}

// Reads the power limit until the controller answers, and checks what the panel keeps.
bool readMaxDac(PanelRig &rig, quint16 expected)
{
    return rig.untilAnswered([&rig] { rig.ui()->getLimitPower->click(); })
        && MainWindowTestAccess::ldMaxDac(rig.w()) == expected;
}

const QList<int> allModules{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const QString switchPrefix = QStringLiteral("checkBoxLdSwitch_");
const QString enablePrefix = QStringLiteral("checkBoxLd_");

} // namespace

class TestCommands : public RigTestCase
{
    Q_OBJECT

private slots:
    // Laser switching, power and the analog input.
    void switchMaskFromCheckedBoxes_data();
    void switchMaskFromCheckedBoxes();
    void missingSwitchBoxIsSkipped();
    void allBoxSetsTheWholeFamilyAndSendsNothing_data();
    void allBoxSetsTheWholeFamilyAndSendsNothing();
    void emptyFieldSendsNothing_data();
    void emptyFieldSendsNothing();
    void adcButtonsFollowOnlyASuccessfulWrite();
    void failedWritesKeepTheKeptValues_data();
    void failedWritesKeepTheKeptValues();

    // Module enable mask.
    void enableMaskSaved_data();
    void enableMaskSaved();
    void enableMaskSaveFails();
    void enableMaskSaveWithPortClosed();
    void enableMaskShownOnRequest();
    void enableMaskShowWithPortClosed();

    // Maximum-power DAC limit.
    void maxDacSaveFails();
    void maxDacRead_data();
    void maxDacRead();
    void maxDacReadFails_data();
    void maxDacReadFails();
    void maxDacReadWithPortClosedDoesNothing();

    // RS-485 address change.
    void addressChangeBroadcastsThreeFrames_data();
    void addressChangeBroadcastsThreeFrames();
    void addressChangeWithPortClosedWarnsOnce();

    // The per-module widget families.
    void moduleWidgetFamilies();
};

void TestCommands::switchMaskFromCheckedBoxes_data()
{
    QTest::addColumn<QList<int>>("modules");
    QTest::addColumn<quint16>("mask");

    QTest::newRow("1, 2, 12") << QList<int>{1, 2, 12} << quint16(0x0803);
    QTest::newRow("none") << QList<int>{} << quint16(0x0000);
    QTest::newRow("1 and 3") << QList<int>{1, 3} << quint16(0x0005);
    QTest::newRow("12 only") << QList<int>{12} << quint16(0x0800);
    QTest::newRow("all twelve") << allModules << quint16(0x0FFF);
}

void TestCommands::switchMaskFromCheckedBoxes()
{
    QFETCH(QList<int>, modules);
    QFETCH(quint16, mask);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setSwitchMask(0x0FFF);
    Access::ldSwitchMask(w) = 0xABCD;
    checkOnly(w, switchPrefix, modules);

    rig->ui()->btnLdOn->click();
    QCOMPARE(hexFrames(rig->frames()), QStringList{writeFrame(1, RegLdSwitchMask, mask)});
    QCOMPARE(rig->sim.holdingRegister(RegLdSwitchMask), mask);
    QCOMPARE(Access::ldSwitchMask(w), mask);
    QCOMPARE(rig->modals.boxCount(), 0);

    // The next poll shows the modules switched as selected, the others off.
    QVERIFY(rig->pollUntilAnswered());
    for (int n = 1; n <= 12; ++n) {
        auto *state = w.findChild<QLabel *>(QStringLiteral("ldStatLd_%1").arg(n));
        QCOMPARE(state->text(), modules.contains(n) ? QStringLiteral("开") : QStringLiteral("关"));
    }
}

void TestCommands::missingSwitchBoxIsSkipped()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    // A box that cannot be found by its composed name counts as unchecked and
    // is left alone by "All".
    QCheckBox *renamed = rig->ui()->checkBoxLdSwitch_5;
    renamed->setObjectName(QStringLiteral("renamed"));
    renamed->setChecked(true);
    rig->ui()->checkBoxLdSwitch_6->setChecked(true);
    rig->ui()->btnLdOn->click();
    QCOMPARE(hexFrames(rig->frames()), QStringList{writeFrame(1, RegLdSwitchMask, 0x0020)});

    renamed->setChecked(false);
    rig->ui()->ldOnOffAll->click();
    QVERIFY(rig->ui()->ldOnOffAll->isChecked());
    QVERIFY(!renamed->isChecked());
    QCOMPARE(checkedModules(w, switchPrefix), (QList<int>{1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12}));
}

void TestCommands::allBoxSetsTheWholeFamilyAndSendsNothing_data()
{
    QTest::addColumn<QString>("allBox");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("otherPrefix");

    QTest::newRow("switch boxes") << "ldOnOffAll" << switchPrefix << enablePrefix;
    QTest::newRow("enable boxes") << "checkBoxLdEn" << enablePrefix << switchPrefix;
}

void TestCommands::allBoxSetsTheWholeFamilyAndSendsNothing()
{
    QFETCH(QString, allBox);
    QFETCH(QString, prefix);
    QFETCH(QString, otherPrefix);

    MainWindow &w = rig->w();
    auto *all = w.findChild<QCheckBox *>(allBox);
    QVERIFY(all);
    checkOnly(w, prefix, {2, 7});
    checkOnly(w, otherPrefix, {3});

    // Works with the port closed.
    all->click();
    QVERIFY(all->isChecked());
    QCOMPARE(checkedModules(w, prefix), allModules);
    all->click();
    QVERIFY(!all->isChecked());
    QCOMPARE(checkedModules(w, prefix), QList<int>{});
    QCOMPARE(checkedModules(w, otherPrefix), QList<int>{3});

    // Sends nothing with the port open either.
    QVERIFY(rig->openLink());
    all->click();
    QCOMPARE(checkedModules(w, prefix), allModules);
    all->click();
    QCOMPARE(checkedModules(w, prefix), QList<int>{});
    QCOMPARE(rig->settledFrames().size(), 0);
    QCOMPARE(rig->modals.boxCount(), 0);
}

// An entry in one of the two power fields, sent by its button: the value on
// the line, in the controller, in the kept member; the field keeps its text.
void TestCommands::emptyFieldSendsNothing_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("open");

    for (bool open : {true, false}) {
        const char *state = open ? "open" : "closed";
        QTest::addRow("power, %s", state) << "lineEditPower"
                                          << "powerSet" << open;
        QTest::addRow("millivolts, %s", state) << "lineEditAnalogPower"
                                               << "analogPowerSet" << open;
        QTest::addRow("max DAC, %s", state) << "lineLimitPower"
                                            << "saveLimitPower" << open;
        QTest::addRow("address, %s", state) << "lineSet485_ID"
                                            << "set485Id" << open;
    }
}

void TestCommands::emptyFieldSendsNothing()
{
    QFETCH(QString, field);
    QFETCH(QString, button);
    QFETCH(bool, open);

    MainWindow &w = rig->w();
    if (open)
        QVERIFY(rig->openLink());
    Access::powerPermille(w) = 321;
    Access::ldMaxDac(w) = 3210;
    auto *edit = w.findChild<QLineEdit *>(field);
    auto *push = w.findChild<QPushButton *>(button);
    QVERIFY(edit && push);
    edit->clear();
    push->click();
    QCOMPARE(rig->settledFrames().size(), 0);
    QCOMPARE(rig->modals.boxCount(), 0); // not even the closed-port warning
    QCOMPARE(Access::powerPermille(w), quint16(321));
    QCOMPARE(Access::ldMaxDac(w), quint16(3210));
    QCOMPARE(rig->sim.address(), quint8(1));
}

void TestCommands::adcButtonsFollowOnlyASuccessfulWrite()
{
    QVERIFY(rig->openLink());
    QRadioButton *radio = rig->ui()->radioButtonAdcEnableStat;
    QVERIFY(!radio->isChecked());

    rig->ui()->ldAdcOn->click();
    QVERIFY(radio->isChecked());
    QCOMPARE(rig->sim.holdingRegister(RegAdcEnable), quint16(1));
    rig->ui()->ldAdcOff->click();
    QVERIFY(!radio->isChecked());
    QCOMPARE(rig->sim.holdingRegister(RegAdcEnable), quint16(0));
    QCOMPARE(hexFrames(rig->frames()), (QStringList{writeFrame(1, RegAdcEnable, 1), writeFrame(1, RegAdcEnable, 0)}));

    // Unanswered writes leave the radio button as it was.
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig->ui()->ldAdcOn->click();
    QVERIFY(!radio->isChecked());
    rig->ui()->ldAdcOn->click();
    QVERIFY(radio->isChecked());
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig->ui()->ldAdcOff->click();
    QVERIFY(radio->isChecked());
    QCOMPARE(rig->frames().size(), 5);
    QCOMPARE(rig->modals.boxCount(), 0);

    // With the port closed: the warning, and the radio button stays.
    rig->closeLink();
    rig->sim.clearRequests();
    rig->ui()->ldAdcOff->click();
    QVERIFY(radio->isChecked());
    QCOMPARE(rig->modals.boxCount(), 1);
    QVERIFY(rig->modals.lastBox().isWarning());
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("串口未打开"));
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestCommands::failedWritesKeepTheKeptValues_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("cause");

    QTest::newRow("no acknowledgement") << int(VirtualController::FaultNoReply) << "fault";
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << "fault";
    QTest::newRow("8-byte echo") << int(VirtualController::FaultEcho8) << "fault";
    QTest::newRow("cut short") << int(VirtualController::FaultTruncate) << "fault";
    QTest::newRow("link busy") << 0 << "busy";
    QTest::newRow("port closed") << 0 << "closed";
}

void TestCommands::failedWritesKeepTheKeptValues()
{
    QFETCH(int, fault);
    QFETCH(QString, cause);

    MainWindow &w = rig->w();
    if (cause != QLatin1String("closed"))
        QVERIFY(rig->openLink());
    Access::ldSwitchMask(w) = 0x0123;
    Access::powerPermille(w) = 456;
    rig->ui()->radioButtonAdcEnableStat->setChecked(true);
    checkOnly(w, switchPrefix, {1, 12});
    rig->ui()->lineEditPower->setText(QStringLiteral("10"));
    rig->ui()->lineEditAnalogPower->setText(QStringLiteral("1000"));

    const QList<QPushButton *> buttons{
        rig->ui()->btnLdOn, rig->ui()->powerSet, rig->ui()->analogPowerSet, rig->ui()->ldAdcOff};
    for (QPushButton *button : buttons) {
        if (cause == QLatin1String("fault"))
            rig->sim.setFault(VirtualController::FaultKind(fault), 4, 1);
        if (cause == QLatin1String("busy"))
            QVERIFY(Access::spComm(w)->mutex.tryLock());
        button->click();
        if (cause == QLatin1String("busy"))
            Access::spComm(w)->mutex.unlock();
        rig->sim.clearFault();
        QCOMPARE(Access::ldSwitchMask(w), quint16(0x0123));
        QCOMPARE(Access::powerPermille(w), quint16(456));
        QVERIFY(rig->ui()->radioButtonAdcEnableStat->isChecked());
    }

    const QList<QByteArray> sent = rig->settledFrames();
    if (cause == QLatin1String("fault")) {
        QCOMPARE(sent.size(), buttons.size());
        QCOMPARE(rig->modals.boxCount(), 0);
    } else if (cause == QLatin1String("busy")) {
        QCOMPARE(sent.size(), 0);
        QCOMPARE(rig->modals.boxCount(), 0);
    } else {
        QCOMPARE(sent.size(), 0);
        QCOMPARE(rig->modals.boxCount(), buttons.size());
        for (const RecordedBox &b : rig->modals.boxes()) {
            verifyBox(b, QMessageBox::Warning, &w, QStringLiteral("警告"), QStringLiteral("串口未打开"));
        }
    }
}

void TestCommands::enableMaskSaved_data()
{
    QTest::addColumn<QList<int>>("modules");
    QTest::addColumn<quint16>("mask");

    QTest::newRow("1 and 3") << QList<int>{1, 3} << quint16(0x0005);
    QTest::newRow("all twelve") << allModules << quint16(0x0FFF);
    QTest::newRow("none") << QList<int>{} << quint16(0x0000);
    QTest::newRow("1, 2, 12") << QList<int>{1, 2, 12} << quint16(0x0803);
}

void TestCommands::enableMaskSaved()
{
    QFETCH(QList<int>, modules);
    QFETCH(quint16, mask);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    Access::ldEnableMask(w) = 0xABCD;
    checkOnly(w, enablePrefix, modules);
    rig->ui()->btnSaveLdEn->click();

    QCOMPARE(hexFrames(rig->frames()), QStringList{writeFrame(1, RegLdEnableMask, mask)});
    QCOMPARE(rig->sim.holdingRegister(RegLdEnableMask), mask);
    QCOMPARE(Access::ldEnableMask(w), mask);
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(
        rig->modals.lastBox(), QMessageBox::Information, &w, QStringLiteral("设置"), QStringLiteral("设置成功！"));
}

void TestCommands::enableMaskSaveFails()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setEnableMask(0x0006);
    QVERIFY(rig->pollUntilAnswered());
    QCOMPARE(Access::ldEnableMask(w), quint16(0x0006));

    checkOnly(w, enablePrefix, {1, 9});
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig->ui()->btnSaveLdEn->click();
    QCOMPARE(hexFrames(rig->frames()).last(), writeFrame(1, RegLdEnableMask, 0x0101));
    QCOMPARE(Access::ldEnableMask(w), quint16(0x0006));
    QCOMPARE(rig->modals.boxCount(), 1);
    const RecordedBox b = rig->modals.lastBox();
    QCOMPARE(b.icon, QMessageBox::Information); // not a warning
    QCOMPARE(b.parent, &w);
    QCOMPARE(b.title, QStringLiteral("设置"));
    QCOMPARE(b.text, QStringLiteral("设置失败！"));
    QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    // What the get button shows is the mask from before the failed save.
    rig->ui()->btnGetLdEn->click();
    QCOMPARE(checkedModules(w, enablePrefix), (QList<int>{2, 3}));
}

void TestCommands::enableMaskSaveWithPortClosed()
{
    MainWindow &w = rig->w();
    Access::ldEnableMask(w) = 0x0042;
    checkOnly(w, enablePrefix, {1});
    rig->ui()->btnSaveLdEn->click();

    QCOMPARE(rig->modals.boxCount(), 2);
    verifyBox(
        rig->modals.boxes().at(0), QMessageBox::Warning, &w, QStringLiteral("警告"), QStringLiteral("串口未打开"));
    verifyBox(
        rig->modals.boxes().at(1), QMessageBox::Information, &w, QStringLiteral("设置"), QStringLiteral("设置失败！"));
    QCOMPARE(Access::ldEnableMask(w), quint16(0x0042));
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestCommands::enableMaskShownOnRequest()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setEnableMask(0xF001);
    QVERIFY(rig->pollUntilAnswered());
    QCOMPARE(Access::ldEnableMask(w), quint16(0xF001));

    // Only box 1: bits 12..15 have no box. Nothing is read for it.
    checkOnly(w, enablePrefix, allModules);
    rig->sim.clearRequests();
    rig->ui()->btnGetLdEn->click();
    QCOMPARE(checkedModules(w, enablePrefix), QList<int>{1});
    QCOMPARE(rig->settledFrames().size(), 0);

    // After a successful save the button shows the saved mask.
    checkOnly(w, enablePrefix, {4});
    rig->ui()->btnSaveLdEn->click();
    checkOnly(w, enablePrefix, allModules);
    rig->ui()->btnGetLdEn->click();
    QCOMPARE(checkedModules(w, enablePrefix), QList<int>{4});
    QCOMPARE(rig->modals.boxCount(), 1); // the save's "设置成功！" only
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("设置成功！"));
}

void TestCommands::enableMaskShowWithPortClosed()
{
    MainWindow &w = rig->w();
    Access::ldEnableMask(w) = 0x0FFF;
    checkOnly(w, enablePrefix, {5, 6});
    rig->ui()->btnGetLdEn->click();
    QCOMPARE(checkedModules(w, enablePrefix), (QList<int>{5, 6}));
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &w, QStringLiteral("警告"), QStringLiteral("串口未打开"));
}

void TestCommands::maxDacSaveFails()
{
    MainWindow &w = rig->w();
    Access::ldMaxDac(w) = 3100;
    rig->ui()->lineLimitPower->setText(QStringLiteral("3500"));

    // Port closed: the warning only.
    rig->ui()->saveLimitPower->click();
    QCOMPARE(Access::ldMaxDac(w), quint16(3100));
    QCOMPARE(rig->modals.boxCount(), 1);
    QVERIFY(rig->modals.lastBox().isWarning());
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("串口未打开"));

    // No acknowledgement: nothing to see.
    QVERIFY(rig->openLink());
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig->ui()->saveLimitPower->click();
    QVERIFY(rig->sim.waitForRequests(1, 5000)); // unanswered: may be logged after the wait
    QCOMPARE(hexFrames(rig->frames()), QStringList{writeFrame(1, RegMaxPowerDac, 3500)});
    QCOMPARE(Access::ldMaxDac(w), quint16(3100));
    QCOMPARE(rig->modals.boxCount(), 1);
}

void TestCommands::maxDacRead_data()
{
    QTest::addColumn<quint16>("word");
    QTest::addColumn<QString>("text");

    QTest::newRow("0x0F8C") << quint16(0x0F8C) << "3980";
    QTest::newRow("2850") << quint16(2850) << "2850";
    QTest::newRow("outside the save range") << quint16(1) << "1";
    QTest::newRow("0xFFFF") << quint16(0xFFFF) << "65535";
}

void TestCommands::maxDacRead()
{
    QFETCH(quint16, word);
    QFETCH(QString, text);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setHoldingRegister(RegMaxPowerDac, word);
    rig->ui()->lineLimitPower->setText(QStringLiteral("3333"));
    Access::ldMaxDac(w) = 3333;
    QVERIFY(readMaxDac(*rig, word));

    for (const QString &frame : hexFrames(rig->frames()))
        QCOMPARE(frame, readFrame(1, RegMaxPowerDac, 1));
    QCOMPARE(rig->ui()->lineLimitPower->text(), text);
    QCOMPARE(Access::ldMaxDac(w), word);
    QCOMPARE(rig->modals.boxCount(), 0);
}

void TestCommands::maxDacReadFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");

    // A 5-byte exception reply passes the CRC check but carries no value.
    QTest::newRow("exception reply") << int(VirtualController::FaultException) << 2;
    QTest::newRow("no reply") << int(VirtualController::FaultNoReply) << 0;
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << 0;
    QTest::newRow("cut short") << int(VirtualController::FaultTruncate) << 5;
    QTest::newRow("link busy") << -1 << 0;
}

void TestCommands::maxDacReadFails()
{
    QFETCH(int, fault);
    QFETCH(int, param);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setHoldingRegister(RegMaxPowerDac, 2900);
    rig->ui()->lineLimitPower->setText(QStringLiteral("3333"));
    Access::ldMaxDac(w) = 3333;

    if (fault < 0) {
        QVERIFY(Access::spComm(w)->mutex.tryLock());
        rig->ui()->getLimitPower->click();
        Access::spComm(w)->mutex.unlock();
    } else {
        rig->sim.setFault(VirtualController::FaultKind(fault), param, 1);
        rig->ui()->getLimitPower->click();
        rig->sim.clearFault();
    }
    QCOMPARE(rig->ui()->lineLimitPower->text(), QStringLiteral("3333"));
    QCOMPARE(Access::ldMaxDac(w), quint16(3333));
    QCOMPARE(rig->modals.boxCount(), 0);

    // The next read works.
    QVERIFY(readMaxDac(*rig, 2900));
    QCOMPARE(rig->ui()->lineLimitPower->text(), QStringLiteral("2900"));
    QCOMPARE(Access::ldMaxDac(w), quint16(2900));
}

void TestCommands::maxDacReadWithPortClosedDoesNothing()
{
    MainWindow &w = rig->w();
    rig->ui()->lineLimitPower->setText(QStringLiteral("3333"));
    Access::ldMaxDac(w) = 3333;
    rig->ui()->getLimitPower->click();
    QCOMPARE(rig->modals.boxCount(), 0);
    QCOMPARE(rig->settledFrames().size(), 0);
    QCOMPARE(rig->ui()->lineLimitPower->text(), QStringLiteral("3333"));
    QCOMPARE(Access::ldMaxDac(w), quint16(3333));
}

void TestCommands::addressChangeBroadcastsThreeFrames_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint16>("address");

    QTest::newRow("1") << "1" << quint16(1);
    QTest::newRow("254") << "254" << quint16(254);
    QTest::newRow("65537 (low 16 bits 1)") << "65537" << quint16(1);
    QTest::newRow("170") << "170" << quint16(0xAA);
}

void TestCommands::addressChangeBroadcastsThreeFrames()
{
    QFETCH(QString, text);
    QFETCH(quint16, address);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->ui()->lineSet485_ID->setText(text);
    QList<BusExchange> sent;
    qint64 elapsedMs = 0;
    {
        BusTrace trace;
        QElapsedTimer clock;
        clock.start();
        rig->ui()->set485Id->click();
        elapsedMs = clock.elapsed();
        sent = trace.exchanges();
    }
    QVERIFY(rig->sim.waitForRequests(3, 5000));
    QCOMPARE(rig->settledFrames().size(), 3); // and nothing after them

    const QStringList frames = hexFrames(framesOf(rig->sim.requests().mid(0, 3)));
    QCOMPARE(frames,
        (QStringList{writeFrame(0, RegRs485Address, address), writeFrame(0, RegRs485Address, address),
            writeFrame(0, RegCommandWord, 1)}));
    // A pause of 20 ms follows each broadcast: measured where the panel writes
    // (the controller's own time stamps carry its wake-up jitter under load).
    QVERIFY2(elapsedMs >= 3 * 20, qPrintable(QString::number(elapsedMs)));
    QCOMPARE(sent.size(), 3);
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(hexFrame(sent.at(i).request), frames.at(i));
        QCOMPARE(sent.at(i).outcome, QStringLiteral("sent"));
        if (i > 0) {
            const qint64 gapNs = sent.at(i).atNs - sent.at(i - 1).atNs;
            QVERIFY2(gapNs >= 20000000, qPrintable(QString::number(gapNs)));
        }
    }

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("设置485地址"),
        QStringLiteral("命令已发送，请用新地址尝试连接！"));

    // The controller took the new address; the panel keeps talking to the old one.
    QCOMPARE(rig->sim.address(), quint8(address));
    QCOMPARE(Access::slaveAddress(w), quint8(1));
    rig->sim.clearRequests();
    if (address == 1) {
        QVERIFY(rig->pollUntilAnswered());
    } else {
        rig->poll();
        QCOMPARE(Access::commFailCount(w), quint32(1));
    }
    QCOMPARE(quint8(rig->frames().first().at(0)), quint8(1));
}

void TestCommands::addressChangeWithPortClosedWarnsOnce()
{
    MainWindow &w = rig->w();
    rig->ui()->lineSet485_ID->setText(QStringLiteral("5"));
    rig->ui()->set485Id->click();
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &w, QStringLiteral("警告"), QStringLiteral("串口未打开"));
    QCOMPARE(rig->sim.requests().size(), 0);
    QCOMPARE(rig->sim.address(), quint8(1));
    QCOMPARE(Access::slaveAddress(w), quint8(1));
}

void TestCommands::moduleWidgetFamilies()
{
    // A family with gaps: no p_2 at all, a label (not a box) named p_4, a box
    // nested two levels down, and boxes beyond the count.
    QWidget root;
    QWidget inner(&root);
    QWidget deeper(&inner);
    QList<QCheckBox *> boxes;
    auto addBox = [&boxes](QWidget *parent, const QString &name) {
        auto *b = new QCheckBox(parent);
        b->setObjectName(name);
        boxes << b;
        return b;
    };
    QCheckBox *p1 = addBox(&root, QStringLiteral("p_1"));
    QCheckBox *p3 = addBox(&deeper, QStringLiteral("p_3"));
    QCheckBox *p12 = addBox(&inner, QStringLiteral("p_12"));
    QCheckBox *p13 = addBox(&root, QStringLiteral("p_13"));
    QCheckBox *p16 = addBox(&root, QStringLiteral("p_16"));
    auto *p4 = new QLabel(QStringLiteral("x"), &root);
    p4->setObjectName(QStringLiteral("p_4"));

    // Every bit set: the boxes 1..12 that exist are checked, the others untouched.
    ModuleWidgets::setChecked(&root, QStringLiteral("p_"), 0xFFFF, 12);
    QVERIFY(p1->isChecked() && p3->isChecked() && p12->isChecked());
    QVERIFY(!p13->isChecked() && !p16->isChecked());
    QCOMPARE(p4->text(), QStringLiteral("x"));

    // Boxes beyond the count do not count; bits 12..15 are never set.
    p13->setChecked(true);
    p16->setChecked(true);
    QCOMPARE(ModuleWidgets::checkedMask(&root, QStringLiteral("p_"), 12), quint16(0x0805));
    p3->setChecked(false);
    QCOMPARE(ModuleWidgets::checkedMask(&root, QStringLiteral("p_"), 12), quint16(0x0801));

    ModuleWidgets::setAllChecked(&root, QStringLiteral("p_"), false, 12);
    QVERIFY(!p1->isChecked() && !p3->isChecked() && !p12->isChecked());
    QVERIFY(p13->isChecked() && p16->isChecked());

    // Labels: only labels are written, bits 12..15 are ignored.
    ModuleWidgets::setLabels(&root, QStringLiteral("p_"), 0xF008, 12, QStringLiteral("on"), QStringLiteral("off"));
    QCOMPARE(p4->text(), QStringLiteral("on"));
    ModuleWidgets::setLabels(&root, QStringLiteral("p_"), 0xFFF7, 12, QStringLiteral("on"), QStringLiteral("off"));
    QCOMPARE(p4->text(), QStringLiteral("off"));
    for (QCheckBox *b : boxes)
        QCOMPARE(b->text(), QString());
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
