#include "fakeline.h"

FakeLine::FakeLine(const QList<int> &addresses, qint64 *clock, int baud) : clock(clock), baud(baud)
{
    for (int address : addresses)
        banks[address].setAddress(quint8(address));
}

void FakeLine::setFault(int address, ControllerFaults::FaultKind kind, int param, int count)
{
    ControllerFaults::Fault fault;
    fault.kind = kind;
    fault.param = param;
    fault.count = count;
    faults[address] = fault;
}

void FakeLine::setPresent(bool there)
{
    present = there;
    if (!there)
        open = false;
}

bool FakeLine::ensureOpen()
{
    open = present;
    return open;
}

QString FakeLine::stateText() const
{
    return open ? QStringLiteral("open") : QStringLiteral("no such port");
}

bool FakeLine::send(const quint8 *data, int length)
{
    reply.clear();
    if (!open || !present)
        return false;
    const QByteArray request(reinterpret_cast<const char *>(data), length);
    heard.append(request);
    pass(qint64(length) * 10 * 1000000000 / baud);
    for (auto it = banks.begin(); it != banks.end(); ++it) {
        ControllerFaults::Fault &fault = faults[it.key()];
        const bool armed = fault.kind != ControllerFaults::FaultNone && fault.count != 0;
        RegisterBank untouched = *it;
        const QByteArray proper = (armed && Faults::ignoresWrites(fault.kind) ? untouched : *it).execute(request);
        if (fault.kind == ControllerFaults::FaultNone || fault.count == 0
            || !Faults::strikes(fault.kind, request, proper)) {
            reply += proper;
            continue;
        }
        if (fault.count > 0)
            --fault.count;
        quint32 seed = 1;
        const Response response = Faults::apply(fault, request, proper, &seed);
        if (response.delayMs == 0 && response.gapMs == 0)
            reply += response.bytes;
    }
    return true;
}

void FakeLine::pass(qint64 ns)
{
    wireNs += ns;
    *clock += wireNs / 1000000;
    wireNs %= 1000000;
}

int FakeLine::receive(quint8 *buffer, int count, int waitMs)
{
    const int n = qMin(count, reply.size());
    // The bytes that came, then a pause as long as the wait when fewer came than asked for.
    pass(qint64(n) * 10 * 1000000000 / baud + (n < count ? qint64(waitMs) * 1000000 : 0));
    std::copy(reply.constBegin(), reply.constBegin() + n, buffer);
    reply.remove(0, n);
    return n;
}
