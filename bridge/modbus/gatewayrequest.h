#ifndef GATEWAYREQUEST_H
#define GATEWAYREQUEST_H

#include "hubrequest.h"

#include <QtGlobal>

#include <functional>

// One Modbus TCP request (a whole frame: MBAP header and PDU) as the gateway
// judges it before anything goes on a line: a frame to drop the connection
// for, a request refused with an exception, or one to forward to the
// controller of its unit.
struct GatewayRequest
{
    enum Verdict {
        Malformed, // the connection is closed: nothing it sends can be trusted to be framed
        Refused, // answered with `exception`, nothing is sent on the line
        Forward, // `request` goes to the controller of unit `unit`
        Identify, // read device identification (43/14) of unit `unit`: answered from the hub, object `object` on
    };

    Verdict verdict = Malformed;
    quint8 exception = 0;
    quint8 unit = 0;
    quint8 function = 0;
    HubRequest request;
    quint8 identification = 0; // Identify: 1 basic objects as a stream, 4 one object
    quint8 object = 0; // Identify: the object asked for (0 vendor, 1 product code, 2 revision)

    // How many bytes the frame that starts with these `length` bytes has:
    // the MBAP header's length field plus the six bytes before it; 0 while
    // the header is not all there; -1 when it cannot be a Modbus TCP frame
    // (protocol id not 0, a length that is too short or too long), which
    // closes the connection.
    static int frameLength(const quint8 *bytes, int length);
    // `adu` is the frame as read (header and PDU); `known` tells whether a
    // unit id has a controller.
    static GatewayRequest judge(const quint8 *adu, int length, bool readOnly, const std::function<bool(quint8)> &known);
};

#endif // GATEWAYREQUEST_H
