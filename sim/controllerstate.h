#ifndef CONTROLLERSTATE_H
#define CONTROLLERSTATE_H

#include "faults.h"
#include "registerbank.h"
#include "simcontroller.h"

#include <QList>

#include <chrono>
#include <random>

// One controller on a virtual line: its registers, its fault, its request
// log, and where it stands on the line. Guarded by the line's lock.
// Internal to the virtual controller.
class ControllerState
{
public:
    using Clock = std::chrono::steady_clock;

    // A request heard while this controller was still sending its last reply.
    struct Waiting
    {
        QByteArray frame;
        qint64 timeUs = 0;
    };

    // Takes a request heard on the line: logs it, carries it out if it is
    // for this controller, and gives what the controller sends back.
    Response take(const QByteArray &frame, qint64 timeUs);
    void setFault(const ControllerFaults::Fault &fault);
    void setDrift(bool on, Clock::time_point now);

    RegisterBank bank;
    ControllerFaults::Fault fault;
    int turnaroundUs = 0;

    bool drift = false;
    Clock::time_point nextDrift;
    std::mt19937 random{0x5eed};
    quint32 garbageSeed = 0x12345678;

    QList<SimController::Request> log;
    int loggedSinceClear = 0;
    int replies = 0; // replies put on the line since the log was cleared
    int finishedReplies = 0; // of those, the ones whose sending has ended

    // A controller sends one reply at a time and takes the next request only
    // after it; what it hears meanwhile waits.
    bool sending = false;
    QList<Waiting> waiting;

    bool streaming = false;
    bool streamNoted = false; // the end of the stream is still to be traced
    Clock::time_point streamStart;
    qint64 streamSent = 0;
};

#endif // CONTROLLERSTATE_H
