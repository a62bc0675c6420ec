// The status reading's fields (DeviceModel::statusFields()).

#include "devicemodel.h"

#include "registers.h"
#include "statusjson.h"
#include "valuetext.h"

#include <QJsonArray>

namespace {

bool sensorFails(const StatusBlock &status)
{
    return status.ldTemperature() == TemperatureOpenCircuit || status.ldTemperature() == TemperatureShortCircuit;
}

QString moduleRanges(const QJsonValue &array)
{
    QList<int> numbers;
    for (const QJsonValue &item : array.toArray())
        numbers << item.toInt();
    return ValueText::ranges(numbers);
}

QString word(const QJsonObject &reading, const char *key)
{
    return QStringLiteral("%1").arg(reading.value(QLatin1String(key)).toInt(), 4, 16, QLatin1Char('0')).toUpper();
}

QList<StatusField> makeFields()
{
    QList<StatusField> fields;
    StatusField field;

    field = {};
    field.jsonKey = QStringLiteral("address");
    field.json = [](const StatusBlock &s) { return QJsonValue(int(s.rs485Address() & 0xFF)); };
    field.label = QStringLiteral("address");
    field.text = [](const QJsonObject &r) { return QString::number(r.value(QLatin1String("address")).toInt()); };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("temperature_c"); // null when the sensor is open or shorted
    field.json = [](const StatusBlock &s) {
        return sensorFails(s) ? QJsonValue(QJsonValue::Null) : QJsonValue(s.ldTemperature() / 10.0);
    };
    field.label = QStringLiteral("temperature");
    field.text = [](const QJsonObject &r) {
        const QJsonValue celsius = r.value(QLatin1String("temperature_c"));
        if (!celsius.isNull())
            return QString::number(celsius.toDouble(), 'f', 1) + QStringLiteral(" °C");
        return QStringLiteral("none: the sensor is %1")
            .arg(r.value(QLatin1String("sensor")).toString() == QLatin1String("open")
                    ? QStringLiteral("open (not connected)")
                    : QStringLiteral("short-circuited"));
    };
    field.entityKey = QStringLiteral("temperature");
    field.entityName = QStringLiteral("Temperature");
    field.unit = QStringLiteral("°C");
    field.deviceClass = QStringLiteral("temperature");
    field.stateClass = QStringLiteral("measurement");
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("sensor");
    field.json = [](const StatusBlock &s) {
        if (!sensorFails(s))
            return QJsonValue(QStringLiteral("ok"));
        return QJsonValue(
            s.ldTemperature() == TemperatureOpenCircuit ? QStringLiteral("open") : QStringLiteral("short"));
    };
    field.entityKey = QStringLiteral("sensor");
    field.entityName = QStringLiteral("Temperature sensor");
    field.deviceClass = QStringLiteral("enum");
    field.options = QStringList{QStringLiteral("ok"), QStringLiteral("open"), QStringLiteral("short")};
    field.diagnostic = true;
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("power_permille");
    field.json = [](const StatusBlock &s) { return QJsonValue(int(s.powerPermille())); };
    field.label = QStringLiteral("power");
    field.text = [](const QJsonObject &r) {
        return QString::number(r.value(QLatin1String("power_permille")).toInt()) + QStringLiteral(" ‰");
    };
    field.entityKey = QStringLiteral("power");
    field.entityName = QStringLiteral("Power");
    field.unit = QStringLiteral("‰");
    field.stateClass = QStringLiteral("measurement");
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("supply_v");
    field.json = [](const StatusBlock &s) { return QJsonValue(s.supplyMillivolts() / 1000.0); };
    field.label = QStringLiteral("supply");
    field.text = [](const QJsonObject &r) {
        return QString::number(r.value(QLatin1String("supply_v")).toDouble(), 'f', 3) + QStringLiteral(" V");
    };
    field.entityKey = QStringLiteral("supply_voltage");
    field.entityName = QStringLiteral("Supply voltage");
    field.unit = QStringLiteral("V");
    field.deviceClass = QStringLiteral("voltage");
    field.stateClass = QStringLiteral("measurement");
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("run_seconds");
    field.json = [](const StatusBlock &s) { return QJsonValue(qint64(s.runSeconds())); };
    field.label = QStringLiteral("running time");
    field.text = [](const QJsonObject &r) {
        const qint64 seconds = qint64(r.value(QLatin1String("run_seconds")).toDouble());
        return QStringLiteral("%1 h (%2 s)").arg(seconds / 3600).arg(seconds);
    };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("run_hours");
    field.json = [](const StatusBlock &s) { return QJsonValue(qint64(s.runSeconds() / 3600)); };
    field.entityKey = QStringLiteral("running_hours");
    field.entityName = QStringLiteral("Running hours");
    field.unit = QStringLiteral("h");
    field.deviceClass = QStringLiteral("duration");
    field.stateClass = QStringLiteral("total_increasing");
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("firmware");
    field.json = [](const StatusBlock &s) { return QJsonValue(StatusJson::firmware(s.firmwareVersion())); };
    field.label = QStringLiteral("firmware");
    field.text = [](const QJsonObject &r) { return r.value(QLatin1String("firmware")).toString(); };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("adc_enabled");
    field.json = [](const StatusBlock &s) { return QJsonValue((s.adcEnable() & 0xFF) == 1); };
    field.label = QStringLiteral("analog input");
    field.text = [](const QJsonObject &r) {
        return r.value(QLatin1String("adc_enabled")).toBool() ? QStringLiteral("enabled") : QStringLiteral("masked");
    };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("modules_on");
    field.json = [](const StatusBlock &s) { return QJsonValue(StatusJson::moduleArray(s.ldSwitchMask())); };
    field.label = QStringLiteral("modules on");
    field.text = [](const QJsonObject &r) { return moduleRanges(r.value(QLatin1String("modules_on"))); };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("modules_enabled");
    field.json = [](const StatusBlock &s) { return QJsonValue(StatusJson::moduleArray(s.ldEnableMask())); };
    field.label = QStringLiteral("modules enabled");
    field.text = [](const QJsonObject &r) { return moduleRanges(r.value(QLatin1String("modules_enabled"))); };
    fields << field;

    // The two status words the controller reports, uninterpreted; ctl shows them on one line.
    field = {};
    field.jsonKey = QStringLiteral("status_word_6");
    field.json = [](const StatusBlock &s) { return QJsonValue(int(s.statusWord6())); };
    field.label = QStringLiteral("status words");
    field.text
        = [](const QJsonObject &r) { return word(r, "status_word_6") + QLatin1Char(' ') + word(r, "status_word_8"); };
    fields << field;

    field = {};
    field.jsonKey = QStringLiteral("status_word_8");
    field.json = [](const StatusBlock &s) { return QJsonValue(int(s.statusWord8())); };
    fields << field;
    return fields;
}

} // namespace

const QList<StatusField> &DeviceModel::statusFields()
{
    static const QList<StatusField> fields = makeFields();
    return fields;
}
