#include "registermap.h"

#include "configblock.h"
#include "registers.h"

#include <algorithm>

namespace RegisterMap {

namespace {

constexpr quint16 anyWord = 0xFFFF;
constexpr quint32 factoryCompensationSeconds = FactoryCompensationHours * ConfigBlock::SecondsPerHour;

using A = Access;
using M = Metric;

} // namespace

const std::vector<Row> &rows()
{
    // reg, name, access, line only, min, max, device checks range, reset value, follows config,
    // unit, scale, status key, metric, metric name, metric help
    static const std::vector<Row> table = {
        {RegCommandWord, "command word", A::WriteOnly, true, 0, anyWord, false, 0, 0, "", 1, "", M::None, nullptr,
            nullptr},
        // The status block, read by every poll.
        {RegLdEnableMask, "module enable mask", A::ReadWrite, false, 0, AllModulesMask, false, FactoryLdMask,
            RegCfgLdMask, "", 1, "modules_enabled", M::Modules, "vortanix_module_enabled",
            "1 while the module (1 to 12) is enabled, else 0."},
        {RegLdSwitchMask, "module switch mask", A::ReadWrite, false, 0, AllModulesMask, false, 0, 0, "", 1,
            "modules_on", M::Modules, "vortanix_module_on", "1 while the module (1 to 12) is switched on, else 0."},
        {RegAdcEnable, "analog (ADC) power input", A::ReadWrite, false, 0, 1, false, 0, 0, "", 1, "adc_enabled",
            M::Flag, "vortanix_analog_input_enabled",
            "1 while the external analog (ADC) power input is enabled, else 0."},
        {RegPowerPermille, "power", A::ReadWrite, false, 0, PowerPermilleMax, false, 0, 0, "‰", 1, "power_permille",
            M::Gauge, "vortanix_power_permille", "Output power setting in per mille (0 to 1000)."},
        {RegRs485Address, "RS-485 address", A::ReadWrite, true, Rs485AddressMin, Rs485AddressMax, true, Rs485AddressMin,
            0, "", 1, "address", M::None, nullptr, nullptr},
        {RegStatusWord6, "status word 6", A::ReadOnly, false, 0, anyWord, false, 0, 0, "", 1, "status_word_6", M::None,
            nullptr, nullptr},
        {RegLdTemperature, "temperature", A::ReadOnly, false, 0, anyWord, false, 253, 0, "°C", 0.1, "temperature_c",
            M::Temperature, "vortanix_temperature_celsius",
            "Light-source temperature in degrees Celsius; absent while the sensor is open or shorted."},
        {RegStatusWord8, "status word 8", A::ReadOnly, false, 0, anyWord, false, 0, 0, "", 1, "status_word_8", M::None,
            nullptr, nullptr},
        {RegSupplyVoltage, "supply voltage", A::ReadOnly, false, 0, anyWord, false, 24000, 0, "V", 0.001, "supply_v",
            M::Gauge, "vortanix_supply_volts", "Supply voltage in volts."},
        {RegRunSecondsHigh, "running time, high word", A::ReadOnly, false, 0, anyWord, false, 0, 0, "s", 1,
            "run_seconds", M::Counter32, "vortanix_running_time_seconds",
            "The light source's running time as the controller counts it, in seconds."},
        {RegRunSecondsLow, "running time, low word", A::ReadOnly, false, 0, anyWord, false, 0, 0, "s", 1, "run_seconds",
            M::None, nullptr, nullptr},
        {RegFirmwareVersion, "firmware version", A::ReadOnly, false, 0, anyWord, false, 0x010A, 0, "", 1, "firmware",
            M::Firmware, "vortanix_controller_info", "The controller's firmware version, as a label."},
        {RegMaxPowerDac, "maximum-power DAC", A::ReadWrite, false, MaxPowerDacMin, MaxPowerDacMax, false,
            FactoryLdMaxDac, RegCfgLdMaxDac, "", 1, "", M::None, nullptr, nullptr},
        // The configuration block, with the factory configuration; its reserved word is sent as given.
        {RegCfgReserved, "configuration: reserved", A::BlockOnly, false, 0, anyWord, false, 0, 0, "", 1, "", M::None,
            nullptr, nullptr},
        {RegCfgLdMask, "configuration: module mask", A::BlockOnly, false, 0, AllModulesMask, false, FactoryLdMask, 0,
            "", 1, "", M::None, nullptr, nullptr},
        {RegCfgLdMaxDac, "configuration: maximum-power DAC", A::BlockOnly, false, MaxPowerDacMin, MaxPowerDacMax, false,
            FactoryLdMaxDac, 0, "", 1, "", M::None, nullptr, nullptr},
        {RegCfgLdCompensationSecondsHigh, "configuration: compensation, high word", A::BlockOnly, false, 0, anyWord,
            false, quint16(factoryCompensationSeconds >> 16), 0, "s", 1, "", M::None, nullptr, nullptr},
        {RegCfgLdCompensationSecondsLow, "configuration: compensation, low word", A::BlockOnly, false, 0, anyWord,
            false, quint16(factoryCompensationSeconds & 0xFFFF), 0, "s", 1, "", M::None, nullptr, nullptr},
        {RegCfgLdAlarmTemperature, "configuration: alarm temperature", A::BlockOnly, false, 0,
            ConfigBlock::AlarmTenthsMax, false, FactoryAlarmTenths, 0, "°C", 0.1, "", M::Gauge,
            "vortanix_temperature_alarm_celsius",
            "The temperature at which the controller raises its alarm, in degrees Celsius (its configuration block, "
            "read when it comes online and when it is written)."},
        {RegCfgLdLowPowerMask, "configuration: low-power mask", A::BlockOnly, false, 0, AllModulesMask, false,
            FactoryLowPowerMask, 0, "", 1, "", M::None, nullptr, nullptr},
    };
    return table;
}

const Row *find(quint16 reg)
{
    const std::vector<Row> &table = rows();
    const auto row = std::find_if(table.begin(), table.end(), [reg](const Row &r) { return r.reg == reg; });
    return row == table.end() ? nullptr : &*row;
}

bool readable(quint16 first, int count)
{
    for (int reg = first; reg < first + count; ++reg) {
        const Row *row = reg > 0xFFFF ? nullptr : find(quint16(reg));
        if (!row || row->access == Access::WriteOnly)
            return false;
    }
    return count > 0;
}

} // namespace RegisterMap
