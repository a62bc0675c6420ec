#ifndef LINEPORT_H
#define LINEPORT_H

#include "bridgeconfig.h"
#include "heldlink.h"

#include <atomic>
#include <memory>

// The port a line is held by, as its engine sees it: a link to exchange on,
// opened (again) when it is closed or was lost. The serial one below is what
// the bridge runs with; the tests give an engine a port of their own.
class LinePort
{
public:
    virtual ~LinePort() = default;

    virtual Link &link() = 0;
    // Opens the port unless it is open and was not lost; true when it is ready.
    virtual bool ensureOpen() = 0;
    // "open", or why it is not, in a sentence that says what to do.
    virtual QString stateText() const = 0;
    // After a failed open: the port is missing (an adapter not plugged in),
    // which is waited for, rather than refused (busy, no permission, ...).
    virtual bool missing() const = 0;
};

// The line's port held for as long as the line runs: a serial port, or a
// serial device server (tcp://HOST:PORT, reconnected with back-off while
// the line is lost), with the line's echo and RS-485 settings; a reply being
// read is given up once `abandon` is set.
class HeldLinePort : public LinePort
{
public:
    HeldLinePort(const LineConfig &config, const std::atomic<bool> *abandon);

    Link &link() override { return *held; }
    bool ensureOpen() override;
    QString stateText() const override;
    bool missing() const override { return held->openError() == HeldLink::Missing; }

private:
    const LineConfig config;
    std::unique_ptr<HeldLink> held;
};

#endif // LINEPORT_H
