#include "tcplink.h"

#include "protocol.h"
#include "registers.h"

#include <QRegularExpression>

#include <modbus/modbus.h>

#include <cerrno>
#include <sys/socket.h>

namespace {

constexpr quint8 exceptionPathUnavailable = 0x0A;
constexpr quint8 exceptionTargetSilent = 0x0B;
constexpr int mbapBytes = 7; // transaction, protocol, length, unit
constexpr int mbapLengthOffset = 6; // the header's length counts the unit id and the PDU

quint16 word(const quint8 *bytes)
{
    return quint16(bytes[0] << 8 | bytes[1]);
}

QString hex(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

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
    outOfStep = false;
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
    if (!ctx || lost || outOfStep)
        return connectNow();
    return true;
}

bool TcpLink::send(const quint8 *data, int length)
{
    answered = false;
    reply.clear();
    handedOut = 0;
    mismatchText.clear();
    request = QByteArray(reinterpret_cast<const char *>(data), length);
    if (!ctx || length < 4)
        return false;
    // The header is written here, so that the answer's can be held to it;
    // then the RTU frame without its address and CRC: function, data.
    const int pduBytes = length - 3;
    ++transaction;
    QByteArray adu;
    adu.append(char(transaction >> 8)).append(char(transaction & 0xFF)).append(2, '\0');
    adu.append(char((pduBytes + 1) >> 8)).append(char((pduBytes + 1) & 0xFF)).append(char(unitAsked()));
    adu.append(request.mid(1, pduBytes));
    if (::send(modbus_get_socket(ctx), adu.constData(), size_t(adu.size()), MSG_NOSIGNAL) != adu.size()) {
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
    mismatchText = headerMismatch(answer, length);
    if (!mismatchText.isEmpty()) {
        outOfStep = true; // the rest of it, or the answer to this request, may still come
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
    reply = translate(QByteArray(reinterpret_cast<const char *>(answer + mbapBytes), length - mbapBytes));
}

QString TcpLink::headerMismatch(const quint8 *answer, int length) const
{
    if (word(answer) != transaction)
        return QStringLiteral("transaction %1, not %2").arg(hex(word(answer)), hex(transaction));
    if (word(answer + 2) != 0)
        return QStringLiteral("protocol id %1, not 0000 (Modbus)").arg(hex(word(answer + 2)));
    // The gateway's framing read the PDU by its function: the header must say as much.
    if (word(answer + 4) != length - mbapLengthOffset)
        return QStringLiteral("the header's length %1, for %2 bytes")
            .arg(word(answer + 4))
            .arg(length - mbapLengthOffset);
    if (answer[mbapLengthOffset] != unitAsked())
        return QStringLiteral("from unit %1, not %2").arg(answer[mbapLengthOffset]).arg(unitAsked());
    return QString();
}

QByteArray TcpLink::translate(const QByteArray &pdu)
{
    const QByteArray address(1, request.at(0));
    const quint8 function = quint8(pdu.at(0));
    const bool write = function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters;
    if (write && function == quint8(request.at(1)) && pdu.size() == 5) {
        // The standard answer repeats register and value (6) or start and
        // count (16), which the request holds at the same place. One for
        // another register is told by the acknowledgement made of it, as on
        // the line; other values, here.
        if (pdu.mid(1, 2) == request.mid(2, 2) && pdu.mid(3, 2) != request.mid(4, 2))
            mismatchText = QStringLiteral("the write's echo holds %1, not %2")
                               .arg(QString::fromLatin1(pdu.mid(1, 4).toHex(' ').toUpper()),
                                   QString::fromLatin1(request.mid(2, 4).toHex(' ').toUpper()));
        return withCrc(address + pdu.left(3));
    }
    return withCrc(address + pdu);
}
