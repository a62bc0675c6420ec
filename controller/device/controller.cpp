#include "controller.h"

#include "link.h"
#include "protocol.h"
#include "registers.h"

#include <QElapsedTimer>
#include <QThread>

#include <array>

#include <utility>

namespace {

QByteArray frame(const quint8 *bytes, quint16 length)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), length);
}

} // namespace

namespace {

constexpr int requestBytes = 8; // a read, a register write
constexpr int blockRequestBytes = 9 + 2 * ConfigBlockCount;

// Milliseconds a number of bytes takes on the line, 10 bits a byte, rounded up.
int wireMs(int bytes, int baud)
{
    return (bytes * 10 * 1000 + baud - 1) / baud;
}

} // namespace

Controller::Waits Controller::Waits::plusWireTime(int baud) const
{
    Waits waits = *this;
    waits.readMs += wireMs(requestBytes, baud);
    waits.writeAckMs += wireMs(requestBytes, baud);
    waits.blockAckMs += wireMs(blockRequestBytes, baud);
    waits.broadcastPauseMs += wireMs(requestBytes, baud);
    return waits;
}

Controller::Controller(Link &link, const Protocol &protocol, quint8 address)
    : link(link), protocol(protocol), unit(address)
{
}

void Controller::setObserver(std::function<void(const char *, const Outcome &)> observer)
{
    this->observer = std::move(observer);
}

Outcome Controller::exchange(const char *what, const QByteArray &request, int want, int waitMs)
{
    Outcome outcome;
    outcome.request = request;
    QElapsedTimer clock;
    clock.start();
    bool ready = link.prepare();
    outcome.prepareNs = clock.nsecsElapsed();
    Link::Echo echo = Link::Echo::NotExpected;
    if (ready) {
        ready = link.send(reinterpret_cast<const quint8 *>(request.constData()), request.size());
        // The echo comes while the request is on the wire: the read's wait covers it.
        if (ready)
            echo = link.takeEcho(request, timing.readMs, &outcome.echo);
        // No echo at all: nothing went out on the line, so no reply comes either.
        if (ready && want > 0 && echo != Link::Echo::Missing) {
            outcome.reply.resize(want);
            outcome.reply.resize(link.receive(reinterpret_cast<quint8 *>(outcome.reply.data()), want, waitMs));
            outcome.mismatch = link.mismatch();
        }
    }
    outcome.elapsedNs = clock.nsecsElapsed();
    if (echo == Link::Echo::Different)
        outcome.kind = Outcome::BusCollision;
    else if (!outcome.mismatch.isEmpty())
        outcome.kind = Outcome::MismatchedReply;
    else
        outcome.kind = Outcome::judge(request, outcome.reply, want, ready, &outcome.exceptionCode);
    if (observer)
        observer(what, outcome);
    return outcome;
}

Outcome Controller::read(quint16 first, quint16 count)
{
    quint8 request[8];
    const quint16 length = protocol.buildReadHoldingRegisters(unit, first, count, request);
    return exchange("read", frame(request, length), readReplyLength(count), timing.readMs);
}

Outcome Controller::readStatus(StatusBlock *status)
{
    Outcome outcome = read(StatusBlockFirst, StatusBlockCount);
    if (outcome.kind == Outcome::Ok)
        decodeStatusReply(reinterpret_cast<const quint8 *>(outcome.reply.constData()), outcome.reply.size(), status);
    return outcome;
}

Outcome Controller::readMaxDac(quint16 *value)
{
    Outcome outcome = read(RegMaxPowerDac, 1);
    if (outcome.kind == Outcome::Ok)
        decodeMaxDacReply(reinterpret_cast<const quint8 *>(outcome.reply.constData()), outcome.reply.size(), value);
    return outcome;
}

Outcome Controller::readConfig(ConfigBlock *block)
{
    Outcome outcome = read(ConfigBlockFirst, ConfigBlockCount);
    if (outcome.kind == Outcome::Ok)
        decodeConfigReply(reinterpret_cast<const quint8 *>(outcome.reply.constData()), outcome.reply.size(), block);
    return outcome;
}

Outcome Controller::writeRegister(quint16 reg, quint16 value)
{
    quint8 request[8];
    const quint16 length = protocol.buildWriteSingleRegister(unit, reg, value, request);
    return readBack(exchange("write", frame(request, length), WriteAckLength, timing.writeAckMs), reg, &value, 1);
}

Outcome Controller::readBack(const Outcome &written, quint16 first, const quint16 *values, quint16 count)
{
    if (!verify || written.kind != Outcome::Ok)
        return written;
    quint8 request[8];
    const quint16 length = protocol.buildReadHoldingRegisters(unit, first, count, request);
    Outcome back = exchange("read back", frame(request, length), readReplyLength(count), timing.readMs);
    if (back.kind != Outcome::Ok) {
        back.afterWrite = written.request;
        return back;
    }
    const auto *words = reinterpret_cast<const quint8 *>(back.reply.constData()) + 3;
    for (int i = 0; i < count; ++i) {
        if (quint16((words[2 * i] << 8) | words[2 * i + 1]) != values[i]) {
            Outcome notApplied = written;
            notApplied.kind = Outcome::NotApplied;
            notApplied.readBack = back.reply;
            return notApplied;
        }
    }
    return written;
}

Outcome Controller::writeConfig(const ConfigBlock &block)
{
    const std::array<quint16, ConfigBlockCount> words = block.toWords();
    return writeRegisters(ConfigBlockFirst, words.data(), ConfigBlockCount);
}

Outcome Controller::writeRegisters(quint16 first, const quint16 *values, quint16 count)
{
    // Every word asked for goes out: a block cut short would write part of it
    // and be acknowledged as a whole.
    QByteArray request(9 + 2 * count, Qt::Uninitialized);
    const quint16 length
        = protocol.buildWriteMultipleRegisters(unit, first, values, count, reinterpret_cast<quint8 *>(request.data()));
    request.resize(length);
    return readBack(exchange("write block", request, WriteAckLength, timing.blockAckMs), first, values, count);
}

Outcome Controller::broadcastWrite(quint16 reg, quint16 value, quint8 toUnit)
{
    quint8 request[8];
    const quint16 length = protocol.buildWriteSingleRegister(toUnit, reg, value, request);
    const Outcome outcome = exchange("broadcast", frame(request, length), 0, 0);
    // No reply; give the controllers time to act on it.
    QThread::msleep(timing.broadcastPauseMs);
    return outcome;
}

Outcome Controller::changeAddress(quint8 newAddress)
{
    for (int n = 0; n < 2; ++n) {
        const Outcome outcome = broadcastWrite(RegRs485Address, newAddress);
        if (!outcome.isOk())
            return outcome;
    }
    return broadcastWrite(RegCommandWord, 1);
}
