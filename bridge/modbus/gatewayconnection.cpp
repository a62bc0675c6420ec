#include "gatewayconnection.h"

#include "devicemodel.h"
#include "gatewayrequest.h"
#include "linehub.h"
#include "registers.h"

#include <QPointer>
#include <QTcpSocket>

#include <iterator>

#include <modbus/modbus.h>

namespace {

// A client that does not read its answers stops being served beyond this.
constexpr qint64 maxUnsentBytes = 64 * 1024;
// Device identification: one object asked for, and the level served
// (basic objects, read as a stream and one by one).
constexpr quint8 oneObject = 0x04;
constexpr quint8 basicConformity = 0x81;

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes.append(char(word >> 8));
    bytes.append(char(word & 0xFF));
}

} // namespace

GatewayConnection::GatewayConnection(QTcpSocket *socket, LineHub &hub, const Settings &settings, QObject *parent)
    : QObject(parent), socket(socket), hub(hub), settings(settings), client(hub.newClient())
{
    socket->setParent(this);
    // Unread requests stay in the kernel: TCP holds a client back that sends faster than its line answers.
    socket->setReadBufferSize(4 * MODBUS_TCP_MAX_ADU_LENGTH);
    idle.setSingleShot(true);
    idle.setInterval(settings.idleTimeoutS * 1000);
    partTimer.setSingleShot(true);
    partTimer.setInterval(PartTimeoutMs);
    connect(&idle, &QTimer::timeout, this, &GatewayConnection::drop);
    connect(&partTimer, &QTimer::timeout, this, &GatewayConnection::drop);
    connect(socket, &QTcpSocket::readyRead, this, &GatewayConnection::process);
    connect(socket, &QTcpSocket::bytesWritten, this, &GatewayConnection::process);
    // The client left (or shut its side): what it sent and we did not take yet goes with it.
    connect(socket, &QTcpSocket::readChannelFinished, this, &GatewayConnection::drop);
    connect(socket, &QTcpSocket::disconnected, this, &GatewayConnection::drop);
    idle.start();
    process();
}

GatewayConnection::~GatewayConnection()
{
    hub.cancel(client);
}

void GatewayConnection::quiesce()
{
    taking = false;
    idle.stop();
    partTimer.stop();
}

void GatewayConnection::close(int waitMs)
{
    quiesce();
    if (socket->state() == QAbstractSocket::ConnectedState) {
        socket->flush();
        if (socket->bytesToWrite() > 0)
            socket->waitForBytesWritten(waitMs);
    }
    socket->abort();
}

void GatewayConnection::drop()
{
    if (!taking && socket->state() == QAbstractSocket::UnconnectedState)
        return;
    quiesce();
    hub.cancel(client);
    socket->abort();
    emit closed();
}

void GatewayConnection::process()
{
    if (processing)
        return;
    processing = true;
    takeFrames();
    processing = false;
}

void GatewayConnection::takeFrames()
{
    while (taking && !inFlight && socket->bytesToWrite() < maxUnsentBytes) {
        quint8 header[7];
        const qint64 have = socket->peek(reinterpret_cast<char *>(header), sizeof header);
        const int length = GatewayRequest::frameLength(header, int(qMax<qint64>(0, have)));
        if (length < 0) {
            drop();
            return;
        }
        if (length == 0 || socket->bytesAvailable() < length) {
            // Part of a frame: the rest must follow soon.
            if (socket->bytesAvailable() > 0)
                partTimer.start();
            return;
        }
        partTimer.stop();
        take(socket->read(length));
    }
}

void GatewayConnection::take(const QByteArray &adu)
{
    idle.stop();
    const auto *bytes = reinterpret_cast<const quint8 *>(adu.constData());
    const GatewayRequest judged = GatewayRequest::judge(
        bytes, adu.size(), settings.readOnly, [this](quint8 unit) { return settings.units.contains(unit); });
    if (judged.verdict == GatewayRequest::Malformed) {
        drop();
        return;
    }
    if (judged.verdict == GatewayRequest::Identify) {
        identify(adu, judged);
        idle.start();
        return;
    }
    if (judged.verdict == GatewayRequest::Refused) {
        reply(adu, QByteArray(1, char(judged.function | 0x80)) + char(judged.exception));
        emit served(judged.function, judged.exception, false);
        idle.start();
        return;
    }
    HubRequest request = judged.request;
    request.client = client;
    inFlight = true;
    const QPointer<GatewayConnection> self(this);
    const int index = hub.find(settings.units.value(judged.unit));
    const bool queued = index >= 0 && hub.submit(index, request, [self, adu](const HubResult &result) {
        if (self)
            self->answered(adu, result);
    });
    if (!queued) {
        inFlight = false;
        reply(adu, QByteArray(1, char(judged.function | 0x80)) + char(MODBUS_EXCEPTION_GATEWAY_PATH));
        emit served(judged.function, MODBUS_EXCEPTION_GATEWAY_PATH, false);
        idle.start();
    }
}

void GatewayConnection::identify(const QByteArray &adu, const GatewayRequest &judged)
{
    // From what the hub knows, no exchange: the firmware of the latest good poll.
    const int index = hub.find(settings.units.value(judged.unit));
    if (index < 0 || hub.controller(index).firmware.isEmpty()) {
        reply(adu, QByteArray(1, char(judged.function | 0x80)) + char(MODBUS_EXCEPTION_GATEWAY_TARGET));
        emit served(judged.function, MODBUS_EXCEPTION_GATEWAY_TARGET, false);
        return;
    }
    const QByteArray objects[] = {DeviceModel::vendorName().toUtf8(), DeviceModel::productName().toUtf8(),
        QStringLiteral("V%1").arg(hub.controller(index).firmware).toUtf8()};
    const int last = judged.identification == oneObject ? judged.object : int(std::size(objects)) - 1;
    // MEI type, code, conformity (basic objects, as a stream and one by one), no more follows, next 0.
    QByteArray pdu = adu.mid(7, 3) + char(basicConformity) + char(0) + char(0) + char(last - judged.object + 1);
    for (int id = judged.object; id <= last; ++id)
        pdu += char(id) + QByteArray(1, char(objects[id].size())) + objects[id];
    reply(adu, pdu);
    emit served(judged.function, 0, false);
}

void GatewayConnection::answered(const QByteArray &adu, const HubResult &result)
{
    inFlight = false;
    const quint8 function = quint8(adu.at(7));
    const quint8 exception = result.outcome.gatewayException();
    QByteArray pdu(1, char(function));
    if (exception != 0) {
        pdu[0] = char(function | 0x80);
        pdu.append(char(exception));
    } else if (function == FuncReadHoldingRegisters) {
        pdu.append(char(2 * result.words.size()));
        for (quint16 word : result.words)
            appendWord(pdu, word);
    } else {
        // The standard answers: function 6 repeats register and value, 16 start and count.
        pdu.append(adu.mid(8, 4));
    }
    reply(adu, pdu);
    emit served(function, exception, true);
    if (taking) {
        idle.start();
        process();
    }
}

void GatewayConnection::reply(const QByteArray &adu, const QByteArray &pdu)
{
    QByteArray frame = adu.left(4); // transaction id, protocol id
    appendWord(frame, quint16(pdu.size() + 1));
    frame.append(adu.at(6)); // unit id
    frame.append(pdu);
    socket->write(frame);
}
