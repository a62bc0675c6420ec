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

    std::array<quint16, ConfigBlockCount> toWords() const;
    static ConfigBlock fromWords(const std::array<quint16, ConfigBlockCount> &words);
    // What "restore factory settings" writes.
    static ConfigBlock factory();

    bool operator==(const ConfigBlock &other) const;
};

#endif // CONFIGBLOCK_H
