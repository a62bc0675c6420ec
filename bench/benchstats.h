#ifndef BENCHSTATS_H
#define BENCHSTATS_H

// What the benchmarks compute from their samples, in one place.

#include <algorithm>
#include <cmath>
#include <vector>

// Nearest-rank percentile.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

inline double median(const std::vector<double> &values)
{
    return percentile(values, 50);
}

// Wire time of a byte count at a rate, 10 bits a byte (8N1).
inline double wireMs(int bytes, int baud)
{
    return bytes * 10.0 * 1000.0 / baud;
}

#endif // BENCHSTATS_H
