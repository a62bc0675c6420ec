#include "configjson.h"

#include "registers.h"
#include "statusjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>
#include <iterator>

#include <cmath>

namespace {

// compensation_seconds as well, so that what toJson() gives can be sent back.
const char *const knownKeys[]
    = {"modules_enabled", "modules_low_power", "max_dac", "compensation_hours", "compensation_seconds", "alarm_c"};

// A JSON value as its sender wrote it, as far as a double can tell: whole
// numbers in full (4294967295, not 4.29497e+09), others in the fewest digits
// that give the same double back (1.0000000000000002, not 1).
QString valueText(const QJsonValue &value)
{
    if (!value.isDouble()) {
        const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return QString::fromUtf8(json.mid(1, json.size() - 2)); // without the list's brackets
    }
    const double number = value.toDouble();
    if (number == std::floor(number) && std::fabs(number) < 1e17)
        return QString::number(number, 'f', 0);
    return QString::number(number, 'g', QLocale::FloatingPointShortest);
}

// A whole number within `range` under `key`.
bool wholeNumber(const QJsonObject &json, const char *key, ConfigBlock::Range range, qint64 *value, QString *error)
{
    const QJsonValue item = json.value(QLatin1String(key));
    const double number = item.toDouble();
    if (!item.isDouble() || number != std::floor(number) || number < range.low || number > range.high) {
        *error = QStringLiteral("%1: %2 is not a whole number from %3 to %4")
                     .arg(QLatin1String(key), item.isUndefined() ? QStringLiteral("missing, it") : valueText(item))
                     .arg(range.low)
                     .arg(range.high);
        return false;
    }
    *value = qint64(number);
    return true;
}

} // namespace

QJsonObject ConfigJson::toJson(const ConfigBlock &block)
{
    QJsonObject json;
    json.insert(QStringLiteral("modules_enabled"), StatusJson::moduleArray(block.ldMask));
    json.insert(QStringLiteral("modules_low_power"), StatusJson::moduleArray(block.lowPowerMask));
    json.insert(QStringLiteral("max_dac"), int(block.ldMaxDac));
    json.insert(QStringLiteral("compensation_hours"), block.values()[ConfigBlock::CompensationHours]);
    json.insert(QStringLiteral("compensation_seconds"), qint64(block.compensationSeconds));
    json.insert(QStringLiteral("alarm_c"), block.alarmTenths / 10.0);
    return json;
}

bool ConfigJson::fromJson(const QJsonObject &json, ConfigBlock *block, QString *error)
{
    for (const QString &key : json.keys()) {
        if (std::none_of(std::begin(knownKeys), std::end(knownKeys),
                [&key](const char *known) { return key == QLatin1String(known); })) {
            *error = QStringLiteral("unknown key '%1' (keys: modules_enabled, modules_low_power, max_dac, "
                                    "compensation_hours, alarm_c)")
                         .arg(key);
            return false;
        }
    }
    ConfigBlock::Values values{};
    quint16 mask = 0;
    QString why;
    if (!modules(json.value(QLatin1String("modules_enabled")), &mask, &why)) {
        *error = QStringLiteral("modules_enabled: ") + why;
        return false;
    }
    values[ConfigBlock::EnableMask] = mask;
    if (!modules(json.value(QLatin1String("modules_low_power")), &mask, &why)) {
        *error = QStringLiteral("modules_low_power: ") + why;
        return false;
    }
    values[ConfigBlock::LowPowerMask] = mask;
    if (!wholeNumber(json, "max_dac", ConfigBlock::range(ConfigBlock::MaxDac), &values[ConfigBlock::MaxDac], error)
        || !wholeNumber(json, "compensation_hours", ConfigBlock::range(ConfigBlock::CompensationHours),
            &values[ConfigBlock::CompensationHours], error))
        return false;
    const QJsonValue alarm = json.value(QLatin1String("alarm_c"));
    const double tenths = alarm.toDouble() * 10;
    const ConfigBlock::Range alarmRange = ConfigBlock::range(ConfigBlock::AlarmTenths);
    if (!alarm.isDouble() || std::fabs(tenths - std::round(tenths)) > 1e-6 || std::round(tenths) < alarmRange.low
        || std::round(tenths) > alarmRange.high) {
        *error = QStringLiteral("alarm_c: %1 is not degrees from %2 to %3 with at most one decimal")
                     .arg(alarm.isUndefined() ? QStringLiteral("missing, it") : valueText(alarm))
                     .arg(QString::number(alarmRange.low / 10.0), QString::number(alarmRange.high / 10.0));
        return false;
    }
    values[ConfigBlock::AlarmTenths] = qint64(std::round(tenths));
    ConfigBlock result;
    if (!ConfigBlock::fromValues(values, &result)) { // each value was held to its range above
        *error = QStringLiteral("a value is out of its range");
        return false;
    }
    const QJsonValue seconds = json.value(QLatin1String("compensation_seconds"));
    if (!seconds.isUndefined() && seconds != QJsonValue(double(result.compensationSeconds))) {
        *error = QStringLiteral("compensation_seconds: %1 is not compensation_hours in seconds (%2); "
                                "give compensation_hours alone")
                     .arg(valueText(seconds))
                     .arg(result.compensationSeconds);
        return false;
    }
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
            *error
                = QStringLiteral("a module number is 1..%1; the list holds %2").arg(ModuleCount).arg(valueText(item));
            return false;
        }
        result |= quint16(1u << (int(number) - 1));
    }
    *mask = result;
    return true;
}
