#include "configjson.h"

#include "registers.h"
#include "statusjson.h"

#include <QJsonArray>

#include <cmath>

namespace {

constexpr quint32 compensationHoursMax = 100000;
constexpr int alarmTenthsMax = 1000;

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
    json.insert(QStringLiteral("enabled_modules"), StatusJson::moduleArray(block.ldMask));
    json.insert(QStringLiteral("low_power_modules"), StatusJson::moduleArray(block.lowPowerMask));
    json.insert(QStringLiteral("max_dac"), int(block.ldMaxDac));
    json.insert(QStringLiteral("compensation_hours"), qint64(block.compensationSeconds / 3600));
    json.insert(QStringLiteral("compensation_seconds"), qint64(block.compensationSeconds));
    json.insert(QStringLiteral("alarm_c"), block.alarmTenths / 10.0);
    return json;
}

bool ConfigJson::fromJson(const QJsonObject &json, ConfigBlock *block, QString *error)
{
    ConfigBlock result;
    QString why;
    if (!modules(json.value(QLatin1String("enabled_modules")), &result.ldMask, &why)) {
        *error = QStringLiteral("enabled_modules: ") + why;
        return false;
    }
    if (!modules(json.value(QLatin1String("low_power_modules")), &result.lowPowerMask, &why)) {
        *error = QStringLiteral("low_power_modules: ") + why;
        return false;
    }
    double dac = 0;
    double hours = 0;
    if (!wholeNumber(json, "max_dac", MaxPowerDacMin, MaxPowerDacMax, &dac, error)
        || !wholeNumber(json, "compensation_hours", 0, compensationHoursMax, &hours, error))
        return false;
    const QJsonValue alarm = json.value(QLatin1String("alarm_c"));
    const double tenths = alarm.toDouble() * 10;
    if (!alarm.isDouble() || std::fabs(tenths - std::round(tenths)) > 1e-6 || tenths < 0
        || std::round(tenths) > alarmTenthsMax) {
        *error = QStringLiteral("alarm_c: degrees from 0 to 100 with at most one decimal");
        return false;
    }
    result.ldMaxDac = quint16(dac);
    result.compensationSeconds = quint32(hours) * 3600;
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
        if (!item.isDouble() || number != int(number) || number < 1 || number > ModuleCount) {
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
