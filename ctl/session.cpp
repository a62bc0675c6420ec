#include "session.h"

#include "commandline.h"
#include "exitstatus.h"
#include "linefacts.h"
#include "output.h"
#include "portlist.h"
#include "rtutcplink.h"
#include "valuetext.h"

Controller::Waits Session::waitsFor(int baud, int timeoutMs)
{
    Controller::Waits waits;
    if (timeoutMs > 0) {
        waits.readMs = timeoutMs;
        waits.writeAckMs = timeoutMs;
        waits.blockAckMs = timeoutMs;
    }
    return waits.plusWireTime(baud);
}

Session::Session(const CommandLine &commandLine, Output &output) : commandLine(commandLine), out(output) { }

int Session::checkOptions()
{
    QString error;
    qint64 value = 0;
    if (commandLine.has(QStringLiteral("baud"))) {
        const QString text = commandLine.value(QStringLiteral("baud"));
        if (!ValueText::number(text, 1, 1000000000, QStringLiteral("--baud"), &value, &error)
            || !LineFacts::isBaud(int(value))) {
            out.error(QStringLiteral("--baud: %1 is not one of the controller's rates: %2")
                          .arg(text, LineFacts::baudsText()));
            return ExitUsage;
        }
        rate = int(value);
    }
    if (commandLine.has(QStringLiteral("address"))) {
        if (!ValueText::number(commandLine.value(QStringLiteral("address")), LineFacts::AddressMin,
                LineFacts::AddressMax, QStringLiteral("--address"), &value, &error)) {
            out.error(error);
            return ExitUsage;
        }
        unit = quint8(value);
    }
    if (commandLine.has(QStringLiteral("port")) && commandLine.value(QStringLiteral("port")).isEmpty()) {
        out.error(QStringLiteral("--port needs the path of a port"));
        return ExitUsage;
    }
    if (commandLine.has(QStringLiteral("tcp"))) {
        if (commandLine.has(QStringLiteral("port"))) {
            out.error(QStringLiteral("--tcp and --port: choose one, the gateway or the serial port"));
            return ExitUsage;
        }
        // The gateway's line is set up in the bridge's configuration, not here:
        // its rate too (a scan through it asks at the one rate the line runs at).
        const QList<QPair<QString, QString>> lineOptions
            = {{QStringLiteral("baud"), QStringLiteral("baud")}, {QStringLiteral("bauds"), QStringLiteral("baud")},
                {QStringLiteral("echo"), QStringLiteral("echo")}, {QStringLiteral("rs485"), QStringLiteral("rs485")},
                {QStringLiteral("rts-delay"), QStringLiteral("rts_delay_us")}};
        for (const auto &option : lineOptions) {
            if (commandLine.has(option.first)) {
                out.error(QStringLiteral("--%1 is for a serial port; through --tcp the bridge sets up the line "
                                         "(the %2 key of its line)")
                              .arg(option.first, option.second));
                return ExitUsage;
            }
        }
        if (!TcpLink::parseAddress(commandLine.value(QStringLiteral("tcp")), &gatewayHost, &gatewayPort, &error)) {
            out.error(QStringLiteral("--tcp: ") + error);
            return ExitUsage;
        }
    }
    if (commandLine.has(QStringLiteral("unit"))) {
        if (!commandLine.has(QStringLiteral("tcp"))) {
            out.error(QStringLiteral("--unit is the controller's unit id at a Modbus TCP gateway: give --tcp too"));
            return ExitUsage;
        }
        if (!ValueText::number(commandLine.value(QStringLiteral("unit")), LineFacts::UnitIdMin, LineFacts::UnitIdMax,
                QStringLiteral("--unit"), &value, &error)) {
            out.error(error);
            return ExitUsage;
        }
        tcp.setUnit(int(value));
    }
    if (commandLine.has(QStringLiteral("timeout"))) {
        if (!ValueText::number(commandLine.value(QStringLiteral("timeout")), 1, TimeoutMaxMs,
                QStringLiteral("--timeout"), &value, &error)) {
            out.error(error);
            return ExitUsage;
        }
        timeout = int(value);
    }
    if (commandLine.has(QStringLiteral("rs485"))
        && !Rs485::parseMode(commandLine.value(QStringLiteral("rs485")), &direction)) {
        out.error(
            QStringLiteral("--rs485: '%1' is not none, kernel or rts").arg(commandLine.value(QStringLiteral("rs485"))));
        return ExitUsage;
    }
    if (commandLine.has(QStringLiteral("rts-delay"))) {
        if (!ValueText::number(commandLine.value(QStringLiteral("rts-delay")), 0, Rs485::MaxDelayUs,
                QStringLiteral("--rts-delay"), &value, &error)) {
            out.error(error);
            return ExitUsage;
        }
        if (direction == Rs485::None) {
            out.error(QStringLiteral("--rts-delay is for --rs485 kernel or --rs485 rts"));
            return ExitUsage;
        }
        rtsDelayUs = int(value);
    }
    return checkDeviceServer();
}

int Session::checkDeviceServer()
{
    const QString port = commandLine.value(QStringLiteral("port"));
    if (!HeldLink::isNetworkPort(port))
        return ExitOk;
    QString host;
    int tcpPort = 0;
    QString error;
    if (!RtuTcpLink::parsePort(port, &host, &tcpPort, &error)) {
        out.error(QStringLiteral("--port: ") + error);
        return ExitUsage;
    }
    const QString option = direction != Rs485::None    ? QStringLiteral("--rs485 ") + Rs485::modeName(direction)
        : commandLine.has(QStringLiteral("rts-delay")) ? QStringLiteral("--rts-delay")
                                                       : QString();
    if (!option.isEmpty()) {
        out.error(QStringLiteral("%1 needs a serial port of this machine; a device server (%2) switches its "
                                 "transceiver itself: set it up there")
                      .arg(option, port));
        return ExitUsage;
    }
    return ExitOk;
}

int Session::choosePort()
{
    if (commandLine.has(QStringLiteral("port"))) {
        const QString port = commandLine.value(QStringLiteral("port"));
        path = HeldLink::isNetworkPort(port) ? port : PortList::devicePath(port);
        return ExitOk;
    }
    const QList<PortList::Port> ports = PortList::ports();
    if (ports.size() == 1) {
        path = ports.first().path;
        out.error(QStringLiteral("using %1, the only serial port").arg(path));
        return ExitOk;
    }
    if (ports.isEmpty()) {
        out.error(QStringLiteral("no serial port found: plug in the adapter, or name the port with --port"));
        return ExitPort;
    }
    out.error(QStringLiteral("%1 serial ports: choose one with --port").arg(ports.size()));
    for (const PortList::Port &port : ports)
        out.note(QStringLiteral("  %1  %2").arg(port.byId.isEmpty() ? port.path : port.byId, port.description));
    return ExitPort;
}

int Session::open()
{
    return open(rate);
}

int Session::open(int baud)
{
    if (viaGateway()) {
        if (!tcp.open(gatewayHost, gatewayPort)) {
            out.error(tcp.openErrorText());
            return ExitPort;
        }
    } else if (path.isEmpty()) {
        const int chosen = choosePort();
        if (chosen != ExitOk)
            return chosen;
    }
    rate = baud;
    if (!viaGateway()) {
        if (!held)
            held = HeldLink::create(path);
        held->setEcho(commandLine.has(QStringLiteral("echo")));
        held->setDirectionControl(direction, rtsDelayUs, QStringLiteral("--rs485 ") + Rs485::modeName(direction));
        if (!held->open(path, baud)) {
            out.error(held->openErrorText());
            return ExitPort;
        }
    }
    if (!device) {
        Link &link = this->link();
        device = std::make_unique<Controller>(link, protocol, unit);
        if (commandLine.has(QStringLiteral("trace"))) {
            device->setObserver([this, &link](const char *what, const Outcome &outcome) {
                out.note(outcome.traceLine(what, link.prepareName()));
            });
        }
    }
    device->setWaits(waitsFor(baud, timeout));
    device->setVerify(commandLine.has(QStringLiteral("verify")));
    return ExitOk;
}

bool Session::reopen()
{
    return viaGateway() ? tcp.prepare() : held->open(path, rate);
}

QString Session::errorWords(const Outcome &outcome) const
{
    if (viaGateway() && tcp.gatewayUnavailable())
        return QStringLiteral("line unavailable");
    return outcome.kind == Outcome::PortLost || linkLost() ? QStringLiteral("port lost") : outcome.describe();
}

int Session::judge(const Outcome &outcome, const QString &what, Operation operation)
{
    if (outcome.isOk())
        return ExitOk;
    QString text;
    // What the outcome means for the exit status is the outcome table's; the words here add what to do.
    int status = outcome.exitStatus(operation == Write);
    const QString address = QString::number(device->address());
    // A port that vanished under a running exchange looks like a silent line.
    if (viaGateway() && tcp.gatewayUnavailable()) {
        status = ExitPortLost;
        text = QStringLiteral("%1: the gateway at %2 reports the line unavailable (exception 0A: its port is lost, or "
                              "its queue is full); nothing was sent")
                   .arg(what, tcp.target());
        out.error(text);
        return status;
    }
    if (outcome.kind == Outcome::PortLost || linkLost()) {
        status = ExitPortLost;
        text = viaGateway() ? QStringLiteral("%1: the connection to the gateway at %2 was lost").arg(what, tcp.target())
            : viaDeviceServer() ? QStringLiteral("%1: the connection to the device server %2 was lost").arg(what, path)
                                : QStringLiteral("%1: the port %2 was lost (adapter pulled?)").arg(what, path);
        if (operation == Write)
            text += outcome.kind == Outcome::PortLost
                ? QStringLiteral("; nothing was sent")
                : QStringLiteral("; the request went out, the controller may or may not have applied it");
    } else if (!outcome.afterWrite.isEmpty()) {
        // --verify: the write was acknowledged; the read that checks it failed.
        text = QStringLiteral("%1: acknowledged by the controller at address %2, but reading it back failed (%3): "
                              "the value is not confirmed; read it back to be sure")
                   .arg(what, address, outcome.describe().section(QStringLiteral(": "), 1));
        status = ExitNotAcknowledged;
    } else if (outcome.kind == Outcome::Exception) {
        text
            = QStringLiteral("%1: refused by the controller at address %2 (%3)").arg(what, address, outcome.describe());
        if (operation == Write)
            text += QStringLiteral("; nothing was changed");
    } else if (outcome.kind == Outcome::WrongRegister) {
        // Another master's acknowledgement, or a late one for an earlier write: a wrong reply, not ours.
        text = QStringLiteral("%1: wrong reply from address %2 (%3): the controller may or may not have applied "
                              "this write; read it back to be sure")
                   .arg(what, address, outcome.describe());
    } else if (outcome.kind == Outcome::BusCollision) {
        text = QStringLiteral("%1: bus collision: the request's echo came back as %2, not as sent: another sender "
                              "on the line, or noise, changed it")
                   .arg(what, outcome.echo.toHex(' ').toUpper());
        if (operation == Write)
            text += QStringLiteral("; the controller may or may not have applied it: read it back to be sure");
        else
            text += QStringLiteral(" (an adapter that hands nothing back needs no --echo)");
    } else if (outcome.kind == Outcome::NotApplied) {
        // --verify: the controller acknowledged the write, and reading it back found another value.
        text = QStringLiteral("%1: acknowledged by the controller at address %2, but not applied: %3")
                   .arg(what, address, outcome.describe().section(QStringLiteral(": "), 1));
    } else if (operation == Write) {
        text = QStringLiteral("%1: sent, but not acknowledged (%2): the controller may or may not have applied it; "
                              "read it back to be sure")
                   .arg(what,
                       outcome.kind == Outcome::NotAcknowledged
                           ? QStringLiteral("a standard 8-byte echo came back, not the controller's "
                                            "acknowledgement; or the adapter hands the request back: add --echo")
                           : outcome.describe());
    } else if (outcome.kind == Outcome::Timeout) {
        text = viaGateway()
            ? QStringLiteral("%1: no reply from address %2 through the gateway at %3 (time-out, or exception 0B: the "
                             "controller does not answer, or no controller has that unit id)")
                  .arg(what, address, tcp.target())
            : viaDeviceServer()
            ? QStringLiteral("%1: no reply from address %2 through the device server %3 (time-out): check the "
                             "address, the device server's serial settings (baud rate, 8N1) and the wiring; its "
                             "latency may need a longer --timeout")
                  .arg(what, address, path)
            : QStringLiteral("%1: no reply from address %2 at %3 baud (time-out): check the address, the baud rate "
                             "and the wiring, or look for the controller with: vortanix-ctl scan")
                  .arg(what, address)
                  .arg(rate);
    } else {
        text = QStringLiteral("%1: bad reply from address %2: %3").arg(what, address, outcome.describe());
        // The request's own bytes ahead of the reply: a 2-wire adapter that echoes.
        if (!(held && held->echo()) && outcome.reply.size() > outcome.request.size()
            && outcome.reply.startsWith(outcome.request))
            text += QStringLiteral(" (the request's own bytes came back first: the adapter echoes; add --echo)");
    }
    out.error(text);
    return status;
}
