#ifndef DISCOVERY_H
#define DISCOVERY_H

#include <QByteArray>
#include <QList>
#include <QString>

class Topics;

// Home Assistant MQTT discovery: the retained config messages that make one
// controller a device with these entities (object ids "<id>_<entity>"):
//   sensors       temperature, supply_voltage, power, running_hours,
//                 sensor (the temperature sensor's state), link
//   number        power_setting (0..1000 ‰), to set/power
//   switches      module_1 .. module_12 and adc, to set/module_N and set/adc
// In read-only mode the number is left out and the switches are binary
// sensors. Every entity but link is available while both the bridge and the
// controller are online; link only needs the bridge, so it shows why a
// controller is offline.
class Discovery
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
    };

    // `firmware` is the device's software version; empty until it is known.
    static QList<Message> forController(
        const Topics &topics, const QString &id, quint8 address, const QString &firmware, bool readOnly);
};

#endif // DISCOVERY_H
