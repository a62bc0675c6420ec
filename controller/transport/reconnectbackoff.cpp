#include "reconnectbackoff.h"

#include <algorithm>

void ReconnectBackoff::failed(qint64 nowMs)
{
    nextTryMs = nowMs + waitMs;
    waiting = true;
    waitMs = std::min(waitMs * 2, LongestMs);
}

void ReconnectBackoff::succeeded()
{
    waitMs = FirstMs;
    waiting = false;
}
