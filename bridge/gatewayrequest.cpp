#include "gatewayrequest.h"

#include "registerrules.h"
#include "registers.h"

namespace {

constexpr int maxReadCount = 125; // the Modbus limits of one request
constexpr int maxWriteCount = 123;

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

GatewayRequest GatewayRequest::judge(
    const quint8 *adu, int length, bool readOnly, const std::function<bool(quint8)> &known)
{
    GatewayRequest result;
    // Protocol id 0, and a length field that counts exactly the unit id and the PDU.
    if (length < MbapBytes + 1 || length > MaxAduBytes || word(adu + 2) != 0 || word(adu + 4) != length - 6)
        return result;
    result.unit = adu[6];
    result.function = adu[7];
    const quint8 *pdu = adu + MbapBytes;
    const int pduLength = length - MbapBytes;
    // Broadcasts would reach every controller on the line unanswered.
    if (result.unit == 0)
        return refused(result, IllegalFunction);
    if (!known(result.unit))
        return refused(result, TargetSilent);
    PassThrough &request = result.request;
    request.function = result.function;
    switch (result.function) {
    case FuncReadHoldingRegisters:
        if (pduLength != 5)
            return refused(result, IllegalDataValue);
        request.first = word(pdu + 1);
        request.count = word(pdu + 3);
        if (request.count < 1 || request.count > maxReadCount)
            return refused(result, IllegalDataValue);
        break;
    case FuncWriteSingleRegister: {
        if (readOnly)
            return refused(result, IllegalFunction);
        if (pduLength != 5)
            return refused(result, IllegalDataValue);
        request.first = word(pdu + 1);
        request.values = {word(pdu + 3)};
        if (const quint8 code = RegisterRules::checkWrite(request.first, request.values.first()))
            return refused(result, code);
        break;
    }
    case FuncWriteMultipleRegisters: {
        if (readOnly)
            return refused(result, IllegalFunction);
        if (pduLength < 6)
            return refused(result, IllegalDataValue);
        request.first = word(pdu + 1);
        const int count = word(pdu + 3);
        if (count < 1 || count > maxWriteCount || pdu[5] != 2 * count || pduLength != 6 + 2 * count)
            return refused(result, IllegalDataValue);
        for (int i = 0; i < count; ++i)
            request.values.append(word(pdu + 6 + 2 * i));
        if (const quint8 code = RegisterRules::checkBlockWrite(request.first, request.values))
            return refused(result, code);
        break;
    }
    default:
        return refused(result, IllegalFunction);
    }
    result.verdict = Forward;
    return result;
}
