// Bytes from the line, of any length, through the reply check, the judgement
// of a reply against its request, and every reply decoder.

#include "outcome.h"
#include "protocol.h"
#include "registers.h"
#include "replydecoder.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Protocol protocol;
    // An exact-size copy, so that any read past the bytes that arrived is caught.
    std::vector<quint8> reply(data, data + size);
    const quint8 *bytes = reply.empty() ? nullptr : reply.data();
    const int length = int(size);

    const int check = protocol.checkReply(bytes, length);
    if (check < 0 || check > 2)
        abort();
    if (length < 5 && check != 1)
        abort();
    if (length >= 2) {
        // The check and the CRC agree.
        const quint16 crc = protocol.crc16(bytes, length - 2);
        const bool match = bytes[length - 2] == quint8(crc >> 8) && bytes[length - 1] == quint8(crc & 0xFF);
        if (length >= 5 && (check == 0) != match)
            abort();
    }

    StatusBlock status;
    const bool statusOk = decodeStatusReply(bytes, length, &status);
    if (statusOk != (length >= readReplyLength(StatusBlockCount)))
        abort();
    quint16 dac = 0;
    const bool dacOk = decodeMaxDacReply(bytes, length, &dac);
    if (dacOk != (length >= readReplyLength(1)))
        abort();
    ConfigBlock config;
    const bool configOk = decodeConfigReply(bytes, length, &config);
    if (configOk != (length >= readReplyLength(ConfigBlockCount)))
        abort();
    if (configOk && config.ldMaxDac != replyWord(bytes, 2))
        abort();

    // Judged as the reply to each kind of request, a reply counts only with a
    // good CRC, the request's address and function, its full length and, for
    // a write, the register written.
    static const QByteArray requests[] = {
        QByteArray::fromHex("01030001000c140f"), // the status read
        QByteArray::fromHex("010600040005"), // a register write (its CRC plays no part)
        QByteArray::fromHex("011020010007"), // the block write's header
    };
    for (const QByteArray &request : requests) {
        const int want = request.at(1) == 0x03 ? readReplyLength(StatusBlockCount) : WriteAckLength;
        const QByteArray got = QByteArray(reinterpret_cast<const char *>(data), int(size)).left(want);
        const bool crcGood = protocol.checkReply(reinterpret_cast<const quint8 *>(got.constData()), got.size()) == 0;
        quint8 code = 0;
        const Outcome::Kind kind = Outcome::judge(request, got, want, true, &code);
        const bool answers = crcGood && got.at(0) == request.at(0) && got.at(1) == request.at(1);
        // A write's acknowledgement must name the register written.
        const bool isWrite = request.at(1) != 0x03;
        const bool whole = answers && got.size() == want;
        const bool otherRegister = isWrite && whole && got.mid(2, 2) != request.mid(2, 2);
        if ((kind == Outcome::Ok) != (whole && !otherRegister))
            abort();
        if ((kind == Outcome::WrongRegister) != otherRegister)
            abort();
        if ((kind == Outcome::Timeout) != got.isEmpty())
            abort();
        if (kind == Outcome::Exception
            && (!crcGood || code != quint8(got.at(2)) || quint8(got.at(1)) != (quint8(request.at(1)) | 0x80)))
            abort();
    }
    return 0;
}
