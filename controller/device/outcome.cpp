#include "outcome.h"

#include "protocol.h"
#include "registers.h"

namespace {

QString hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
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

QString Outcome::describe() const
{
    switch (kind) {
    case Ok:
        return QStringLiteral("ok");
    case Sent:
        return QStringLiteral("sent");
    case Timeout:
        return QStringLiteral("time-out");
    case Short:
        return QStringLiteral("short");
    case Incomplete:
        return QStringLiteral("short (CRC ok)");
    case BadCrc:
        return QStringLiteral("bad CRC");
    case Exception:
        return QStringLiteral("exception ") + hexByte(exceptionCode);
    case WrongAddress:
        return QStringLiteral("wrong address ") + hexByte(quint8(reply.at(0)));
    case WrongFunction:
        return QStringLiteral("wrong function ") + hexByte(quint8(reply.at(1)));
    case NotAcknowledged:
        return QStringLiteral("not acknowledged (standard 8-byte echo)");
    case PortLost:
        return QStringLiteral("port lost");
    case WrongRegister:
        return QStringLiteral("acknowledges register ") + hexByte(quint8(reply.at(2))) + hexByte(quint8(reply.at(3)))
            + QStringLiteral(", not ") + hexByte(quint8(request.at(2))) + hexByte(quint8(request.at(3)));
    case BusCollision:
        return QStringLiteral("bus collision");
    }
    return QString();
}

QString Outcome::traceLine(const char *what, const char *prepareName) const
{
    const QString sent = echo.isEmpty() ? hex(request) : hex(request) + QStringLiteral(" | echo ") + hex(echo);
    return QStringLiteral("%1 req %2 | rep %3 | %4 ms (%5 %6 ms) | %7")
        .arg(QLatin1String(what), sent, hex(reply), QString::number(elapsedNs / 1e6, 'f', 3),
            QLatin1String(prepareName), QString::number(prepareNs / 1e6, 'f', 3), describe());
}
