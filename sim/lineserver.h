#ifndef LINESERVER_H
#define LINESERVER_H

#include "linecore.h"
#include "linetransmitter.h"
#include "pseudoterminal.h"
#include "requestframer.h"

#include <QStringList>

#include <thread>

// The thread that serves a virtual line: reads requests from the terminal,
// lets every controller take them, sends the replies at their time, runs
// endless streams and drift, and carries out stop, unplug and replug for the
// public API (VirtualLine). Internal to the virtual controller.
struct LineServer
{
    using Clock = std::chrono::steady_clock;

    LineCore core; // shared with the controllers' handles
    std::mutex commandMutex; // serialises start, stop, unplug and replug
    std::thread thread;

    // Guarded by core.mutex.
    PseudoTerminal terminal;
    bool running = false;
    bool stopRequested = false;
    bool unplugRequested = false;
    bool replugRequested = false;
    bool replugResult = false;

    // Runs until stopRequested.
    void serve();
    // Closes the terminal: replies on their way are cut off, streams end.
    void closeTerminal();
    // After the thread has ended: closes the terminal and forgets what it was doing.
    void shutDown();

private:
    QString stamp(Clock::time_point t) const;
    QString controllerName(int index) const;
    // "<time> <what> 01 03 ...  (<note>)": bytes that went out on the line.
    void traceBytes(Clock::time_point at, const char *what, const QByteArray &bytes, const QString &note);
    void flushTrace(std::unique_lock<std::mutex> &lock);
    void readAvailable();
    // Bytes the master sent: handed back as the line's echo mode says (lineecho.cpp).
    void echoBack(QByteArray bytes, Clock::time_point now);
    // Whether bytes sent at the terminal's present rate reach the controllers.
    bool understood(int count, Clock::time_point now);
    void dispatch(const QByteArray &frame, Clock::time_point at);
    void take(int index, const QByteArray &frame, qint64 timeUs, Clock::time_point from);
    void finish(const LineTransmitter::Ended &ended, bool takeWaiting);
    void streamSome(Clock::time_point now);
    Clock::time_point drift(Clock::time_point now);
    void waitForWork(std::unique_lock<std::mutex> &lock, Clock::time_point wakeAt);

    // The serving thread's own.
    LineTransmitter m_transmitter;
    RequestFramer m_framer;
    Clock::time_point m_readAgainAt; // after a hang-up, the terminal is left alone until then
    bool m_readable = false;
    Clock::time_point m_echoDoneAt; // the last echoed byte is out then; replies start after it
    QStringList m_trace; // lines gathered under the lock, handed to the sink without it
};

#endif // LINESERVER_H
