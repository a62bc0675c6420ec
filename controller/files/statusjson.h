#ifndef STATUSJSON_H
#define STATUSJSON_H

#include "replydecoder.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

// One status reading as JSON: "time" (ISO 8601 local time with milliseconds
// and offset), then the fields of DeviceModel::statusFields(). The same object
// is what vortanix-ctl prints with --json and what vortanix-bridge publishes
// as a controller's state.
class StatusJson
{
public:
    static QJsonObject toJson(const StatusBlock &status, const QDateTime &time);
    // The keys, in their order: the CSV columns follow them.
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
