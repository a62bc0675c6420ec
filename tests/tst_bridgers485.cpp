// vortanix-bridge on 2-wire RS-485 lines, on a real Mosquitto broker and
// virtual lines: a line whose adapter echoes is polled with echo=true, a
// changed echo is a bus collision, told on the link topic and counted
// towards offline; a port whose driver has no RS-485 mode stops the bridge.

#include "bridgerig.h"
#include "buildprogram.h"

#include <QtTest>

class TestBridgeRs485 : public QObject
{
    Q_OBJECT

private slots:
    void echoingLine();
    void kernelModeRefused_data();
    void kernelModeRefused();
};

void TestBridgeRs485::echoingLine()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    VirtualLine &line = rig.addLine(QStringLiteral("a"), {1});
    line.setEcho(VirtualLine::EchoSplit);
    rig.controller(QStringLiteral("a"), 1).setPowerPermille(417);
    auto probe = rig.probe();
    QVERIFY(probe);
    // Waits a loaded machine cannot outlast: the split echo's second half comes 5 ms after the first.
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("echo")) + QStringLiteral("[bridge]\npoll_interval_ms=50\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"), QStringLiteral("echo=true\ntimeout_ms=2000")));
    QVERIFY(rig.bridge().start());
    QVERIFY(rig.waitForState(*probe, QStringLiteral("a-1"),
        [](const QJsonObject &s) { return s.value(QStringLiteral("power_permille")) == 417; }));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/link"), "ok", BridgeRig::WaitMs));
    // A command goes through the echo too.
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), "250"));
    MqttProbe::Message result;
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/result"), BridgeRig::WaitMs, &result));
    QCOMPARE(result.json().value(QStringLiteral("ok")), QJsonValue(true));
    QCOMPARE(rig.controller(QStringLiteral("a"), 1).holdingRegister(0x0004), quint16(250));

    // Collisions: told on the link topic, and five in a row take the controller offline.
    line.setEcho(VirtualLine::EchoCollide);
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/link"), "bus collision", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/availability"), "offline", BridgeRig::WaitMs));
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("a-1 (address 1): offline after 5 failed polls (bus collision)")));
    // A command whose request collided is not reported as done.
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), "300"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/result"), BridgeRig::WaitMs, &result));
    QCOMPARE(result.json().value(QStringLiteral("ok")), QJsonValue(false));
    QCOMPARE(result.json().value(QStringLiteral("outcome")), QJsonValue(QStringLiteral("bus collision")));

    line.setEcho(VirtualLine::EchoWhole);
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/availability"), "online", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/link"), "ok", BridgeRig::WaitMs));
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeRs485::kernelModeRefused_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("why");
    // A user-mode emulator does not carry the kernel's RS-485 request out.
    QTest::newRow("kernel") << "kernel"
                            << (BuildProgram::rs485RequestUnsupported()
                                       ? "the system does not carry out the request (ENOSYS"
                                       : "its driver has no RS-485 mode (ENOTTY)");
    QTest::newRow("rts") << "rts"
                         << "its driver cannot switch RTS (ENOTTY)";
}

void TestBridgeRs485::kernelModeRefused()
{
    QFETCH(QString, mode);
    QFETCH(QString, why);
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("hat"), {1});
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("hat"))
        + rig.lineSection(QStringLiteral("hat"), QStringLiteral("1"), QStringLiteral("rs485=") + mode));
    QVERIFY(rig.bridge().start());
    QCOMPARE(rig.bridge().waitForExit(), 3);
    const QString expected
        = QStringLiteral("line hat: %1: cannot use rs485=%2: %3").arg(rig.linePath(QStringLiteral("hat")), mode, why);
    QVERIFY2(rig.bridge().log().contains(expected), qPrintable(rig.bridge().log()));
    QVERIFY(rig.controller(QStringLiteral("hat"), 1).requests().isEmpty()); // nothing went on the line
}

QTEST_GUILESS_MAIN(TestBridgeRs485)
#include "tst_bridgers485.moc"
