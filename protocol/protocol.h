#ifndef PROTOCOL_H
#define PROTOCOL_H

#include <QObject>

// Frame layer of the Modbus RTU master: builds the three requests the panel
// sends and checks the CRC of a reply. Keeps no state; performs no I/O.
class Protocol : public QObject
{
    Q_OBJECT

public:
    explicit Protocol(QObject *parent = nullptr);

    // Function 6, always 8 bytes.
    quint16 buildWriteSingleRegister(quint8 slaveAddress, quint16 reg, quint16 value, quint8 *out) const;
    // Function 3, always 8 bytes.
    quint16 buildReadHoldingRegisters(quint8 slaveAddress, quint16 first, quint16 count, quint8 *out) const;
    // Function 16, 9 + 2n bytes; values in host order.
    quint16 buildWriteMultipleRegisters(quint8 slaveAddress, quint16 first, const quint16 *values,
                                        quint16 count, quint8 *out) const;

    // 0 = CRC good; 1 = fewer than 5 bytes; 2 = CRC mismatch.
    int checkReply(const quint8 *data, int length) const;

    // CRC-16/MODBUS in wire order: the byte sent first in the high half.
    quint16 crc16(const quint8 *data, int length) const;

    enum ReplyCheck { ReplyOk = 0, ReplyTooShort = 1, ReplyBadCrc = 2 };
};

#endif // PROTOCOL_H
