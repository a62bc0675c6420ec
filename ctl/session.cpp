#include "session.h"

#include "commandline.h"
#include "exitstatus.h"
#include "output.h"
#include "portlist.h"
#include "registers.h"
#include "valuetext.h"

namespace {

constexpr int timeoutMaxMs = 60000;

} // namespace

const QList<int> &Session::baudRates()
{
    static const QList<int> rates{115200, 57600, 19200, 9600};
    return rates;
}

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
            || !baudRates().contains(int(value))) {
            out.error(QStringLiteral("--baud: %1 is not one of the controller's rates: 115200, 57600, 19200, 9600")
                          .arg(text));
            return ExitUsage;
        }
        rate = int(value);
    }
    if (commandLine.has(QStringLiteral("address"))) {
        if (!ValueText::number(commandLine.value(QStringLiteral("address")), Rs485AddressMin, Rs485AddressMax,
                QStringLiteral("--address"), &value, &error)) {
            out.error(error);
            return ExitUsage;
        }
        unit = quint8(value);
    }
    if (commandLine.has(QStringLiteral("port")) && commandLine.value(QStringLiteral("port")).isEmpty()) {
        out.error(QStringLiteral("--port needs the path of a port"));
        return ExitUsage;
    }
    if (commandLine.has(QStringLiteral("timeout"))) {
        if (!ValueText::number(commandLine.value(QStringLiteral("timeout")), 1, timeoutMaxMs,
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
    return ExitOk;
}

int Session::choosePort()
{
    if (commandLine.has(QStringLiteral("port"))) {
        path = PortList::devicePath(commandLine.value(QStringLiteral("port")));
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
    if (path.isEmpty()) {
        const int chosen = choosePort();
        if (chosen != ExitOk)
            return chosen;
    }
    rate = baud;
    serial.setEcho(commandLine.has(QStringLiteral("echo")));
    serial.setDirectionControl(direction, rtsDelayUs, QStringLiteral("--rs485 ") + Rs485::modeName(direction));
    if (!serial.open(path, baud)) {
        out.error(serial.openErrorText());
        return ExitPort;
    }
    if (!device) {
        device = std::make_unique<Controller>(serial, protocol, unit);
        if (commandLine.has(QStringLiteral("trace"))) {
            device->setObserver([this](const char *what, const Outcome &outcome) {
                out.note(outcome.traceLine(what, serial.prepareName()));
            });
        }
    }
    device->setWaits(waitsFor(baud, timeout));
    return ExitOk;
}

bool Session::reopen()
{
    return serial.open(path, rate);
}

QString Session::errorWords(const Outcome &outcome) const
{
    return outcome.kind == Outcome::PortLost || serial.isLost() ? QStringLiteral("port lost") : outcome.describe();
}

int Session::judge(const Outcome &outcome, const QString &what, Operation operation)
{
    if (outcome.isOk())
        return ExitOk;
    QString text;
    int status = ExitOk;
    const QString address = QString::number(device->address());
    // A port that vanished under a running exchange looks like a silent line.
    if (outcome.kind == Outcome::PortLost || serial.isLost()) {
        status = ExitPortLost;
        text = QStringLiteral("%1: the port %2 was lost (adapter pulled?)").arg(what, serial.path());
        if (operation == Write)
            text += outcome.kind == Outcome::PortLost
                ? QStringLiteral("; nothing was sent")
                : QStringLiteral("; the request went out, the controller may or may not have applied it");
    } else if (outcome.kind == Outcome::Exception) {
        status = ExitBadReply;
        text
            = QStringLiteral("%1: refused by the controller at address %2 (%3)").arg(what, address, outcome.describe());
        if (operation == Write)
            text += QStringLiteral("; nothing was changed");
    } else if (outcome.kind == Outcome::BusCollision) {
        status = operation == Write ? ExitNotAcknowledged : ExitBadReply;
        text = QStringLiteral("%1: bus collision: the request's echo came back as %2, not as sent: another sender "
                              "on the line, or noise, changed it")
                   .arg(what, outcome.echo.toHex(' ').toUpper());
        if (operation == Write)
            text += QStringLiteral("; the controller may or may not have applied it: read it back to be sure");
        else
            text += QStringLiteral(" (an adapter that hands nothing back needs no --echo)");
    } else if (operation == Write) {
        status = ExitNotAcknowledged;
        text = QStringLiteral("%1: sent, but not acknowledged (%2): the controller may or may not have applied it; "
                              "read it back to be sure")
                   .arg(what,
                       outcome.kind == Outcome::NotAcknowledged
                           ? QStringLiteral("a standard 8-byte echo came back, not the controller's "
                                            "acknowledgement; or the adapter hands the request back: add --echo")
                           : outcome.describe());
    } else if (outcome.kind == Outcome::Timeout) {
        status = ExitNoReply;
        text = QStringLiteral("%1: no reply from address %2 at %3 baud (time-out): check the address, the baud rate "
                              "and the wiring, or look for the controller with: vortanix-ctl scan")
                   .arg(what, address)
                   .arg(rate);
    } else {
        status = ExitBadReply;
        text = QStringLiteral("%1: bad reply from address %2: %3").arg(what, address, outcome.describe());
        // The request's own bytes ahead of the reply: a 2-wire adapter that echoes.
        if (!serial.echo() && outcome.reply.size() > outcome.request.size()
            && outcome.reply.startsWith(outcome.request))
            text += QStringLiteral(" (the request's own bytes came back first: the adapter echoes; add --echo)");
    }
    out.error(text);
    return status;
}
