#include "bridge.h"

#include "exitstatus.h"
#include "log.h"
#include "metricsfrontend.h"
#include "modbusgateway.h"
#include "mqttfrontend.h"

Bridge::Bridge(const BridgeConfig &config, bool trace, QObject *parent) : QObject(parent), hub(config, trace)
{
    MetricsFrontEnd *metrics = nullptr;
    if (config.metrics.enabled()) {
        auto page = std::make_unique<MetricsFrontEnd>(hub);
        metrics = page.get();
        frontEnds.push_back(std::move(page));
    }
    QList<const FrontEnd *> families; // MQTT's families first, then the gateway's
    if (config.modbusTcp.enabled())
        frontEnds.push_back(std::make_unique<ModbusGateway>(hub));
    if (config.mqtt) {
        frontEnds.push_back(std::make_unique<MqttFrontEnd>(hub));
        families << frontEnds.back().get();
    }
    if (config.modbusTcp.enabled())
        families << frontEnds.at(metrics ? 1 : 0).get();
    if (metrics)
        metrics->setFrontEnds(families);
    connect(&hub, &LineHub::lineChanged, this, &Bridge::logLine);
    connect(&hub, &LineHub::availabilityChanged, this, &Bridge::logAvailability);
}

Bridge::~Bridge()
{
    stop();
}

int Bridge::start(QString *error)
{
    // The addresses first: when one is taken, no port is held for nothing.
    for (const auto &frontEnd : frontEnds) {
        if (!frontEnd->listen(error))
            return ExitListen;
    }
    if (!hub.start(error))
        return ExitPort;
    for (const auto &frontEnd : frontEnds) {
        if (!frontEnd->start(error))
            return ExitBroker; // only the MQTT client's set-up can fail here
    }
    return ExitOk;
}

bool Bridge::stop()
{
    if (stopped)
        return true;
    stopped = true;
    for (const auto &frontEnd : frontEnds)
        frontEnd->quiesce();
    hub.stop();
    bool clean = true;
    for (const auto &frontEnd : frontEnds)
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
