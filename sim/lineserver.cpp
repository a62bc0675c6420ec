#include "lineserver.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// After a hang-up on the terminal, look again this much later.
constexpr milliseconds hangupRetry(10);
// Chunks of an endless stream go out this often.
constexpr milliseconds streamPeriod(2);
// The byte an endless stream repeats; no run of it forms a frame with a valid CRC.
constexpr char streamByte = 0x55;
// The pace of an endless stream on a line without pacing: 115200 baud.
constexpr qint64 unpacedStreamBytesPerSecond = 11520;

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

QString LineServer::stamp(Clock::time_point t) const
{
    const qint64 us = std::max<qint64>(0, core.micros(t));
    return QString::asprintf("%lld.%06lld", us / 1000000, us % 1000000);
}

void LineServer::traceBytes(Clock::time_point at, const char *what, const QByteArray &bytes, const QString &note)
{
    m_trace << stamp(at) + QLatin1Char(' ') + QLatin1String(what) + QLatin1Char(' ') + hexBytes(bytes)
            + QStringLiteral("  (") + note + QLatin1Char(')');
}

QString LineServer::controllerName(int index) const
{
    return QString::number(core.controllers[size_t(index)]->bank.address());
}

void LineServer::flushTrace(std::unique_lock<std::mutex> &lock)
{
    const QStringList lines = m_trace;
    m_trace.clear();
    const std::function<void(const QString &)> sink = core.traceSink;
    if (lines.isEmpty() || !sink)
        return;
    lock.unlock();
    for (const QString &line : lines)
        sink(line);
    lock.lock();
}

void LineServer::closeTerminal()
{
    terminal.close();
    m_framer.clear();
    for (const LineTransmitter::Ended &ended : m_transmitter.cutAll())
        finish(ended, false);
    for (const auto &c : core.controllers) {
        c->streaming = false;
        c->sending = false;
        c->waiting.clear();
    }
    core.changed.notify_all();
}

void LineServer::shutDown()
{
    if (terminal.isOpen())
        closeTerminal();
    m_trace.clear(); // the thread has ended: nobody to hand them to
    m_readable = false;
    m_readAgainAt = Clock::time_point();
    m_echoDoneAt = Clock::time_point();
}

void LineServer::readAvailable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal.fd(), buffer, sizeof buffer);
        if (n > 0) {
            const Clock::time_point now = Clock::now();
            echoBack(QByteArray(buffer, int(n)), now);
            if (understood(int(n), now))
                m_framer.append(buffer, int(n), now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            m_readAgainAt = Clock::now() + hangupRetry; // EIO: nobody on the other side
        return;
    }
}

// A request is on the line: every controller hears it.
void LineServer::dispatch(const QByteArray &frame, Clock::time_point at)
{
    const quint8 unit = quint8(frame.at(0));
    const bool anyAtUnit = std::any_of(
        core.controllers.begin(), core.controllers.end(), [unit](const auto &c) { return c->bank.address() == unit; });
    QString note;
    if (unit == 0)
        note = QStringLiteral("  (broadcast, no reply)");
    else if (!anyAtUnit)
        note = QStringLiteral("  (for address %1, ignored)").arg(unit);
    m_trace << stamp(at) + QStringLiteral(" rx ") + hexBytes(frame) + note;
    const qint64 timeUs = core.micros(at);
    for (int i = 0; i < int(core.controllers.size()) && terminal.isOpen(); ++i) {
        ControllerState &c = *core.controllers[size_t(i)];
        if (c.sending)
            c.waiting.append(ControllerState::Waiting{frame, timeUs});
        else
            take(i, frame, timeUs, std::max(at, m_echoDoneAt));
    }
}

// Controller `index` takes a request; its reply is timed from `from` on.
void LineServer::take(int index, const QByteArray &frame, qint64 timeUs, Clock::time_point from)
{
    ControllerState &c = *core.controllers[size_t(index)];
    const QString name = controllerName(index);
    const Response response = c.take(frame, timeUs);
    core.changed.notify_all();
    if (response.bytes.isEmpty() && !response.note.isEmpty())
        m_trace << stamp(Clock::now()) + QStringLiteral(" -- controller ") + name + QStringLiteral(": ")
                + response.note;
    if (response.startsStream) {
        c.streaming = true;
        c.streamNoted = true;
        c.streamStart = Clock::now();
        c.streamSent = 0;
    }
    if (response.unplugs) {
        closeTerminal();
        return;
    }
    if (response.bytes.isEmpty())
        return;
    ++c.replies;
    c.sending = true;
    LineTransmitter::Reply reply;
    reply.owner = index;
    reply.bytes = response.bytes;
    reply.start = from + microseconds(c.turnaroundUs) + milliseconds(response.delayMs);
    if (core.pacingBaud > 0)
        reply.byteTime = nanoseconds(10LL * 1000000000LL / core.pacingBaud);
    reply.gap = milliseconds(response.gapMs);
    reply.note = QStringLiteral("from ") + name;
    if (!response.note.isEmpty())
        reply.note += QStringLiteral("; ") + response.note;
    m_transmitter.add(reply);
}

// A reply has ended; its controller then takes what it heard meanwhile.
void LineServer::finish(const LineTransmitter::Ended &ended, bool takeWaiting)
{
    if (ended.owner < 0) { // the end of an echo
        traceBytes(ended.firstByteAt, "echo", ended.sent, ended.note);
        return;
    }
    ControllerState &c = *core.controllers[size_t(ended.owner)];
    ++c.finishedReplies;
    c.sending = false;
    QString note = ended.note;
    if (ended.sent.size() < ended.total)
        note += QStringLiteral("; cut off after %1 of %2 bytes").arg(ended.sent.size()).arg(ended.total);
    traceBytes(ended.firstByteAt, "tx", ended.sent, note);
    while (takeWaiting && !c.sending && !c.waiting.isEmpty() && terminal.isOpen()) {
        const ControllerState::Waiting next = c.waiting.takeFirst();
        take(ended.owner, next.frame, next.timeUs, Clock::now());
    }
}

// Pushes the endless streams forward; bytes the terminal cannot take are dropped.
void LineServer::streamSome(Clock::time_point now)
{
    for (int i = 0; i < int(core.controllers.size()); ++i) {
        ControllerState &c = *core.controllers[size_t(i)];
        if (!c.streaming || !terminal.isOpen()) {
            if (c.streamNoted)
                m_trace << stamp(now) + QStringLiteral(" -- controller ") + controllerName(i)
                        + QStringLiteral(": endless stream ends after %1 bytes").arg(c.streamSent);
            c.streamNoted = false;
            continue;
        }
        const qint64 bytesPerSecond = core.pacingBaud > 0 ? core.pacingBaud / 10 : unpacedStreamBytesPerSecond;
        const qint64 due
            = std::chrono::duration_cast<microseconds>(now - c.streamStart).count() * bytesPerSecond / 1000000;
        const int count = int(std::min<qint64>(due - c.streamSent, 4096));
        if (count > 0) {
            const QByteArray chunk(count, streamByte);
            const ssize_t n = ::write(terminal.fd(), chunk.constData(), size_t(count));
            (void)n;
            c.streamSent += count;
        }
    }
}

// Steps the drifting controllers; gives when the next step is due.
LineServer::Clock::time_point LineServer::drift(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto &c : core.controllers) {
        if (!c->drift)
            continue;
        if (now >= c->nextDrift) {
            c->bank.drift(c->random);
            c->nextDrift += milliseconds(SimController::DriftStepMs);
            if (c->nextDrift <= now)
                c->nextDrift = now + milliseconds(SimController::DriftStepMs);
        }
        next = std::min(next, c->nextDrift);
    }
    return next;
}

void LineServer::serve()
{
    // A device answers on its own time, whatever the host is doing: ask for
    // a better share of the processor when allowed (root), so that a loaded
    // machine does not make the controllers miss the master's wait.
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), -10);

    std::unique_lock<std::mutex> lock(core.mutex);
    while (!stopRequested) {
        if (unplugRequested) {
            if (terminal.isOpen())
                closeTerminal();
            unplugRequested = false;
            core.changed.notify_all();
        }
        if (replugRequested) {
            replugResult = terminal.isOpen() || terminal.open();
            m_readAgainAt = Clock::time_point();
            replugRequested = false;
            core.changed.notify_all();
        }
        if (m_readable && terminal.isOpen())
            readAvailable();
        for (const RequestFramer::Piece &piece : m_framer.take(Clock::now())) {
            if (piece.isFrame)
                dispatch(piece.bytes, m_framer.lastByteAt());
            else
                m_trace << stamp(Clock::now()) + QStringLiteral(" -- dropped ") + hexBytes(piece.bytes);
        }
        flushTrace(lock); // a request's line reaches the sink before its reply goes out
        if (terminal.isOpen()) {
            for (const LineTransmitter::Ended &ended : m_transmitter.writeDue(terminal.fd()))
                finish(ended, true);
        }
        const Clock::time_point now = Clock::now();
        streamSome(now);
        Clock::time_point wakeAt = std::min({drift(now), m_transmitter.nextDue(), m_framer.giveUpAt()});
        if (std::any_of(core.controllers.begin(), core.controllers.end(), [](const auto &c) { return c->streaming; }))
            wakeAt = std::min(wakeAt, now + streamPeriod);
        flushTrace(lock);
        if (!stopRequested && !unplugRequested && !replugRequested)
            waitForWork(lock, wakeAt);
    }
}

// Sleeps until the terminal has bytes, the API wakes the thread, or `wakeAt`.
void LineServer::waitForWork(std::unique_lock<std::mutex> &lock, Clock::time_point wakeAt)
{
    const Clock::time_point now = Clock::now();
    const bool watchTerminal = terminal.isOpen() && now >= m_readAgainAt;
    if (terminal.isOpen() && !watchTerminal)
        wakeAt = std::min(wakeAt, m_readAgainAt);
    struct pollfd fds[2] = {{core.wakeFd, POLLIN, 0}, {terminal.fd(), POLLIN, 0}};
    struct timespec timeout;
    struct timespec *timeoutPtr = nullptr;
    if (wakeAt != Clock::time_point::max()) {
        const qint64 left = std::max<qint64>(0, std::chrono::duration_cast<nanoseconds>(wakeAt - now).count());
        timeout.tv_sec = time_t(left / 1000000000);
        timeout.tv_nsec = long(left % 1000000000);
        timeoutPtr = &timeout;
    }
    // The terminal is opened and closed only by this thread, so its descriptor stays valid unlocked.
    lock.unlock();
    const int rc = ::ppoll(fds, watchTerminal ? 2 : 1, timeoutPtr, nullptr);
    lock.lock();
    if (rc > 0 && (fds[0].revents & POLLIN)) {
        quint64 value;
        const ssize_t n = ::read(core.wakeFd, &value, sizeof value);
        (void)n;
    }
    m_readable = rc > 0 && watchTerminal && (fds[1].revents & POLLIN);
    if (rc > 0 && watchTerminal && !m_readable && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
        m_readAgainAt = Clock::now() + hangupRetry; // wait and look again
}
