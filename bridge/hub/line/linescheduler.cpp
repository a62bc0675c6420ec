#include "linescheduler.h"

#include "linefacts.h"

#include <algorithm>

LineScheduler::LineScheduler(int controllers, int intervalMs, int offlineMaxMs)
    : intervalMs(intervalMs), offlineMaxMs(std::max(intervalMs, offlineMaxMs)), entries(size_t(controllers))
{
}

void LineScheduler::start(qint64 nowMs)
{
    for (Entry &entry : entries)
        entry.dueMs = nowMs;
}

int LineScheduler::earliest() const
{
    const auto first = std::min_element(
        entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.dueMs < b.dueMs; });
    return first == entries.end() ? -1 : int(first - entries.begin());
}

LineScheduler::Next LineScheduler::next(qint64 nowMs, bool writeWaiting, bool readWaiting) const
{
    Next next;
    if (writeWaiting) {
        next.kind = Kind::Write;
        return next;
    }
    const int due = earliest();
    const bool readsTurn = readWaiting && pollsBeforeRead >= int(entries.size());
    if (due >= 0 && entries.at(size_t(due)).dueMs <= nowMs && !readsTurn) {
        next.kind = Kind::Poll;
        next.controller = due;
        return next;
    }
    if (readWaiting) {
        next.kind = Kind::Read;
        return next;
    }
    next.waitMs = due < 0 ? intervalMs : entries.at(size_t(due)).dueMs - nowMs;
    return next;
}

bool LineScheduler::offline(int controller) const
{
    return failures(controller) >= LineFacts::FailuresForOffline;
}

qint64 LineScheduler::waitAfter(int failures) const
{
    if (failures < LineFacts::FailuresForOffline)
        return intervalMs;
    qint64 wait = intervalMs;
    for (int n = LineFacts::FailuresForOffline; n < failures && wait < offlineMaxMs; ++n)
        wait *= 2;
    return std::min(wait, offlineMaxMs);
}

void LineScheduler::polled(int controller, bool ok, qint64 nowMs, bool readWaiting)
{
    if (readWaiting)
        ++pollsBeforeRead;
    Entry &entry = entries.at(size_t(controller));
    entry.failures = ok ? 0 : entry.failures + 1;
    // On the beat while it answers (a late poll does not pull the next ones
    // in), from now on while it is silent.
    const qint64 wait = waitAfter(entry.failures);
    entry.dueMs = entry.failures < LineFacts::FailuresForOffline ? std::max(entry.dueMs + wait, nowMs) : nowMs + wait;
}

void LineScheduler::touched(int controller, qint64 nowMs)
{
    entries.at(size_t(controller)).dueMs = nowMs;
}
