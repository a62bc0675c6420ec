#include "controllerstate.h"

namespace {

// The request log keeps at most this many frames (the oldest go first).
constexpr int requestLogLimit = 4096;

} // namespace

Response ControllerState::take(const QByteArray &frame, qint64 timeUs)
{
    log.append(SimController::Request{timeUs, frame});
    if (log.size() > requestLogLimit)
        log.removeFirst();
    ++loggedSinceClear;

    Response response;
    const quint8 unit = quint8(frame.at(0));
    if (unit == 0 || unit != bank.address()) {
        bank.execute(frame); // a broadcast is carried out, another address ignored: no reply either way
        return response;
    }
    if (streaming) {
        bank.execute(frame);
        response.note = QStringLiteral("stream running, no reply");
        return response;
    }
    const bool armed = fault.kind != ControllerFaults::FaultNone && fault.count != 0;
    const bool preempted = armed && Faults::preempts(fault.kind);
    // A controller that ignores writes answers as if it took them: the request is carried out on a copy.
    RegisterBank untouched = bank;
    RegisterBank &target = armed && Faults::ignoresWrites(fault.kind) ? untouched : bank;
    const QByteArray reply = preempted ? QByteArray() : target.execute(frame);
    if (!preempted && !(armed && Faults::strikes(fault.kind, frame, reply))) {
        response.bytes = reply;
        return response;
    }
    response = Faults::apply(fault, frame, reply, &garbageSeed);
    if (fault.count > 0 && --fault.count == 0)
        fault = ControllerFaults::Fault();
    return response;
}

void ControllerState::setFault(const ControllerFaults::Fault &newFault)
{
    fault = newFault.count == 0 ? ControllerFaults::Fault() : newFault;
}

void ControllerState::setDrift(bool on, Clock::time_point now)
{
    if (on && !drift)
        nextDrift
            = now + std::chrono::milliseconds(SimController::DriftStepMs); // the first step one step after switching on
    drift = on;
}
