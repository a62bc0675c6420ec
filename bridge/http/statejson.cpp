#include "statejson.h"

#include "linehub.h"
#include "statusjson.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

const char *availabilityName(ControllerState::Availability availability)
{
    switch (availability) {
    case ControllerState::Availability::Online:
        return "online";
    case ControllerState::Availability::Offline:
        return "offline";
    case ControllerState::Availability::Unknown:
        break;
    }
    return "unknown";
}

} // namespace

QByteArray StateJson::document() const
{
    const BridgeConfig &config = hub.config();
    QJsonObject bridge;
    bridge.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    bridge.insert(QStringLiteral("time"), StatusJson::timeText(QDateTime::currentDateTime()));
    bridge.insert(QStringLiteral("poll_interval_ms"), config.pollIntervalMs);
    bridge.insert(QStringLiteral("read_only"), config.readOnly);
    QJsonArray lines;
    for (int index = 0; index < hub.lineCount(); ++index)
        lines.append(line(index));
    QJsonArray controllers;
    for (int index = 0; index < hub.controllerCount(); ++index)
        controllers.append(controller(index));
    QJsonObject json;
    json.insert(QStringLiteral("bridge"), bridge);
    json.insert(QStringLiteral("lines"), lines);
    json.insert(QStringLiteral("controllers"), controllers);
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

QJsonObject StateJson::line(int index) const
{
    const LineState &line = hub.line(index);
    QJsonObject json;
    json.insert(QStringLiteral("name"), line.config.name);
    json.insert(QStringLiteral("port"), line.config.port);
    json.insert(QStringLiteral("baud"), line.config.baud);
    json.insert(QStringLiteral("open"), line.open);
    json.insert(QStringLiteral("state"), textOrNull(line.text)); // "open", or why the port is not
    json.insert(QStringLiteral("exchanges_ok"), double(line.exchangesOk));
    json.insert(QStringLiteral("exchanges_failed"), double(line.exchangesFailed));
    json.insert(QStringLiteral("last_error"), textOrNull(line.lastError));
    return json;
}

QJsonObject StateJson::controller(int index) const
{
    const ControllerState &controller = hub.controller(index);
    QJsonObject json;
    json.insert(QStringLiteral("id"), controller.config.id);
    json.insert(QStringLiteral("address"), int(controller.config.address));
    json.insert(QStringLiteral("line"), hub.line(controller.line).config.name);
    json.insert(QStringLiteral("availability"), QLatin1String(availabilityName(controller.availability)));
    json.insert(QStringLiteral("failed_polls"), controller.failures);
    json.insert(QStringLiteral("last_poll"), textOrNull(controller.link));
    json.insert(QStringLiteral("last_good_poll_age_ms"),
        controller.haveStatus ? QJsonValue(double(hub.nowMs() - controller.statusAtMs)) : QJsonValue());
    json.insert(QStringLiteral("status"),
        controller.online() && controller.haveStatus
            ? QJsonValue(StatusJson::toJson(controller.status, controller.statusTime))
            : QJsonValue());
    return json;
}
