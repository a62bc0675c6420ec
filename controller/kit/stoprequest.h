#ifndef STOPREQUEST_H
#define STOPREQUEST_H

#include <QString>

#include <functional>

#include <signal.h>

class QObject;

// SIGINT and SIGTERM (and SIGHUP, when asked), turned into a request to stop
// that a program looks at: a loop between two steps (requested(), wait()),
// or an event loop (onRequest()). The signals are blocked and read from a
// signal descriptor, so no handler interrupts a system call in any thread.
// The mask is inherited: create the object before the program starts any
// other thread (QApplication's own, a line's), which would otherwise still be
// ended by the signals. When it is destroyed the mask is as it was, and a
// signal that came is not delivered again. One at a time.
class StopRequest
{
public:
    explicit StopRequest(bool hangUpToo = false);
    ~StopRequest();
    StopRequest(const StopRequest &) = delete;
    StopRequest &operator=(const StopRequest &) = delete;

    // False when the signals could not be taken (they then end the program as usual).
    bool isValid() const { return descriptor >= 0; }
    // True once one of the signals has come.
    bool requested();
    // Waits up to `ms` milliseconds (-1: without end); true as soon as a stop
    // is requested. Without the signals taken it just waits.
    bool wait(int ms);
    // "SIGTERM": the first signal that came; empty before.
    QString signalName() const;
    // Calls `onStop` once, from the event loop of `context`'s thread, when a
    // stop is requested (also when one came already).
    void onRequest(QObject *context, const std::function<void()> &onStop);
    // With the hang-up taken too: SIGHUP is no stop but calls `onHangUp`,
    // from the same event loop, each time it comes (several that come at
    // once, once). Set before onRequest().
    void onHangUp(const std::function<void()> &handler) { hangUpHandler = handler; }

private:
    void take(); // reads what came, without waiting

    sigset_t stopSignals;
    sigset_t previousMask;
    int descriptor = -1;
    int first = 0;
    int hangUps = 0; // SIGHUPs not yet handled, when they are no stop
    std::function<void()> hangUpHandler;
};

#endif // STOPREQUEST_H
