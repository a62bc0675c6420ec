#ifndef STATUSBLOCK_H
#define STATUSBLOCK_H

#include "registers.h"

#include <QtGlobal>

#include <array>

// The controller's status registers from 0x0001, as it sent them, and what
// the known ones mean. A register added to the block is read with word()
// (registers.h names it); no member is needed for it here.
class StatusBlock
{
public:
    using Words = std::array<quint16, StatusBlockCount>;

    StatusBlock() = default;
    static StatusBlock fromWords(const Words &words);

    // The word of register `reg`; 0 for a register outside the block.
    quint16 word(quint16 reg) const;
    // Sets register `reg`'s word; a register outside the block is ignored.
    void setWord(quint16 reg, quint16 value);

    quint16 ldEnableMask() const { return word(RegLdEnableMask); }
    quint16 ldSwitchMask() const { return word(RegLdSwitchMask); }
    quint16 adcEnable() const { return word(RegAdcEnable); }
    quint16 powerPermille() const { return word(RegPowerPermille); }
    quint16 rs485Address() const { return word(RegRs485Address); }
    quint16 statusWord6() const { return word(RegStatusWord6); }
    // In 0.1 °C, signed.
    qint16 ldTemperature() const { return qint16(word(RegLdTemperature)); }
    quint16 statusWord8() const { return word(RegStatusWord8); }
    quint16 supplyMillivolts() const { return word(RegSupplyVoltage); }
    // High word first.
    quint32 runSeconds() const { return (quint32(word(RegRunSecondsHigh)) << 16) | word(RegRunSecondsLow); }
    quint16 firmwareVersion() const { return word(RegFirmwareVersion); }

private:
    Words words{};
};

#endif // STATUSBLOCK_H
