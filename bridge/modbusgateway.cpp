#include "modbusgateway.h"

#include "gatewayrequest.h"
#include "lineworker.h"
#include "log.h"
#include "registers.h"

#include <QMutexLocker>

#include <modbus/modbus.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int frameByteTimeoutMs = 500; // a frame's bytes may pause this long
constexpr int stopCheckMs = 200;

// What became of a request on the line, handed from the line's thread.
struct Pending
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Outcome outcome;
};

QHostAddress peerOf(int descriptor)
{
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (getpeername(descriptor, reinterpret_cast<sockaddr *>(&storage), &size) != 0)
        return QHostAddress();
    QHostAddress address(reinterpret_cast<const sockaddr *>(&storage));
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4); // an IPv4 client of an IPv6 socket
    return isV4 ? QHostAddress(v4) : address;
}

// Answers a request the controller answered well, the standard way: the
// registers read, the echo of a single write, start and count of a block.
void replyWith(modbus_t *ctx, const quint8 *adu, int length, const PassThrough &request, const Outcome &outcome)
{
    const int count = request.function == FuncReadHoldingRegisters ? request.count : request.values.size();
    modbus_mapping_t *map = modbus_mapping_new_start_address(0, 0, 0, 0, request.first, unsigned(count), 0, 0);
    if (!map) {
        modbus_reply_exception(ctx, adu, GatewayRequest::ServerFailure);
        return;
    }
    if (request.function == FuncReadHoldingRegisters) {
        const auto *data = reinterpret_cast<const quint8 *>(outcome.reply.constData()) + 3;
        for (int i = 0; i < count; ++i)
            map->tab_registers[i] = quint16((data[2 * i] << 8) | data[2 * i + 1]);
    }
    modbus_reply(ctx, adu, length, map);
    modbus_mapping_free(map);
}

} // namespace

struct ModbusGateway::Connection
{
    int descriptor = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
};

ModbusGateway::ModbusGateway(const ModbusTcpConfig &config, bool readOnly, QObject *parent)
    : QTcpServer(parent), config(config), readOnly(readOnly)
{
    setMaxPendingConnections(MaxConnections);
}

ModbusGateway::~ModbusGateway()
{
    stop();
}

bool ModbusGateway::start(QString *error)
{
    if (listen(config.address, quint16(config.port)))
        return true;
    *error = QStringLiteral("Modbus TCP: cannot listen on %1:%2: %3; choose another address or port "
                            "([modbus_tcp] listen, --modbus-tcp)")
                 .arg(config.address.toString())
                 .arg(config.port)
                 .arg(errorString());
    return false;
}

QString ModbusGateway::address() const
{
    return config.hostPort(serverPort());
}

void ModbusGateway::stop()
{
    close();
    stopping = true;
    {
        QMutexLocker lock(&mutex);
        // Wakes the threads that wait for a request: their reads end at once.
        for (const auto &connection : connections)
            ::shutdown(connection->descriptor, SHUT_RDWR);
    }
    for (const auto &connection : connections) {
        if (connection->thread.joinable())
            connection->thread.join();
    }
    connections.clear();
}

void ModbusGateway::reap()
{
    QMutexLocker lock(&mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void ModbusGateway::incomingConnection(qintptr descriptor)
{
    reap();
    const QHostAddress peer = peerOf(int(descriptor));
    if (!config.allow.allows(peer)) {
        if (!refusedPeers.contains(peer.toString())) {
            refusedPeers.insert(peer.toString());
            logLine(QStringLiteral("Modbus TCP: refused a client at %1: not in [modbus_tcp] allow (logged once)")
                        .arg(peer.toString()));
        }
        ::close(int(descriptor));
        return;
    }
    QMutexLocker lock(&mutex);
    if (stopping || int(connections.size()) >= MaxConnections) {
        ::close(int(descriptor));
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->descriptor = int(descriptor);
    Connection *raw = connection.get();
    connections.push_back(std::move(connection));
    raw->thread = std::thread([this, raw] { serve(raw); });
}

void ModbusGateway::serve(Connection *connection)
{
    // A TCP context for its framing only: it never connects, it is handed the client's socket.
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    if (ctx) {
        modbus_set_socket(ctx, connection->descriptor);
        modbus_set_indication_timeout(ctx, uint32_t(config.idleTimeoutS), 0);
        modbus_set_byte_timeout(ctx, 0, frameByteTimeoutMs * 1000);
    }
    quint8 adu[MODBUS_TCP_MAX_ADU_LENGTH];
    while (ctx && !stopping) {
        const int length = modbus_receive(ctx, adu);
        if (length <= 0)
            break; // closed, idle, or a frame libmodbus could not take
        const GatewayRequest judged
            = GatewayRequest::judge(adu, length, readOnly, [this](quint8 unit) { return routes.contains(unit); });
        if (judged.verdict == GatewayRequest::Malformed)
            break;
        quint8 exception = judged.exception;
        Outcome outcome;
        if (judged.verdict == GatewayRequest::Forward) {
            const Route route = routes.value(judged.unit);
            auto pending = std::make_shared<Pending>();
            const bool queued = route.worker->enqueue(route.controller, judged.request, [pending](const Outcome &o) {
                std::lock_guard<std::mutex> lock(pending->mutex);
                pending->outcome = o;
                pending->finished = true;
                pending->done.notify_all();
            });
            if (!queued) {
                exception = GatewayRequest::PathUnavailable;
            } else {
                std::unique_lock<std::mutex> lock(pending->mutex);
                while (!pending->finished && !stopping)
                    pending->done.wait_for(lock, std::chrono::milliseconds(stopCheckMs));
                if (!pending->finished)
                    break; // the bridge stops
                outcome = pending->outcome;
                exception = outcome.gatewayException();
            }
        }
        if (exception != 0)
            modbus_reply_exception(ctx, adu, exception);
        else
            replyWith(ctx, adu, length, judged.request, outcome);
        emit requestServed(judged.function, exception, judged.verdict == GatewayRequest::Forward);
    }
    if (ctx)
        modbus_free(ctx); // does not close the socket: that is done below, once
    {
        QMutexLocker lock(&mutex);
        ::close(connection->descriptor);
        connection->descriptor = -1;
    }
    connection->finished = true;
}
