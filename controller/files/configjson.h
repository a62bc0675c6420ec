#ifndef CONFIGJSON_H
#define CONFIGJSON_H

#include "configblock.h"

#include <QJsonObject>
#include <QString>

// The configuration block as JSON, with keys that carry their units:
//   modules_enabled       the module enable mask, module numbers 1..12
//   modules_low_power     the low-power module mask, module numbers 1..12
//   max_dac               the maximum-power DAC limit (2800..3980)
//   compensation_hours    the compensation duration in whole hours
//   compensation_seconds  the same in seconds, as the controller holds it (read only)
//   alarm_c               the alarm temperature in °C, one decimal
class ConfigJson
{
public:
    static QJsonObject toJson(const ConfigBlock &block);
    // A block to write, from the five keys above other than compensation_seconds,
    // all required and checked, never clamped: max_dac 2800..3980,
    // compensation_hours 0..1193046 whole hours, alarm_c 0..6553.5 with at most
    // one decimal. compensation_seconds may come along (what toJson() gives
    // can be sent back) when it is compensation_hours in seconds; any other
    // key is refused. False, with a sentence in `error` that names the key and
    // the value as given, otherwise.
    static bool fromJson(const QJsonObject &json, ConfigBlock *block, QString *error);
    // A module mask from a JSON array of module numbers ([1, 2, 5]; [] is none).
    static bool modules(const QJsonValue &value, quint16 *mask, QString *error);
};

#endif // CONFIGJSON_H
