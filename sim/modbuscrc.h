#ifndef MODBUSCRC_H
#define MODBUSCRC_H

#include <QByteArray>

// CRC-16/MODBUS worked out bit by bit from its definition: reflected
// polynomial 0xA001, initial value 0xFFFF. The virtual controller frames its
// replies with it and the tests build their reference frames with it; it is
// the independent check of the panel's own table-driven CRC, so it shares no
// code with it.
quint16 referenceCrc(const QByteArray &bytes);
// The frame with its CRC appended, low byte first.
QByteArray withCrc(QByteArray frame);
// At least four bytes whose last two are the CRC of the others.
bool crcOk(const QByteArray &frame);

#endif // MODBUSCRC_H
