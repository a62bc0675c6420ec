#ifndef LINK_H
#define LINK_H

#include <QByteArray>
#include <QString>

// How an exchange reaches the RS-485 line. Whoever holds the port decides
// how it is held: the panel reopens it before every exchange, a tool that
// keeps it open clears stale input instead.
class Link
{
public:
    virtual ~Link();

    // Gets the port ready for a request: whatever an earlier reply left
    // behind must not reach this one. False when the port is gone.
    virtual bool prepare() = 0;
    // What prepare() does, for the bus trace ("reopen", "clear").
    virtual const char *prepareName() const = 0;
    // Sends all bytes; false on a device error.
    virtual bool send(const quint8 *data, int length) = 0;
    // Reads up to `count` bytes, waiting at most `waitMs` each time no byte
    // is available; returns the bytes read (0 on a device error).
    virtual int receive(quint8 *buffer, int count, int waitMs) = 0;

    // What came back of a request's own bytes on a 2-wire line whose adapter
    // hands them back (an echo): nothing expected, the same bytes, other
    // bytes (another sender, or noise, changed them on the line), or none.
    enum class Echo {
        NotExpected,
        Same,
        Different,
        Missing,
    };
    // Reads the echo of `sent`, waiting at most `waitMs` each time no byte is
    // available, into `echo`. Links without an echo expect none.
    virtual Echo takeEcho(const QByteArray &sent, int waitMs, QByteArray *echo);

    // Why the reply receive() handed out last answers some other request,
    // where its RTU form cannot show it (through a Modbus TCP gateway: a
    // header of another transaction or unit, a write's echo with other
    // values); empty when nothing says so.
    virtual QString mismatch() const;
};

#endif // LINK_H
