#include "registerrules.h"

#include "registermap.h"
#include "registers.h"

#include <modbus/modbus.h>

namespace RegisterRules {

static_assert(int(NotAllowed) == int(MODBUS_EXCEPTION_ILLEGAL_FUNCTION)
        && int(NoSuchRegister) == int(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS)
        && int(OutOfRange) == int(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE),
    "refusals are Modbus exception codes");

using RegisterMap::Access;

Refusal checkWrite(quint16 reg, quint16 value)
{
    const RegisterMap::Row *row = RegisterMap::find(reg);
    if (!row || (row->access != Access::ReadWrite && row->access != Access::WriteOnly))
        return NoSuchRegister;
    if (row->lineOnly)
        return NotAllowed;
    return value < row->min || value > row->max ? OutOfRange : None;
}

Refusal checkBlockWrite(quint16 first, const QVector<quint16> &values)
{
    if (first != ConfigBlockFirst || values.size() != ConfigBlockCount)
        return NoSuchRegister;
    for (int i = 0; i < values.size(); ++i) {
        const RegisterMap::Row *row = RegisterMap::find(quint16(first + i));
        if (!row || row->access != Access::BlockOnly)
            return NoSuchRegister;
        if (values.at(i) < row->min || values.at(i) > row->max)
            return OutOfRange;
    }
    return None;
}

} // namespace RegisterRules
