// vortanix-bridge on a real Mosquitto broker, against two virtual controllers
// on a virtual RS-485 line: what it publishes, the commands it takes (frames
// checked in the controllers' request logs) and the ones it refuses.

#include "bridgerig.h"
#include "controllervalues.h"
#include "modbusframes.h"
#include "registers.h"
#include "statusjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <algorithm>

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void stateMatchesRegisters_data();
    void stateMatchesRegisters();
    void stateFollowsTheController();
    void commandsChangeRegisters_data();
    void commandsChangeRegisters();
    void moduleSwitchKeepsTheOthers();
    void configurationBlock();
    void failedCommandsSayWhy_data();
    void failedCommandsSayWhy();
    void badPayloadsChangeNothing_data();
    void badPayloadsChangeNothing();
    void aFullQueueRefusesTheRest();

private:
    // Publishes a command and waits for its result.
    bool command(const QString &id, const QString &name, const QByteArray &payload, QJsonObject *result = nullptr);
    QStringList requestsOf(SimController &controller) const;

    BridgeRig rig;
    std::unique_ptr<MqttProbe> probe;
    StatusValues first; // of the controller at 1 (id a-1)
    StatusValues second; // at 7 (id press)
};

namespace {

const QString clientId = QStringLiteral("plant");
const QString firstId = QStringLiteral("a-1");
const QString secondId = QStringLiteral("press");

QJsonArray modules(std::initializer_list<int> numbers)
{
    QJsonArray array;
    for (int n : numbers)
        array.append(n);
    return array;
}

} // namespace

void TestBridge::initTestCase()
{
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1, 7});
    first.temperature = 253;
    first.supply = 23950;
    first.power = 650;
    first.switchMask = 0x005;
    first.enableMask = 0xFF0;
    first.adc = 1;
    first.version = 0x010A;
    first.seconds = 7205;
    first.word6 = 0x1234;
    first.word8 = 0x00FF;
    SimController one = rig.controller(QStringLiteral("a"), 1);
    first.applyTo(one);
    second.temperature = TemperatureOpenCircuit;
    second.supply = 12000;
    second.version = 0x0203;
    SimController seven = rig.controller(QStringLiteral("a"), 7);
    second.applyTo(seven);

    probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(rig.mqttSection(clientId) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,7"),
            // Generous: on a loaded machine a reply may come late; only the
            // faults set here may read as a time-out.
            QStringLiteral("id.7=press\ntimeout_ms=1000")));
    QVERIFY(rig.bridge().start());
    for (const QString &id : {firstId, secondId}) {
        QVERIFY2(rig.waitForState(*probe, id), qPrintable(rig.bridge().log()));
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "online", BridgeRig::WaitMs));
    }
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/plant/availability"), "online", BridgeRig::WaitMs));
}

void TestBridge::cleanupTestCase()
{
    if (rig.bridge().pid() > 0)
        QCOMPARE(rig.bridge().terminate(), 0);
}

QStringList TestBridge::requestsOf(SimController &controller) const
{
    return hexFrames(framesOf(controller.requests()));
}

bool TestBridge::command(const QString &id, const QString &name, const QByteArray &payload, QJsonObject *result)
{
    const QString topic = QStringLiteral("vortanix/%1/result").arg(id);
    MqttProbe::Message found;
    probe->clear();
    return probe->publish(QStringLiteral("vortanix/%1/set/%2").arg(id, name), payload)
        && probe->waitFor(
            [&](const MqttProbe::Message &m) {
                return m.topic == topic && m.json().value(QStringLiteral("command")).toString() == name;
            },
            BridgeRig::WaitMs, &found)
        && (result == nullptr || (*result = found.json(), true));
}

void TestBridge::stateMatchesRegisters_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("1 address") << firstId << "address" << QJsonValue(1);
    QTest::newRow("1 temperature") << firstId << "temperature_c" << QJsonValue(25.3);
    QTest::newRow("1 sensor") << firstId << "sensor" << QJsonValue("ok");
    QTest::newRow("1 power") << firstId << "power_permille" << QJsonValue(650);
    QTest::newRow("1 supply") << firstId << "supply_v" << QJsonValue(23.95);
    QTest::newRow("1 seconds") << firstId << "run_seconds" << QJsonValue(7205);
    QTest::newRow("1 hours") << firstId << "run_hours" << QJsonValue(2);
    QTest::newRow("1 firmware") << firstId << "firmware" << QJsonValue("1.10");
    QTest::newRow("1 adc") << firstId << "adc_enabled" << QJsonValue(true);
    QTest::newRow("1 on") << firstId << "modules_on" << QJsonValue(modules({1, 3}));
    QTest::newRow("1 enabled") << firstId << "modules_enabled" << QJsonValue(modules({5, 6, 7, 8, 9, 10, 11, 12}));
    QTest::newRow("1 word 6") << firstId << "status_word_6" << QJsonValue(0x1234);
    QTest::newRow("1 word 8") << firstId << "status_word_8" << QJsonValue(0xFF);
    QTest::newRow("7 address") << secondId << "address" << QJsonValue(7);
    QTest::newRow("7 open sensor") << secondId << "temperature_c" << QJsonValue(QJsonValue::Null);
    QTest::newRow("7 sensor") << secondId << "sensor" << QJsonValue("open");
    QTest::newRow("7 supply") << secondId << "supply_v" << QJsonValue(12);
    QTest::newRow("7 firmware") << secondId << "firmware" << QJsonValue("2.3");
    QTest::newRow("7 adc") << secondId << "adc_enabled" << QJsonValue(false);
    QTest::newRow("7 on") << secondId << "modules_on" << QJsonValue(QJsonArray());
}

void TestBridge::stateMatchesRegisters()
{
    QFETCH(QString, id);
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    QJsonObject state;
    QVERIFY(rig.waitForState(*probe, id, &state));
    QStringList keys = state.keys();
    QStringList documented = StatusJson::keys() << QStringLiteral("age_ms");
    keys.sort();
    documented.sort();
    QCOMPARE(keys, documented);
    QCOMPARE(state.value(key), value);
    // QoS 1 messages may come after later QoS 0 ones.
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/link").arg(id), "ok", BridgeRig::WaitMs));
}

void TestBridge::stateFollowsTheController()
{
    SimController controller = rig.controller(QStringLiteral("a"), 7);
    probe->clear();
    controller.setTemperature(TemperatureShortCircuit);
    controller.setPowerPermille(321);
    QVERIFY(rig.waitForState(*probe, secondId, [](const QJsonObject &s) {
        return s.value(QStringLiteral("sensor")) == QLatin1String("short")
            && s.value(QStringLiteral("power_permille")) == 321;
    }));
    controller.setTemperature(-12);
    QVERIFY(rig.waitForState(
        *probe, secondId, [](const QJsonObject &s) { return s.value(QStringLiteral("temperature_c")) == -1.2; }));
    controller.setPowerPermille(0);
}

void TestBridge::commandsChangeRegisters_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("value");
    QTest::newRow("power") << firstId << "power" << QByteArray("650") << int(RegPowerPermille) << 650;
    QTest::newRow("power 0") << secondId << "power" << QByteArray("0") << int(RegPowerPermille) << 0;
    QTest::newRow("millivolts") << secondId << "power_mv" << QByteArray("735") << int(RegPowerPermille) << 149;
    QTest::newRow("switch list") << firstId << "switch" << QByteArray("1,3-4") << int(RegLdSwitchMask) << 0x00D;
    QTest::newRow("switch JSON") << secondId << "switch" << QByteArray("[2, 12]") << int(RegLdSwitchMask) << 0x802;
    QTest::newRow("switch none") << secondId << "switch" << QByteArray("none") << int(RegLdSwitchMask) << 0;
    QTest::newRow("enable") << firstId << "enable" << QByteArray("1-6") << int(RegLdEnableMask) << 0x03F;
    QTest::newRow("adc off") << firstId << "adc" << QByteArray("OFF") << int(RegAdcEnable) << 0;
    QTest::newRow("adc on") << firstId << "adc" << QByteArray("ON") << int(RegAdcEnable) << 1;
    QTest::newRow("dac") << secondId << "dac" << QByteArray("3500") << int(RegMaxPowerDac) << 3500;
}

void TestBridge::commandsChangeRegisters()
{
    QFETCH(QString, id);
    QFETCH(QString, name);
    QFETCH(QByteArray, payload);
    QFETCH(int, reg);
    QFETCH(int, value);
    const quint8 address = id == firstId ? 1 : 7;
    SimController controller = rig.controller(QStringLiteral("a"), address);
    controller.clearRequests();
    QJsonObject result;
    QVERIFY(command(id, name, payload, &result));
    QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(true));
    QCOMPARE(result.value(QStringLiteral("outcome")), QJsonValue("ok"));
    QCOMPARE(result.value(QStringLiteral("value")), QJsonValue(value));
    QCOMPARE(int(controller.holdingRegister(quint16(reg))), value);
    QVERIFY2(requestsOf(controller).contains(writeFrame(address, quint16(reg), quint16(value))),
        qPrintable(requestsOf(controller).join(QLatin1Char('\n'))));
    if (reg == RegMaxPowerDac)
        return; // not in the status block
    // The next state shows it.
    QVERIFY(rig.waitForState(*probe, id, [&](const QJsonObject &state) {
        StatusBlock status;
        status.setWord(RegLdSwitchMask, quint16(value));
        status.setWord(RegLdEnableMask, quint16(value));
        const QJsonObject expected = StatusJson::toJson(status, QDateTime());
        switch (reg) {
        case RegPowerPermille:
            return state.value(QStringLiteral("power_permille")) == value;
        case RegLdSwitchMask:
            return state.value(QStringLiteral("modules_on")) == expected.value(QStringLiteral("modules_on"));
        case RegLdEnableMask:
            return state.value(QStringLiteral("modules_enabled")) == expected.value(QStringLiteral("modules_enabled"));
        default:
            return state.value(QStringLiteral("adc_enabled")) == (value == 1);
        }
    }));
}

void TestBridge::moduleSwitchKeepsTheOthers()
{
    SimController controller = rig.controller(QStringLiteral("a"), 7);
    controller.setSwitchMask(0x011);
    struct Step
    {
        const char *name;
        const char *payload;
        quint16 mask;
    };
    for (const Step &step : {Step{"module_2", "ON", 0x013}, Step{"module_1", "off", 0x012},
             Step{"module_2", "ON", 0x012}, Step{"module_12", "true", 0x812}}) {
        controller.clearRequests();
        QJsonObject result;
        QVERIFY(command(secondId, QLatin1String(step.name), step.payload, &result));
        QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(true));
        QCOMPARE(controller.holdingRegister(RegLdSwitchMask), step.mask);
        // The mask is read right before it is written: nothing between the two.
        const QStringList frames = requestsOf(controller);
        const int write = frames.indexOf(writeFrame(7, RegLdSwitchMask, step.mask));
        QVERIFY2(write > 0 && frames.at(write - 1) == hexFrame(statusRead(7)), qPrintable(frames.join('\n')));
    }
    controller.setSwitchMask(0);
}

void TestBridge::configurationBlock()
{
    SimController controller = rig.controller(QStringLiteral("a"), 1);
    controller.clearRequests();
    QJsonObject result;
    const QByteArray block = R"({"modules_enabled":[1,2,3],"modules_low_power":[12],"max_dac":3001,)"
                             R"("compensation_hours":2,"alarm_c":25.3})";
    QVERIFY(command(firstId, QStringLiteral("config"), block, &result));
    QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(true));
    QVERIFY(requestsOf(controller)
                .contains(hexFrame(blockRequest(1, ConfigBlockFirst, {0, 0x007, 3001, 0, 7200, 253, 0x800}))));

    QVERIFY(command(firstId, QStringLiteral("config"), "read", &result));
    const QJsonObject expected = QJsonDocument::fromJson(R"({"modules_enabled":[1,2,3],"modules_low_power":[12],)"
                                                         R"("max_dac":3001,"compensation_hours":2,)"
                                                         R"("compensation_seconds":7200,"alarm_c":25.3})")
                                     .object();
    QCOMPARE(result.value(QStringLiteral("config")).toObject(), expected);
    MqttProbe::Message retained;
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/config"), BridgeRig::WaitMs, &retained));
    QCOMPARE(retained.json(), expected);

    controller.clearRequests();
    QVERIFY(command(firstId, QStringLiteral("config"), "factory", &result));
    QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(true));
    QVERIFY(requestsOf(controller).contains(factoryBlockSaveHex));
}

// A failed command → its outcome, and the value only when one went on the line.
void TestBridge::failedCommandsSayWhy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("silent") << "dac" << QByteArray("2900") << int(SimController::FaultNoReply) << "time-out"
                            << QJsonValue(2900);
    QTest::newRow("standard echo") << "dac" << QByteArray("2900") << int(SimController::FaultEcho8)
                                   << "not acknowledged (standard 8-byte echo)" << QJsonValue(2900);
    QTest::newRow("bad CRC") << "dac" << QByteArray("2900") << int(SimController::FaultBadCrc) << "bad CRC"
                             << QJsonValue(2900);
    QTest::newRow("acknowledgement of another register")
        << "dac" << QByteArray("2900") << int(SimController::FaultWrongRegister)
        << "acknowledges register 0000, not 1001" << QJsonValue(2900);
    QTest::newRow("module, mask not read") << "module_3" << QByteArray("ON") << int(SimController::FaultNoReply)
                                           << "reading the switch mask: time-out" << QJsonValue(QJsonValue::Undefined);
}

void TestBridge::failedCommandsSayWhy()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, payload);
    QFETCH(int, fault);
    QFETCH(QString, outcome);
    QFETCH(QJsonValue, value);
    SimController controller = rig.controller(QStringLiteral("a"), 7);
    controller.setFault(SimController::FaultKind(fault));
    QJsonObject result;
    const bool done = command(secondId, name, payload, &result);
    controller.clearFault();
    QVERIFY(done);
    QCOMPARE(result.value(QStringLiteral("ok")), QJsonValue(false));
    QCOMPARE(result.value(QStringLiteral("outcome")).toString(), outcome);
    QCOMPARE(result.value(QStringLiteral("value")), value);
    QCOMPARE(result.contains(QStringLiteral("modules")), false);
}

void TestBridge::badPayloadsChangeNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error");
    QTest::newRow("power over") << "power" << QByteArray("1200") << "power: 1200 is out of range 0..1000";
    QTest::newRow("power text") << "power" << QByteArray("bright") << "'bright' is not a whole number";
    QTest::newRow("millivolts over") << "power_mv" << QByteArray("5000") << "out of range 0..3200";
    QTest::newRow("dac under") << "dac" << QByteArray("100") << "out of range 2800..3980";
    QTest::newRow("switch 13") << "switch" << QByteArray("1,13") << "modules: 13 is out of range 1..12";
    QTest::newRow("module word") << "module_3" << QByteArray("dim") << "'dim' is neither on nor off";
    QTest::newRow("adc number") << "adc" << QByteArray("2") << "'2' is neither on nor off";
    QTest::newRow("config partial") << "config" << QByteArray(R"({"max_dac":3000})") << "modules_enabled";
    QTest::newRow("unknown") << "address" << QByteArray("5") << "unknown command 'address'";
    QTest::newRow("binary") << "power" << QByteArray("\x80\x81") << "not UTF-8";
    QTest::newRow("NUL inside") << "power" << QByteArray("12\0 ; 500", 8) << "NUL byte";
    QTest::newRow("config key twice") << "config"
                                      << QByteArray(R"({"modules_enabled":[1],"modules_low_power":[],"max_dac":3500,)"
                                                    R"("compensation_hours":1,"alarm_c":25,"max_dac":2900})")
                                      << "the key 'max_dac' is given twice";
    QTest::newRow("config unknown key") << "config"
                                        << QByteArray(R"({"modules_enabled":[1],"modules_low_power":[],"max_dac":3500,)"
                                                      R"("compensation_hours":1,"alarm_c":25,"reboot":true})")
                                        << "unknown key 'reboot'";
}

void TestBridge::badPayloadsChangeNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    SimController controller = rig.controller(QStringLiteral("a"), 1);
    controller.clearRequests();
    QList<quint16> before;
    for (quint16 reg : {RegLdEnableMask, RegLdSwitchMask, RegAdcEnable, RegPowerPermille, RegMaxPowerDac})
        before.append(controller.holdingRegister(reg));
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/") + name, payload));
    MqttProbe::Message refused;
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/error"), BridgeRig::WaitMs, &refused));
    QCOMPARE(refused.json().value(QStringLiteral("command")).toString(), name);
    QVERIFY2(refused.json().value(QStringLiteral("error")).toString().contains(error), refused.payload.constData());
    // The payload as it came, whole (a NUL byte escaped by JSON, not an end).
    QCOMPARE(refused.json().value(QStringLiteral("payload")).toString(),
        QString::fromUtf8(payload.constData(), payload.size()).trimmed());
    // Commands run in order: once a later one is done, a refused one cannot be waiting.
    QVERIFY(command(firstId, QStringLiteral("config"), "read"));
    QVERIFY(probe->messages(QStringLiteral("vortanix/a-1/result")).size() == 1);
    for (const QString &frame : requestsOf(controller))
        QVERIFY2(frame.mid(3, 3) == QLatin1String("03 "), qPrintable(frame)); // reads only, to either controller
    QList<quint16> after;
    for (quint16 reg : {RegLdEnableMask, RegLdSwitchMask, RegAdcEnable, RegPowerPermille, RegMaxPowerDac})
        after.append(controller.holdingRegister(reg));
    QCOMPARE(after, before);
}

// Commands that come faster than a slow controller takes them wait in a
// queue of 32; the rest are refused at once, each with its reason, and the
// ones taken are carried out in the order they came.
void TestBridge::aFullQueueRefusesTheRest()
{
    constexpr int sent = 40;
    constexpr int queued = 32;
    constexpr int firstValue = 100;
    SimController seven = rig.controller(QStringLiteral("a"), 7);
    seven.setFault(SimController::FaultDelay, 500); // every exchange with it takes a while
    probe->clear();
    for (int i = 0; i < sent; ++i)
        QVERIFY(probe->publish(QStringLiteral("vortanix/press/set/power"), QByteArray::number(firstValue + i)));
    const auto answer = [](const MqttProbe::Message &m) {
        return m.topic == QLatin1String("vortanix/press/result") || m.topic == QLatin1String("vortanix/press/error");
    };
    const bool answered = probe->waitForCount(sent, answer, 4 * BridgeRig::WaitMs);
    seven.clearFault();
    QVERIFY2(answered, qPrintable(rig.bridge().log()));

    QList<int> done;
    for (const MqttProbe::Message &m : probe->messages(QStringLiteral("vortanix/press/result"))) {
        QCOMPARE(m.json().value(QStringLiteral("ok")), QJsonValue(true));
        done << m.json().value(QStringLiteral("value")).toInt();
    }
    QList<int> refused;
    for (const MqttProbe::Message &m : probe->messages(QStringLiteral("vortanix/press/error"))) {
        QVERIFY2(m.json()
                     .value(QStringLiteral("error"))
                     .toString()
                     .startsWith(QLatin1String("the line is busy: 32 commands are waiting already")),
            m.payload.constData());
        refused << m.json().value(QStringLiteral("payload")).toString().toInt();
    }
    // At least the queue's 32 done, in the order sent; the rest refused. A
    // slot freed while the 40 were still coming (on a loaded machine the
    // publishing outlasts an exchange or two) takes a later one: every
    // value is either done or refused, never both, never lost.
    QVERIFY2(done.size() >= queued, qPrintable(QString::number(done.size())));
    QVERIFY2(!refused.isEmpty(), "nothing was refused");
    QVERIFY(std::is_sorted(done.begin(), done.end()));
    QList<int> all = done + refused;
    std::sort(all.begin(), all.end());
    QList<int> expected;
    for (int i = 0; i < sent; ++i)
        expected << firstValue + i;
    QCOMPARE(all, expected);
    QCOMPARE(int(seven.holdingRegister(RegPowerPermille)), done.last());
}

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
