#ifndef REGISTERRULES_H
#define REGISTERRULES_H

#include <QVector>
#include <QtGlobal>

// What the controller's registers allow a master from outside (a SCADA
// system through the bridge's Modbus TCP gateway), as the device's register
// table (protocol/registermap.h) says: which registers exist, how each may
// be written and the values each takes. A check asks the table, never a
// switch: a register added there is taken or refused here as its row says.
namespace RegisterRules {

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
