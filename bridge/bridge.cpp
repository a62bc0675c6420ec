#include "bridge.h"

#include "exitstatus.h"
#include "httpfrontend.h"
#include "log.h"
#include "modbusgateway.h"
#include "mqttfrontend.h"
#include "reloadplan.h"

Bridge::Bridge(const BridgeConfig &config, bool trace, QObject *parent) : QObject(parent), hub(config, trace)
{
    makeFrontEnds(true, true, true);
    connect(&hub, &LineHub::lineChanged, this, &Bridge::logLine);
    connect(&hub, &LineHub::availabilityChanged, this, &Bridge::logAvailability);
}

Bridge::~Bridge()
{
    stop();
}

QList<FrontEnd *> Bridge::frontEnds() const
{
    QList<FrontEnd *> list;
    for (FrontEnd *frontEnd : {static_cast<FrontEnd *>(http.get()), static_cast<FrontEnd *>(gateway.get()),
             static_cast<FrontEnd *>(mqtt.get())}) {
        if (frontEnd)
            list << frontEnd;
    }
    return list;
}

void Bridge::makeFrontEnds(bool newHttp, bool newGateway, bool newMqtt)
{
    const BridgeConfig &config = hub.config();
    if (newHttp)
        http = config.http.enabled() ? std::make_unique<HttpFrontEnd>(hub) : nullptr;
    if (newGateway)
        gateway = config.modbusTcp.enabled() ? std::make_unique<ModbusGateway>(hub) : nullptr;
    if (newMqtt)
        mqtt = config.mqtt ? std::make_unique<MqttFrontEnd>(hub) : nullptr;
    if (http) {
        QList<const FrontEnd *> families; // MQTT's families first, then the gateway's
        for (const FrontEnd *frontEnd :
            {static_cast<const FrontEnd *>(mqtt.get()), static_cast<const FrontEnd *>(gateway.get())}) {
            if (frontEnd)
                families << frontEnd;
        }
        http->setFrontEnds(families);
    }
}

int Bridge::start(QString *error)
{
    // The addresses first: when one is taken, no port is held for nothing.
    for (FrontEnd *frontEnd : frontEnds()) {
        if (!frontEnd->listen(error))
            return ExitListen;
    }
    if (!hub.start(error))
        return ExitPort;
    for (FrontEnd *frontEnd : frontEnds()) {
        if (!frontEnd->start(error))
            return ExitBroker; // only the MQTT client's set-up can fail here
    }
    return ExitOk;
}

void Bridge::reload(const BridgeConfig &next)
{
    const ReloadPlan plan = ReloadPlan::between(hub.config(), next);
    // The front-ends that restart answer what they owe first, on the lines as they were.
    std::vector<std::unique_ptr<FrontEnd>> leaving;
    if (plan.http && http)
        leaving.push_back(std::move(http));
    if (plan.modbusTcp && gateway)
        leaving.push_back(std::move(gateway));
    if (plan.mqtt && mqtt)
        leaving.push_back(std::move(mqtt));
    for (const auto &frontEnd : leaving)
        frontEnd->quiesce();
    for (const auto &frontEnd : leaving)
        frontEnd->stop();
    leaving.clear();
    const QString refused = hub.reconfigure(next, plan.keptLines);
    makeFrontEnds(plan.http, plan.modbusTcp, plan.mqtt);
    for (FrontEnd *frontEnd : frontEnds()) {
        const bool restarted = (frontEnd == http.get() && plan.http) || (frontEnd == gateway.get() && plan.modbusTcp)
            || (frontEnd == mqtt.get() && plan.mqtt);
        QString error;
        if (restarted && (!frontEnd->listen(&error) || !frontEnd->start(&error)))
            ::logLine(QStringLiteral("reload: %1 does not run: %2").arg(frontEnd->name(), error));
    }
    ::logLine(QStringLiteral("reloaded the configuration: %1").arg(plan.summary()));
    for (const QString &line : refused.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        ::logLine(QStringLiteral("reload: %1; polling starts when the port can be had").arg(line));
}

bool Bridge::stop()
{
    if (stopped)
        return true;
    stopped = true;
    for (FrontEnd *frontEnd : frontEnds())
        frontEnd->quiesce();
    hub.stop();
    bool clean = true;
    for (FrontEnd *frontEnd : frontEnds())
        clean = frontEnd->stop() && clean;
    return clean;
}

void Bridge::logLine(int index)
{
    const LineState &line = hub.line(index);
    ::logLine(line.open
            ? QStringLiteral("line %1: %2 open at %3 baud")
                  .arg(line.config.name, line.config.port)
                  .arg(line.config.baud)
            : QStringLiteral("line %1: %2; polling resumes when the port is back").arg(line.config.name, line.text));
}

void Bridge::logAvailability(int index)
{
    const ControllerState &controller = hub.controller(index);
    const QString &id = controller.config.id;
    if (controller.online())
        ::logLine(QStringLiteral("%1 (address %2): online, firmware %3")
                      .arg(id)
                      .arg(controller.config.address)
                      .arg(controller.firmware));
    else if (controller.availability == ControllerState::Availability::Offline)
        ::logLine(QStringLiteral("%1 (address %2): offline after %3 failed polls (%4)")
                      .arg(id)
                      .arg(controller.config.address)
                      .arg(controller.failures)
                      .arg(controller.link));
}
