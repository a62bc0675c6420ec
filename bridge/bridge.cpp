#include "bridge.h"

#include "discovery.h"
#include "linefacts.h"
#include "log.h"
#include "metricsserver.h"
#include "modbusgateway.h"
#include "mqttclient.h"
#include "registers.h"
#include "statusjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QByteArray online = QByteArrayLiteral("online");
const QByteArray offline = QByteArrayLiteral("offline");

QByteArray compact(const QJsonObject &json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

} // namespace

Bridge::Bridge(const BridgeConfig &config, bool trace, QObject *parent)
    : QObject(parent),
      config(config),
      trace(trace),
      topics(config.topicPrefix, config.discoveryPrefix, config.broker.clientId),
      metrics(config.lines)
{
    settling.setSingleShot(true);
    connect(&settling, &QTimer::timeout, this, &Bridge::clearStale);
    for (int line = 0; line < config.lines.size(); ++line) {
        const QList<ControllerConfig> &controllers = config.lines.at(line).controllers;
        for (int index = 0; index < controllers.size(); ++index) {
            Node node;
            node.config = controllers.at(index);
            node.line = line;
            node.index = index;
            nodeById.insert(node.config.id, int(nodes.size()));
            nodes.push_back(node);
            if (!config.discovery)
                continue;
            for (const Discovery::Message &message :
                Discovery::forController(topics, node.config.id, node.config.address, QString(), config.readOnly))
                announced.insert(message.topic);
        }
    }
}

Bridge::~Bridge()
{
    stop();
}

Bridge::StartResult Bridge::start(QString *error)
{
    // The address first: when it is taken, no port is held for nothing.
    if (config.metrics.enabled()) {
        metricsServer = std::make_unique<MetricsServer>(config.metrics.allow, [this] { return metrics.exposition(); });
        if (!metricsServer->listen(config.metrics.address, quint16(config.metrics.port), error))
            return ListenUnavailable;
        logLine(QStringLiteral("metrics at %1 for clients from %2")
                    .arg(config.metrics.url(metricsServer->port()), config.metrics.allow.text()));
    }
    int first = 0; // the line's first node
    for (const LineConfig &line : config.lines) {
        auto worker = std::make_unique<LineWorker>(line, config.pollIntervalMs, trace);
        connect(worker.get(), &LineWorker::polled, this,
            [this, first](int index, const PollResult &result) { onPolled(nodes[size_t(first + index)], result); });
        connect(worker.get(), &LineWorker::commandDone, this, [this, first](int index, const CommandResult &result) {
            onCommandDone(nodes[size_t(first + index)], result);
        });
        connect(worker.get(), &LineWorker::passedThrough, this,
            [this, first](int index, const QVector<Exchange> &exchanges) {
                if (!stopped)
                    metrics.exchanged(first + index, exchanges);
            });
        const QString name = line.name;
        const QString port = line.port;
        const int baud = line.baud;
        connect(worker.get(), &LineWorker::portChanged, this, [name, port, baud](bool open, const QString &text) {
            logLine(open ? QStringLiteral("line %1: %2 open at %3 baud").arg(name, port).arg(baud)
                         : QStringLiteral("line %1: %2; polling resumes when the port is back").arg(name, text));
        });
        QString text;
        const SerialLink::OpenError openError = worker->startAndOpen(&text);
        workers.push_back(std::move(worker));
        if (openError != SerialLink::NoError && openError != SerialLink::Missing) {
            *error = QStringLiteral("line %1: %2").arg(line.name, text);
            return PortUnavailable;
        }
        first += line.controllers.size();
    }
    if (config.modbusTcp.enabled() && !startGateway(error))
        return ListenUnavailable;
    if (config.mqtt && !startMqtt(error))
        return MqttUnavailable;
    return Started;
}

bool Bridge::startGateway(QString *error)
{
    QHash<int, ModbusGateway::Route> routes;
    for (auto it = config.modbusTcp.units.cbegin(); it != config.modbusTcp.units.cend(); ++it)
        routes.insert(it.key(), {workers.at(size_t(it.value().first)).get(), it.value().second});
    gateway = std::make_unique<ModbusGateway>(config.modbusTcp, config.readOnly);
    gateway->setRoutes(routes);
    if (!config.readOnly)
        metrics.enableCommandSource(BridgeMetrics::CommandSource::ModbusTcp);
    connect(gateway.get(), &ModbusGateway::requestServed, this, [this](int function, int exception, bool forwarded) {
        metrics.countModbusRequest(function, exception);
        if (function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters) {
            metrics.countCommand(BridgeMetrics::CommandSource::ModbusTcp,
                !forwarded           ? BridgeMetrics::CommandOutcome::Refused
                    : exception == 0 ? BridgeMetrics::CommandOutcome::Ok
                                     : BridgeMetrics::CommandOutcome::Failed);
        }
    });
    if (!gateway->start(error))
        return false;
    QStringList units;
    for (auto it = config.modbusTcp.units.cbegin(); it != config.modbusTcp.units.cend(); ++it) {
        units << QStringLiteral("%1 = %2").arg(it.key()).arg(
            config.lines.at(it.value().first).controllers.at(it.value().second).id);
    }
    logLine(QStringLiteral("Modbus TCP gateway listening on %1%2; units: %3")
                .arg(gateway->address(), config.readOnly ? QStringLiteral(" (read-only)") : QString(),
                    units.join(QStringLiteral(", "))));
    return true;
}

bool Bridge::startMqtt(QString *error)
{
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
    metrics.setMqttConnected(false);
    if (!config.readOnly)
        metrics.enableCommandSource(BridgeMetrics::CommandSource::Mqtt);
    connect(mqtt.get(), &MqttClient::connected, this, &Bridge::onConnected);
    connect(mqtt.get(), &MqttClient::messageReceived, this, &Bridge::onMessage);
    connect(mqtt.get(), &MqttClient::disconnected, this, &Bridge::onDisconnected);
    connect(mqtt.get(), &MqttClient::notice, this, [](const QString &text) { logLine(text); });
    connect(mqtt.get(), &MqttClient::connectFailed, this, [this](const QString &reason, int retryMs) {
        logLine(QStringLiteral("cannot connect to the broker at %1:%2: %3; trying again in %4 s")
                    .arg(config.broker.host)
                    .arg(config.broker.effectivePort())
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

void Bridge::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (mqtt)
        mqtt->publish(topic, payload, qos, retain);
}

bool Bridge::stop()
{
    stopped = true;
    metricsServer.reset();
    if (gateway)
        gateway->stop(); // before the lines: its clients wait for them
    for (const auto &worker : workers)
        worker->stop();
    workers.clear();
    gateway.reset();
    if (!mqtt)
        return true;
    if (mqtt->isConnected()) {
        for (const Node &node : nodes)
            mqtt->publish(topics.availability(node.config.id), offline, 1, true);
        mqtt->publish(topics.bridgeAvailability(), offline, 1, true);
    }
    const bool ended = mqtt->stop(3000);
    if (ended)
        mqtt.reset();
    else
        (void)mqtt.release(); // its thread still runs: see MqttClient::stop
    return ended;
}

void Bridge::onConnected()
{
    logLine(QStringLiteral("connected to the broker at %1:%2 (MQTT %3)")
                .arg(config.broker.host)
                .arg(config.broker.effectivePort())
                .arg(mqtt->speaksMqtt5() ? QStringLiteral("5") : QStringLiteral("3.1.1")));
    metrics.setMqttConnected(true);
    if (!cleared && !sharedId)
        settling.start(MqttClient::StableSessionMs);
    mqtt->publish(topics.bridgeAvailability(), online, 1, true);
    // Also without discovery: then whatever this bridge announced before is cleared.
    mqtt->subscribe(topics.discoveryFilter(), 1);
    for (const Node &node : nodes) {
        if (config.discovery)
            announce(node);
        if (!config.readOnly)
            mqtt->subscribe(topics.commandFilter(node.config.id), 1);
        publishAvailability(node);
        if (!node.link.isEmpty())
            mqtt->publish(topics.link(node.config.id), node.link.toUtf8(), 1, true);
        if (!node.state.isEmpty())
            mqtt->publish(topics.state(node.config.id), node.state, 0, true);
    }
}

void Bridge::announce(const Node &node)
{
    for (const Discovery::Message &message :
        Discovery::forController(topics, node.config.id, node.config.address, node.firmware, config.readOnly))
        publish(message.topic, message.payload, 1, true);
}

void Bridge::publishAvailability(const Node &node)
{
    if (node.availability != Node::Unknown)
        publish(topics.availability(node.config.id), node.availability == Node::Online ? online : offline, 1, true);
}

void Bridge::onMessage(const QString &topic, const QByteArray &payload, bool retained)
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
    if (!config.readOnly && topics.parseCommand(topic, &id, &name))
        onCommand(id, name, payload, retained);
}

void Bridge::onDisconnected(const QString &reason, qint64 lastedMs, bool takenOver, int retryMs)
{
    metrics.setMqttConnected(false);
    settling.stop();
    stale.clear();
    const QString retry = QStringLiteral("reconnecting in %1 s").arg(retryMs / 1000.0);
    const QString id = config.broker.clientId;
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
    if (!sharedId && !cleared && config.discovery)
        logLine(QStringLiteral("Home Assistant entities under client id %1 that this configuration does not "
                               "announce are left alone in this run: another bridge may have published them")
                    .arg(id));
    sharedId = true;
}

void Bridge::clearStale()
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

void Bridge::onCommand(const QString &id, const QString &name, const QByteArray &payload, bool retained)
{
    const auto found = nodeById.constFind(id);
    if (found == nodeById.constEnd())
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
    const Node &node = nodes[size_t(*found)];
    if (!workers.at(size_t(node.line))->enqueue(node.index, command)) {
        refuse(id, name, text,
            QStringLiteral("the line is busy: %1 commands are waiting already; try again")
                .arg(LineWorker::MaxQueuedCommands));
    }
}

void Bridge::refuse(const QString &id, const QString &name, const QString &payload, const QString &why)
{
    QJsonObject json;
    json.insert(QStringLiteral("time"), StatusJson::timeText(QDateTime::currentDateTime()));
    json.insert(QStringLiteral("command"), name);
    json.insert(QStringLiteral("payload"), payload);
    json.insert(QStringLiteral("error"), why);
    metrics.countCommand(BridgeMetrics::CommandSource::Mqtt, BridgeMetrics::CommandOutcome::Refused);
    publish(topics.error(id), compact(json), 1, false);
    logLine(QStringLiteral("%1: refused set/%2: %3").arg(id, name, why));
}

void Bridge::onPolled(Node &node, const PollResult &result)
{
    if (stopped)
        return;
    const QString &id = node.config.id;
    if (result.ok) {
        node.failures = 0;
        node.state = compact(StatusJson::toJson(result.status, result.time));
        publish(topics.state(id), node.state, 0, true);
        const QString firmware = StatusJson::firmware(result.status.firmwareVersion());
        if (firmware != node.firmware) {
            node.firmware = firmware;
            if (config.discovery && mqtt)
                announce(node);
        }
        if (node.availability != Node::Online) {
            node.availability = Node::Online;
            publishAvailability(node);
            logLine(
                QStringLiteral("%1 (address %2): online, firmware %3").arg(id).arg(node.config.address).arg(firmware));
        }
    } else if (++node.failures >= LineFacts::FailuresForOffline && node.availability != Node::Offline) {
        node.availability = Node::Offline;
        publishAvailability(node);
        logLine(QStringLiteral("%1 (address %2): offline after %3 failed polls (%4)")
                    .arg(id)
                    .arg(node.config.address)
                    .arg(node.failures)
                    .arg(result.outcome));
    }
    if (result.outcome != node.link) {
        node.link = result.outcome;
        publish(topics.link(id), node.link.toUtf8(), 1, true);
    }
    metrics.polled(indexOf(node), result, node.availability == Node::Online);
}

void Bridge::onCommandDone(Node &node, const CommandResult &result)
{
    if (stopped)
        return;
    metrics.exchanged(indexOf(node), result.exchanges);
    metrics.countCommand(BridgeMetrics::CommandSource::Mqtt,
        result.ok ? BridgeMetrics::CommandOutcome::Ok : BridgeMetrics::CommandOutcome::Failed);
    const Command &command = result.command;
    QJsonObject json;
    json.insert(QStringLiteral("time"), StatusJson::timeText(QDateTime::currentDateTime()));
    json.insert(QStringLiteral("command"), command.name);
    json.insert(QStringLiteral("payload"), command.payload);
    json.insert(QStringLiteral("ok"), result.ok);
    json.insert(QStringLiteral("outcome"), result.outcome);
    if (result.sent) { // a failed read of the switch mask wrote nothing: no value to tell
        json.insert(QStringLiteral("value"), int(result.written));
        if (command.reg == RegLdSwitchMask || command.reg == RegLdEnableMask || command.kind == Command::SwitchModule)
            json.insert(QStringLiteral("modules"), StatusJson::moduleArray(result.written));
    }
    if (command.kind == Command::ReadConfig && result.ok) {
        json.insert(QStringLiteral("config"), result.config);
        publish(topics.config(node.config.id), compact(result.config), 1, true);
    }
    publish(topics.result(node.config.id), compact(json), 1, false);
    logLine(QStringLiteral("%1: set/%2 %3: %4").arg(node.config.id, command.name, command.payload, result.outcome));
}
