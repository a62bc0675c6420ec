#ifndef MODBUSFACTS_H
#define MODBUSFACTS_H

#include <QtGlobal>

// The facts of Modbus itself (not of this controller) that code without
// libmodbus needs: the virtual controller and the frame layer. Code that
// links libmodbus (the controller library, the bridge, vortanix-ctl) takes
// them from libmodbus's header, MODBUS_EXCEPTION_* and MODBUS_MAX_*; the
// controller library checks at compile time that the two agree.
namespace Modbus {

// Exception codes, as the exception reply's third byte carries them.
enum Exception : quint8 {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    ServerFailure = 0x04,
    GatewayPathUnavailable = 0x0A,
    GatewayTargetFailed = 0x0B,
};

// An exception reply carries the request's function with this bit set.
constexpr quint8 ExceptionFlag = 0x80;

// The most registers one request may read (function 3) or write (16).
constexpr int MaxReadRegisters = 125;
constexpr int MaxWriteRegisters = 123;

// Modbus TCP: the MBAP header (transaction id, protocol id, length, unit id)
// and the largest frame, header included.
constexpr int TcpHeaderBytes = 7;
constexpr int TcpMaxAduBytes = 260;

} // namespace Modbus

#endif // MODBUSFACTS_H
