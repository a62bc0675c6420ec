#include "mbapframe.h"

QByteArray mbapFrame(quint8 unit, const QByteArray &pdu, int protocol, int lengthDelta, quint16 transaction)
{
    QByteArray frame;
    const int length = pdu.size() + 1 + lengthDelta;
    frame.append(char(transaction >> 8)).append(char(transaction & 0xFF));
    frame.append(char(protocol >> 8)).append(char(protocol & 0xFF));
    frame.append(char(length >> 8)).append(char(length & 0xFF));
    frame.append(char(unit));
    return frame + pdu;
}
