#ifndef GATEWAYREQUEST_H
#define GATEWAYREQUEST_H

#include "lineworker.h"

#include <QtGlobal>

#include <functional>

// One Modbus TCP request as the gateway judges it before anything goes on a
// line: a frame to drop the connection for, a request refused with an
// exception, or one to forward to the controller of its unit.
struct GatewayRequest
{
    enum Verdict {
        Malformed, // the connection is closed: nothing it sends can be trusted to be framed
        Refused, // answered with `exception`, nothing is sent on the line
        Forward, // `request` goes to the controller of unit `unit`
    };

    // Modbus exception codes the gateway answers with.
    enum Exception : quint8 {
        IllegalFunction = 0x01,
        IllegalDataAddress = 0x02,
        IllegalDataValue = 0x03,
        ServerFailure = 0x04, // a bad reply on the line
        PathUnavailable = 0x0A, // the line is not there (port lost, queue full)
        TargetSilent = 0x0B, // the controller did not answer, or no controller has the unit
    };

    // The largest frame: 7 bytes of MBAP header and 253 of PDU.
    static constexpr int MaxAduBytes = 260;
    static constexpr int MbapBytes = 7;

    Verdict verdict = Malformed;
    quint8 exception = 0;
    quint8 unit = 0;
    quint8 function = 0;
    PassThrough request;

    // `adu` is the frame as read (header and PDU); `known` tells whether a
    // unit id has a controller.
    static GatewayRequest judge(const quint8 *adu, int length, bool readOnly, const std::function<bool(quint8)> &known);
};

#endif // GATEWAYREQUEST_H
