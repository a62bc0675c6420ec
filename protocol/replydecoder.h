#ifndef REPLYDECODER_H
#define REPLYDECODER_H

#include "configblock.h"
#include "statusblock.h"

#include <QtGlobal>

// Decoders of the controller's read replies. A reply to a read of n
// registers is: address, function, byte count, n big-endian words, CRC.
// Each decoder takes exactly the bytes that arrived and refuses a reply
// shorter than the full reply for the registers asked, so no word is ever
// taken from bytes that did not come from this reply.

// Register k (0-based) of a read reply: the big-endian word at offsets 3 + 2k and 4 + 2k.
quint16 replyWord(const quint8 *reply, int k);

// Twelve status registers from 0x0001 (29 bytes).
bool decodeStatusReply(const quint8 *reply, int length, StatusBlock *out);
// One register, the maximum-power DAC at 0x1001 (7 bytes).
bool decodeMaxDacReply(const quint8 *reply, int length, quint16 *out);
// Seven configuration registers from 0x2001 (19 bytes).
bool decodeConfigReply(const quint8 *reply, int length, ConfigBlock *out);

#endif // REPLYDECODER_H
