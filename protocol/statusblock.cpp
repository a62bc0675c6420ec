#include "statusblock.h"

StatusBlock StatusBlock::fromWords(const Words &words)
{
    StatusBlock block;
    block.words = words;
    return block;
}

quint16 StatusBlock::word(quint16 reg) const
{
    const int k = int(reg) - StatusBlockFirst;
    return k >= 0 && k < StatusBlockCount ? words[size_t(k)] : 0;
}

void StatusBlock::setWord(quint16 reg, quint16 value)
{
    const int k = int(reg) - StatusBlockFirst;
    if (k >= 0 && k < StatusBlockCount)
        words[size_t(k)] = value;
}
