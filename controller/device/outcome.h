#ifndef OUTCOME_H
#define OUTCOME_H

#include <QByteArray>
#include <QString>

struct OutcomeRow;

// What became of one request on the line, with the bytes that went each way.
// What each kind means to every program (its words, its metric label, ctl's
// exit status, the gateway's exception) is one table, Outcome::row().
class Outcome
{
public:
    enum Kind {
        Ok, // the whole reply, from the controller asked, to the function asked
        Sent, // a broadcast: nothing is answered
        Timeout, // not one byte came back
        Short, // fewer bytes than the reply needs, failing the CRC
        Incomplete, // a good CRC, address and function, but fewer bytes than asked for
        BadCrc, // as many bytes as the reply needs, failing the CRC
        Exception, // the controller refused the request; exceptionCode says why
        WrongAddress, // a reply from another controller
        WrongFunction, // a reply to another request
        NotAcknowledged, // a write answered with the standard Modbus echo, not the controller's acknowledgement
        PortLost, // the port could not be made ready or written: nothing reached the line
        WrongRegister, // a write's acknowledgement for another register (another master's write, a late one)
        BusCollision, // the request's echo came back changed: it may not have reached the controller intact
        NotApplied, // a write acknowledged, but reading it back found another value (readBack holds the reply)
        // A reply the link knows answers some other request (mismatch says
        // why): a Modbus TCP header of another transaction, protocol, length
        // or unit, or a write's standard echo with other values.
        MismatchedReply,
    };
    // How many kinds there are, for tables with a row per kind: a new kind
    // goes at the end of Kind, with its row in outcome.cpp, and this follows it.
    static constexpr int KindCount = MismatchedReply + 1;

    Kind kind = Timeout;
    quint8 exceptionCode = 0;
    QByteArray request;
    QByteArray reply;
    QByteArray echo; // the request's own bytes read back, on a line with echo
    QByteArray readBack; // NotApplied: the reply of the read that followed the write
    // The write (its request) whose read-back this outcome is: the write was
    // acknowledged, and reading it back failed as `kind` says.
    QByteArray afterWrite;
    QString mismatch; // MismatchedReply: what does not match, "transaction 0005, not 0004"
    qint64 elapsedNs = 0; // the whole exchange
    qint64 prepareNs = 0; // of which getting the port ready

    bool isOk() const { return kind == Ok || kind == Sent; }
    // A reply came from the controller asked, to this request, with a good CRC
    // (Ok or Incomplete).
    bool isAnswer() const { return kind == Ok || kind == Incomplete; }

    // What each kind means, one row a kind, in the order of Kind.
    static const OutcomeRow &row(Kind kind);
    const OutcomeRow &row() const { return row(kind); }

    // "ok", "time-out", "bad CRC", "exception 02", "wrong address 09", ...
    QString describe() const;
    // The Modbus exception a gateway answers a client with; 0 when the
    // controller's answer is passed on. A controller's own exception is
    // passed on when a Modbus client takes it (01 to 0B).
    quint8 gatewayException() const;
    // vortanix-ctl's exit status after a read or a write with this outcome.
    int exitStatus(bool write) const;
    // One line for a bus trace:
    // "<what> req 01 03 00 01 00 0C 14 0F | rep ... | 1.234 ms (reopen 0.500 ms) | ok",
    // with "| echo ..." after the request on a line with echo.
    QString traceLine(const char *what, const char *prepareName) const;

    // Judges what arrived for a request. `want` is the length of the full
    // reply (0 for a broadcast); `prepared` false when the port was not ready.
    static Kind judge(
        const QByteArray &request, const QByteArray &reply, int want, bool prepared, quint8 *exceptionCode);
};

// One kind of outcome as every program shows it.
struct OutcomeRow
{
    Outcome::Kind kind;
    const char *text; // describe()'s words, before the details of the kinds that have some
    const char *label; // the label of vortanix_exchanges_total{outcome="..."}
    int readExit; // vortanix-ctl's exit status (ExitStatus) after a read
    int writeExit; // and after a write
    quint8 gatewayException; // the gateway's answer to its client; 0: the controller's answer
};

#endif // OUTCOME_H
