#ifndef REGISTERS_H
#define REGISTERS_H

#include <QtGlobal>

// Holding registers of the light-source controller as the panel uses them.

// Modules (laser diodes) a controller drives: bit i of a module mask is module i + 1.
constexpr int ModuleCount = 12;
constexpr quint16 AllModulesMask = (1u << ModuleCount) - 1;

// Command word, written by broadcast right after an address change.
constexpr quint16 RegCommandWord = 0x0000;

// Status block, read as twelve registers from 0x0001 by every poll.
constexpr quint16 RegLdEnableMask = 0x0001;
constexpr quint16 RegLdSwitchMask = 0x0002;
constexpr quint16 RegAdcEnable = 0x0003;
constexpr quint16 RegPowerPermille = 0x0004;
constexpr quint16 PowerPermilleMax = 1000; // 0..1000 stands for 0 % .. 100.0 %
constexpr quint16 RegRs485Address = 0x0005;
constexpr quint16 RegStatusWord6 = 0x0006;
constexpr quint16 RegLdTemperature = 0x0007;
constexpr quint16 RegStatusWord8 = 0x0008;
constexpr quint16 RegSupplyVoltage = 0x0009;
constexpr quint16 RegRunSecondsHigh = 0x000A;
constexpr quint16 RegRunSecondsLow = 0x000B;
constexpr quint16 RegFirmwareVersion = 0x000C;
// The addresses a controller takes (0 is the broadcast address).
constexpr quint16 Rs485AddressMin = 1;
constexpr quint16 Rs485AddressMax = 254;
constexpr quint16 StatusBlockFirst = RegLdEnableMask;
constexpr quint16 StatusBlockCount = 12;

// Maximum-power DAC limit (power uniformity adjustment).
constexpr quint16 RegMaxPowerDac = 0x1001;
constexpr quint16 MaxPowerDacMin = 2800;
constexpr quint16 MaxPowerDacMax = 3980;

// Configuration block, always read and written whole: seven registers from 0x2001.
constexpr quint16 RegCfgReserved = 0x2001;
constexpr quint16 RegCfgLdMask = 0x2002;
constexpr quint16 RegCfgLdMaxDac = 0x2003;
constexpr quint16 RegCfgLdCompensationSecondsHigh = 0x2004;
constexpr quint16 RegCfgLdCompensationSecondsLow = 0x2005;
constexpr quint16 RegCfgLdAlarmTemperature = 0x2006;
constexpr quint16 RegCfgLdLowPowerMask = 0x2007;
constexpr quint16 ConfigBlockFirst = RegCfgReserved;
constexpr quint16 ConfigBlockCount = 7;

// Factory configuration block.
constexpr quint16 FactoryLdMask = 0x0FFF;
constexpr quint16 FactoryLdMaxDac = 3980;
constexpr quint32 FactoryCompensationHours = 10000;
constexpr quint16 FactoryAlarmTenths = 300;
constexpr quint16 FactoryLowPowerMask = 0x0FFF;

// Temperature words with a meaning of their own.
constexpr qint16 TemperatureOpenCircuit = -600;
constexpr qint16 TemperatureShortCircuit = 1200;

// Modbus function codes the panel uses.
constexpr quint8 FuncReadHoldingRegisters = 0x03;
constexpr quint8 FuncWriteSingleRegister = 0x06;
constexpr quint8 FuncWriteMultipleRegisters = 0x10;

// The controller acknowledges writes (functions 6 and 16) with six bytes:
// four bytes, then the CRC of those four, low byte first.
constexpr int WriteAckLength = 6;

// A reply to a read of n registers is 5 + 2n bytes.
constexpr int readReplyLength(int count) { return 5 + 2 * count; }

#endif // REGISTERS_H
