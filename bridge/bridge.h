#ifndef BRIDGE_H
#define BRIDGE_H

#include "bridgeconfig.h"
#include "frontend.h"
#include "linehub.h"

#include <QObject>

#include <memory>
#include <vector>

// The bridge: the line hub and the front-ends the configuration asks for
// (the HTTP listener of the metrics, the Modbus TCP gateway, MQTT), put
// together, started and stopped in their order, and the log of what the
// lines do. Everything here runs in the main thread.
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
    // The front-ends take no more requests, the lines finish the ones on the
    // wire and their answers go out, then everything stops ("offline" for
    // every controller and the bridge). False when the MQTT thread did not
    // end (see MqttClient::stop).
    bool stop();

private:
    void logLine(int line);
    void logAvailability(int controller);

    LineHub hub;
    std::vector<std::unique_ptr<FrontEnd>> frontEnds; // in the order they start
    bool stopped = false;
};

#endif // BRIDGE_H
