#include "configblock.h"

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
    block.compensationSeconds = FactoryCompensationHours * 3600u;
    block.alarmTenths = FactoryAlarmTenths;
    block.lowPowerMask = FactoryLowPowerMask;
    return block;
}

bool ConfigBlock::operator==(const ConfigBlock &other) const
{
    return toWords() == other.toWords();
}
