#include "configjson.h"

#include "registers.h"
#include "statusjson.h"

#include <QJsonArray>

#include <cmath>

namespace {

// A whole number within [low, high] under `key`.
bool wholeNumber(const QJsonObject &json, const char *key, double low, double high, double *value, QString *error)
{
    const QJsonValue item = json.value(QLatin1String(key));
    const double number = item.toDouble();
    if (!item.isDouble() || number != std::floor(number) || number < low || number > high) {
        *error = QStringLiteral("%1: a whole number from %2 to %3").arg(QLatin1String(key)).arg(low).arg(high);
        return false;
    }
    *value = number;
    return true;
}

} // namespace

QJsonObject ConfigJson::toJson(const ConfigBlock &block)
{
    QJsonObject json;
    json.insert(QStringLiteral("modules_enabled"), StatusJson::moduleArray(block.ldMask));
    json.insert(QStringLiteral("modules_low_power"), StatusJson::moduleArray(block.lowPowerMask));
    json.insert(QStringLiteral("max_dac"), int(block.ldMaxDac));
    json.insert(QStringLiteral("compensation_hours"), qint64(block.compensationSeconds / ConfigBlock::SecondsPerHour));
    json.insert(QStringLiteral("compensation_seconds"), qint64(block.compensationSeconds));
    json.insert(QStringLiteral("alarm_c"), block.alarmTenths / 10.0);
    return json;
}

bool ConfigJson::fromJson(const QJsonObject &json, ConfigBlock *block, QString *error)
{
    ConfigBlock result;
    QString why;
    if (!modules(json.value(QLatin1String("modules_enabled")), &result.ldMask, &why)) {
        *error = QStringLiteral("modules_enabled: ") + why;
        return false;
    }
    if (!modules(json.value(QLatin1String("modules_low_power")), &result.lowPowerMask, &why)) {
        *error = QStringLiteral("modules_low_power: ") + why;
        return false;
    }
    double dac = 0;
    double hours = 0;
    if (!wholeNumber(json, "max_dac", MaxPowerDacMin, MaxPowerDacMax, &dac, error)
        || !wholeNumber(json, "compensation_hours", 0, ConfigBlock::HoursMax, &hours, error))
        return false;
    const QJsonValue alarm = json.value(QLatin1String("alarm_c"));
    const double tenths = alarm.toDouble() * 10;
    if (!alarm.isDouble() || std::fabs(tenths - std::round(tenths)) > 1e-6 || tenths < 0
        || std::round(tenths) > ConfigBlock::AlarmTenthsMax) {
        *error = QStringLiteral("alarm_c: degrees from 0 to 6553.5 with at most one decimal");
        return false;
    }
    result.ldMaxDac = quint16(dac);
    result.compensationSeconds = quint32(hours) * ConfigBlock::SecondsPerHour;
    result.alarmTenths = quint16(std::round(tenths));
    *block = result;
    return true;
}

bool ConfigJson::modules(const QJsonValue &value, quint16 *mask, QString *error)
{
    if (!value.isArray()) {
        *error = QStringLiteral("not a list of module numbers (e.g. [1, 2, 5])");
        return false;
    }
    quint16 result = 0;
    for (const QJsonValue &item : value.toArray()) {
        const double number = item.toDouble(-1);
        if (!item.isDouble() || number < 1 || number > ModuleCount || number != std::floor(number)) {
            *error = QStringLiteral("a module number is 1..%1; the list holds %2")
                         .arg(ModuleCount)
                         .arg(item.isDouble() ? QString::number(number) : QStringLiteral("something else"));
            return false;
        }
        result |= quint16(1u << (int(number) - 1));
    }
    *mask = result;
    return true;
}
