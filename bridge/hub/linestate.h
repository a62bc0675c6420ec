#ifndef LINESTATE_H
#define LINESTATE_H

#include "bridgeconfig.h"

#include <QString>

#include <array>

// What the hub knows of one line: its port's state and what its exchanges
// came to, with how long they took.
struct LineState
{
    // The bounds (in seconds) an exchange's duration is counted under.
    static constexpr std::array<double, 11> DurationBuckets
        = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};

    LineConfig config;
    bool open = false;
    QString text; // "open", or why the port is not
    quint64 exchangesOk = 0;
    quint64 exchangesFailed = 0;
    QString lastError; // the latest failed exchange in words, with its controller
    std::array<quint64, DurationBuckets.size()> buckets{}; // each counts its own range
    quint64 count = 0;
    double sumSeconds = 0;

    void countDuration(double seconds);
};

#endif // LINESTATE_H
