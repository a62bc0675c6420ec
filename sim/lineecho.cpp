// The line's side of the master's own bytes: the echo a 2-wire adapter hands
// back, and the rate the master's UART runs at.

#include "lineserver.h"
#include "virtualline.h"

#include <unistd.h>

namespace {

// The second half of a split echo comes this much after the first: long
// enough that the master reads the halves apart, short of any reply wait.
constexpr std::chrono::milliseconds splitPause(5);
// A reply starts this long after the echo's last byte, never interleaved with it.
constexpr std::chrono::microseconds afterEcho(500);

} // namespace

void LineServer::echoBack(QByteArray bytes, Clock::time_point now)
{
    if (core.echo == VirtualLine::EchoOff || bytes.isEmpty())
        return;
    QString note = QStringLiteral("echo");
    if (core.echo == VirtualLine::EchoCollide && core.collisionsLeft != 0) {
        const int at = bytes.size() / 2;
        bytes[at] = char(bytes.at(at) ^ 0x5A);
        note = QStringLiteral("echo, byte %1 changed by a collision").arg(at + 1);
        if (core.collisionsLeft > 0)
            --core.collisionsLeft;
    }
    if (core.echo == VirtualLine::EchoShort && bytes.size() > 1) {
        bytes.chop(1);
        note = QStringLiteral("echo, its last byte lost");
    }
    int nowCount = bytes.size();
    if (core.echo == VirtualLine::EchoSplit && bytes.size() > 1)
        nowCount = bytes.size() / 2;
    // The first part at once, ahead of anything the transmitter holds.
    const ssize_t n = ::write(terminal.fd(), bytes.constData(), size_t(nowCount));
    (void)n; // a full terminal loses echo bytes, as a line with nobody reading would
    traceBytes(
        now, "echo", bytes.left(nowCount), nowCount < bytes.size() ? note + QStringLiteral(", first part") : note);
    m_echoDoneAt = now + afterEcho;
    if (nowCount < bytes.size()) {
        LineTransmitter::Reply rest;
        rest.owner = -1;
        rest.bytes = bytes.mid(nowCount);
        rest.start = now + splitPause;
        rest.note = note + QStringLiteral(", second part");
        m_transmitter.add(rest);
        m_echoDoneAt = rest.start + afterEcho;
    }
}

bool LineServer::understood(int count, Clock::time_point now)
{
    const int rate = terminal.baudRate();
    if (core.lineBaud == 0 || rate == core.lineBaud)
        return true;
    // A UART at another rate samples the bits at the wrong times: what it
    // makes of them starts no frame with a good CRC, so nobody answers.
    m_trace << stamp(now)
            + QStringLiteral(" -- %1 bytes at %2 baud, not understood (the line runs at %3 baud)")
                  .arg(count)
                  .arg(rate > 0 ? QString::number(rate) : QStringLiteral("an unknown rate"))
                  .arg(core.lineBaud);
    return false;
}
