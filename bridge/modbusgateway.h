#ifndef MODBUSGATEWAY_H
#define MODBUSGATEWAY_H

#include "bridgeconfig.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QTcpServer>

#include <atomic>
#include <list>
#include <memory>

class LineWorker;

// The bridge's Modbus TCP server: SCADA systems, PLCs and vortanix-ctl --tcp
// reach the controllers of the lines the bridge holds. Each unit id is a
// controller; its requests (functions 3, 6 and 16) are checked against the
// register rules, queued on the controller's line between polls, and
// answered the standard Modbus TCP way once the controller has answered:
// function 6 with the echo of register and value, 16 with start and count,
// though the controller itself acknowledges with six bytes.
//
// libmodbus reads and writes the frames (MBAP header and PDU), one thread a
// connection: a client that sends half a frame holds up no one but itself.
// A malformed header (protocol id not 0, a length that does not match, more
// than 260 bytes) closes that connection; so does MaxIdleS of silence.
class ModbusGateway : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int MaxConnections = 64;

    // A unit's controller: its line's worker and its index there.
    struct Route
    {
        LineWorker *worker = nullptr;
        int controller = 0;
    };

    ModbusGateway(const ModbusTcpConfig &config, bool readOnly, QObject *parent = nullptr);
    ~ModbusGateway() override;

    void setRoutes(const QHash<int, Route> &routes) { this->routes = routes; }
    // Listens on the configured address; false, with a sentence, when it cannot.
    bool start(QString *error);
    // Closes every connection and waits for their threads.
    void stop();
    // "127.0.0.1:1502" as it listens (the port chosen when 0 was asked for).
    QString address() const;

signals:
    // Every request answered: its function, the exception sent (0 for a
    // good answer), and whether it was carried to a line (false: refused
    // by the gateway's own checks). Emitted from the connection's thread.
    void requestServed(int function, int exception, bool forwarded);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;

    void serve(Connection *connection);
    void reap();

    const ModbusTcpConfig config;
    const bool readOnly;
    QHash<int, Route> routes;
    std::atomic<bool> stopping{false};
    QMutex mutex; // guards connections' descriptors against stop()
    std::list<std::unique_ptr<Connection>> connections;
    QSet<QString> refusedPeers; // logged once each
};

#endif // MODBUSGATEWAY_H
