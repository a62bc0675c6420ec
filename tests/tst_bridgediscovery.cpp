// Home Assistant discovery by vortanix-bridge on a real Mosquitto broker:
// the config messages of two virtual controllers parse and point at the
// bridge's topics, and their command topics act; a controller taken out of
// the configuration loses its entities; read-only mode announces no switch
// or number and subscribes to no command topic. Commands left retained on
// the broker are refused, and so are retained commands published while the
// bridge is subscribed (MQTT 5 keeps their flag). Two bridges that share a
// client id back off from each other and leave each other's entities alone.

#include "bridgerig.h"
#include "mqtt311gate.h"
#include "registers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QSet>
#include <QtTest>

class TestBridgeDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void discoveryPointsAtTheTopics();
    void removedControllerLosesItsEntities();
    void readOnlyTakesNoCommands();
    void retainedCommandWhileSubscribedIsRefused();
    void twoBridgesOfOneClientIdLeaveEachOtherBe();
    void brokerOfMqtt311IsSpokenTo();

private:
    BridgeRig rig;
    std::unique_ptr<MqttProbe> probe;
};

namespace {

const QString clientId = QStringLiteral("plant");
const QString firstId = QStringLiteral("a-1");
const QString secondId = QStringLiteral("press");

// Only reads went on the line (to any controller).
bool onlyReads(const SimController &controller)
{
    for (const SimController::Request &request : controller.requests()) {
        if (quint8(request.frame.at(1)) != FuncReadHoldingRegisters)
            return false;
    }
    return true;
}

} // namespace

void TestBridgeDiscovery::initTestCase()
{
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1, 7});
    rig.controller(QStringLiteral("a"), 1).setFirmwareVersion(0x010A);
    rig.controller(QStringLiteral("a"), 7).setFirmwareVersion(0x0203);
    probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(rig.mqttSection(clientId) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,7"), QStringLiteral("id.7=press")));
    QVERIFY(rig.bridge().start());
    for (const QString &id : {firstId, secondId})
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "online", BridgeRig::WaitMs));
}

void TestBridgeDiscovery::cleanupTestCase()
{
    if (rig.bridge().pid() > 0)
        QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeDiscovery::discoveryPointsAtTheTopics()
{
    auto discovery = rig.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(discovery);
    // Retained: the fresh subscription gets them all, 20 per controller.
    QVERIFY(discovery->waitForCount(40, BridgeRig::WaitMs));
    QHash<QString, QJsonObject> configs;
    for (const MqttProbe::Message &m : discovery->messages())
        configs.insert(m.topic, m.json());
    QCOMPARE(configs.size(), 40);
    QMap<QString, int> components;
    QSet<QString> uniqueIds;
    for (auto it = configs.cbegin(); it != configs.cend(); ++it) {
        const QStringList levels = it.key().split(QLatin1Char('/'));
        QCOMPARE(levels.size(), 5);
        QCOMPARE(levels.at(2), clientId);
        const QString objectId = levels.at(3);
        const QString id = objectId.startsWith(firstId + QLatin1Char('_')) ? firstId : secondId;
        const QString entity = objectId.mid(id.size() + 1);
        const QJsonObject &config = it.value();
        ++components[levels.at(1)];
        QCOMPARE(config.value(QStringLiteral("unique_id")).toString(), QStringLiteral("vortanix_") + objectId);
        uniqueIds.insert(config.value(QStringLiteral("unique_id")).toString());
        const QJsonObject device = config.value(QStringLiteral("device")).toObject();
        QCOMPARE(
            device.value(QStringLiteral("identifiers")).toArray().first().toString(), QStringLiteral("vortanix_") + id);
        QCOMPARE(device.value(QStringLiteral("sw_version")).toString(), id == firstId ? "1.10" : "2.3");
        const QString stateTopic = config.value(QStringLiteral("state_topic")).toString();
        QCOMPARE(stateTopic, QStringLiteral("vortanix/%1/%2").arg(id, entity == "link" ? "link" : "state"));
        QStringList availability;
        for (const QJsonValue &a : config.value(QStringLiteral("availability")).toArray())
            availability.append(a.toObject().value(QStringLiteral("topic")).toString());
        QStringList expected{QStringLiteral("vortanix/bridge/plant/availability")};
        if (entity != QLatin1String("link"))
            expected.append(QStringLiteral("vortanix/%1/availability").arg(id));
        QCOMPARE(availability, expected);
        if (levels.at(1) == QLatin1String("switch"))
            QCOMPARE(config.value(QStringLiteral("command_topic")).toString(),
                QStringLiteral("vortanix/%1/set/%2").arg(id, entity));
        if (levels.at(1) == QLatin1String("number"))
            QCOMPARE(config.value(QStringLiteral("command_topic")).toString(),
                QStringLiteral("vortanix/%1/set/power").arg(id));
    }
    QCOMPARE(uniqueIds.size(), 40);
    QCOMPARE(components, (QMap<QString, int>{{"sensor", 12}, {"number", 2}, {"switch", 26}}));

    // The number's and a switch's command topics, with the payloads they name, act.
    const QJsonObject number = configs.value(QStringLiteral("homeassistant/number/plant/press_power_setting/config"));
    probe->clear();
    QVERIFY(probe->publish(number.value(QStringLiteral("command_topic")).toString(), "321"));
    QVERIFY(rig.waitForState(*probe, secondId, [](const QJsonObject &s) { return s.value("power_permille") == 321; }));
    const QJsonObject module = configs.value(QStringLiteral("homeassistant/switch/plant/press_module_9/config"));
    QVERIFY(probe->publish(module.value(QStringLiteral("command_topic")).toString(),
        module.value(QStringLiteral("payload_on")).toString().toUtf8()));
    QVERIFY(rig.waitForState(
        *probe, secondId, [](const QJsonObject &s) { return s.value("modules_on").toArray().contains(9); }));
    QCOMPARE(module.value(QStringLiteral("value_template")).toString(),
        QStringLiteral("{{ 'ON' if 9 in value_json.modules_on else 'OFF' }}"));
}

void TestBridgeDiscovery::removedControllerLosesItsEntities()
{
    QCOMPARE(rig.bridge().terminate(), 0);
    // A command left retained on the broker must not act whenever the bridge subscribes.
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), "999", true));
    auto discovery = rig.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(discovery);
    QVERIFY(discovery->waitForCount(40, BridgeRig::WaitMs));
    discovery->clear();
    probe->clear();
    const quint16 power = rig.controller(QStringLiteral("a"), 1).holdingRegister(RegPowerPermille);

    rig.bridge().writeConfig(rig.mqttSection(clientId) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    // Every entity of the controller at 7 is cleared; none of the one at 1.
    QVERIFY(discovery->waitForCount(
        20, [](const MqttProbe::Message &m) { return m.payload.isEmpty(); }, BridgeRig::WaitMs));
    for (const MqttProbe::Message &m : discovery->messages())
        QVERIFY2(m.payload.isEmpty() == m.topic.contains(QLatin1String("/press_")), qPrintable(m.topic));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/error"), BridgeRig::WaitMs));
    QVERIFY(probe->messages(QStringLiteral("vortanix/a-1/error"))
                .first()
                .json()
                .value("error")
                .toString()
                .contains(QLatin1String("retained command")));
    QCOMPARE(rig.controller(QStringLiteral("a"), 1).holdingRegister(RegPowerPermille), power);
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), QByteArray(), true)); // clears it

    auto after = rig.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(after);
    QVERIFY(rig.waitForState(*probe, firstId));
    QVERIFY(after->waitForCount(20, BridgeRig::WaitMs));
    for (const MqttProbe::Message &m : after->messages())
        QVERIFY2(!m.topic.contains(QLatin1String("/press_")), qPrintable(m.topic));
}

void TestBridgeDiscovery::readOnlyTakesNoCommands()
{
    QCOMPARE(rig.bridge().terminate(), 0);
    auto discovery = rig.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(discovery);
    probe->clear();
    const int logFrom = rig.broker().output().size();
    rig.bridge().writeConfig(rig.mqttSection(clientId)
        + QStringLiteral("[bridge]\npoll_interval_ms=100\nread_only=true\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    // The switches and the number become binary sensors and nothing.
    QVERIFY(discovery->waitFor(
        QStringLiteral("homeassistant/switch/plant/a-1_module_1/config"), QByteArray(), BridgeRig::WaitMs));
    QVERIFY(discovery->waitFor(
        QStringLiteral("homeassistant/number/plant/a-1_power_setting/config"), QByteArray(), BridgeRig::WaitMs));
    MqttProbe::Message sensor;
    QVERIFY(discovery->waitFor(
        QStringLiteral("homeassistant/binary_sensor/plant/a-1_module_1/config"), BridgeRig::WaitMs, &sensor));
    QVERIFY(!sensor.json().contains(QStringLiteral("command_topic")));

    // The command topics are not even subscribed. The bridge subscribes as
    // soon as it is connected, before it publishes a state: once a state of
    // this connection is in, the broker has logged every subscription.
    QVERIFY(rig.waitForState(*probe, firstId));
    const QString log = rig.broker().output().mid(logFrom);
    QVERIFY2(log.contains(QLatin1String("homeassistant/+/plant/+/config")), qPrintable(log.right(2000)));
    QVERIFY2(!log.contains(QLatin1String("/set/")), qPrintable(log.right(2000)));

    SimController controller = rig.controller(QStringLiteral("a"), 1);
    const quint16 power = controller.holdingRegister(RegPowerPermille);
    controller.clearRequests();
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), QByteArray::number(power + 1)));
    QVERIFY(controller.waitForRequests(3, BridgeRig::WaitMs));
    QVERIFY(onlyReads(controller));
    QCOMPARE(controller.holdingRegister(RegPowerPermille), power);
    QVERIFY(probe->messages(QStringLiteral("vortanix/a-1/result")).isEmpty());
    QVERIFY(probe->messages(QStringLiteral("vortanix/a-1/error")).isEmpty());
}

void TestBridgeDiscovery::retainedCommandWhileSubscribedIsRefused()
{
    QCOMPARE(rig.bridge().terminate(), 0);
    probe->clear();
    rig.bridge().writeConfig(rig.mqttSection(clientId) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    QVERIFY(rig.bridge().waitForLog(
        QStringLiteral("connected to the broker at 127.0.0.1:%1 (MQTT 5)").arg(rig.broker().port())));
    // What the run before announced and this one does not (the read-only
    // run's binary sensors) goes once this session has held.
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("removed the Home Assistant entity of "), BridgeRig::WaitMs));
    // A state of this connection: the bridge subscribed before it published it,
    // so the command below comes while it is subscribed.
    QVERIFY(rig.waitForState(*probe, firstId));

    SimController controller = rig.controller(QStringLiteral("a"), 1);
    const quint16 power = controller.holdingRegister(RegPowerPermille);
    const QByteArray asked = QByteArray::number(power == 777 ? 778 : 777);
    controller.clearRequests();
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), asked, true));
    MqttProbe::Message refused;
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/error"), BridgeRig::WaitMs, &refused));
    QVERIFY2(refused.json().value(QStringLiteral("error")).toString().contains(QLatin1String("retained command")),
        refused.payload.constData());
    QCOMPARE(refused.json().value(QStringLiteral("payload")).toString(), QString::fromLatin1(asked));
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), QByteArray(), true)); // clears it
    // A later command is carried out: the refused one cannot be waiting.
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/config"), "read"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/result"), BridgeRig::WaitMs));
    QVERIFY(onlyReads(controller));
    QCOMPARE(controller.holdingRegister(RegPowerPermille), power);
}

// Two bridges with one client id take the session from each other at the
// broker. Each backs off instead of reconnecting at once,
// says why, and neither clears the entities the other announced.
void TestBridgeDiscovery::twoBridgesOfOneClientIdLeaveEachOtherBe()
{
    rig.addLine(QStringLiteral("b"), {3});
    auto discovery = rig.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(discovery);
    QVERIFY(discovery->waitForCount(20, BridgeRig::WaitMs)); // the running bridge's entities, retained
    discovery->clear();

    const int from = rig.bridge().log().size();
    const QString folder = rig.folder() + QStringLiteral("/second");
    QVERIFY(QDir().mkpath(folder));
    BridgeProcess second(folder);
    second.writeConfig(rig.mqttSection(clientId) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("b"), QStringLiteral("3"), QStringLiteral("id.3=other")));
    QVERIFY(second.start());
    QVERIFY(second.waitForLog(QStringLiteral("connected to the broker")));
    // Mosquitto 2.0.11 (Debian 12) closes the older connection without a
    // word, and a session that ends this soon is the sign; later ones (Debian
    // 13) say "session taken over". Either way the log names the cure.
    const QString takenOver = QStringLiteral("each bridge needs a client_id of its own");
    QVERIFY2(rig.bridge().waitForLog(takenOver, BridgeRig::WaitMs),
        qPrintable(rig.bridge().log().mid(from) + "\n--\n" + second.log()));

    // Each session that ends this soon doubles the back-off (0.5 s, 1 s, 2 s):
    // reconnecting at once, the two would take the session from each other
    // for ever (30 times in 15 s).
    QVERIFY2(rig.bridge().waitForLog(QStringLiteral("reconnecting in 2 s"), BridgeRig::WaitMs, from),
        qPrintable(rig.bridge().log().mid(from)));
    QVERIFY2(second.waitForLog(takenOver), qPrintable(second.log()));
    // Its session taken once, the second clears nothing in this run (the first
    // clears once a run at most, and its session was taken too).
    QVERIFY2(second.waitForLog(QStringLiteral("that this configuration does not announce are left alone in this run")),
        qPrintable(second.log()));
    QVERIFY(discovery->waitFor(QStringLiteral("homeassistant/sensor/plant/other_link/config"), BridgeRig::WaitMs));
    QCOMPARE(second.terminate(), 0);
    const QString log = rig.bridge().log().mid(from) + second.log();

    // Both announced theirs; nobody cleared anything.
    for (const MqttProbe::Message &m : discovery->messages())
        QVERIFY2(!m.payload.isEmpty(), qPrintable(m.topic));
    QVERIFY(!log.contains(QLatin1String("removed the Home Assistant entity")));
}

// A broker that refuses MQTT 5 is spoken to in MQTT 3.1.1, and the log says
// so (retained commands then act once: see the manual).
void TestBridgeDiscovery::brokerOfMqtt311IsSpokenTo()
{
    QCOMPARE(rig.bridge().terminate(), 0);
    Mqtt311Gate gate(rig.broker().port());
    QVERIFY(gate.port() > 0);
    probe->clear();
    rig.bridge().writeConfig(
        QStringLiteral("[mqtt]\nhost=127.0.0.1\nport=%1\nclient_id=%2\n").arg(gate.port()).arg(clientId)
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    QVERIFY2(rig.bridge().waitForLog(QStringLiteral("the broker does not speak MQTT 5: speaking MQTT 3.1.1")),
        qPrintable(rig.bridge().log()));
    QVERIFY(rig.bridge().waitForLog(
        QStringLiteral("connected to the broker at 127.0.0.1:%1 (MQTT 3.1.1)").arg(gate.port()), BridgeRig::WaitMs));
    QVERIFY(rig.waitForState(*probe, firstId));
    // Commands are taken through the 3.1.1 subscription.
    QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/config"), "read"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/result"), BridgeRig::WaitMs));
    QCOMPARE(gate.refused(), 1);
    QCOMPARE(rig.bridge().terminate(), 0); // while the gate still passes its goodbye on
}

QTEST_GUILESS_MAIN(TestBridgeDiscovery)
#include "tst_bridgediscovery.moc"
