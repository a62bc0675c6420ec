#include "gatewayrequest.h"

#include "registerrules.h"
#include "registers.h"

#include <modbus/modbus.h>

namespace {

constexpr int headerBytes = 7; // transaction id, protocol id, length, unit id
// Function 43 (encapsulated interface transport), MEI type 14: read device identification.
constexpr quint8 encapsulatedInterface = 0x2B;
constexpr quint8 deviceIdentification = 0x0E;
constexpr quint8 basicStream = 0x01;
constexpr quint8 oneObject = 0x04;
constexpr quint8 lastBasicObject = 0x02;

quint16 word(const quint8 *bytes)
{
    return quint16((bytes[0] << 8) | bytes[1]);
}

GatewayRequest refused(GatewayRequest request, quint8 code)
{
    request.verdict = GatewayRequest::Refused;
    request.exception = code;
    return request;
}

} // namespace

int GatewayRequest::frameLength(const quint8 *bytes, int length)
{
    if (length >= 4 && word(bytes + 2) != 0)
        return -1;
    if (length < 6)
        return 0;
    // The length counts the unit id and the PDU (a function code at least).
    const int total = 6 + word(bytes + 4);
    return total < headerBytes + 1 || total > MODBUS_TCP_MAX_ADU_LENGTH ? -1 : total;
}

GatewayRequest GatewayRequest::judge(
    const quint8 *adu, int length, bool readOnly, const std::function<bool(quint8)> &known)
{
    GatewayRequest result;
    // Protocol id 0, and a length field that counts exactly the unit id and the PDU.
    if (length < headerBytes + 1 || length > MODBUS_TCP_MAX_ADU_LENGTH || word(adu + 2) != 0
        || word(adu + 4) != length - 6)
        return result;
    result.unit = adu[6];
    result.function = adu[7];
    const quint8 *pdu = adu + headerBytes;
    const int pduLength = length - headerBytes;
    // Broadcasts would reach every controller on the line unanswered.
    if (result.unit == 0)
        return refused(result, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    if (!known(result.unit))
        return refused(result, MODBUS_EXCEPTION_GATEWAY_TARGET);
    HubRequest &request = result.request;
    request.source = Source::ModbusTcp;
    switch (result.function) {
    case FuncReadHoldingRegisters:
        if (pduLength != 5)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        request.first = word(pdu + 1);
        request.count = word(pdu + 3);
        if (request.count < 1 || request.count > MODBUS_MAX_READ_REGISTERS)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        break;
    case FuncWriteSingleRegister: {
        if (readOnly)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        if (pduLength != 5)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        request.kind = HubRequest::WriteRegister;
        request.first = word(pdu + 1);
        request.values = {word(pdu + 3)};
        if (const quint8 code = RegisterRules::checkWrite(request.first, request.values.first()))
            return refused(result, code);
        break;
    }
    case FuncWriteMultipleRegisters: {
        if (readOnly)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        if (pduLength < 6)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        request.kind = HubRequest::WriteRegisters;
        request.first = word(pdu + 1);
        const int count = word(pdu + 3);
        if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || pdu[5] != 2 * count || pduLength != 6 + 2 * count)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        for (int i = 0; i < count; ++i)
            request.values.append(word(pdu + 6 + 2 * i));
        if (const quint8 code = RegisterRules::checkBlockWrite(request.first, request.values))
            return refused(result, code);
        break;
    }
    case encapsulatedInterface:
        // Only read device identification (MEI type 14), its basic objects 0..2.
        if (pduLength != 4 || pdu[1] != deviceIdentification)
            return refused(result,
                pduLength >= 2 && pdu[1] != deviceIdentification ? MODBUS_EXCEPTION_ILLEGAL_FUNCTION
                                                                 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        result.identification = pdu[2];
        result.object = pdu[3];
        if (result.identification != basicStream && result.identification != oneObject)
            return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        if (result.object > lastBasicObject) {
            if (result.identification == oneObject)
                return refused(result, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
            result.object = 0; // a stream from an unknown object starts at the first
        }
        result.verdict = Identify;
        return result;
    default:
        return refused(result, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
    result.verdict = Forward;
    return result;
}
