#ifndef MODBUSGATEWAY_H
#define MODBUSGATEWAY_H

#include "frontend.h"
#include "gatewayconnection.h"

#include <QMap>
#include <QPair>
#include <QSet>
#include <QTcpServer>

#include <list>

// The bridge's Modbus TCP server: SCADA systems, PLCs and vortanix-ctl --tcp
// reach the controllers of the lines the bridge holds. Each unit id is a
// controller; its requests (functions 3, 6 and 16) are checked against the
// device's register table and carried to the hub: a read is answered from
// what the hub holds when that is fresh, anything else goes on the line. The
// answers are the standard Modbus TCP ones: function 6 with the echo of
// register and value, 16 with start and count, though the controller itself
// acknowledges with six bytes.
//
// Every client is served on the main thread's event loop (GatewayConnection),
// at most MaxConnections at once.
class ModbusGateway : public FrontEnd
{
    Q_OBJECT

public:
    static constexpr int MaxConnections = 64;

    explicit ModbusGateway(LineHub &hub, QObject *parent = nullptr);
    ~ModbusGateway() override;

    QString name() const override { return QStringLiteral("Modbus TCP"); }
    bool listen(QString *error) override;
    bool start(QString *error) override;
    void quiesce() override;
    bool stop() override;
    void writeMetrics(Exposition &out) const override;
    // The port it listens on (the one chosen when 0 was asked for).
    quint16 port() const { return server.serverPort(); }
    // A request answered: its function, the exception sent (0: none), and
    // whether it reached the hub (a write refused here counts as a command refused).
    void count(int function, int exception, bool forwarded);

private:
    void takeUnits();
    void onNewConnection();
    // "127.0.0.1:1502" as it listens (the port chosen when 0 was asked for).
    QString address() const;

    QTcpServer server;
    GatewayConnection::Settings settings;
    std::list<GatewayConnection *> connections;
    QSet<QString> refusedPeers; // logged once each
    bool fullLogged = false;
    QMap<QPair<int, int>, quint64> requests; // (function, exception)
};

#endif // MODBUSGATEWAY_H
