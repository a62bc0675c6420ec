#ifndef CONFIGBLOCK_H
#define CONFIGBLOCK_H

#include "registers.h"

#include <QtGlobal>

#include <array>

// The controller's configuration block, seven registers from 0x2001: the
// reserved word (written 0, ignored when read), the module enable mask, the
// maximum-power DAC, the compensation duration in seconds (high word first),
// the alarm temperature in 0.1 °C and the low-power module mask. Encoded to
// words here and decoded from words here, nowhere else.
struct ConfigBlock
{
    quint16 ldMask = 0;
    quint16 ldMaxDac = 0;
    quint32 compensationSeconds = 0;
    quint16 alarmTenths = 0;
    quint16 lowPowerMask = 0;

    // The largest values the words hold, for checks of values from outside.
    static constexpr quint32 SecondsPerHour = 3600;
    static constexpr quint32 HoursMax = 0xFFFFFFFFu / SecondsPerHour;
    static constexpr quint16 AlarmTenthsMax = 0xFFFF;

    // A block as a person gives it, in the units people use: the two module
    // masks, the DAC, the alarm in 0.1 °C and the compensation in whole
    // hours. Every block made from outside (an INI file, a JSON payload) is
    // made by fromValues(), which holds each value to its range here.
    enum Field { EnableMask, LowPowerMask, MaxDac, AlarmTenths, CompensationHours, FieldCount };
    using Values = std::array<qint64, FieldCount>;
    struct Range
    {
        qint64 low;
        qint64 high;
    };
    static Range range(Field field);
    // The block the values make; false, with the first value out of its range
    // in *refused, when they make none.
    static bool fromValues(const Values &values, ConfigBlock *block, Field *refused = nullptr);
    // This block's values; the compensation in whole hours, any seconds beyond dropped.
    Values values() const;

    std::array<quint16, ConfigBlockCount> toWords() const;
    static ConfigBlock fromWords(const std::array<quint16, ConfigBlockCount> &words);
    // What "restore factory settings" writes.
    static ConfigBlock factory();

    bool operator==(const ConfigBlock &other) const;
};

#endif // CONFIGBLOCK_H
