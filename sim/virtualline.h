#ifndef VIRTUALLINE_H
#define VIRTUALLINE_H

#include "simcontroller.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

struct LineServer;

// A virtual RS-485 line: one pseudo-terminal, served by a thread of its own,
// with any number of virtual controllers on it (SimController). The panel,
// or any Modbus master, opens portPath() as if it were a serial adapter.
//
// Every controller hears every request; only the one at the request's
// address answers, and a broadcast reaches them all. A controller that is
// slow to answer (a delay fault, say) holds up only itself: the others go on
// answering while its reply waits. Replies that overlap on the line
// interleave, as colliding senders would.
//
// All public operations are thread-safe.
class VirtualLine
{
public:
    VirtualLine();
    ~VirtualLine();
    VirtualLine(const VirtualLine &) = delete;
    VirtualLine &operator=(const VirtualLine &) = delete;

    // Puts a controller with this address on the line (also while it runs).
    SimController addController(quint8 address);
    // The controllers, in the order they were put on the line.
    QList<SimController> controllers() const;

    // Opens the pseudo-terminal and starts serving. With a link path, a
    // symbolic link there points at the terminal and portPath() is the link,
    // so the path stays the same across unplug() and replug().
    bool start(const QString &linkPath = QString());
    void stop();
    bool isRunning() const;
    QString portPath() const; // the path the master opens
    QString terminalPath() const; // the /dev/pts/N behind it

    // Unplugging closes the terminal: the path vanishes and the master's next
    // open fails; replies on their way are cut off. Replugging opens a new
    // terminal (and re-points the link). The controllers keep their registers.
    void unplug();
    bool replug();
    bool isPlugged() const;

    // Paces every reply at the given baud rate (10 bits per byte); 0 = as fast as possible.
    void setPacingBaud(int baud);
    // The rate the controllers' UARTs run at (default 115200). Bytes the
    // master sends with its terminal at another rate are not understood, as
    // on a real line: nothing answers them (the trace tells). 0: any rate.
    void setBaud(int baud);
    int baud() const;

    // A 2-wire adapter without echo cancellation hands the master every byte
    // it sends back, before any reply:
    enum Echo {
        EchoOff,
        EchoWhole, // at once
        EchoSplit, // its first half at once, the rest a few milliseconds later (two reads)
        EchoCollide, // at once, with one byte changed, as a collision on the line would;
                     // after `count` changed echoes (-1: never) the echo comes whole
        EchoShort, // at once, its last byte lost on the line
    };
    void setEcho(Echo mode, int count = -1);

    // Trace lines go to this sink, from the line's thread:
    //   "<time> rx 01 03 ..."              a request (notes: broadcast, or no controller at its address)
    //   "<time> tx 01 03 ...  (from 1)"    a reply, which controller sent it, and its fault
    //   "<time> -- controller 7: ..."      what a controller did instead of replying
    //   "<time> echo 01 03 ..."            the master's bytes handed back (setEcho)
    //   "<time> -- 8 bytes at 9600 baud ..."  bytes sent at a rate the line does not run at
    // A request's line reaches the sink before the first byte of its reply
    // goes out. The sink must not call stop(), unplug() or replug().
    void setTraceSink(std::function<void(const QString &line)> sink);

private:
    std::unique_ptr<LineServer> d;
};

#endif // VIRTUALLINE_H
