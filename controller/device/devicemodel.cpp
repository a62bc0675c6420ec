#include "devicemodel.h"

#include "powerscale.h"
#include "registermap.h"
#include "registers.h"
#include "valuetext.h"

namespace {

// A number written to the register as typed takes the range its row of the register table gives.
void rangeOfRegister(SettingRow &row)
{
    const RegisterMap::Row *reg = RegisterMap::find(row.reg);
    Q_ASSERT(reg);
    row.low = reg->min;
    row.high = reg->max;
}

QList<SettingRow> makeSettings()
{
    QList<SettingRow> rows;
    SettingRow row;

    row = {};
    row.name = QStringLiteral("switch");
    row.kind = SettingRow::Modules;
    row.reg = RegLdSwitchMask;
    row.jsonKey = QStringLiteral("modules_on");
    row.label = QStringLiteral("modules on");
    row.othersText = QStringLiteral("off");
    row.argument = QStringLiteral("MODULES");
    row.summary = QStringLiteral("switch these modules on, the others off");
    rows << row;

    row = {};
    row.name = QStringLiteral("power");
    row.reg = RegPowerPermille;
    rangeOfRegister(row);
    row.unit = QStringLiteral("‰");
    row.jsonKey = QStringLiteral("power_permille");
    row.label = QStringLiteral("power");
    row.argument = QStringLiteral("PERMILLE");
    row.summary = QStringLiteral("set the output power");
    row.entity = QStringLiteral("number");
    row.entityName = QStringLiteral("Power setting");
    rows << row;

    row = {};
    row.name = QStringLiteral("power_mv");
    row.reg = RegPowerPermille;
    row.high = AnalogMillivoltsMax;
    row.unit = QStringLiteral("mV");
    row.toRegister = permilleFromMillivolts;
    row.jsonKey = QStringLiteral("millivolts");
    row.argument = QStringLiteral("MV");
    row.summary = QStringLiteral("the power from an analog figure, converted as the panel converts it (%1 mV and "
                                 "below give 0 ‰, %2 mV gives %3 ‰)")
                      .arg(AnalogMillivoltsFloor)
                      .arg(AnalogMillivoltsMax)
                      .arg(PowerPermilleMax);
    row.ctlOption = QStringLiteral("millivolts");
    rows << row;

    row = {};
    row.name = QStringLiteral("adc");
    row.kind = SettingRow::OnOff;
    row.reg = RegAdcEnable;
    row.jsonKey = QStringLiteral("adc_enabled");
    row.label = QStringLiteral("analog input");
    row.onText = QStringLiteral("enabled");
    row.offText = QStringLiteral("masked");
    row.argument = QStringLiteral("on|off");
    row.summary = QStringLiteral("enable or mask the external analog power input");
    rows << row;

    row = {};
    row.name = QStringLiteral("enable");
    row.kind = SettingRow::Modules;
    row.reg = RegLdEnableMask;
    row.jsonKey = QStringLiteral("modules_enabled");
    row.label = QStringLiteral("modules enabled");
    row.othersText = QStringLiteral("disabled");
    row.argument = QStringLiteral("MODULES");
    row.summary = QStringLiteral("read or set the enabled modules");
    row.readable = true;
    rows << row;

    row = {};
    row.name = QStringLiteral("dac");
    row.reg = RegMaxPowerDac;
    rangeOfRegister(row);
    row.jsonKey = QStringLiteral("max_dac");
    row.label = QStringLiteral("maximum DAC");
    row.argument = QStringLiteral("VALUE");
    row.summary = QStringLiteral("read or set the maximum-power DAC limit");
    row.readable = true;
    rows << row;
    return rows;
}

} // namespace

const QList<SettingRow> &DeviceModel::settings()
{
    static const QList<SettingRow> rows = makeSettings();
    return rows;
}

const SettingRow *DeviceModel::setting(const QString &name)
{
    for (const SettingRow &row : settings()) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

QList<const SettingRow *> DeviceModel::ctlOptions(const SettingRow &command)
{
    QList<const SettingRow *> options;
    for (const SettingRow &row : settings()) {
        if (command.ctlOption.isEmpty() && !row.ctlOption.isEmpty() && row.reg == command.reg)
            options << &row;
    }
    return options;
}

bool DeviceModel::parse(const SettingRow &row, const QString &text, quint16 *word, qint64 *typed, QString *error)
{
    switch (row.kind) {
    case SettingRow::Number: {
        qint64 value = 0;
        if (!ValueText::number(text, row.low, row.high, row.name, &value, error))
            return false;
        *typed = value;
        *word = row.toRegister ? row.toRegister(quint16(value)) : quint16(value);
        return true;
    }
    case SettingRow::OnOff: {
        bool on = false;
        if (!ValueText::onOff(text, row.name, &on, error))
            return false;
        *typed = on ? 1 : 0;
        *word = on ? 1 : 0;
        return true;
    }
    case SettingRow::Modules:
        if (!ValueText::modules(text, word, error))
            return false;
        *typed = *word;
        return true;
    }
    return false;
}

QString DeviceModel::valuesText(const SettingRow &row)
{
    switch (row.kind) {
    case SettingRow::Number:
        return QStringLiteral("a whole number %1..%2%3")
            .arg(row.low)
            .arg(row.high)
            .arg(row.unit.isEmpty() ? QString() : QLatin1Char(' ') + row.unit);
    case SettingRow::OnOff:
        return ValueText::onOffWords();
    case SettingRow::Modules:
        return QStringLiteral("module numbers 1..%1 and ranges, e.g. 1,2,5-8; or all; or none").arg(ModuleCount);
    }
    return QString();
}
