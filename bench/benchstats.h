#ifndef BENCHSTATS_H
#define BENCHSTATS_H

#include <QString>

#include <chrono>
#include <vector>

// What the benchmark programs share: clocks, nearest-rank statistics, the
// wire time of bytes, and numbers as the Markdown tables show them.
namespace BenchStats {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start);
// CLOCK_MONOTONIC in nanoseconds, as another process reads it too.
long long monotonicNs();
// Nearest-rank percentile; NaN for no values.
double percentile(std::vector<double> values, double p);
double median(const std::vector<double> &values);
// Wire time of a byte count at a rate, 10 bits a byte (8N1).
double wireMs(int bytes, int baud);

// A process's resident memory (VmRSS), in KiB; 0 when it cannot be read.
qint64 residentKiB(qint64 pid);

QString ms(double value, int decimals = 2);
QString ratio(double value);
// "met" or "**missed**".
QString verdict(bool met);

} // namespace BenchStats

#endif // BENCHSTATS_H
