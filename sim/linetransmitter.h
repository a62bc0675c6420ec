#ifndef LINETRANSMITTER_H
#define LINETRANSMITTER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>

// Replies on their way onto the line, each byte at its time: all at once, at
// the line's pace (a byte every ten bit times), or with a fixed gap between
// bytes, from a start time on. Replies that overlap in time interleave byte by
// byte, as two senders on one line would collide. The owner of a reply (an
// index the caller chooses) comes back with it when it has ended.
class LineTransmitter
{
public:
    using Clock = std::chrono::steady_clock;

    struct Reply
    {
        int owner = 0;
        QByteArray bytes;
        Clock::time_point start;
        std::chrono::nanoseconds byteTime{0}; // pace: byte i is complete at start + (i + 1) * byteTime
        std::chrono::nanoseconds gap{0}; // gaps: byte i goes out at start + i * gap
        QString note;
    };

    struct Ended
    {
        int owner = 0;
        QByteArray sent; // the bytes that went out
        int total = 0; // of this many
        Clock::time_point firstByteAt; // when the first went out (or when it ended, if none did)
        QString note;
    };

    void add(const Reply &reply);
    bool isEmpty() const { return m_replies.isEmpty(); }
    // When the next byte is due (max() when nothing is waiting).
    Clock::time_point nextDue() const;
    // Writes to `fd` every byte due by now; gives the replies that have ended.
    // A terminal that takes nothing for a second cuts the replies off.
    QList<Ended> writeDue(int fd);
    // Cuts every reply off where it stands.
    QList<Ended> cutAll();

private:
    struct Pending
    {
        Reply reply;
        int sent = 0;
        Clock::time_point firstByteAt;
    };
    static Clock::time_point due(const Reply &reply, int index);
    static Ended ended(const Pending &pending);

    QList<Pending> m_replies;
    Clock::time_point m_stuckSince; // the terminal took nothing since then; epoch: it takes bytes
};

#endif // LINETRANSMITTER_H
