#ifndef MBAPFRAME_H
#define MBAPFRAME_H

#include <QByteArray>

// A Modbus TCP request as it goes over the connection: the MBAP header
// (transaction, protocol id, the length of unit id and PDU, unit id), then
// the PDU. `protocol` and `lengthDelta` make the header wrong on purpose.
QByteArray mbapFrame(
    quint8 unit, const QByteArray &pdu, int protocol = 0, int lengthDelta = 0, quint16 transaction = 0x1234);

#endif // MBAPFRAME_H
