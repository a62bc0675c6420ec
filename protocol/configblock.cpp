#include "configblock.h"

ConfigBlock::Range ConfigBlock::range(Field field)
{
    switch (field) {
    case EnableMask:
    case LowPowerMask:
        return {0, AllModulesMask};
    case MaxDac:
        return {MaxPowerDacMin, MaxPowerDacMax};
    case AlarmTenths:
        return {0, AlarmTenthsMax};
    case CompensationHours:
    case FieldCount:
        break;
    }
    return {0, HoursMax};
}

bool ConfigBlock::fromValues(const Values &values, ConfigBlock *block, Field *refused)
{
    for (int i = 0; i < FieldCount; ++i) {
        const Range limits = range(Field(i));
        if (values[i] < limits.low || values[i] > limits.high) {
            if (refused)
                *refused = Field(i);
            return false;
        }
    }
    block->ldMask = quint16(values[EnableMask]);
    block->lowPowerMask = quint16(values[LowPowerMask]);
    block->ldMaxDac = quint16(values[MaxDac]);
    block->alarmTenths = quint16(values[AlarmTenths]);
    block->compensationSeconds = quint32(values[CompensationHours]) * SecondsPerHour;
    return true;
}

ConfigBlock::Values ConfigBlock::values() const
{
    Values result{};
    result[EnableMask] = ldMask;
    result[LowPowerMask] = lowPowerMask;
    result[MaxDac] = ldMaxDac;
    result[AlarmTenths] = alarmTenths;
    result[CompensationHours] = compensationSeconds / SecondsPerHour;
    return result;
}

std::array<quint16, ConfigBlockCount> ConfigBlock::toWords() const
{
    return {0, ldMask, ldMaxDac, quint16(compensationSeconds >> 16), quint16(compensationSeconds & 0xFFFF), alarmTenths,
        lowPowerMask};
}

ConfigBlock ConfigBlock::fromWords(const std::array<quint16, ConfigBlockCount> &words)
{
    ConfigBlock block;
    // Word 0 (0x2001) is reserved and ignored.
    block.ldMask = words[1];
    block.ldMaxDac = words[2];
    block.compensationSeconds = (quint32(words[3]) << 16) | words[4];
    block.alarmTenths = words[5];
    block.lowPowerMask = words[6];
    return block;
}

ConfigBlock ConfigBlock::factory()
{
    ConfigBlock block;
    block.ldMask = FactoryLdMask;
    block.ldMaxDac = FactoryLdMaxDac;
    block.compensationSeconds = FactoryCompensationHours * SecondsPerHour;
    block.alarmTenths = FactoryAlarmTenths;
    block.lowPowerMask = FactoryLowPowerMask;
    return block;
}

bool ConfigBlock::operator==(const ConfigBlock &other) const
{
    return toWords() == other.toWords();
}
