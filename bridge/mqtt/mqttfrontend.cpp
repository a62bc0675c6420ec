#include "mqttfrontend.h"

#include "command.h"
#include "configblock.h"
#include "configjson.h"
#include "discovery.h"
#include "exposition.h"
#include "linehub.h"
#include "log.h"
#include "mqttclient.h"
#include "registers.h"
#include "statusjson.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QByteArray online = QByteArrayLiteral("online");
const QByteArray offline = QByteArrayLiteral("offline");

QByteArray compact(const QJsonObject &json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

// The hub's request for a command; a configuration read always goes on the line.
HubRequest requestFor(const Command &command)
{
    switch (command.kind) {
    case Command::WriteRegister:
        return HubRequest::write(Source::Mqtt, command.reg, command.value);
    case Command::SwitchModule:
        return HubRequest::switchModule(Source::Mqtt, command.module, command.on);
    case Command::ReadConfig: {
        HubRequest request = HubRequest::read(Source::Mqtt, ConfigBlockFirst, ConfigBlockCount);
        request.maxAgeMs = 0;
        return request;
    }
    case Command::WriteConfig: {
        const auto words = command.block.toWords();
        return HubRequest::writeBlock(Source::Mqtt, ConfigBlockFirst, QVector<quint16>(words.begin(), words.end()));
    }
    }
    return HubRequest();
}

} // namespace

MqttFrontEnd::MqttFrontEnd(LineHub &hub, QObject *parent)
    : FrontEnd(hub, parent),
      topics(hub.config().topicPrefix, hub.config().discoveryPrefix, hub.config().broker.clientId)
{
    settling.setSingleShot(true);
    connect(&settling, &QTimer::timeout, this, &MqttFrontEnd::clearStale);
    takeAnnounced();
    connect(&hub, &LineHub::controllerPolled, this, &MqttFrontEnd::onPolled);
    connect(&hub, &LineHub::availabilityChanged, this, &MqttFrontEnd::publishAvailability);
    connect(&hub, &LineHub::reconfigured, this, &MqttFrontEnd::onReconfigured);
}

void MqttFrontEnd::takeAnnounced()
{
    const BridgeConfig &config = hub.config();
    announced.clear();
    ids.clear();
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerConfig &controller = hub.controller(index).config;
        ids << controller.id;
        if (!config.discovery)
            continue;
        for (const Discovery::Message &message :
            Discovery::forController(topics, controller.id, controller.address, QString(), config.readOnly))
            announced.insert(message.topic);
    }
}

void MqttFrontEnd::onReconfigured()
{
    const QStringList before = ids;
    takeAnnounced();
    const bool connected = mqtt && mqtt->isConnected();
    for (const QString &id : before) {
        if (ids.contains(id))
            continue;
        // Gone from the configuration: its entities leave Home Assistant, its topics say it is offline.
        announcedFirmware.remove(id);
        publishedLink.remove(id);
        if (!connected)
            continue;
        for (bool readOnly : {false, true}) { // as it was announced in either mode
            for (const Discovery::Message &message : Discovery::forController(topics, id, 0, QString(), readOnly))
                mqtt->publish(message.topic, QByteArray(), 1, true);
        }
        mqtt->publish(topics.availability(id), offline, 1, true);
        logLine(QStringLiteral("%1: removed from the configuration; its Home Assistant entities are cleared").arg(id));
    }
    for (int index = 0; index < hub.controllerCount() && connected; ++index) {
        const QString &id = hub.controller(index).config.id;
        if (before.contains(id))
            continue;
        if (hub.config().discovery)
            announce(index);
        if (!hub.config().readOnly)
            mqtt->subscribe(topics.commandFilter(id), 1);
    }
}

MqttFrontEnd::~MqttFrontEnd()
{
    stop();
}

bool MqttFrontEnd::start(QString *error)
{
    const BridgeConfig &config = hub.config();
    MqttClient::Settings settings;
    settings.host = config.broker.host;
    settings.port = config.broker.effectivePort();
    settings.clientId = config.broker.clientId;
    settings.username = config.broker.username;
    settings.password = config.password;
    settings.caFile = config.broker.caFile;
    settings.certFile = config.broker.certFile;
    settings.keyFile = config.broker.keyFile;
    settings.willTopic = topics.bridgeAvailability();
    settings.willPayload = offline;
    mqtt = std::make_unique<MqttClient>(settings);
    if (!config.readOnly)
        hub.enableSource(Source::Mqtt);
    connect(mqtt.get(), &MqttClient::connected, this, &MqttFrontEnd::onConnected);
    connect(mqtt.get(), &MqttClient::messageReceived, this, &MqttFrontEnd::onMessage);
    connect(mqtt.get(), &MqttClient::disconnected, this, &MqttFrontEnd::onDisconnected);
    connect(mqtt.get(), &MqttClient::notice, this, [](const QString &text) { logLine(text); });
    connect(mqtt.get(), &MqttClient::connectFailed, this, [this](const QString &reason, int retryMs) {
        logLine(QStringLiteral("cannot connect to the broker at %1:%2: %3; trying again in %4 s")
                    .arg(hub.config().broker.host)
                    .arg(hub.config().broker.effectivePort())
                    .arg(reason)
                    .arg(retryMs / 1000.0));
    });
    if (!mqtt->start(error))
        return false;
    logLine(QStringLiteral("connecting to the broker at %1:%2%3 as %4")
                .arg(config.broker.host)
                .arg(config.broker.effectivePort())
                .arg(config.broker.tls() ? QStringLiteral(" (TLS)") : QString())
                .arg(config.broker.clientId));
    return true;
}

bool MqttFrontEnd::stop()
{
    if (!mqtt)
        return true;
    if (mqtt->isConnected()) {
        for (int index = 0; index < hub.controllerCount(); ++index)
            mqtt->publish(topics.availability(hub.controller(index).config.id), offline, 1, true);
        mqtt->publish(topics.bridgeAvailability(), offline, 1, true);
    }
    const bool ended = mqtt->stop(3000);
    if (ended)
        mqtt.reset();
    else
        (void)mqtt.release(); // its thread still runs: see MqttClient::stop
    return ended;
}

void MqttFrontEnd::writeMetrics(Exposition &out) const
{
    out.family("vortanix_mqtt_connected", Exposition::Gauge, "1 while the bridge is connected to the MQTT broker.");
    out.sample("vortanix_mqtt_connected", QByteArray(), quint64(connectedNow ? 1 : 0));
    out.family(
        "vortanix_mqtt_reconnects_total", Exposition::Counter, "Connections to the MQTT broker after the first one.");
    out.sample("vortanix_mqtt_reconnects_total", QByteArray(), connections > 0 ? connections - 1 : 0);
}

void MqttFrontEnd::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (mqtt)
        mqtt->publish(topic, payload, qos, retain);
}

QByteArray MqttFrontEnd::state(int index) const
{
    // The reading, and how old it is as it goes out (a state published again
    // after a reconnection is that reading, not a new one).
    const ControllerState &controller = hub.controller(index);
    QJsonObject json = StatusJson::toJson(controller.status, controller.statusTime);
    json.insert(QStringLiteral("age_ms"), double(hub.nowMs() - controller.statusAtMs));
    return compact(json);
}

void MqttFrontEnd::onConnected()
{
    const BridgeConfig &config = hub.config();
    logLine(QStringLiteral("connected to the broker at %1:%2 (MQTT %3)")
                .arg(config.broker.host)
                .arg(config.broker.effectivePort())
                .arg(mqtt->speaksMqtt5() ? QStringLiteral("5") : QStringLiteral("3.1.1")));
    connectedNow = true;
    ++connections;
    if (!cleared && !sharedId)
        settling.start(MqttClient::StableSessionMs);
    mqtt->publish(topics.bridgeAvailability(), online, 1, true);
    // Also without discovery: then whatever this bridge announced before is cleared.
    mqtt->subscribe(topics.discoveryFilter(), 1);
    for (int index = 0; index < hub.controllerCount(); ++index) {
        const ControllerState &controller = hub.controller(index);
        if (config.discovery)
            announce(index);
        if (!config.readOnly)
            mqtt->subscribe(topics.commandFilter(controller.config.id), 1);
        publishAvailability(index);
        if (!controller.link.isEmpty()) {
            mqtt->publish(topics.link(controller.config.id), controller.link.toUtf8(), 1, true);
            publishedLink[controller.config.id] = controller.link;
        }
        if (controller.haveStatus)
            mqtt->publish(topics.state(controller.config.id), state(index), 0, true);
    }
}

void MqttFrontEnd::announce(int index)
{
    const ControllerState &controller = hub.controller(index);
    announcedFirmware[controller.config.id] = controller.firmware;
    for (const Discovery::Message &message : Discovery::forController(
             topics, controller.config.id, controller.config.address, controller.firmware, hub.config().readOnly))
        publish(message.topic, message.payload, 1, true);
}

void MqttFrontEnd::publishAvailability(int index)
{
    const ControllerState &controller = hub.controller(index);
    if (controller.availability != ControllerState::Availability::Unknown)
        publish(topics.availability(controller.config.id), controller.online() ? online : offline, 1, true);
}

void MqttFrontEnd::onPolled(int index)
{
    const ControllerState &controller = hub.controller(index);
    const QString &id = controller.config.id;
    if (controller.failures == 0) {
        // A good poll: its state, and its discovery again when the firmware changed.
        publish(topics.state(id), state(index), 0, true);
        if (controller.firmware != announcedFirmware.value(id) && hub.config().discovery && mqtt)
            announce(index);
    }
    if (controller.link != publishedLink.value(id)) {
        publishedLink[id] = controller.link;
        publish(topics.link(id), controller.link.toUtf8(), 1, true);
    }
}

void MqttFrontEnd::onMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topics.isDiscovery(topic)) {
        // Cleared once the session has held (see clearStale()); until then only noted.
        if (payload.isEmpty() || announced.contains(topic))
            stale.remove(topic);
        else if (!cleared && !sharedId)
            stale.insert(topic);
        return;
    }
    QString id;
    QString name;
    if (!hub.config().readOnly && topics.parseCommand(topic, &id, &name))
        onCommand(id, name, payload, retained);
}

void MqttFrontEnd::onDisconnected(const QString &reason, qint64 lastedMs, bool takenOver, int retryMs)
{
    connectedNow = false;
    settling.stop();
    stale.clear();
    const QString retry = QStringLiteral("reconnecting in %1 s").arg(retryMs / 1000.0);
    const QString id = hub.config().broker.clientId;
    if (takenOver) {
        logLine(QStringLiteral("connection to the broker lost: another client connected with this bridge's client id "
                               "%1 and the broker gave it the session (%2); each bridge needs a client_id of its "
                               "own; %3")
                    .arg(id, reason, retry));
    } else if (lastedMs < MqttClient::StableSessionMs) {
        logLine(QStringLiteral("connection to the broker lost after %1 s (%2); if this repeats, another client with "
                               "the client id %3 may be connected (each bridge needs a client_id of its own); %4")
                    .arg(lastedMs / 1000.0, 0, 'f', 1)
                    .arg(reason, id, retry));
    } else {
        logLine(QStringLiteral("connection to the broker lost (%1); %2").arg(reason, retry));
        return;
    }
    if (!sharedId && !cleared && hub.config().discovery)
        logLine(QStringLiteral("Home Assistant entities under client id %1 that this configuration does not "
                               "announce are left alone in this run: another bridge may have published them")
                    .arg(id));
    sharedId = true;
}

void MqttFrontEnd::clearStale()
{
    if (!mqtt || !mqtt->isConnected() || sharedId)
        return;
    for (const QString &topic : qAsConst(stale)) {
        mqtt->publish(topic, QByteArray(), 1, true);
        logLine(QStringLiteral("removed the Home Assistant entity of %1").arg(topic));
    }
    stale.clear();
    cleared = true;
}

void MqttFrontEnd::onCommand(const QString &id, const QString &name, const QByteArray &payload, bool retained)
{
    const int index = hub.find(id);
    if (index < 0)
        return;
    // All of it: QString::fromUtf8(QByteArray) would end the text at a NUL byte.
    const QString text = QString::fromUtf8(payload.constData(), payload.size()).trimmed();
    if (retained) {
        refuse(
            id, name, text, QStringLiteral("a retained command is not carried out: publish commands without retain"));
        return;
    }
    Command command;
    QString why;
    if (!Command::parse(name, payload, &command, &why)) {
        refuse(id, name, text, why);
        return;
    }
    const bool queued = hub.submit(index, requestFor(command),
        [this, index, command](const HubResult &result) { onDone(index, command, result); });
    if (!queued) {
        refuse(id, name, text,
            QStringLiteral("the line is busy: %1 commands are waiting already; try again")
                .arg(sourceRow(Source::Mqtt).queueLimit));
    }
}

void MqttFrontEnd::refuse(const QString &id, const QString &name, const QString &payload, const QString &why)
{
    QJsonObject json;
    json.insert(QStringLiteral("time"), StatusJson::timeText(QDateTime::currentDateTime()));
    json.insert(QStringLiteral("command"), name);
    json.insert(QStringLiteral("payload"), payload);
    json.insert(QStringLiteral("error"), why);
    hub.countRefused(Source::Mqtt);
    publish(topics.error(id), compact(json), 1, false);
    logLine(QStringLiteral("%1: refused set/%2: %3").arg(id, name, why));
}

void MqttFrontEnd::onDone(int index, const Command &command, const HubResult &result)
{
    const QString &id = hub.controller(index).config.id;
    QJsonObject json;
    json.insert(QStringLiteral("time"), StatusJson::timeText(QDateTime::currentDateTime()));
    json.insert(QStringLiteral("command"), command.name);
    json.insert(QStringLiteral("payload"), command.payload);
    json.insert(QStringLiteral("ok"), result.ok());
    json.insert(QStringLiteral("outcome"), result.text);
    // A value is told for a register write that went out (a failed read of the switch mask wrote nothing).
    const bool oneRegister = command.kind == Command::WriteRegister || command.kind == Command::SwitchModule;
    if (oneRegister && result.sent) {
        json.insert(QStringLiteral("value"), int(result.written));
        if (command.reg == RegLdSwitchMask || command.reg == RegLdEnableMask || command.kind == Command::SwitchModule)
            json.insert(QStringLiteral("modules"), StatusJson::moduleArray(result.written));
    }
    if (command.kind == Command::ReadConfig && result.ok()) {
        std::array<quint16, ConfigBlockCount> words{};
        std::copy(result.words.begin(), result.words.begin() + ConfigBlockCount, words.begin());
        const QJsonObject config = ConfigJson::toJson(ConfigBlock::fromWords(words));
        json.insert(QStringLiteral("config"), config);
        publish(topics.config(id), compact(config), 1, true);
    }
    publish(topics.result(id), compact(json), 1, false);
    logLine(QStringLiteral("%1: set/%2 %3: %4").arg(id, command.name, command.payload, result.text));
}
