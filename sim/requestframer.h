#ifndef REQUESTFRAMER_H
#define REQUESTFRAMER_H

#include <QByteArray>
#include <QList>

#include <chrono>

// Finds request frames in the bytes that arrive on the line. A frame is as
// long as its function says (8 bytes for functions 3 and 6 and anything
// unknown, 9 plus its byte count for function 16) and ends in a good CRC.
// Bytes that start no good frame are dropped one by one; an incomplete frame
// is given up once the line has been quiet for a while.
class RequestFramer
{
public:
    using Clock = std::chrono::steady_clock;

    // A frame found, or bytes dropped.
    struct Piece
    {
        bool isFrame = false;
        QByteArray bytes;
    };

    void append(const char *data, int size, Clock::time_point at);
    // The frames and dropped bytes, in line order, as far as they can be told now.
    QList<Piece> take(Clock::time_point now);
    // When the last byte arrived.
    Clock::time_point lastByteAt() const { return m_lastByteAt; }
    // When an incomplete frame will be given up (max() when nothing waits).
    Clock::time_point giveUpAt() const;
    void clear() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
    Clock::time_point m_lastByteAt;
};

#endif // REQUESTFRAMER_H
