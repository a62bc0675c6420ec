// The demo's port list: the virtual controller's port is listed first and
// current at start-up and after every rescan, and opening the link with the
// form's default settings reaches the live controller.

#include "../demo/demosetup.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"

#include <QSerialPortInfo>
#include <QtTest>

class TestDemo : public QObject
{
    Q_OBJECT

private slots:
    void portListedFirst_data();
    void portListedFirst();
    void defaultSettingsReachLiveController();
};

void TestDemo::portListedFirst_data()
{
    QTest::addColumn<int>("rescans");
    QTest::newRow("start-up") << 0;
    QTest::newRow("one rescan") << 1;
    QTest::newRow("three rescans") << 3;
}

void TestDemo::portListedFirst()
{
    QFETCH(int, rescans);
    PanelRig rig;
    QVERIFY(rig.start());
    const QString port = Demo::listedPort(rig.sim);
    QVERIFY(port.startsWith(QStringLiteral("/dev/pts/")));
    QVERIFY(Demo::listPortFirst(rig.w(), port));
    for (int i = 0; i < rescans; ++i)
        rig.ui()->checkSerial->click();

    QStringList listed;
    for (int i = 0; i < rig.ui()->serialName->count(); ++i)
        listed << rig.ui()->serialName->itemText(i);
    // The demo's port once, first; the rest is what the window's own scan
    // found (which ports open can change while other programs scan too).
    QVERIFY(!listed.isEmpty());
    QCOMPARE(listed.first(), port);
    QCOMPARE(listed.count(port), 1);
    QStringList known;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        known << info.portName();
    for (const QString &name : listed.mid(1))
        QVERIFY2(known.contains(name), qPrintable(name));
    QCOMPARE(rig.ui()->serialName->currentIndex(), 0);
    QCOMPARE(rig.ui()->serialName->currentText(), port);
}

void TestDemo::defaultSettingsReachLiveController()
{
    PanelRig rig;
    Demo::prepareController(rig.sim);
    QVERIFY(rig.start());
    QVERIFY(Demo::listPortFirst(rig.w(), Demo::listedPort(rig.sim)));
    rig.ui()->checkSerial->click();

    // The form's defaults, untouched: address 1, 115200 baud.
    QCOMPARE(rig.ui()->lineEditRs485Id->text(), QStringLiteral("1"));
    QCOMPARE(rig.ui()->baudRate->currentText(), QStringLiteral("115200"));
    rig.ui()->switchSerial->click();
    QCOMPARE(rig.ui()->switchSerial->text(), QStringLiteral("关闭串口"));
    QCOMPARE(rig.modals.boxCount(), 0);

    rig.poll();
    QCOMPARE(rig.ui()->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(rig.ui()->labelVersion->text(), QStringLiteral("V1.10"));
    QCOMPARE(rig.ui()->labelWorkHours->text(), QStringLiteral("%1H").arg(Demo::runSeconds / 3600));

    // The demo's device is live: its running time counts by itself.
    auto runningSeconds = [&rig] {
        return (quint32(rig.sim.holdingRegister(RegRunSecondsHigh)) << 16)
               | rig.sim.holdingRegister(RegRunSecondsLow);
    };
    const quint32 before = runningSeconds();
    QVERIFY(before >= Demo::runSeconds);
    QTRY_VERIFY2_WITH_TIMEOUT(runningSeconds() > before, qPrintable(QString::number(before)), 30000);
}

QTEST_MAIN(TestDemo)
#include "tst_demo.moc"
