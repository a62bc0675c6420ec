#include "outcome.h"

#include "exitstatus.h"
#include "modbusfacts.h"
#include "protocol.h"
#include "registers.h"

#include <modbus/modbus.h>

#include <array>

// The Modbus facts written out for the code without libmodbus agree with libmodbus's.
static_assert(int(Modbus::IllegalFunction) == int(MODBUS_EXCEPTION_ILLEGAL_FUNCTION)
        && int(Modbus::IllegalDataAddress) == int(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS)
        && int(Modbus::IllegalDataValue) == int(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE)
        && int(Modbus::ServerFailure) == int(MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE)
        && int(Modbus::GatewayPathUnavailable) == int(MODBUS_EXCEPTION_GATEWAY_PATH)
        && int(Modbus::GatewayTargetFailed) == int(MODBUS_EXCEPTION_GATEWAY_TARGET),
    "Modbus exception codes");
static_assert(int(Modbus::MaxReadRegisters) == int(MODBUS_MAX_READ_REGISTERS)
        && int(Modbus::MaxWriteRegisters) == int(MODBUS_MAX_WRITE_REGISTERS)
        && int(Modbus::TcpMaxAduBytes) == int(MODBUS_TCP_MAX_ADU_LENGTH),
    "Modbus limits");

namespace {

constexpr quint8 failure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;

// kind, words, metric label, ctl's exit after a read, after a write, the gateway's exception
constexpr std::array<OutcomeRow, Outcome::KindCount> outcomeTable = {{
    {Outcome::Ok, "ok", "ok", ExitOk, ExitOk, 0},
    {Outcome::Sent, "sent", "sent", ExitOk, ExitOk, 0},
    {Outcome::Timeout, "time-out", "timeout", ExitNoReply, ExitNotAcknowledged, MODBUS_EXCEPTION_GATEWAY_TARGET},
    {Outcome::Short, "short", "short_reply", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::Incomplete, "short (CRC ok)", "incomplete_reply", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::BadCrc, "bad CRC", "bad_crc", ExitBadReply, ExitNotAcknowledged, failure},
    // The controller's own code is passed on when a client takes it (gatewayException()).
    {Outcome::Exception, "exception", "exception", ExitBadReply, ExitBadReply, failure},
    {Outcome::WrongAddress, "wrong address", "wrong_address", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::WrongFunction, "wrong function", "wrong_function", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::NotAcknowledged, "not acknowledged (standard 8-byte echo)", "not_acknowledged", ExitBadReply,
        ExitNotAcknowledged, failure},
    {Outcome::PortLost, "port lost", "port_lost", ExitPortLost, ExitPortLost, MODBUS_EXCEPTION_GATEWAY_PATH},
    {Outcome::WrongRegister, "acknowledges register", "wrong_register", ExitBadReply, ExitBadReply, failure},
    {Outcome::BusCollision, "bus collision", "bus_collision", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::NotApplied, "not applied", "not_applied", ExitBadReply, ExitNotAcknowledged, failure},
    {Outcome::MismatchedReply, "mismatched reply", "mismatched_reply", ExitBadReply, ExitNotAcknowledged, failure},
}};

constexpr bool rowsInKindOrder()
{
    for (int i = 0; i < Outcome::KindCount; ++i) {
        if (outcomeTable[size_t(i)].kind != i)
            return false;
    }
    return true;
}
static_assert(rowsInKindOrder(), "one row per kind of outcome, in the order of Outcome::Kind");

QString hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

// "register 0004 holds 650, not 700": the first word the read-back found
// other than the write sent (function 6: one word at 4; 16: from 7).
QString notAppliedDetail(const QByteArray &request, const QByteArray &readBack)
{
    const auto word = [](const QByteArray &frame, int at) {
        return quint16((quint8(frame.at(at)) << 8) | quint8(frame.at(at + 1)));
    };
    if (request.size() < 8)
        return QString();
    const quint16 first = word(request, 2);
    const bool block = quint8(request.at(1)) == FuncWriteMultipleRegisters;
    const int count = block ? word(request, 4) : 1;
    const int sentAt = block ? 7 : 4;
    for (int i = 0; i < count && sentAt + 2 * i + 1 < request.size() && 3 + 2 * i + 1 < readBack.size(); ++i) {
        const quint16 sent = word(request, sentAt + 2 * i);
        const quint16 found = word(readBack, 3 + 2 * i);
        if (sent != found)
            return QStringLiteral("register %1 holds %2, not %3")
                .arg(QStringLiteral("%1").arg(quint16(first + i), 4, 16, QLatin1Char('0')).toUpper())
                .arg(found)
                .arg(sent);
    }
    return QString();
}

bool isWrite(quint8 function)
{
    return function == FuncWriteSingleRegister || function == FuncWriteMultipleRegisters;
}

} // namespace

Outcome::Kind Outcome::judge(
    const QByteArray &request, const QByteArray &reply, int want, bool prepared, quint8 *exceptionCode)
{
    if (!prepared)
        return PortLost;
    if (want == 0)
        return Sent;
    const int got = reply.size();
    if (got == 0)
        return Timeout;
    const auto *bytes = reinterpret_cast<const quint8 *>(reply.constData());
    if (Protocol().checkReply(bytes, got) != Protocol::ReplyOk) {
        // A standard Modbus device echoes a write in 8 bytes; the first six
        // are the request's own, which fail this controller's 6-byte check.
        if (isWrite(quint8(request.at(1))) && got == want && request.startsWith(reply))
            return NotAcknowledged;
        return got < want ? Short : BadCrc;
    }
    // A reply from another controller, or to another request, is no answer to this one.
    if (reply.at(0) != request.at(0))
        return WrongAddress;
    if (quint8(reply.at(1)) == (quint8(request.at(1)) | 0x80)) {
        *exceptionCode = quint8(reply.at(2));
        return Exception;
    }
    if (reply.at(1) != request.at(1))
        return WrongFunction;
    // The acknowledgement names the register written (a block write's first
    // one): one for another register answers some other write.
    if (isWrite(quint8(request.at(1))) && got == want && reply.mid(2, 2) != request.mid(2, 2))
        return WrongRegister;
    return got < want ? Incomplete : Ok;
}

const OutcomeRow &Outcome::row(Kind kind)
{
    return outcomeTable.at(size_t(kind));
}

quint8 Outcome::gatewayException() const
{
    if (kind == Exception && exceptionCode >= MODBUS_EXCEPTION_ILLEGAL_FUNCTION
        && exceptionCode <= MODBUS_EXCEPTION_GATEWAY_TARGET)
        return exceptionCode;
    return row().gatewayException;
}

int Outcome::exitStatus(bool write) const
{
    return write ? row().writeExit : row().readExit;
}

QString Outcome::describe() const
{
    if (!afterWrite.isEmpty()) {
        Outcome read = *this;
        read.afterWrite.clear();
        return QStringLiteral("acknowledged, but reading it back failed: ") + read.describe();
    }
    const QString text = QString::fromUtf8(row().text);
    switch (kind) {
    case Exception:
        return text + QLatin1Char(' ') + hexByte(exceptionCode);
    case WrongAddress:
        return text + QLatin1Char(' ') + hexByte(quint8(reply.at(0)));
    case WrongFunction:
        return text + QLatin1Char(' ') + hexByte(quint8(reply.at(1)));
    case WrongRegister:
        return text + QLatin1Char(' ') + hexByte(quint8(reply.at(2))) + hexByte(quint8(reply.at(3)))
            + QStringLiteral(", not ") + hexByte(quint8(request.at(2))) + hexByte(quint8(request.at(3)));
    case NotApplied:
        return text + QStringLiteral(": ") + notAppliedDetail(request, readBack);
    case MismatchedReply:
        return text + QStringLiteral(": ") + mismatch;
    default:
        return text;
    }
}

QString Outcome::traceLine(const char *what, const char *prepareName) const
{
    const QString sent = echo.isEmpty() ? hex(request) : hex(request) + QStringLiteral(" | echo ") + hex(echo);
    return QStringLiteral("%1 req %2 | rep %3 | %4 ms (%5 %6 ms) | %7")
        .arg(QLatin1String(what), sent, hex(reply), QString::number(elapsedNs / 1e6, 'f', 3),
            QLatin1String(prepareName), QString::number(prepareNs / 1e6, 'f', 3), describe());
}
