#ifndef SESSION_H
#define SESSION_H

#include "controller.h"
#include "heldlink.h"
#include "linefacts.h"
#include "protocol.h"
#include "tcplink.h"

#include <QList>
#include <QString>

#include <memory>

class CommandLine;
class Output;

// One run's hold on the line: the port chosen and opened once, the
// controller spoken to, the waits for its replies, the bus trace, and what
// each outcome means for the exit status and the user.
class Session
{
public:
    enum Operation {
        Read, // nothing changes, whatever happens
        Write, // a request that changes the controller
    };

    // The longest --timeout.
    static constexpr int TimeoutMaxMs = 60000;

    // The waits for replies at a baud rate: `timeoutMs` (or, when it is 0,
    // the panel's waits) on top of each request's wire time.
    static Controller::Waits waitsFor(int baud, int timeoutMs);

    Session(const CommandLine &commandLine, Output &output);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Checks --baud, --address, --timeout, --tcp and --unit: ExitOk or ExitUsage (told).
    int checkOptions();
    // Chooses the port and opens it at --baud, or at `baud` (or connects to
    // the --tcp gateway): ExitOk or ExitPort (told).
    int open();
    int open(int baud);
    // Opens the same port again after it was lost; false while it is not back.
    bool reopen();

    Controller &controller() { return *device; }
    // Through a Modbus TCP gateway (--tcp), not a serial port.
    bool viaGateway() const { return !gatewayHost.isEmpty(); }
    // Through a serial device server (--port tcp://HOST:PORT), whose serial rate is set on it.
    bool viaDeviceServer() const { return HeldLink::isNetworkPort(path); }
    // The serial port (or device server), or the gateway's connection.
    Link &link() { return viaGateway() ? static_cast<Link &>(tcp) : *held; }
    // The port (or a connection) is gone.
    bool linkLost() const { return viaGateway() ? tcp.isLost() : !held || held->isLost(); }
    // The port's path, or the gateway's address.
    QString portPath() const { return viaGateway() ? tcp.target() : path; }
    int baud() const { return rate; }
    quint8 address() const { return unit; }
    int timeoutMs() const { return timeout; }

    // ExitOk for a good outcome; otherwise the exit status it means, with a
    // message on standard error that says what happened and what to do.
    int judge(const Outcome &outcome, const QString &what, Operation operation);
    // A failed outcome in a few words, for a CSV row or a JSON "error":
    // "time-out", "bad CRC", "exception 02", "port lost", ...
    QString errorWords(const Outcome &outcome) const;

private:
    int choosePort();
    // The RS-485 options need a serial port of this machine: ExitUsage (told) through a device server.
    int checkDeviceServer();

    const CommandLine &commandLine;
    Output &out;
    Protocol protocol;
    std::unique_ptr<HeldLink> held; // the serial port or the device server
    TcpLink tcp;
    QString gatewayHost;
    int gatewayPort = 0;
    std::unique_ptr<Controller> device;
    QString path;
    int rate = LineFacts::bauds().first();
    quint8 unit = 1;
    int timeout = 0; // 0: the panel's waits
    Rs485::Mode direction = Rs485::None;
    int rtsDelayUs = 0;
};

#endif // SESSION_H
