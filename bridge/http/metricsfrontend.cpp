#include "metricsfrontend.h"

#include "linehub.h"
#include "log.h"
#include "metricsserver.h"

MetricsFrontEnd::MetricsFrontEnd(LineHub &hub, QObject *parent)
    : FrontEnd(hub, parent), page(std::make_unique<MetricsPage>(hub, QList<const FrontEnd *>()))
{
    // Lines added or removed: the page's labels follow.
    connect(&hub, &LineHub::reconfigured, this, [this] { setFrontEnds(families); });
}

MetricsFrontEnd::~MetricsFrontEnd() = default;

void MetricsFrontEnd::setFrontEnds(const QList<const FrontEnd *> &frontEnds)
{
    families = frontEnds;
    page = std::make_unique<MetricsPage>(hub, frontEnds);
}

bool MetricsFrontEnd::listen(QString *error)
{
    const MetricsConfig &config = hub.config().metrics;
    server = std::make_unique<MetricsServer>(config.allow, [this] { return page->exposition(); });
    if (!server->listen(config.address, quint16(config.port), error))
        return false;
    logLine(QStringLiteral("metrics at %1 for clients from %2").arg(config.url(server->port()), config.allow.text()));
    return true;
}

bool MetricsFrontEnd::stop()
{
    server.reset();
    return true;
}
