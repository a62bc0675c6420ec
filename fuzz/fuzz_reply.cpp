// Bytes from the line, of any length, through the reply check and every reply decoder.

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
    return 0;
}
