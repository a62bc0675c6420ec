#include "replydecoder.h"
#include "registers.h"

quint16 replyWord(const quint8 *reply, int k)
{
    return quint16((quint16(reply[3 + 2 * k]) << 8) | reply[4 + 2 * k]);
}

bool decodeStatusReply(const quint8 *reply, int length, StatusBlock *out)
{
    if (reply == nullptr || length < readReplyLength(StatusBlockCount))
        return false;
    StatusBlock::Words words;
    for (int k = 0; k < StatusBlockCount; ++k)
        words[size_t(k)] = replyWord(reply, k);
    *out = StatusBlock::fromWords(words);
    return true;
}

bool decodeMaxDacReply(const quint8 *reply, int length, quint16 *out)
{
    if (reply == nullptr || length < readReplyLength(1))
        return false;
    *out = replyWord(reply, 0);
    return true;
}

bool decodeConfigReply(const quint8 *reply, int length, ConfigBlock *out)
{
    if (reply == nullptr || length < readReplyLength(ConfigBlockCount))
        return false;
    std::array<quint16, ConfigBlockCount> words;
    for (int k = 0; k < ConfigBlockCount; ++k)
        words[k] = replyWord(reply, k);
    *out = ConfigBlock::fromWords(words);
    return true;
}
