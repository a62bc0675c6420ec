#include "registerrules.h"

#include "configblock.h"
#include "registers.h"

#include <algorithm>

namespace RegisterRules {

namespace {

constexpr quint16 anyWord = 0xFFFF;

} // namespace

const QVector<Rule> &table()
{
    static const QVector<Rule> rows = {
        {RegCommandWord, Access::LineOnly, 0, anyWord, "command word"},
        {RegLdEnableMask, Access::ReadWrite, 0, AllModulesMask, "module enable mask"},
        {RegLdSwitchMask, Access::ReadWrite, 0, AllModulesMask, "module switch mask"},
        {RegAdcEnable, Access::ReadWrite, 0, 1, "analog (ADC) power input"},
        {RegPowerPermille, Access::ReadWrite, 0, PowerPermilleMax, "power (per mille)"},
        {RegRs485Address, Access::LineOnly, Rs485AddressMin, Rs485AddressMax, "RS-485 address"},
        {RegStatusWord6, Access::ReadOnly, 0, anyWord, "status word 6"},
        {RegLdTemperature, Access::ReadOnly, 0, anyWord, "temperature"},
        {RegStatusWord8, Access::ReadOnly, 0, anyWord, "status word 8"},
        {RegSupplyVoltage, Access::ReadOnly, 0, anyWord, "supply voltage"},
        {RegRunSecondsHigh, Access::ReadOnly, 0, anyWord, "run seconds, high word"},
        {RegRunSecondsLow, Access::ReadOnly, 0, anyWord, "run seconds, low word"},
        {RegFirmwareVersion, Access::ReadOnly, 0, anyWord, "firmware version"},
        {RegMaxPowerDac, Access::ReadWrite, MaxPowerDacMin, MaxPowerDacMax, "maximum-power DAC"},
        // The configuration block; its reserved word is sent as given.
        {RegCfgReserved, Access::BlockOnly, 0, anyWord, "configuration: reserved"},
        {RegCfgLdMask, Access::BlockOnly, 0, AllModulesMask, "configuration: module mask"},
        {RegCfgLdMaxDac, Access::BlockOnly, MaxPowerDacMin, MaxPowerDacMax, "configuration: maximum-power DAC"},
        {RegCfgLdCompensationSecondsHigh, Access::BlockOnly, 0, anyWord, "configuration: compensation, high word"},
        {RegCfgLdCompensationSecondsLow, Access::BlockOnly, 0, anyWord, "configuration: compensation, low word"},
        {RegCfgLdAlarmTemperature, Access::BlockOnly, 0, ConfigBlock::AlarmTenthsMax,
            "configuration: alarm temperature"},
        {RegCfgLdLowPowerMask, Access::BlockOnly, 0, AllModulesMask, "configuration: low-power mask"},
    };
    return rows;
}

const Rule *find(quint16 reg)
{
    const QVector<Rule> &rows = table();
    const auto row = std::find_if(rows.begin(), rows.end(), [reg](const Rule &rule) { return rule.reg == reg; });
    return row == rows.end() ? nullptr : &*row;
}

Refusal checkWrite(quint16 reg, quint16 value)
{
    const Rule *rule = find(reg);
    if (!rule || rule->access == Access::ReadOnly || rule->access == Access::BlockOnly)
        return NoSuchRegister;
    if (rule->access == Access::LineOnly)
        return NotAllowed;
    return value < rule->min || value > rule->max ? OutOfRange : None;
}

Refusal checkBlockWrite(quint16 first, const QVector<quint16> &values)
{
    if (first != ConfigBlockFirst || values.size() != ConfigBlockCount)
        return NoSuchRegister;
    for (int i = 0; i < values.size(); ++i) {
        const Rule *rule = find(quint16(first + i));
        if (!rule || rule->access != Access::BlockOnly)
            return NoSuchRegister;
        if (values.at(i) < rule->min || values.at(i) > rule->max)
            return OutOfRange;
    }
    return None;
}

} // namespace RegisterRules
