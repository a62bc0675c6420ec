#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "outcome.h"
#include "replydecoder.h"

#include <functional>

class Link;
class Protocol;

// One light-source controller on the line, seen from the Modbus master: its
// requests and replies, typed. How the port is held (reopened before every
// exchange, or kept open) is the link's business; taking turns on the link is
// the caller's. Every operation returns what became of its exchange.
class Controller
{
public:
    // Per-byte waits: how long a reply may pause before it counts as ended.
    struct Waits
    {
        int readMs = 50; // replies to reads
        int writeAckMs = 200; // the 6-byte acknowledgement of a register write
        int blockAckMs = 500; // the acknowledgement of the configuration block
        int broadcastPauseMs = 20; // after a broadcast, for the controllers to act on it

        // The same waits on a line at `baud`: each also covers the time its
        // request is still on the wire, which the wait starts before.
        Waits plusWireTime(int baud) const;
    };

    Controller(Link &link, const Protocol &protocol, quint8 address);

    quint8 address() const { return unit; }
    void setAddress(quint8 address) { unit = address; }
    const Waits &waits() const { return timing; }
    void setWaits(const Waits &waits) { timing = waits; }
    // Read back what a write wrote, once its acknowledgement came: a value
    // other than the one sent is Outcome::NotApplied (the controller took
    // the request but not the value). Costs one read exchange per write. A
    // read-back that fails is its own outcome, marked afterWrite.
    void setVerify(bool on) { verify = on; }
    bool verifies() const { return verify; }
    // Called after every exchange, e.g. for a bus trace; `what` is "read",
    // "write", "write block", "read back" or "broadcast".
    void setObserver(std::function<void(const char *what, const Outcome &outcome)> observer);

    // Function 3: `count` registers from `first`. The reply's bytes are in the outcome.
    Outcome read(quint16 first, quint16 count);
    // The twelve status registers, decoded; `status` is set only when the outcome is Ok.
    Outcome readStatus(StatusBlock *status);
    // The maximum-power DAC limit.
    Outcome readMaxDac(quint16 *value);
    // The configuration block, decoded.
    Outcome readConfig(ConfigBlock *block);

    // Function 6, acknowledged with six bytes.
    Outcome writeRegister(quint16 reg, quint16 value);
    // Function 16 of the seven configuration registers.
    Outcome writeConfig(const ConfigBlock &block);
    // Function 16 of `count` words from `first`, all of them as given;
    // acknowledged with six bytes like the configuration block. Modbus allows
    // at most 123 words in one request: the caller keeps to that (the bridge's
    // gateway refuses more with exception 3).
    Outcome writeRegisters(quint16 first, const quint16 *values, quint16 count);
    // Function 6 to address 0: every controller on the line applies it,
    // none answers; returns after the pause. (Another address only to send a
    // write whose reply is not awaited.)
    Outcome broadcastWrite(quint16 reg, quint16 value, quint8 toUnit = 0);
    // The address change: the new address broadcast twice, then the command
    // word 1. Nothing confirms it; the controller answers at the new address.
    Outcome changeAddress(quint8 newAddress);

private:
    Outcome exchange(const char *what, const QByteArray &request, int want, int waitMs);
    // The write's outcome, or what reading it back found.
    Outcome readBack(const Outcome &written, quint16 first, const quint16 *values, quint16 count);

    Link &link;
    const Protocol &protocol;
    quint8 unit;
    Waits timing;
    bool verify = false;
    std::function<void(const char *, const Outcome &)> observer;
};

#endif // CONTROLLER_H
