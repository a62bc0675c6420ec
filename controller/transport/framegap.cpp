#include "framegap.h"

namespace {

constexpr qint64 nsPerSecond = 1000000000;
constexpr int bitsPerModbusCharacter = 11;
constexpr int bitsPerByte = 10; // start, eight data bits, stop
constexpr qint64 fixedGapNs = 1750000; // above 19200 baud
constexpr int fixedGapAboveBaud = 19200;

} // namespace

void FrameGap::setBaud(int baud)
{
    rate = baud > 0 ? baud : 115200;
    // 3.5 characters: 7 × 11 bits / 2, rounded up.
    gap = rate > fixedGapAboveBaud ? fixedGapNs
                                   : (7 * bitsPerModbusCharacter * nsPerSecond + 2 * rate - 1) / (2 * qint64(rate));
}

qint64 FrameGap::wireNs(int count) const
{
    return qint64(count) * bitsPerByte * nsPerSecond / rate;
}

void FrameGap::lineActiveAt(qint64 nowNs)
{
    if (!anyActivity || nowNs > quietFromNs)
        quietFromNs = nowNs;
    anyActivity = true;
}

void FrameGap::sentAt(qint64 nowNs, int count)
{
    lineActiveAt(nowNs + wireNs(count));
}

qint64 FrameGap::waitNs(qint64 nowNs) const
{
    if (!anyActivity)
        return 0;
    const qint64 left = quietFromNs + gap - nowNs;
    return left > 0 ? left : 0;
}
