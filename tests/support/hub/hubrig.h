#ifndef HUBRIG_H
#define HUBRIG_H

#include "bridgeconfig.h"
#include "fakeline.h"
#include "lineengine.h"
#include "linehub.h"

#include <memory>
#include <vector>

// A line hub whose lines run in the test's own thread, on fake lines and a
// fake clock: nothing happens until the test moves the clock (advance()) or
// lets the lines work off what waits (run()). Requests, polls, the five-
// failure rule, the back-off and what the hub holds are tested this way,
// fast and without timing.
class HubRig
{
public:
    // A line of controllers at these addresses, named a, b, c ...; ids "<line>-<address>".
    static LineConfig line(const QString &name, const QList<int> &addresses);
    static BridgeConfig config(const QList<LineConfig> &lines, int pollIntervalMs = 500);

    explicit HubRig(const BridgeConfig &config);
    ~HubRig();

    LineHub &hub() { return *lineHub; }
    FakeLine &line(int index) { return *lines.at(size_t(index))->fake; }
    const LineEngine &engine(int index) const { return *lines.at(size_t(index))->engine; }
    qint64 now() const { return clock; }
    // Runs every line until nothing more is due (the exchanges move the clock on).
    void run();
    // Moves the clock on by `ms` and runs nothing: what falls due waits for run().
    void skip(qint64 ms) { clock += ms; }
    // Moves the clock on by `ms`, running what falls due on the way, in order.
    void advance(qint64 ms);

private:
    class Driver;
    struct Line
    {
        FakeLine *fake = nullptr; // owned by the engine
        std::unique_ptr<LineEngine> engine;
    };

    qint64 clock = 1000000;
    std::vector<std::unique_ptr<Line>> lines;
    std::unique_ptr<LineHub> lineHub;
};

#endif // HUBRIG_H
