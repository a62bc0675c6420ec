#ifndef BRIDGE_H
#define BRIDGE_H

#include "bridgeconfig.h"
#include "linehub.h"

#include <QObject>

#include <memory>
#include <vector>

class FrontEnd;
class HttpFrontEnd;
class ModbusGateway;
class MqttFrontEnd;

// The bridge: the line hub and the front-ends the configuration asks for
// (the HTTP listener: status page and metrics; the Modbus TCP gateway, MQTT), put
// together, started, reloaded and stopped in their order, and the log of what
// the lines do. Everything here runs in the main thread.
class Bridge : public QObject
{
    Q_OBJECT

public:
    Bridge(const BridgeConfig &config, bool trace, QObject *parent = nullptr);
    ~Bridge() override;

    // Takes every address to listen on first, then opens the lines' ports,
    // then starts the front-ends. ExitOk, or the exit status with a sentence:
    // an address that cannot be had, a port that cannot be (held by another
    // program, no permission; a port that is missing is waited for), an MQTT
    // client that cannot be set up.
    int start(QString *error);
    // Runs with `next` from now on (a configuration read again, checked):
    // the lines whose settings did not change go on with their port and
    // polls, the others are stopped and started; the front-ends whose
    // sections changed restart, the others keep their clients. What it did
    // goes to the log.
    void reload(const BridgeConfig &next);
    // The front-ends take no more requests, the lines finish the ones on the
    // wire and their answers go out, then everything stops ("offline" for
    // every controller and the bridge). False when the MQTT thread did not
    // end (see MqttClient::stop).
    bool stop();

private:
    QList<FrontEnd *> frontEnds() const; // in the order they start
    void makeFrontEnds(bool newHttp, bool newGateway, bool newMqtt);
    void logLine(int line);
    void logAvailability(int controller);

    LineHub hub;
    std::unique_ptr<HttpFrontEnd> http;
    std::unique_ptr<ModbusGateway> gateway;
    std::unique_ptr<MqttFrontEnd> mqtt;
    bool stopped = false;
};

#endif // BRIDGE_H
