#include "statusjson.h"

#include "registers.h"

QJsonObject StatusJson::toJson(const StatusBlock &status, const QDateTime &time)
{
    QJsonObject json;
    json.insert(QStringLiteral("time"), timeText(time));
    json.insert(QStringLiteral("address"), int(status.rs485Address & 0xFF));
    if (status.ldTemperature == TemperatureOpenCircuit || status.ldTemperature == TemperatureShortCircuit) {
        json.insert(QStringLiteral("temperature_c"), QJsonValue::Null);
        json.insert(QStringLiteral("sensor"),
            status.ldTemperature == TemperatureOpenCircuit ? QStringLiteral("open") : QStringLiteral("short"));
    } else {
        json.insert(QStringLiteral("temperature_c"), status.ldTemperature / 10.0);
        json.insert(QStringLiteral("sensor"), QStringLiteral("ok"));
    }
    json.insert(QStringLiteral("power_permille"), int(status.powerPermille));
    json.insert(QStringLiteral("supply_v"), status.supplyMillivolts / 1000.0);
    json.insert(QStringLiteral("run_seconds"), qint64(status.runSeconds));
    json.insert(QStringLiteral("run_hours"), qint64(status.runSeconds / 3600));
    json.insert(QStringLiteral("firmware"), firmware(status.firmwareVersion));
    json.insert(QStringLiteral("adc_enabled"), (status.adcEnable & 0xFF) == 1);
    json.insert(QStringLiteral("modules_on"), moduleArray(status.ldSwitchMask));
    json.insert(QStringLiteral("modules_enabled"), moduleArray(status.ldEnableMask));
    json.insert(QStringLiteral("status_word_6"), int(status.statusWord6));
    json.insert(QStringLiteral("status_word_8"), int(status.statusWord8));
    return json;
}

QStringList StatusJson::keys()
{
    return {QStringLiteral("time"), QStringLiteral("address"), QStringLiteral("temperature_c"),
        QStringLiteral("sensor"), QStringLiteral("power_permille"), QStringLiteral("supply_v"),
        QStringLiteral("run_seconds"), QStringLiteral("run_hours"), QStringLiteral("firmware"),
        QStringLiteral("adc_enabled"), QStringLiteral("modules_on"), QStringLiteral("modules_enabled"),
        QStringLiteral("status_word_6"), QStringLiteral("status_word_8")};
}

QList<int> StatusJson::modules(quint16 mask)
{
    QList<int> numbers;
    for (int i = 0; i < 12; ++i) {
        if (mask & (1u << i))
            numbers.append(i + 1);
    }
    return numbers;
}

QJsonArray StatusJson::moduleArray(quint16 mask)
{
    QJsonArray array;
    for (int module : modules(mask))
        array.append(module);
    return array;
}

QString StatusJson::firmware(quint16 word)
{
    return QStringLiteral("%1.%2").arg(word >> 8).arg(word & 0xFF);
}

QString StatusJson::timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}
