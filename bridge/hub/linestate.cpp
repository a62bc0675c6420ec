#include "linestate.h"

#include <algorithm>

void LineState::countDuration(double seconds)
{
    const auto bucket = std::lower_bound(DurationBuckets.begin(), DurationBuckets.end(), seconds);
    if (bucket != DurationBuckets.end())
        ++buckets.at(size_t(bucket - DurationBuckets.begin()));
    ++count;
    sumSeconds += seconds;
}
