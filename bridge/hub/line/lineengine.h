#ifndef LINEENGINE_H
#define LINEENGINE_H

#include "bridgeconfig.h"
#include "controller.h"
#include "linejob.h"
#include "lineport.h"
#include "linescheduler.h"
#include "protocol.h"

#include <QQueue>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

// One RS-485 line at work, without a thread of its own: its port, its
// controllers, the requests that wait for it and its polls, run one at a
// time in the order the scheduler gives (LineScheduler). step() carries out
// whatever goes next and reports it to the sink; a LineWorker calls it on the
// line's thread, a test calls it with a fake port and a fake clock.
class LineEngine
{
public:
    struct Settings
    {
        LineConfig line;
        int pollIntervalMs = 500;
        int offlinePollMs = 10000; // the longest wait between polls of an offline controller
        bool verify = false; // writes are read back
        bool trace = false; // every exchange on standard error
    };

    class Sink
    {
    public:
        virtual ~Sink() = default;
        virtual void jobDone(const JobDone &done) = 0;
        virtual void polled(const PollDone &done) = 0;
        // The port opened, or could not be had (reported when that changes).
        virtual void portChanged(bool open, const QString &text) = 0;
    };

    // `now` is the clock results are stamped with.
    LineEngine(const Settings &settings, std::unique_ptr<LinePort> port, Sink &sink, std::function<qint64()> now);

    void post(const LineJob &job);
    // Drops a job that has not started (one that has goes on to its end).
    void cancel(quint64 id);
    // The jobs that wait, taken out (a line that stops hands them back unsent).
    QVector<LineJob> takeWaiting();
    bool hasWaiting() const { return !writes.isEmpty() || !reads.isEmpty(); }

    // Opens the port when it is closed or was lost; true when it is ready.
    bool ensurePort();
    bool portMissing() const { return port->missing(); }
    // "open", or why the port is not.
    QString portText() const { return port->stateText(); }
    // Runs what goes next at `nowMs`: a write that waits, a poll that is due or
    // a read. Returns 0 when it ran something, otherwise how long until a
    // poll is due.
    qint64 step(qint64 nowMs);

    // True while a request (not a poll) is being carried out: a line that
    // stops lets it finish.
    bool requestRunning() const { return runningRequest; }
    const LineScheduler &scheduler() const { return schedule; }

private:
    void poll(int controller);
    void run(const LineJob &job);
    void carryOut(Controller &controller, const HubRequest &request, HubResult *result);

    const Settings settings;
    std::unique_ptr<LinePort> port;
    Sink &sink;
    const std::function<qint64()> now;
    Protocol protocol;
    std::deque<Controller> controllers; // they keep references to the link and the protocol
    LineScheduler schedule;
    QQueue<LineJob> writes;
    QQueue<LineJob> reads;
    QVector<Exchange> exchanges; // of the poll or job running now, from the controllers' observers
    QString reported; // the last port state reported
    std::atomic<bool> runningRequest{false};
};

#endif // LINEENGINE_H
