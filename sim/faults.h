#ifndef FAULTS_H
#define FAULTS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// Every way the virtual controller can spoil its answer, one row each:
//   X(name, command-line name, parameter, parameter's placeholder, largest parameter,
//     requests it strikes, what it does)
// The enumerator (Fault<name>), the names vortanix-sim takes, its usage text
// and the development guide's list (which points at `vortanix-sim --help`) follow
// from this table. A new fault is one more row here and one more case in
// Faults::apply() (faults.cpp); the compiler points at the missing case.
//
// Parameters: NoParam, Required or Optional. Requests struck: Answered (every
// request to the controller that gets a reply), Reads (function 3 only),
// Writes (acknowledged writes only), WritesIgnored (acknowledged writes, which
// are then not carried out though acknowledged), Taken (every request to the
// controller, which is then not carried out).
#define VIRTUAL_CONTROLLER_FAULTS(X)                                                                                   \
    X(NoReply, "no-reply", NoParam, "", 0, Answered, "nothing is answered (a write is still carried out)")             \
    X(BadCrc, "bad-crc", NoParam, "", 0, Answered, "the reply's last CRC byte is inverted")                            \
    X(Truncate, "truncate", Required, "K", 3600000, Answered, "only the first K bytes of the reply are sent")          \
    X(Delay, "delay", Required, "MS", 3600000, Answered, "the reply starts MS ms late")                                \
    X(GapPace, "gap", Required, "MS", 3600000, Answered, "the reply's bytes are sent one by one, MS ms apart")         \
    X(Echo8, "echo8", NoParam, "", 0, Writes, "writes get the standard 8-byte reply instead of the 6-byte one")        \
    X(Exception, "exception", Optional, "CODE", 255, Reads, "reads get an exception reply, code CODE (default 4)")     \
    X(GarbageBefore, "garbage", Required, "N", 3600000, Answered, "N garbage bytes go out before the reply")           \
    X(WrongAddress, "wrong-address", Required, "A", 255, Answered, "the reply carries address A (CRC recomputed)")     \
    X(WrongFunction, "wrong-function", Required, "F", 255, Answered, "the reply carries function F (CRC recomputed)")  \
    X(EndlessStream, "endless", NoParam, "", 0, Answered, "a stream of bytes starts and goes on until cleared")        \
    X(UnplugOnRequest, "unplug", NoParam, "", 0, Taken, "the request unplugs the line (not carried out)")              \
    X(WrongRegister, "wrong-register", Required, "R", 65535, Writes,                                                   \
        "writes are acknowledged for register R (CRC recomputed)")                                                     \
    X(NotApplied, "not-applied", NoParam, "", 0, WritesIgnored, "writes are acknowledged but not carried out")

// The fault kinds and the fault a controller carries. A base of the
// controller classes, so that VirtualController::FaultNoReply names a kind.
struct ControllerFaults
{
    enum FaultKind {
        FaultNone,
#define VIRTUAL_CONTROLLER_FAULT_ENUM(name, ...) Fault##name,
        VIRTUAL_CONTROLLER_FAULTS(VIRTUAL_CONTROLLER_FAULT_ENUM)
#undef VIRTUAL_CONTROLLER_FAULT_ENUM
            FaultKindCount // FaultNone and every fault of the table
    };

    struct Fault
    {
        FaultKind kind = FaultNone;
        int param = 0;
        int count = -1; // requests it strikes; -1 = until cleared
    };
};

// What the line does for one request at one controller.
struct Response
{
    QByteArray bytes; // the reply as it goes out; empty: nothing is sent
    int delayMs = 0; // extra wait before the first byte
    int gapMs = 0; // pause between bytes, instead of the line's pace
    bool startsStream = false; // an endless stream starts
    bool unplugs = false; // the line is unplugged
    QString note; // for the trace: "fault: bad CRC"
};

namespace Faults {

// True when the fault strikes this request, whose proper reply is `reply`
// (empty when there is none, e.g. for a broadcast).
bool strikes(ControllerFaults::FaultKind kind, const QByteArray &request, const QByteArray &reply);
// True when the fault strikes before the request is carried out (which it then is not).
bool preempts(ControllerFaults::FaultKind kind);
// True when a write the fault strikes is acknowledged but not carried out.
bool ignoresWrites(ControllerFaults::FaultKind kind);
// The response to a request that the fault strikes; `reply` is the proper
// reply (empty for faults that preempt). `seed` makes the garbage bytes.
Response apply(const ControllerFaults::Fault &fault, const QByteArray &request, const QByteArray &reply, quint32 *seed);

// A fault as vortanix-sim takes it: NAME or NAME:PARAM. False, with the
// reason in `error`, when the text names no fault or its parameter is wrong.
bool parse(const QString &text, ControllerFaults::Fault *fault, QString *error);
// The faults as the usage text lists them: "  no-reply   nothing is answered ...".
QStringList usageLines();
// The command-line name of a kind.
QString name(ControllerFaults::FaultKind kind);

} // namespace Faults

#endif // FAULTS_H
