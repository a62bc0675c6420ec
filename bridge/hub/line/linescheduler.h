#ifndef LINESCHEDULER_H
#define LINESCHEDULER_H

#include <QtGlobal>

#include <vector>

// Who goes next on one line, as pure bookkeeping (no clock of its own: every
// call is given the time, so it is tested with a fake one). The order:
// a write that waits goes first, then a poll that is due, then a read; so a
// write waits behind at most the exchange in progress. A read waits behind
// at most one round of polls (one poll per controller of the line): a line
// that cannot keep up with its polls still answers its reads. Each
// controller is due every poll interval; when the line cannot keep up, the
// one due longest ago goes first, so all slow down alike.
//
// A controller is offline after LineFacts::FailuresForOffline failed polls in
// a row, and online again at its next good one. Offline, it is polled on a
// backed-off schedule, the interval doubling from the poll interval up to
// the longest, so that a silent controller does not slow the others.
class LineScheduler
{
public:
    enum class Kind { Idle, Write, Poll, Read };
    struct Next
    {
        Kind kind = Kind::Idle;
        int controller = -1; // the controller to poll
        qint64 waitMs = 0; // Idle: how long until a poll is due
    };

    LineScheduler(int controllers, int intervalMs, int offlineMaxMs);

    // Every controller is due at `nowMs`, the line's start.
    void start(qint64 nowMs);
    // What goes next at `nowMs`, given whether a write or a read waits.
    Next next(qint64 nowMs, bool writeWaiting, bool readWaiting) const;
    // The controller's poll at `nowMs` ended `ok` or not; sets when it is due
    // again. `readWaiting`: a read was passed over for it.
    void polled(int controller, bool ok, qint64 nowMs, bool readWaiting = false);
    // A read went out.
    void read() { pollsBeforeRead = 0; }
    // A request changed the controller: poll it at once, so its state shows the change.
    void touched(int controller, qint64 nowMs);

    int failures(int controller) const { return entries.at(size_t(controller)).failures; }
    bool offline(int controller) const;
    qint64 dueMs(int controller) const { return entries.at(size_t(controller)).dueMs; }
    // How long the controller waits for its next poll after this many failures in a row.
    qint64 waitAfter(int failures) const;

private:
    struct Entry
    {
        qint64 dueMs = 0;
        int failures = 0;
    };

    int earliest() const;

    const qint64 intervalMs;
    const qint64 offlineMaxMs;
    std::vector<Entry> entries;
    int pollsBeforeRead = 0; // polls that went while a read waited
};

#endif // LINESCHEDULER_H
