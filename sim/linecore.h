#ifndef LINECORE_H
#define LINECORE_H

#include "controllerstate.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <unistd.h>

// What a line and the handles of its controllers share: the lock that guards
// every controller's state, the controllers themselves, and the means to wake
// the line's thread. Internal to the virtual controller.
struct LineCore
{
    using Clock = std::chrono::steady_clock;

    std::mutex mutex;
    std::condition_variable changed; // a request was logged, or the line carried out a command

    std::vector<std::unique_ptr<ControllerState>> controllers; // never shrinks: an index names a controller
    int pacingBaud = 0;
    int lineBaud = 115200; // the controllers' rate; 0: they understand any rate
    int echo = 0; // VirtualLine::Echo
    int collisionsLeft = -1; // with EchoCollide: echoes still to change; -1 = every one
    std::function<void(const QString &)> traceSink;
    Clock::time_point startTime = Clock::now();
    int wakeFd = -1; // an eventfd the line's thread watches

    // Makes the line's thread look at the state again.
    void wake()
    {
        if (wakeFd >= 0) {
            const quint64 one = 1;
            const ssize_t n = ::write(wakeFd, &one, sizeof one);
            (void)n; // a full counter wakes the thread just as well
        }
    }

    qint64 micros(Clock::time_point t) const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(t - startTime).count();
    }
};

#endif // LINECORE_H
