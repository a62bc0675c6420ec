#include "bridgemetrics.h"

#include "exposition.h"
#include "registers.h"

#include <algorithm>
#include <functional>

namespace {

constexpr int moduleCount = 12;

const char *const sourceLabels[] = {"mqtt", "modbus_tcp"};
const char *const sensorStates[] = {"ok", "open", "short"};
const char *const commandOutcomeLabels[] = {"ok", "failed", "refused"};

QString hexCode(int code)
{
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

BridgeMetrics::BridgeMetrics(const QList<LineConfig> &lineConfigs)
{
    for (int line = 0; line < lineConfigs.size(); ++line) {
        const LineConfig &config = lineConfigs.at(line);
        LineStats stats;
        stats.labels = Exposition::labels({{"line", config.name}});
        lines.push_back(stats);
        for (const ControllerConfig &controller : config.controllers) {
            Node node;
            node.line = line;
            node.labels = Exposition::labels(
                {{"line", config.name}, {"address", QString::number(controller.address)}, {"id", controller.id}});
            for (int module = 1; module <= moduleCount; ++module)
                node.moduleLabels.at(size_t(module - 1))
                    = Exposition::withLabel(node.labels, "module", QString::number(module));
            for (size_t kind = 0; kind < node.outcomeLabels.size(); ++kind)
                node.outcomeLabels.at(kind) = Exposition::withLabel(
                    node.labels, "outcome", QString::fromLatin1(Outcome::row(Outcome::Kind(kind)).label));
            for (size_t state = 0; state < node.sensorLabels.size(); ++state)
                node.sensorLabels.at(state)
                    = Exposition::withLabel(node.labels, "state", QString::fromLatin1(sensorStates[state]));
            nodes.push_back(node);
        }
    }
}

void BridgeMetrics::polled(int index, const PollResult &result, bool online)
{
    Node &node = nodes.at(size_t(index));
    node.online = online;
    if (result.ok) {
        node.haveStatus = true;
        node.status = result.status;
        node.lastGoodPoll = double(result.time.toMSecsSinceEpoch()) / 1000.0;
    }
    exchanged(index, result.exchanges);
}

void BridgeMetrics::exchanged(int index, const QVector<Exchange> &exchanges)
{
    Node &node = nodes.at(size_t(index));
    LineStats &line = lines.at(size_t(node.line));
    for (const Exchange &exchange : exchanges) {
        ++node.outcomes.at(size_t(exchange.kind));
        if (exchange.kind == Outcome::Exception)
            ++node.exceptions[exchange.exceptionCode];
        const double seconds = double(exchange.elapsedNs) / 1e9;
        const auto bucket = std::lower_bound(DurationBuckets.begin(), DurationBuckets.end(), seconds);
        if (bucket != DurationBuckets.end())
            ++line.buckets.at(size_t(bucket - DurationBuckets.begin()));
        ++line.count;
        line.sumSeconds += seconds;
    }
}

void BridgeMetrics::enableCommandSource(CommandSource source)
{
    commandSources.at(size_t(source)) = true;
}

void BridgeMetrics::countCommand(CommandSource source, CommandOutcome outcome)
{
    enableCommandSource(source);
    ++commands.at(size_t(source)).at(size_t(outcome));
}

void BridgeMetrics::countModbusRequest(int function, int exception)
{
    ++modbusRequests[qMakePair(function, exception)];
}

void BridgeMetrics::setMqttConnected(bool connected)
{
    mqttEnabled = true;
    if (connected && !mqttConnected)
        ++mqttConnections;
    mqttConnected = connected;
}

QByteArray BridgeMetrics::exposition() const
{
    Exposition out;
    out.reserve(lastSize + lastSize / 8);
    writeReadings(out);
    writeCounters(out);
    lastSize = out.text().size();
    return out.take();
}

void BridgeMetrics::writeReadings(Exposition &out) const
{
    out.family("vortanix_controller_online", Exposition::Gauge,
        "1 while the controller answers its polls; 0 after 5 failed polls in a row, or before its first answer.");
    for (const Node &node : nodes)
        out.sample("vortanix_controller_online", node.labels, quint64(node.online ? 1 : 0));

    out.family("vortanix_last_good_poll_timestamp_seconds", Exposition::Gauge,
        "When the controller last answered a poll, in seconds since 1970 (UTC).");
    for (const Node &node : nodes) {
        if (node.haveStatus)
            out.sample("vortanix_last_good_poll_timestamp_seconds", node.labels, node.lastGoodPoll);
    }

    // The readings of controllers that are online; the order of the families is fixed.
    std::vector<const Node *> live;
    for (const Node &node : nodes) {
        if (node.online && node.haveStatus)
            live.push_back(&node);
    }
    const auto each = [&live](const std::function<void(const Node &)> &write) {
        for (const Node *node : live)
            write(*node);
    };
    out.family("vortanix_controller_info", Exposition::Gauge, "The controller's firmware version, as a label.");
    each([&out](const Node &n) {
        out.sample("vortanix_controller_info",
            Exposition::withLabel(n.labels, "firmware",
                QStringLiteral("%1.%2").arg(n.status.firmwareVersion() >> 8).arg(n.status.firmwareVersion() & 0xFF)),
            quint64(1));
    });
    out.family("vortanix_temperature_celsius", Exposition::Gauge,
        "Light-source temperature in degrees Celsius; absent while the sensor is open or shorted.");
    each([&out](const Node &n) {
        const qint16 t = n.status.ldTemperature();
        if (t != TemperatureOpenCircuit && t != TemperatureShortCircuit)
            out.sample("vortanix_temperature_celsius", n.labels, t / 10.0);
    });
    out.family("vortanix_temperature_sensor_state", Exposition::Gauge,
        "The temperature sensor: 1 for the state it is in (ok, open or short), 0 for the others.");
    each([&out](const Node &n) {
        const qint16 t = n.status.ldTemperature();
        const size_t state = t == TemperatureOpenCircuit ? 1 : t == TemperatureShortCircuit ? 2 : 0;
        for (size_t s = 0; s < n.sensorLabels.size(); ++s)
            out.sample("vortanix_temperature_sensor_state", n.sensorLabels.at(s), quint64(s == state ? 1 : 0));
    });
    out.family("vortanix_power_permille", Exposition::Gauge, "Output power setting in per mille (0 to 1000).");
    each([&out](const Node &n) { out.sample("vortanix_power_permille", n.labels, quint64(n.status.powerPermille())); });
    out.family("vortanix_supply_volts", Exposition::Gauge, "Supply voltage in volts.");
    each(
        [&out](const Node &n) { out.sample("vortanix_supply_volts", n.labels, n.status.supplyMillivolts() / 1000.0); });
    out.family("vortanix_running_time_seconds", Exposition::Gauge,
        "The light source's running time as the controller counts it, in seconds.");
    each([&out](
             const Node &n) { out.sample("vortanix_running_time_seconds", n.labels, quint64(n.status.runSeconds())); });
    out.family("vortanix_analog_input_enabled", Exposition::Gauge,
        "1 while the external analog (ADC) power input is enabled, else 0.");
    each([&out](const Node &n) {
        out.sample("vortanix_analog_input_enabled", n.labels, quint64((n.status.adcEnable() & 0xFF) == 1 ? 1 : 0));
    });
    out.family("vortanix_modules_on", Exposition::Gauge, "How many of the twelve laser-diode modules are switched on.");
    each([&out](const Node &n) {
        out.sample(
            "vortanix_modules_on", n.labels, quint64(qPopulationCount(quint16(n.status.ldSwitchMask() & 0xFFF))));
    });
    const auto modules = [&each, &out](const char *name, quint16 maskRegister) {
        each([&out, name, maskRegister](const Node &n) {
            for (int module = 1; module <= moduleCount; ++module)
                out.sample(name, n.moduleLabels.at(size_t(module - 1)),
                    quint64((n.status.word(maskRegister) >> (module - 1)) & 1));
        });
    };
    out.family("vortanix_module_on", Exposition::Gauge, "1 while the module (1 to 12) is switched on, else 0.");
    modules("vortanix_module_on", RegLdSwitchMask);
    out.family("vortanix_module_enabled", Exposition::Gauge, "1 while the module (1 to 12) is enabled, else 0.");
    modules("vortanix_module_enabled", RegLdEnableMask);
}

void BridgeMetrics::writeCounters(Exposition &out) const
{
    static const QByteArray exchangesHelp = [] {
        QByteArrayList labels;
        for (int kind = 0; kind < Outcome::KindCount; ++kind) {
            if (kind != Outcome::Sent) // a broadcast is never a request to one controller
                labels << Outcome::row(Outcome::Kind(kind)).label;
        }
        return "Requests to the controller (polls and commands) by outcome: " + labels.join(", ") + '.';
    }();
    out.family("vortanix_exchanges_total", Exposition::Counter, exchangesHelp.constData());
    for (const Node &node : nodes) {
        for (size_t kind = 0; kind < node.outcomes.size(); ++kind) {
            if (kind != Outcome::Sent)
                out.sample("vortanix_exchanges_total", node.outcomeLabels.at(kind), node.outcomes.at(kind));
        }
    }
    out.family("vortanix_exchange_exceptions_total", Exposition::Counter,
        "Requests the controller refused with a Modbus exception, by exception code (hex).");
    for (const Node &node : nodes) {
        for (auto it = node.exceptions.cbegin(); it != node.exceptions.cend(); ++it)
            out.sample("vortanix_exchange_exceptions_total",
                Exposition::withLabel(node.labels, "code", hexCode(it.key())), it.value());
    }
    out.family("vortanix_exchange_duration_seconds", Exposition::Histogram,
        "How long a request took on the line, from sending it to the end of the reply or the time-out, in seconds.");
    for (const LineStats &line : lines) {
        quint64 cumulative = 0;
        for (size_t i = 0; i < DurationBuckets.size(); ++i) {
            cumulative += line.buckets.at(i);
            out.sample("vortanix_exchange_duration_seconds_bucket",
                Exposition::withLabel(
                    line.labels, "le", QString::fromLatin1(Exposition::number(DurationBuckets.at(i)))),
                cumulative);
        }
        out.sample("vortanix_exchange_duration_seconds_bucket",
            Exposition::withLabel(line.labels, "le", QStringLiteral("+Inf")), line.count);
        out.sample("vortanix_exchange_duration_seconds_sum", line.labels, line.sumSeconds);
        out.sample("vortanix_exchange_duration_seconds_count", line.labels, line.count);
    }

    if (commandSources.at(0) || commandSources.at(1)) {
        out.family("vortanix_commands_total", Exposition::Counter,
            "Commands by source (mqtt, modbus_tcp) and result: ok, failed (the controller did not take it) or "
            "refused (not sent: a bad payload, a retained message, a full queue).");
        for (size_t source = 0; source < commandSources.size(); ++source) {
            for (size_t result = 0; commandSources.at(source) && result < 3; ++result)
                out.sample("vortanix_commands_total",
                    Exposition::labels({{"source", QString::fromLatin1(sourceLabels[source])},
                        {"result", QString::fromLatin1(commandOutcomeLabels[result])}}),
                    commands.at(source).at(result));
        }
    }
    if (mqttEnabled) {
        out.family("vortanix_mqtt_connected", Exposition::Gauge, "1 while the bridge is connected to the MQTT broker.");
        out.sample("vortanix_mqtt_connected", QByteArray(), quint64(mqttConnected ? 1 : 0));
        out.family("vortanix_mqtt_reconnects_total", Exposition::Counter,
            "Connections to the MQTT broker after the first one.");
        out.sample("vortanix_mqtt_reconnects_total", QByteArray(), mqttConnections > 0 ? mqttConnections - 1 : 0);
    }
    if (!modbusRequests.isEmpty()) {
        out.family("vortanix_modbus_tcp_requests_total", Exposition::Counter,
            "Requests to the Modbus TCP gateway by function code and the exception code answered (none: no "
            "exception).");
        for (auto it = modbusRequests.cbegin(); it != modbusRequests.cend(); ++it)
            out.sample("vortanix_modbus_tcp_requests_total",
                Exposition::labels({{"function", QString::number(it.key().first)},
                    {"exception", it.key().second == 0 ? QStringLiteral("none") : hexCode(it.key().second)}}),
                it.value());
    }
}
