#ifndef LATENCYTIMER_H
#define LATENCYTIMER_H

#include <QString>

// The latency timer of an FTDI USB adapter: the chip holds received bytes
// this many milliseconds (16 by default) before it hands a short packet to
// the host. A reply then reaches the program up to that much late, and
// every exchange costs it; 1 ms suits a line at 115200 baud.
class LatencyTimer
{
public:
    // The timer of the adapter behind `portPath` (/dev/ttyUSB0, or a
    // /dev/serial/by-id link to it) in ms, or -1 when sysfs has none (not an
    // FTDI adapter, or not a USB one). `sysRoot` replaces "/" in the sysfs
    // paths, for tests.
    static int readMs(const QString &portPath, const QString &sysRoot = QStringLiteral("/"));
    // The file that holds it, for the user to write 1 into; empty when none.
    static QString file(const QString &portPath, const QString &sysRoot = QStringLiteral("/"));
};

#endif // LATENCYTIMER_H
