#ifndef MODBUSFRAMES_H
#define MODBUSFRAMES_H

#include "modbuscrc.h"
#include "simcontroller.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <initializer_list>

// Frames as the controller expects and sends them, built here from the
// definition, independently of the panel's Protocol and of the virtual
// controller's register bank. The CRC is the bit-by-bit one of modbuscrc.h.

QByteArray bytes(std::initializer_list<int> list);

QByteArray readRequest(quint8 unit, quint16 first, quint16 count);
// The panel's status poll, twelve registers from 0x0001, at any address.
QByteArray statusRead(quint8 unit = 1);
QByteArray writeRequest(quint8 unit, quint16 reg, quint16 value);
QByteArray blockRequest(quint8 unit, quint16 first, const QVector<quint16> &words);
QByteArray readReply(quint8 unit, const QVector<quint16> &words);
// The six-byte acknowledgement: address, function, register, CRC.
QByteArray ack(quint8 unit, quint8 function, quint16 reg);
QByteArray exceptionReply(quint8 unit, quint8 function, quint8 code);
// The words of a function 3 reply.
QVector<quint16> replyWords(const QByteArray &reply);

// The requests the panel sends most, at address 1, written out byte by byte
// as the line carries them: the references for every frame builder.
extern const QString statusReadHex; // the status block: 12 registers from 0x0001
extern const QString dacReadHex; // the power limit: 1 register at 0x1001
extern const QString blockReadHex; // the configuration block: 7 registers from 0x2001
extern const QString factoryBlockSaveHex; // the factory configuration written to 0x2001

// Hex of a frame, upper case, bytes separated by blanks ("01 03 00 01").
QString hexFrame(const QByteArray &frame);
QStringList hexFrames(const QList<QByteArray> &frames);
// The frames of the requests a virtual controller heard, in their order.
QList<QByteArray> framesOf(const QList<SimController::Request> &requests);
// A frame from hex text, blanks ignored.
QByteArray frameFromHex(const QString &hex);
// The requests as hex text, as the tests compare them.
QString readFrame(quint8 unit, quint16 first, quint16 count);
QString writeFrame(quint8 unit, quint16 reg, quint16 value);

#endif // MODBUSFRAMES_H
