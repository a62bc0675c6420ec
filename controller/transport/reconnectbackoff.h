#ifndef RECONNECTBACKOFF_H
#define RECONNECTBACKOFF_H

#include <QtGlobal>

// When to try a connection again after it failed: at once the first time,
// then after a wait that doubles with each failure in a row, from FirstMs up
// to LongestMs, so that a device server that is off is not hammered and one
// that comes back is found within LongestMs. A connection that carried data
// starts the count over.
//
// Times are milliseconds on any monotonic clock the caller keeps.
class ReconnectBackoff
{
public:
    static constexpr qint64 FirstMs = 1000;
    static constexpr qint64 LongestMs = 30000;

    // Whether an attempt may be made at `nowMs`.
    bool mayTry(qint64 nowMs) const { return !waiting || nowMs >= nextTryMs; }
    // An attempt failed at `nowMs` (or a connection dropped before it carried data).
    void failed(qint64 nowMs);
    // The connection carried data: the next failure waits FirstMs again.
    void succeeded();

private:
    qint64 waitMs = FirstMs;
    qint64 nextTryMs = 0;
    bool waiting = false;
};

#endif // RECONNECTBACKOFF_H
