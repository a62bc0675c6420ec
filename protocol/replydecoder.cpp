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
    out->ldEnableMask = replyWord(reply, 0);
    out->ldSwitchMask = replyWord(reply, 1);
    out->adcEnable = replyWord(reply, 2);
    out->powerPermille = replyWord(reply, 3);
    out->rs485Address = replyWord(reply, 4);
    out->statusWord6 = replyWord(reply, 5);
    out->ldTemperature = qint16(replyWord(reply, 6));
    out->statusWord8 = replyWord(reply, 7);
    out->supplyMillivolts = replyWord(reply, 8);
    out->runSeconds = (quint32(replyWord(reply, 9)) << 16) | replyWord(reply, 10);
    out->firmwareVersion = replyWord(reply, 11);
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
