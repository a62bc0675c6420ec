#ifndef METRICSFRONTEND_H
#define METRICSFRONTEND_H

#include "frontend.h"
#include "metricspage.h"

#include <memory>

class MetricsServer;

// The bridge's HTTP listener ([metrics]): the metrics at /metrics, made from
// the hub's state and every front-end's own families.
class MetricsFrontEnd : public FrontEnd
{
    Q_OBJECT

public:
    explicit MetricsFrontEnd(LineHub &hub, QObject *parent = nullptr);
    ~MetricsFrontEnd() override;

    // The front-ends whose families follow the hub's (this one among them is harmless).
    void setFrontEnds(const QList<const FrontEnd *> &frontEnds);

    QString name() const override { return QStringLiteral("HTTP"); }
    bool listen(QString *error) override;
    bool start(QString *) override { return true; }
    bool stop() override;

private:
    QList<const FrontEnd *> families;
    std::unique_ptr<MetricsPage> page;
    std::unique_ptr<MetricsServer> server;
};

#endif // METRICSFRONTEND_H
