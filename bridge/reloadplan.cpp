#include "reloadplan.h"

namespace {

bool sameLine(const LineConfig &a, const LineConfig &b)
{
    if (a.controllers.size() != b.controllers.size())
        return false;
    for (int i = 0; i < a.controllers.size(); ++i) {
        if (a.controllers.at(i).id != b.controllers.at(i).id
            || a.controllers.at(i).address != b.controllers.at(i).address)
            return false;
    }
    return a.name == b.name && a.port == b.port && a.baud == b.baud && a.timeoutMs == b.timeoutMs && a.echo == b.echo
        && a.rs485 == b.rs485 && a.rtsDelayUs == b.rtsDelayUs && a.maxAgeMs == b.maxAgeMs && a.verify == b.verify
        && a.offlinePollMs == b.offlinePollMs;
}

bool sameMqtt(const BridgeConfig &a, const BridgeConfig &b)
{
    const BrokerConfig &x = a.broker;
    const BrokerConfig &y = b.broker;
    return a.mqtt == b.mqtt && x.host == y.host && x.port == y.port && x.clientId == y.clientId
        && x.username == y.username && x.caFile == y.caFile && x.certFile == y.certFile && x.keyFile == y.keyFile
        && a.password == b.password && a.topicPrefix == b.topicPrefix && a.discovery == b.discovery
        && a.discoveryPrefix == b.discoveryPrefix && a.readOnly == b.readOnly;
}

bool sameListen(const ListenConfig &a, const ListenConfig &b)
{
    return a.address == b.address && a.port == b.port && a.allow.text() == b.allow.text();
}

const LineConfig *lineNamed(const BridgeConfig &config, const QString &name)
{
    for (const LineConfig &line : config.lines) {
        if (line.name == name)
            return &line;
    }
    return nullptr;
}

} // namespace

ReloadPlan ReloadPlan::between(const BridgeConfig &running, const BridgeConfig &next)
{
    ReloadPlan plan;
    for (const LineConfig &line : next.lines) {
        const LineConfig *before = lineNamed(running, line.name);
        if (!before)
            plan.addedLines << line.name;
        else if (sameLine(*before, line) && running.pollIntervalMs == next.pollIntervalMs)
            plan.keptLines.insert(line.name);
        else
            plan.restartedLines << line.name;
    }
    QSet<QString> ids;
    for (const LineConfig &line : next.lines) {
        for (const ControllerConfig &controller : line.controllers)
            ids.insert(controller.id);
    }
    for (const LineConfig &line : running.lines) {
        if (!lineNamed(next, line.name))
            plan.removedLines << line.name;
        for (const ControllerConfig &controller : line.controllers) {
            if (!ids.contains(controller.id))
                plan.removedControllers << controller.id;
        }
    }
    plan.mqtt = !sameMqtt(running, next);
    // The unit ids follow the lines in place: a controller added does not drop the gateway's clients.
    plan.modbusTcp = !sameListen(running.modbusTcp, next.modbusTcp) || running.readOnly != next.readOnly
        || running.modbusTcp.idleTimeoutS != next.modbusTcp.idleTimeoutS;
    plan.http = !sameListen(running.http, next.http);
    return plan;
}

bool ReloadPlan::changesAnything() const
{
    return !restartedLines.isEmpty() || !addedLines.isEmpty() || !removedLines.isEmpty() || mqtt || modbusTcp || http;
}

QString ReloadPlan::summary() const
{
    QStringList parts;
    for (const QString &line : restartedLines)
        parts << QStringLiteral("line %1 restarted").arg(line);
    for (const QString &line : addedLines)
        parts << QStringLiteral("line %1 added").arg(line);
    for (const QString &line : removedLines)
        parts << QStringLiteral("line %1 removed").arg(line);
    if (mqtt)
        parts << QStringLiteral("MQTT restarted");
    if (modbusTcp)
        parts << QStringLiteral("Modbus TCP restarted");
    if (http)
        parts << QStringLiteral("HTTP restarted");
    QStringList kept = keptLines.values();
    kept.sort();
    if (!kept.isEmpty())
        parts << QStringLiteral("kept: line %1").arg(kept.join(QStringLiteral(", line ")));
    return parts.isEmpty() ? QStringLiteral("nothing changed") : parts.join(QStringLiteral("; "));
}
