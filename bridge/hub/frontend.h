#ifndef FRONTEND_H
#define FRONTEND_H

#include <QObject>
#include <QString>

class Exposition;
class LineHub;

// One way the bridge serves its lines to the outside (MQTT, Modbus TCP, the
// HTTP listener): a class that talks to the line hub only (requests in,
// state and signals out) and never to a line. Every front-end lives in the
// main thread and is started and stopped alike:
//   listen()      before any port is touched: takes the addresses it serves on,
//                 so that a taken address stops the start with nothing held;
//   start()       once the lines are open: connects, subscribes, serves;
//   quiesce()     takes no new requests (the hub then finishes the ones on the wire);
//   stop()        answers what it still owes and closes.
// A new front-end is one class like this and its section of the configuration
// (docs/development.md).
class FrontEnd : public QObject
{
    Q_OBJECT

public:
    explicit FrontEnd(LineHub &hub, QObject *parent = nullptr) : QObject(parent), hub(hub) { }

    // "MQTT", "Modbus TCP", "HTTP": for the log.
    virtual QString name() const = 0;
    // False, with a sentence, when an address cannot be listened on.
    virtual bool listen(QString *error)
    {
        Q_UNUSED(error)
        return true;
    }
    // False, with a sentence, when the front-end cannot be set up.
    virtual bool start(QString *error) = 0;
    virtual void quiesce() { }
    // False when it could not end cleanly (see MqttFrontEnd).
    virtual bool stop() = 0;
    // Its own families of the metrics, after the hub's.
    virtual void writeMetrics(Exposition &out) const { Q_UNUSED(out) }

protected:
    LineHub &hub;
};

#endif // FRONTEND_H
