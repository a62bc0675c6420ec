#include "tcplink.h"

#include "protocol.h"
#include "registers.h"

#include <QRegularExpression>

#include <modbus/modbus.h>

#include <cerrno>

namespace {

constexpr quint8 exceptionPathUnavailable = 0x0A;
constexpr quint8 exceptionTargetSilent = 0x0B;
constexpr int mbapBytes = 7; // transaction, protocol, length, unit

QByteArray withCrc(QByteArray frame)
{
    const quint16 crc = Protocol().crc16(reinterpret_cast<const quint8 *>(frame.constData()), frame.size());
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));
    return frame;
}

} // namespace

TcpLink::TcpLink() = default;

TcpLink::~TcpLink()
{
    close();
}

bool TcpLink::parseAddress(const QString &text, QString *host, int *port, QString *error)
{
    // [v6]:port, [v6], host:port, host; a bare IPv6 address has several colons.
    static const QRegularExpression pattern(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([^\\s:\\[\\]]+)|([0-9A-Fa-f:]*:[0-9A-Fa-f:]*:[0-9A-Fa-f:]*))"
                       "(?::([0-9]{1,5}))?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const QString portText = match.captured(4);
    if (!match.hasMatch() || (!portText.isEmpty() && (portText.toInt() < 1 || portText.toInt() > 65535))) {
        *error = QStringLiteral("'%1' is not HOST or HOST:PORT (port 1..65535; an IPv6 address in brackets: "
                                "[::1]:1502)")
                     .arg(text);
        return false;
    }
    *host = match.captured(1) + match.captured(2) + match.captured(3);
    *port = portText.isEmpty() ? DefaultPort : portText.toInt();
    return true;
}

QString TcpLink::target() const
{
    const QString host = hostName.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(hostName) : hostName;
    return QStringLiteral("%1:%2").arg(host).arg(portNumber);
}

bool TcpLink::open(const QString &host, int port)
{
    close();
    hostName = host;
    portNumber = port;
    return connectNow();
}

bool TcpLink::connectNow()
{
    close();
    const QByteArray service = QByteArray::number(portNumber);
    ctx = modbus_new_tcp_pi(hostName.toUtf8().constData(), service.constData());
    if (!ctx) {
        lastErrorText = QStringLiteral("%1: %2").arg(target(), QString::fromLocal8Bit(modbus_strerror(errno)));
        return false;
    }
    modbus_set_response_timeout(ctx, GatewayWaitMs / 1000, 0);
    if (modbus_connect(ctx) != 0) {
        lastErrorText = QStringLiteral("cannot reach the Modbus TCP gateway at %1: %2; check the address and that "
                                       "the bridge serves Modbus TCP there ([modbus_tcp] listen)")
                            .arg(target(), QString::fromLocal8Bit(modbus_strerror(errno)));
        modbus_free(ctx);
        ctx = nullptr;
        return false;
    }
    lost = false;
    return true;
}

void TcpLink::close()
{
    if (!ctx)
        return;
    modbus_close(ctx);
    modbus_free(ctx);
    ctx = nullptr;
}

bool TcpLink::prepare()
{
    unavailable = false;
    if (!ctx || lost)
        return connectNow();
    return true;
}

bool TcpLink::send(const quint8 *data, int length)
{
    answered = false;
    reply.clear();
    handedOut = 0;
    request = QByteArray(reinterpret_cast<const char *>(data), length);
    if (!ctx || length < 4)
        return false;
    // The RTU frame without its CRC: unit, function, data.
    QByteArray raw = request.left(length - 2);
    if (unitId >= 0)
        raw[0] = char(unitId);
    if (modbus_send_raw_request(ctx, reinterpret_cast<const uint8_t *>(raw.constData()), raw.size()) < 0) {
        lost = true;
        return false;
    }
    return true;
}

int TcpLink::receive(quint8 *buffer, int count, int waitMs)
{
    if (!answered)
        takeAnswer(waitMs);
    const int n = qMin(count, reply.size() - handedOut);
    if (n <= 0)
        return 0;
    std::copy(reply.constBegin() + handedOut, reply.constBegin() + handedOut + n, buffer);
    handedOut += n;
    return n;
}

void TcpLink::takeAnswer(int waitMs)
{
    answered = true;
    if (!ctx)
        return;
    const int totalMs = GatewayWaitMs + qMax(0, waitMs);
    modbus_set_response_timeout(ctx, uint32_t(totalMs / 1000), uint32_t(totalMs % 1000) * 1000);
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    const int length = modbus_receive_confirmation(ctx, answer);
    if (length < mbapBytes + 2) {
        // No answer in time, or the connection broke: whatever comes later
        // must not pass for the next reply, so the next exchange reconnects.
        lost = true;
        return;
    }
    const quint8 function = answer[mbapBytes];
    if (function == (quint8(request.at(1)) | 0x80)) {
        if (answer[mbapBytes + 1] == exceptionTargetSilent)
            return; // a silent controller: no reply
        if (answer[mbapBytes + 1] == exceptionPathUnavailable) {
            unavailable = true;
            lost = true;
            return;
        }
    }
    reply = translate(answer, length);
}

QByteArray TcpLink::translate(const quint8 *answer, int length) const
{
    const quint8 sentUnit = unitId >= 0 ? quint8(unitId) : quint8(request.at(0));
    // The reply carries the request's RTU address when it came from the unit asked.
    const char address = answer[6] == sentUnit ? request.at(0) : char(answer[6]);
    const QByteArray pdu(reinterpret_cast<const char *>(answer + mbapBytes), length - mbapBytes);
    const quint8 function = quint8(pdu.at(0));
    const bool write = function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters;
    if (write && function == quint8(request.at(1)) && pdu.size() == 5) {
        // The standard answer repeats register and value (6) or start and
        // count (16), which the request holds at the same place.
        if (pdu.mid(1, 4) != request.mid(2, 4))
            return withCrc(QByteArray(1, address) + pdu).left(WriteAckLength); // fails the CRC: a bad reply
        return withCrc(QByteArray(1, address) + pdu.left(3));
    }
    return withCrc(QByteArray(1, address) + pdu);
}
