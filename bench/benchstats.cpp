#include "benchstats.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace BenchStats {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long long monotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

double median(const std::vector<double> &values)
{
    return percentile(values, 50);
}

double wireMs(int bytes, int baud)
{
    return bytes * 10.0 * 1000.0 / baud;
}

QString ms(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString ratio(double value)
{
    return QString::number(value, 'f', 2);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("**missed**");
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return 0;
}

} // namespace BenchStats
