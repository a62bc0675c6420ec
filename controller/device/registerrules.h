#ifndef REGISTERRULES_H
#define REGISTERRULES_H

#include <QVector>
#include <QtGlobal>

// What the controller's registers allow a master from outside (a SCADA
// system through the bridge's Modbus TCP gateway): which registers exist,
// how each may be written and the values each takes. One row a register,
// with the limits taken from where they are defined (registers.h, the
// configuration block, the power scale); a check asks the table, never a
// switch, so the table can become part of a device description.
namespace RegisterRules {

enum class Access {
    ReadOnly, // read; a write is refused
    ReadWrite, // read, and written alone (function 6)
    BlockOnly, // read, and written only within the whole configuration block (function 16)
    LineOnly, // takes part in an address change on the line itself: never written from outside
};

struct Rule
{
    quint16 reg;
    Access access;
    quint16 min;
    quint16 max;
    const char *name;
};

// The rows, in register order.
const QVector<Rule> &table();
// The row of a register, or null when the controller has no such register.
const Rule *find(quint16 reg);

// Why a write is refused, as a Modbus exception code; None when it may go out.
enum Refusal : quint8 {
    None = 0,
    NotAllowed = 0x01, // illegal function: a register changed only on the line itself, or read-only mode
    NoSuchRegister = 0x02, // illegal data address: no register, or not writable this way
    OutOfRange = 0x03, // illegal data value
};

// Function 6 of `value` to `reg`.
Refusal checkWrite(quint16 reg, quint16 value);
// Function 16 of `values` from `first`: only the whole configuration block
// is written this way, each word within its range.
Refusal checkBlockWrite(quint16 first, const QVector<quint16> &values);

} // namespace RegisterRules

#endif // REGISTERRULES_H
