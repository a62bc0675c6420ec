#ifndef SIMCONTROLLER_H
#define SIMCONTROLLER_H

#include "faults.h"

#include <QByteArray>
#include <QList>

class ControllerState;
struct LineCore;

// One virtual light-source controller on a virtual line (VirtualLine): a
// Modbus RTU slave with the controller's register map, its own fault and its
// own request log.
//
// Replies: function 3 gets the standard reply (address, 3, byte count,
// words, CRC); functions 6 and 16 get the controller's six-byte
// acknowledgement (address, function, register high, register low, then the
// CRC of those four, low byte first); an unknown register or function gets a
// Modbus exception reply (address, function | 0x80, code, CRC). Requests to
// another address are ignored; broadcasts (address 0) are carried out
// without a reply.
//
// A handle: copies refer to the same controller, and stay valid as long as
// its line lives. All operations are thread-safe.
class SimController : public ControllerFaults
{
public:
    struct Request
    {
        qint64 timeUs = 0; // when it ended on the line: monotonic microseconds since the line started
        QByteArray frame; // the request as received, CRC included
    };

    quint8 address() const;
    void setAddress(quint8 address);

    // Any holding register; registers outside the map read as an exception.
    quint16 holdingRegister(quint16 reg) const;
    void setHoldingRegister(quint16 reg, quint16 value);
    void resetRegisters(); // factory configuration and default status; the address stays

    // Convenience setters of the status block.
    void setTemperature(qint16 tenths);
    void setSupplyMillivolts(quint16 millivolts);
    void setRunSeconds(quint32 seconds);
    void setFirmwareVersion(quint16 version);
    void setSwitchMask(quint16 mask);
    void setEnableMask(quint16 mask);
    void setAdcEnable(quint16 value);
    void setPowerPermille(quint16 value);

    // A fault strikes the next `count` requests to this controller that it
    // strikes at all (see the table in faults.h: most strike every request
    // that gets a reply, FaultEcho8 only acknowledged writes, FaultException
    // only reads). Requests that come while an endless stream runs are carried
    // out but not answered. clearFault() also ends a running stream.
    void setFault(const Fault &fault);
    void setFault(FaultKind kind, int param = 0, int count = -1);
    void clearFault();

    // Time between the end of a request and the start of its reply.
    void setTurnaroundUs(int microseconds);
    // Lets temperature, supply voltage and running time drift like a live
    // device: one step every DriftStepMs, the first one DriftStepMs after switching on.
    void setDrift(bool on);
    static constexpr int DriftStepMs = 1000;

    // Every complete request with a good CRC this controller heard on the
    // line, to any address, oldest first (the latest 4096 are kept). A
    // controller takes one request after another: one that comes while it is
    // still sending its last reply is taken (carried out and logged) after it.
    QList<Request> requests() const;
    // Empties the log and sets the reply counts back to 0.
    void clearRequests();
    // Waits until at least `count` requests have been logged since the last
    // clearRequests(); false on time-out.
    bool waitForRequests(int count, int timeoutMs) const;
    // Replies this controller put on the line (faulty ones included) since the last clearRequests().
    int replyCount() const;
    // Of those, the ones whose sending has ended (all bytes out, or cut off);
    // equals replyCount() once the controller has gone quiet.
    int finishedReplyCount() const;

protected:
    friend class VirtualLine;
    SimController(LineCore *core, ControllerState *state);

private:
    LineCore *m_core;
    ControllerState *m_state;
};

#endif // SIMCONTROLLER_H
