#ifndef STATUSJSON_H
#define STATUSJSON_H

#include "replydecoder.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

// One status reading as JSON, with keys that carry their units. The same
// object is what vortanix-ctl prints with --json and what vortanix-bridge
// publishes as a controller's state:
//   time            ISO 8601 local time with milliseconds and offset
//   address         the RS-485 address the controller reports (1..254)
//   temperature_c   light-source temperature in °C, one decimal; null when the sensor is open or shorted
//   sensor          "ok", "open" (open circuit) or "short" (short circuit)
//   power_permille  output power setting, 0..1000 (‰)
//   supply_v        supply voltage in volts
//   run_seconds     running time in seconds
//   run_hours       running time in whole hours
//   firmware        "major.minor", e.g. "1.10"
//   adc_enabled     whether the external analog (ADC) power input is enabled
//   modules_on      the modules switched on, numbers 1..12
//   modules_enabled the modules enabled, numbers 1..12
//   status_word_6, status_word_8   the two status words the controller reports, uninterpreted
class StatusJson
{
public:
    static QJsonObject toJson(const StatusBlock &status, const QDateTime &time);
    // The keys above, in this order: the CSV columns follow them.
    static QStringList keys();
    // A module mask as module numbers 1..12.
    static QList<int> modules(quint16 mask);
    // The same as a JSON array.
    static QJsonArray moduleArray(quint16 mask);
    // The firmware word as text: high byte, a point, low byte ("1.10" for 0x010A).
    static QString firmware(quint16 word);
    // ISO 8601 local time with milliseconds and UTC offset.
    static QString timeText(const QDateTime &time);
};

#endif // STATUSJSON_H
