#ifndef METRICSPAGE_H
#define METRICSPAGE_H

#include <QByteArray>
#include <QList>

#include <vector>

class Exposition;
class FrontEnd;
class LineHub;

// What the bridge has seen, as Prometheus metrics (see the plant guide for
// the families): the hub's state of every controller and line, then each
// front-end's own families. Written in the main thread from what the last
// polls said, so a scrape never waits for a line.
//
// A controller's readings are exported while the hub counts it online; once
// it is offline only vortanix_controller_online (0) and the time of its last
// good poll are left: a reading that is no longer true is not shown. The
// readings are the device's register table's metrics (protocol/registermap.h).
class MetricsPage
{
public:
    MetricsPage(const LineHub &hub, const QList<const FrontEnd *> &frontEnds);

    // The whole exposition, text format 0.0.4.
    QByteArray exposition() const;

private:
    struct Labels
    {
        QByteArray labels; // line="…",address="…",id="…"
        // The same with one more label, made once: a scrape only appends.
        std::vector<QByteArray> modules; // module="1" ... "12"
        std::vector<QByteArray> outcomes; // outcome="ok" ...
        std::vector<QByteArray> sensorStates; // state="ok", "open", "short"
    };

    void writeReadings(Exposition &out) const;
    void writeCounters(Exposition &out) const;

    const LineHub &hub;
    const QList<const FrontEnd *> frontEnds;
    std::vector<Labels> controllers;
    std::vector<QByteArray> lines; // line="…"
    mutable int lastSize = 0; // of the last page: the next one is about as long
    mutable QByteArray memory; // the last page, whose memory the next one is written into
};

#endif // METRICSPAGE_H
