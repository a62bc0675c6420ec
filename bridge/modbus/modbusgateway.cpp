#include "modbusgateway.h"

#include "exposition.h"
#include "linehub.h"
#include "log.h"
#include "registers.h"

#include <QTcpSocket>

namespace {

// How long a stopping gateway waits for its last answers to go out.
constexpr int closeWaitMs = 1000;

// An IPv4 client of a dual-stack socket, as the IPv4 address it is.
QHostAddress peerOf(const QTcpSocket &socket)
{
    bool isV4 = false;
    const quint32 v4 = socket.peerAddress().toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : socket.peerAddress();
}

QString hexCode(int code)
{
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

ModbusGateway::ModbusGateway(LineHub &hub, QObject *parent) : FrontEnd(hub, parent)
{
    const BridgeConfig &config = hub.config();
    settings.readOnly = config.readOnly;
    settings.idleTimeoutS = config.modbusTcp.idleTimeoutS;
    takeUnits();
    server.setMaxPendingConnections(MaxConnections);
    connect(&server, &QTcpServer::newConnection, this, &ModbusGateway::onNewConnection);
    // Lines added or removed: the unit ids follow, the clients stay.
    connect(&hub, &LineHub::reconfigured, this, &ModbusGateway::takeUnits);
}

void ModbusGateway::takeUnits()
{
    const BridgeConfig &config = hub.config();
    settings.units.clear();
    for (auto it = config.modbusTcp.units.cbegin(); it != config.modbusTcp.units.cend(); ++it)
        settings.units.insert(it.key(), config.lines.at(it.value().first).controllers.at(it.value().second).id);
}

ModbusGateway::~ModbusGateway()
{
    stop();
}

bool ModbusGateway::listen(QString *error)
{
    const ModbusTcpConfig &config = hub.config().modbusTcp;
    if (server.listen(config.address, quint16(config.port)))
        return true;
    *error = QStringLiteral("Modbus TCP: cannot listen on %1:%2: %3; choose another address or port "
                            "([modbus_tcp] listen, --modbus-tcp)")
                 .arg(config.address.toString())
                 .arg(config.port)
                 .arg(server.errorString());
    return false;
}

bool ModbusGateway::start(QString *)
{
    const BridgeConfig &config = hub.config();
    if (!config.readOnly)
        hub.enableSource(Source::ModbusTcp);
    QStringList units;
    for (auto it = settings.units.cbegin(); it != settings.units.cend(); ++it)
        units << QStringLiteral("%1 = %2").arg(it.key()).arg(it.value());
    logLine(QStringLiteral("Modbus TCP gateway listening on %1%2; units: %3")
                .arg(address(), config.readOnly ? QStringLiteral(" (read-only)") : QString(),
                    units.join(QStringLiteral(", "))));
    return true;
}

QString ModbusGateway::address() const
{
    return hub.config().modbusTcp.hostPort(port());
}

void ModbusGateway::quiesce()
{
    server.close();
    for (GatewayConnection *connection : connections)
        connection->quiesce();
}

bool ModbusGateway::stop()
{
    quiesce();
    for (GatewayConnection *connection : connections) {
        connection->disconnect(this);
        connection->close(closeWaitMs);
        delete connection;
    }
    connections.clear();
    return true;
}

void ModbusGateway::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const QHostAddress peer = peerOf(*socket);
        if (!hub.config().modbusTcp.allow.allows(peer)) {
            if (!refusedPeers.contains(peer.toString())) {
                refusedPeers.insert(peer.toString());
                logLine(QStringLiteral("Modbus TCP: refused a client at %1: not in [modbus_tcp] allow (logged once)")
                            .arg(peer.toString()));
            }
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (int(connections.size()) >= MaxConnections) {
            if (!fullLogged) {
                fullLogged = true;
                logLine(QStringLiteral("Modbus TCP: refused a client at %1: %2 clients are served already "
                                       "(logged once)")
                            .arg(peer.toString())
                            .arg(MaxConnections));
            }
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new GatewayConnection(socket, hub, settings);
        connections.push_back(connection);
        connect(connection, &GatewayConnection::served, this, &ModbusGateway::count);
        connect(connection, &GatewayConnection::closed, this, [this, connection] {
            connections.remove(connection);
            connection->deleteLater();
        });
    }
}

void ModbusGateway::count(int function, int exception, bool forwarded)
{
    ++requests[qMakePair(function, exception)];
    // A write the gateway refused never reached the hub, which counts the others.
    if (!forwarded && (function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters))
        hub.countRefused(Source::ModbusTcp);
}

void ModbusGateway::writeMetrics(Exposition &out) const
{
    if (requests.isEmpty())
        return;
    out.family("vortanix_modbus_tcp_requests_total", Exposition::Counter,
        "Requests to the Modbus TCP gateway by function code and the exception code answered (none: no "
        "exception).");
    for (auto it = requests.cbegin(); it != requests.cend(); ++it)
        out.sample("vortanix_modbus_tcp_requests_total",
            Exposition::labels({{"function", QString::number(it.key().first)},
                {"exception", it.key().second == 0 ? QStringLiteral("none") : hexCode(it.key().second)}}),
            it.value());
}
