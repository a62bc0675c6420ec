#include "registerbank.h"

#include "modbuscrc.h"
#include "modbusfacts.h"
#include "registermap.h"
#include "registers.h"

#include <algorithm>
#include <iterator>

namespace {

using RegisterMap::Access;

const std::vector<RegisterMap::Row> &registerMap()
{
    return RegisterMap::rows();
}

quint16 wordAt(const QByteArray &frame, int offset)
{
    return quint16((quint8(frame.at(offset)) << 8) | quint8(frame.at(offset + 1)));
}

void appendWord(QByteArray &frame, quint16 word)
{
    frame.append(char(word >> 8));
    frame.append(char(word & 0xFF));
}

QByteArray exception(quint8 unit, quint8 function, quint8 code)
{
    QByteArray reply;
    reply.append(char(unit));
    reply.append(char(function | Modbus::ExceptionFlag));
    reply.append(char(code));
    return withCrc(reply);
}

// The controller's write acknowledgement: address, function, register, then
// the CRC of those four bytes.
QByteArray acknowledgement(quint8 unit, quint8 function, quint16 reg)
{
    QByteArray reply;
    reply.append(char(unit));
    reply.append(char(function));
    appendWord(reply, reg);
    return withCrc(reply);
}

// Bytes of a whole request of this function: 8 for functions 3 and 6, 9 plus
// the byte count for function 16.
int wholeLength(const QByteArray &request)
{
    if (quint8(request.at(1)) != FuncWriteMultipleRegisters)
        return 8;
    return request.size() < 7 ? 9 : 9 + quint8(request.at(6));
}

} // namespace

RegisterBank::RegisterBank()
{
    reset();
}

void RegisterBank::reset()
{
    m_values.clear();
    for (const RegisterMap::Row &row : registerMap())
        m_values.push_back(row.resetValue);
}

int RegisterBank::indexOf(quint16 reg) const
{
    const RegisterMap::Row *row = RegisterMap::find(reg);
    return row ? int(row - registerMap().data()) : -1;
}

quint16 &RegisterBank::at(quint16 reg)
{
    return m_values[size_t(indexOf(reg))];
}

quint8 RegisterBank::address() const
{
    return quint8(value(RegRs485Address));
}

void RegisterBank::setAddress(quint8 address)
{
    at(RegRs485Address) = address;
}

quint16 RegisterBank::value(quint16 reg) const
{
    const int index = indexOf(reg);
    return index < 0 ? 0 : m_values[size_t(index)];
}

void RegisterBank::setValue(quint16 reg, quint16 value)
{
    const int index = indexOf(reg);
    if (index >= 0)
        m_values[size_t(index)] = reg == RegRs485Address ? quint16(value & 0xFF) : value;
}

void RegisterBank::setRunSeconds(quint32 seconds)
{
    at(RegRunSecondsHigh) = quint16(seconds >> 16);
    at(RegRunSecondsLow) = quint16(seconds & 0xFFFF);
}

QByteArray RegisterBank::execute(const QByteArray &request)
{
    if (request.size() < 4 || request.size() < wholeLength(request))
        return QByteArray();
    const quint8 unit = quint8(request.at(0));
    if (unit != 0 && unit != address())
        return QByteArray();
    QByteArray reply;
    const quint8 function = quint8(request.at(1));
    switch (function) {
    case FuncReadHoldingRegisters:
        reply = read(unit, request);
        break;
    case FuncWriteSingleRegister:
        reply = writeSingle(unit, request);
        break;
    case FuncWriteMultipleRegisters:
        reply = writeBlock(unit, request);
        break;
    default:
        reply = exception(unit, function, Modbus::IllegalFunction);
        break;
    }
    return unit == 0 ? QByteArray() : reply;
}

QByteArray RegisterBank::read(quint8 unit, const QByteArray &request) const
{
    const int first = wordAt(request, 2);
    const int count = wordAt(request, 4);
    if (count < 1 || count > Modbus::MaxReadRegisters)
        return exception(unit, FuncReadHoldingRegisters, Modbus::IllegalDataValue);
    QByteArray reply;
    reply.append(char(unit));
    reply.append(char(FuncReadHoldingRegisters));
    reply.append(char(2 * count));
    for (int reg = first; reg < first + count; ++reg) {
        const int index = reg > 0xFFFF ? -1 : indexOf(quint16(reg));
        if (index < 0 || registerMap()[size_t(index)].access == Access::WriteOnly)
            return exception(unit, FuncReadHoldingRegisters, Modbus::IllegalDataAddress);
        appendWord(reply, m_values[size_t(index)]);
    }
    return withCrc(reply);
}

QByteArray RegisterBank::writeSingle(quint8 unit, const QByteArray &request)
{
    const quint16 reg = wordAt(request, 2);
    const quint16 value = wordAt(request, 4);
    const int index = indexOf(reg);
    if (index < 0)
        return exception(unit, FuncWriteSingleRegister, Modbus::IllegalDataAddress);
    const RegisterMap::Row &row = registerMap()[size_t(index)];
    if (row.access != Access::ReadWrite && row.access != Access::WriteOnly)
        return exception(unit, FuncWriteSingleRegister, Modbus::IllegalDataAddress);
    if (row.deviceChecksRange && (value < row.min || value > row.max))
        return exception(unit, FuncWriteSingleRegister, Modbus::IllegalDataValue);
    m_values[size_t(index)] = value;
    return acknowledgement(unit, FuncWriteSingleRegister, reg);
}

QByteArray RegisterBank::writeBlock(quint8 unit, const QByteArray &request)
{
    const quint16 first = wordAt(request, 2);
    const int count = wordAt(request, 4);
    const int byteCount = quint8(request.at(6));
    if (count < 1 || count > Modbus::MaxWriteRegisters || byteCount != 2 * count)
        return exception(unit, FuncWriteMultipleRegisters, Modbus::IllegalDataValue);
    // The configuration block is only ever written whole.
    if (first != ConfigBlockFirst || count != ConfigBlockCount)
        return exception(unit, FuncWriteMultipleRegisters, Modbus::IllegalDataAddress);
    for (int i = 0; i < count; ++i)
        at(quint16(first + i)) = wordAt(request, 7 + 2 * i);
    // The controller applies its new configuration at once.
    for (const RegisterMap::Row &row : registerMap()) {
        if (row.followsConfig != 0)
            at(row.reg) = value(row.followsConfig);
    }
    return acknowledgement(unit, FuncWriteMultipleRegisters, first);
}

void RegisterBank::drift(std::mt19937 &random)
{
    auto stepWithin = [&random](int value, int step, int low, int high) {
        std::uniform_int_distribution<int> d(-step, step);
        return std::clamp(value + d(random), low, high);
    };
    quint16 &temperature = at(RegLdTemperature);
    temperature = quint16(qint16(stepWithin(qint16(temperature), 1, 240, 260)));
    quint16 &supply = at(RegSupplyVoltage);
    supply = quint16(stepWithin(supply, 10, 23900, 24100));
    setRunSeconds(((quint32(value(RegRunSecondsHigh)) << 16) | value(RegRunSecondsLow)) + 1);
}
