#include "modbusframes.h"

namespace {

void appendWord(QByteArray &frame, quint16 word)
{
    frame.append(char(word >> 8));
    frame.append(char(word & 0xFF));
}

QByteArray withWords(QByteArray frame, const QVector<quint16> &words)
{
    for (quint16 word : words)
        appendWord(frame, word);
    return withCrc(frame);
}

} // namespace

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

QByteArray readRequest(quint8 unit, quint16 first, quint16 count)
{
    return withWords(bytes({unit, 0x03}), {first, count});
}

const QString statusReadHex = QStringLiteral("01 03 00 01 00 0C 14 0F");
const QString dacReadHex = QStringLiteral("01 03 10 01 00 01 D1 0A");
const QString blockReadHex = QStringLiteral("01 03 20 01 00 07 5E 08");
const QString factoryBlockSaveHex
    = QStringLiteral("01 10 20 01 00 07 0E 00 00 0F FF 0F 8C 02 25 51 00 01 2C 0F FF 81 BE");

QByteArray statusRead(quint8 unit)
{
    return readRequest(unit, 0x0001, 12);
}

QByteArray writeRequest(quint8 unit, quint16 reg, quint16 value)
{
    return withWords(bytes({unit, 0x06}), {reg, value});
}

QByteArray blockRequest(quint8 unit, quint16 first, const QVector<quint16> &words)
{
    QByteArray head = bytes({unit, 0x10});
    appendWord(head, first);
    appendWord(head, quint16(words.size()));
    head.append(char(2 * words.size()));
    return withWords(head, words);
}

QByteArray readReply(quint8 unit, const QVector<quint16> &words)
{
    return withWords(bytes({unit, 0x03, int(2 * words.size())}), words);
}

QByteArray ack(quint8 unit, quint8 function, quint16 reg)
{
    return withWords(bytes({unit, function}), {reg});
}

QByteArray exceptionReply(quint8 unit, quint8 function, quint8 code)
{
    return withCrc(bytes({unit, function | 0x80, code}));
}

QVector<quint16> replyWords(const QByteArray &reply)
{
    QVector<quint16> words;
    for (int i = 3; i + 1 < reply.size() - 2; i += 2)
        words.append(quint16((quint8(reply.at(i)) << 8) | quint8(reply.at(i + 1))));
    return words;
}

QString hexFrame(const QByteArray &frame)
{
    return QString::fromLatin1(frame.toHex(' ').toUpper());
}

QStringList hexFrames(const QList<QByteArray> &frames)
{
    QStringList list;
    for (const QByteArray &frame : frames)
        list << hexFrame(frame);
    return list;
}

QByteArray frameFromHex(const QString &hex)
{
    QString compact = hex;
    compact.remove(QLatin1Char(' '));
    return QByteArray::fromHex(compact.toLatin1());
}

QString readFrame(quint8 unit, quint16 first, quint16 count)
{
    return hexFrame(readRequest(unit, first, count));
}

QString writeFrame(quint8 unit, quint16 reg, quint16 value)
{
    return hexFrame(writeRequest(unit, reg, value));
}

QList<QByteArray> framesOf(const QList<SimController::Request> &requests)
{
    QList<QByteArray> frames;
    for (const SimController::Request &request : requests)
        frames.append(request.frame);
    return frames;
}
