#include "linetransmitter.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace {

// A terminal that takes no byte for this long is given up on.
constexpr std::chrono::seconds writeGiveUp(1);
// After the terminal refused a byte, look again this much later.
constexpr std::chrono::milliseconds writeRetry(1);

} // namespace

void LineTransmitter::add(const Reply &reply)
{
    if (reply.bytes.isEmpty())
        return;
    Pending pending;
    pending.reply = reply;
    m_replies.append(pending);
}

LineTransmitter::Clock::time_point LineTransmitter::due(const Reply &reply, int index)
{
    if (reply.gap.count() > 0)
        return reply.start + reply.gap * index;
    return reply.start + reply.byteTime * (index + 1);
}

LineTransmitter::Clock::time_point LineTransmitter::nextDue() const
{
    Clock::time_point next = Clock::time_point::max();
    for (const Pending &p : m_replies)
        next = std::min(next, due(p.reply, p.sent));
    if (m_stuckSince != Clock::time_point())
        next = std::max(next, Clock::now() + writeRetry);
    return next;
}

LineTransmitter::Ended LineTransmitter::ended(const Pending &pending)
{
    Ended e;
    e.owner = pending.reply.owner;
    e.sent = pending.reply.bytes.left(pending.sent);
    e.total = pending.reply.bytes.size();
    e.firstByteAt = pending.sent > 0 ? pending.firstByteAt : Clock::now();
    e.note = pending.reply.note;
    return e;
}

QList<LineTransmitter::Ended> LineTransmitter::writeDue(int fd)
{
    QList<Ended> done;
    const Clock::time_point now = Clock::now();
    bool refused = false;
    // One byte at a time, earliest due first and, among bytes due at the
    // same time, from the reply that has sent least: overlapping replies
    // interleave, as colliding senders would.
    auto before = [](const Pending &a, const Pending &b) {
        const Clock::time_point dueA = due(a.reply, a.sent);
        const Clock::time_point dueB = due(b.reply, b.sent);
        return dueA < dueB || (dueA == dueB && a.sent < b.sent);
    };
    while (!refused) {
        int next = -1;
        for (int i = 0; i < m_replies.size(); ++i) {
            const Pending &p = m_replies.at(i);
            if (p.sent < p.reply.bytes.size() && due(p.reply, p.sent) <= now
                && (next < 0 || before(p, m_replies.at(next))))
                next = i;
        }
        if (next < 0)
            break;
        Pending &p = m_replies[next];
        // A reply alone on the line goes out in one write of all its due bytes.
        int count = 1;
        while (m_replies.size() == 1 && p.sent + count < p.reply.bytes.size() && due(p.reply, p.sent + count) <= now)
            ++count;
        const ssize_t n = ::write(fd, p.reply.bytes.constData() + p.sent, size_t(count));
        if (n > 0) {
            if (p.sent == 0)
                p.firstByteAt = now;
            p.sent += int(n);
            m_stuckSince = Clock::time_point();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            refused = true; // the terminal is full: wait for the reader
            if (m_stuckSince == Clock::time_point())
                m_stuckSince = now;
        } else {
            refused = true; // the terminal is gone
            m_stuckSince = now - writeGiveUp;
        }
    }
    const bool givenUp = refused && now - m_stuckSince >= writeGiveUp;
    for (int i = m_replies.size() - 1; i >= 0; --i) {
        const Pending &p = m_replies.at(i);
        if (givenUp || p.sent == p.reply.bytes.size()) {
            done.prepend(ended(p));
            m_replies.removeAt(i);
        }
    }
    if (givenUp || m_replies.isEmpty())
        m_stuckSince = Clock::time_point();
    return done;
}

QList<LineTransmitter::Ended> LineTransmitter::cutAll()
{
    QList<Ended> done;
    for (const Pending &p : m_replies)
        done.append(ended(p));
    m_replies.clear();
    m_stuckSince = Clock::time_point();
    return done;
}
