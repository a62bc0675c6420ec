#ifndef STATEJSON_H
#define STATEJSON_H

#include <QByteArray>
#include <QJsonObject>

class LineHub;

// The hub's state as the JSON document of /api/state, which the status page
// shows and scripts read: the bridge, every line and every controller. Its
// keys are documented in vortanix-bridge(1), STATUS PAGE, and stay as they
// are; a controller's status is the object its MQTT state and vortanix-ctl's
// --json carry (StatusJson), shown while the hub counts it online, as the
// metrics show its readings.
class StateJson
{
public:
    explicit StateJson(const LineHub &hub) : hub(hub) { }

    QByteArray document() const;
    QJsonObject line(int index) const;
    QJsonObject controller(int index) const;

private:
    const LineHub &hub;
};

#endif // STATEJSON_H
