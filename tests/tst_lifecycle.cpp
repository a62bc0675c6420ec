// The main window's life: construction, members, slots, timers, validators,
// the start-up scan, tab changes, the link lost underneath, and teardown.

#include "mainwindowform.h"
#include "mydoublevalidator.h"
#include "panelrig.h"
#include "spcomm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QRadioButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTabBar>
#include <QTimer>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

// Everything an operator can see in the window's line edits, labels, boxes and lists.
QStringList visibleState(QWidget *root)
{
    QStringList state;
    for (QLabel *w : root->findChildren<QLabel *>())
        state << w->objectName() + QLatin1Char('=') + w->text() + w->styleSheet();
    for (QLineEdit *w : root->findChildren<QLineEdit *>())
        state << w->objectName() + QLatin1Char('=') + w->text();
    for (QAbstractButton *w : root->findChildren<QAbstractButton *>()) {
        // The tab bar's own scroll buttons follow the current tab (Qt 6.8 enables
        // them as the tabs move): Qt's navigation, not the panel's state.
        if (qobject_cast<QTabBar *>(w->parentWidget()) != nullptr)
            continue;
        state << w->objectName() + QLatin1Char('=') + w->text() + QString::number(w->isChecked())
                     + QString::number(w->isEnabled());
    }
    for (QComboBox *w : root->findChildren<QComboBox *>())
        state << w->objectName() + QLatin1Char('=') + QString::number(w->count()) + w->currentText();
    state.sort();
    return state;
}

} // namespace

class TestLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void slotsInMetaObjectOrder();
    void initialMembers();
    void timersRunFromTheStart();
    void validatorsInstalled();
    void startupScanListsOnlyPortsThatOpen();
    void pollWithClosedLinkDoesNothing();
    void tabChangesChangeNothing();
    void closingTheWindowClosesThePort();
    void linkLostUnderneathIsShownAndRecoverable();
    void closeButtonAfterLinkLossRestoresControls();
};

void TestLifecycle::slotsInMetaObjectOrder()
{
    const QStringList expected{
        "on_checkSerial_clicked()", "on_switchSerial_clicked()", "timerUpdate()",
        "on_tabWidget_currentChanged(int)", "on_tabWidget_destroyed()", "on_ldOnOffAll_clicked(bool)",
        "on_checkBoxLdEn_clicked(bool)", "on_btnLdOn_clicked()", "on_powerSet_clicked()",
        "on_ldAdcOff_clicked()", "on_ldAdcOn_clicked()", "on_btnSaveLdEn_clicked()", "queryDevInfo()",
        "on_btnGetLdEn_clicked()", "on_analogPowerSet_clicked()", "on_saveLimitPower_clicked()",
        "on_getLimitPower_clicked()", "on_set485Id_clicked()", "on_btnSaveAllConfig_clicked()",
        "on_btnGetAllConfig_clicked()", "on_btnResetFactory_clicked()", "on_btnExportConfig_clicked()",
        "on_btnExportConfig_2_clicked()"};
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(QString::fromLatin1(meta.className()), QStringLiteral("MainWindow"));
    QStringList found;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(QByteArray(method.typeName()), QByteArray("void"));
        found << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(found, expected);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
}

void TestLifecycle::initialMembers()
{
    MainWindow w;
    QCOMPARE(Access::slaveAddress(w), quint8(1));
    QCOMPARE(Access::moduleCount(w), quint8(12));
    QCOMPARE(Access::commFailCount(w), quint32(0));
    QCOMPARE(Access::commOk(w), false);
    QCOMPARE(Access::ldEnableMask(w), quint16(0));
    QCOMPARE(Access::ldSwitchMask(w), quint16(0));
    QCOMPARE(Access::powerPermille(w), quint16(0));
    QCOMPARE(Access::ldTemperature(w), qint16(0));
    QCOMPARE(Access::supplyMillivolts(w), quint16(0));
    QCOMPARE(Access::runSeconds(w), quint32(0));
    QCOMPARE(Access::firmwareVersion(w), quint16(0));
    QCOMPARE(Access::ldMaxDac(w), quint16(0));
    QCOMPARE(Access::ldAlarmTemperature(w), quint16(0));
    QCOMPARE(Access::ldLowPowerMask(w), quint16(0));
    QCOMPARE(Access::ldCompensationSeconds(w), quint32(0));
    QVERIFY(Access::spComm(w) && !Access::spComm(w)->isOpen());
    QVERIFY(Access::protocol(w));
    QCOMPARE(Access::spComm(w)->parent(), nullptr);
    QCOMPARE(Access::ui(w)->switchSerial->text(), QStringLiteral("打开串口"));
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.windowTitle(), QStringLiteral("VORTANIX    V1.10"));
}

void TestLifecycle::timersRunFromTheStart()
{
    MainWindow w;
    QTimer *update = Access::updateTimer(w);
    QTimer *poll = Access::pollTimer(w);
    QVERIFY(update && poll && update != poll);
    QVERIFY(update->isActive());
    QVERIFY(poll->isActive());
    QCOMPARE(update->interval(), 1000);
    QCOMPARE(poll->interval(), 500);
    QCOMPARE(update->parent(), &w);
    QCOMPARE(poll->parent(), &w);
    QVERIFY(!update->isSingleShot());
    QVERIFY(!poll->isSingleShot());
}

void TestLifecycle::validatorsInstalled()
{
    MainWindow w;
    MainWindowForm *ui = Access::ui(w);
    const auto *alarm = qobject_cast<const MyDoubleValidator *>(ui->lineEditAlarmTemperature->validator());
    QVERIFY(alarm);
    QCOMPARE(alarm->bottom(), 0.0);
    QCOMPARE(alarm->top(), 100.0);
    QCOMPARE(alarm->decimals(), 2);
    QCOMPARE(alarm->notation(), QDoubleValidator::StandardNotation);
    QCOMPARE(alarm->parent(), nullptr);

    const auto *dac = qobject_cast<const QIntValidator *>(ui->lineEditMaxDac->validator());
    QVERIFY(dac);
    QCOMPARE(ui->lineLimitPower->validator(), dac); // one validator for both fields
    QCOMPARE(dac->bottom(), 2800);
    QCOMPARE(dac->top(), 3980);
    QCOMPARE(dac->parent(), nullptr);

    const auto *hours = qobject_cast<const QIntValidator *>(ui->lineEditCompensationHours->validator());
    QVERIFY(hours && hours != dac);
    QCOMPARE(hours->bottom(), 0);
    QCOMPARE(hours->top(), 100000);

    QVERIFY(!ui->lineSet485_ID->validator());
    QVERIFY(!ui->lineEditPower->validator());
    QVERIFY(!ui->lineEditAnalogPower->validator());

    // Keystrokes beyond the range are refused; an intermediate text stays.
    ui->lineEditMaxDac->clear();
    QTest::keyClicks(ui->lineEditMaxDac, QStringLiteral("28"));
    QCOMPARE(ui->lineEditMaxDac->text(), QStringLiteral("28"));
    QTest::keyClicks(ui->lineEditMaxDac, QStringLiteral("009"));
    QCOMPARE(ui->lineEditMaxDac->text(), QStringLiteral("2800"));
    ui->lineEditAlarmTemperature->clear();
    QTest::keyClicks(ui->lineEditAlarmTemperature, QStringLiteral("25.355"));
    QCOMPARE(ui->lineEditAlarmTemperature->text(), QStringLiteral("25.35"));
}

void TestLifecycle::startupScanListsOnlyPortsThatOpen()
{
    MainWindow w;
    QComboBox *list = Access::ui(w)->serialName;
    const auto openablePorts = [] {
        QStringList openable;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
            QSerialPort probe(info);
            if (probe.open(QIODevice::ReadWrite))
                openable << info.portName();
        }
        return openable;
    };
    const auto listedPorts = [list] {
        QStringList listed;
        for (int i = 0; i < list->count(); ++i)
            listed << list->itemText(i);
        return listed;
    };
    // Other test processes may hold a port for a moment while they scan, so
    // a disagreement is checked again with a rescan before it counts.
    QStringList listed = listedPorts();
    QStringList openable = openablePorts();
    const QDeadlineTimer deadline(10000);
    while (listed != openable && !deadline.hasExpired()) {
        QTest::qWait(50);
        Access::ui(w)->checkSerial->click();
        listed = listedPorts();
        openable = openablePorts();
    }
    QCOMPARE(listed, openable);
    QCOMPARE(list->currentIndex(), listed.isEmpty() ? -1 : 0);

    // A port held open by another program is left out of a rescan.
    if (!listed.isEmpty()) {
        QSerialPort holder(listed.first());
        if (holder.open(QIODevice::ReadWrite)) {
            Access::ui(w)->checkSerial->click();
            for (int i = 0; i < list->count(); ++i)
                QVERIFY(list->itemText(i) != listed.first());
        }
    }
}

void TestLifecycle::pollWithClosedLinkDoesNothing()
{
    PanelRig rig;
    QVERIFY(rig.start());
    const QStringList before = visibleState(&rig.w());
    for (int i = 0; i < 3; ++i)
        rig.poll();
    QCOMPARE(visibleState(&rig.w()), before);
    QCOMPARE(Access::commFailCount(rig.w()), quint32(0));
    QCOMPARE(rig.settledFrames().size(), 0);
    QCOMPARE(rig.ui()->labelCommStat->text(), QStringLiteral("故障"));
}

void TestLifecycle::tabChangesChangeNothing()
{
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    rig.poll();
    const QStringList before = visibleState(&rig.w());
    const quint32 fails = Access::commFailCount(rig.w());
    const int requests = rig.sim.requests().size();
    for (int index : {3, 1, 0, 2, 2, 3, 0, 1})
        rig.ui()->tabWidget->setCurrentIndex(index);
    rig.ui()->tabWidget->tabBar()->moveTab(0, 3);
    QCOMPARE(visibleState(&rig.w()), before);
    QCOMPARE(Access::commFailCount(rig.w()), fails);
    QCOMPARE(rig.sim.requests().size(), requests);
    QCOMPARE(rig.modals.boxCount(), 0);
}

void TestLifecycle::closingTheWindowClosesThePort()
{
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    // While the panel holds the port, nobody else can open it.
    {
        QSerialPort other(rig.sim.portPath());
        QVERIFY(!other.open(QIODevice::ReadWrite));
    }
    rig.window->close();
    rig.window.reset();
    QSerialPort other(rig.sim.portPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
}

void TestLifecycle::linkLostUnderneathIsShownAndRecoverable()
{
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    MainWindowForm *ui = rig.ui();
    rig.poll();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
    const QString voltage = ui->labelSupplyVoltage->text();

    rig.sim.unplug();
    rig.poll(); // the reopen fails: the link is closed underneath
    QVERIFY(!Access::spComm(rig.w())->isOpen());
    rig.poll(); // the next tick shows it
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(Access::commOk(rig.w()), false);
    QCOMPARE(ui->switchSerial->text(), QStringLiteral("打开串口"));
    for (QWidget *w : {static_cast<QWidget *>(ui->checkSerial), static_cast<QWidget *>(ui->serialName),
                       static_cast<QWidget *>(ui->baudRate), static_cast<QWidget *>(ui->stopBits),
                       static_cast<QWidget *>(ui->paritySelect), static_cast<QWidget *>(ui->lineEditRs485Id)})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QCOMPARE(ui->labelSupplyVoltage->text(), voltage);
    QCOMPARE(rig.modals.boxCount(), 0);

    // Further ticks change nothing more.
    const QStringList settled = visibleState(&rig.w());
    rig.poll();
    QCOMPARE(visibleState(&rig.w()), settled);

    // Plug back in and open again.
    QVERIFY(rig.sim.replug());
    QVERIFY(rig.openLink());
    rig.poll();
    QCOMPARE(ui->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(rig.modals.boxCount(), 0);
}

void TestLifecycle::closeButtonAfterLinkLossRestoresControls()
{
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    rig.sim.unplug();
    rig.poll();
    QVERIFY(!Access::spComm(rig.w())->isOpen());
    // Before the next tick the operator clicks: the close path finds the port closed.
    rig.closeLink();
    QCOMPARE(rig.ui()->switchSerial->text(), QStringLiteral("打开串口"));
    QVERIFY(rig.ui()->serialName->isEnabled());
    QCOMPARE(rig.modals.boxCount(), 0);
}

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
