// vortanix-sim: a virtual RS-485 line with one or more light-source
// controllers on a pseudo-terminal of its own. Prints the port path on its
// first line (with --tcp, the device server's address on the second), then
// serves until SIGINT or SIGTERM.

#include "deviceserver.h"
#include "faults.h"
#include "registers.h"
#include "stoprequest.h"
#include "valuetext.h"
#include "virtualline.h"

#include <QFile>
#include <QList>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The addresses vortanix-sim serves: every address a controller takes.
constexpr int lowestAddress = Rs485AddressMin;
constexpr int highestAddress = Rs485AddressMax;

QString usageText()
{
    QStringList lines = {
        QStringLiteral("Usage: vortanix-sim [options]"),
        QString(),
        QStringLiteral("A virtual RS-485 line with light-source controllers on it: Modbus RTU slaves"),
        QStringLiteral("on a pseudo-terminal. The first line printed is the path of the port to open;"),
        QStringLiteral("the controllers then serve until SIGINT (Ctrl-C) or SIGTERM."),
        QString(),
        QStringLiteral("Options:"),
        QStringLiteral("  --address LIST        the controllers' addresses, %1..%2, and ranges, separated by")
            .arg(lowestAddress)
            .arg(highestAddress),
        QStringLiteral("                        commas (default 1; e.g. 1,7,200 puts three controllers on"),
        QStringLiteral("                        the line, 1-20 twenty)"),
        QStringLiteral("  --link PATH           make PATH a symbolic link to the terminal and print PATH"),
        QStringLiteral("  --tcp ADDRESS:PORT    also serve the line as a serial device server in TCP server"),
        QStringLiteral("                        mode does (raw RTU bytes, up to %1 connections) on ADDRESS:PORT")
            .arg(DeviceServer::MaxConnections),
        QStringLiteral("                        (e.g. 127.0.0.1:0, port 0 for a free one); the second line"),
        QStringLiteral("                        printed is its address: tcp://127.0.0.1:PORT"),
        QStringLiteral("  --fault FAULT[@A]     misbehave on every request, until the program ends; with @A"),
        QStringLiteral("                        only the controller at address A (a later --fault for the"),
        QStringLiteral("                        same controller replaces an earlier one). FAULT is one of:"),
    };
    for (const QString &line : Faults::usageLines())
        lines << QStringLiteral("    ") + line;
    lines << QStringLiteral("  --baud B              the line runs at B baud (default 115200): requests sent at")
          << QStringLiteral("                        another rate are not understood, replies go out at the")
          << QStringLiteral("                        pace of B (10 bits a byte)")
          << QStringLiteral("  --echo MODE           hand every byte the master sends back, as a 2-wire adapter")
          << QStringLiteral("                        without echo cancellation does: whole, split (in two parts,")
          << QStringLiteral("                        5 ms apart), collide (one byte changed), collide:N (the")
          << QStringLiteral("                        first N echoes changed, the rest whole) or short (its last")
          << QStringLiteral("                        byte lost)")
          << QStringLiteral("  --drift               let temperature, supply voltage and running time drift")
          << QStringLiteral("  --trace               print every request and reply in hex with time stamps,")
          << QStringLiteral("                        and which controller sent each reply")
          << QStringLiteral("  --help                show this text");
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "vortanix-sim: %s\n\n%s", qPrintable(message), qPrintable(usageText()));
    std::exit(2);
}

int parseNumber(const QString &text, int low, int high, const QString &what)
{
    qint64 value = 0;
    QString error;
    if (!ValueText::number(text, low, high, what, &value, &error))
        usageError(error);
    return int(value);
}

// Addresses and ranges: 1,7 or 1-20; one given twice counts once.
QList<int> parseAddresses(const QString &text)
{
    QList<int> addresses;
    QString error;
    if (!ValueText::list(text, lowestAddress, highestAddress, QStringLiteral("--address"), &addresses, &error))
        usageError(error);
    return addresses;
}

struct TargetedFault
{
    ControllerFaults::Fault fault;
    int address = 0; // 0: every controller
};

TargetedFault parseFault(const QString &text)
{
    TargetedFault targeted;
    const int at = text.indexOf(QLatin1Char('@'));
    if (at >= 0)
        targeted.address
            = parseNumber(text.mid(at + 1), lowestAddress, highestAddress, QStringLiteral("--fault ...@ADDRESS"));
    QString error;
    if (!Faults::parse(text.left(at), &targeted.fault, &error))
        usageError(error);
    return targeted;
}

} // namespace

int main(int argc, char *argv[])
{
    QList<int> addresses = {lowestAddress};
    int baud = 0;
    VirtualLine::Echo echo = VirtualLine::EchoOff;
    int collisions = -1;
    QString linkPath;
    QString tcpAddress;
    QList<TargetedFault> faults;
    bool drift = false;
    bool traceOn = false;

    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&]() -> QString {
            if (i + 1 >= argc)
                usageError(QStringLiteral("option %1 needs a value").arg(arg));
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(qPrintable(usageText()), stdout);
            return 0;
        } else if (arg == QLatin1String("--address")) {
            addresses = parseAddresses(value());
        } else if (arg == QLatin1String("--link")) {
            value();
            linkPath = QFile::decodeName(argv[i]); // as the file system spells it
        } else if (arg == QLatin1String("--tcp")) {
            tcpAddress = value();
        } else if (arg == QLatin1String("--fault")) {
            faults << parseFault(value());
        } else if (arg == QLatin1String("--baud")) {
            baud = parseNumber(value(), 1, 4000000, QStringLiteral("--baud"));
        } else if (arg == QLatin1String("--echo")) {
            const QString mode = value();
            if (mode == QLatin1String("whole")) {
                echo = VirtualLine::EchoWhole;
            } else if (mode == QLatin1String("split")) {
                echo = VirtualLine::EchoSplit;
            } else if (mode == QLatin1String("collide")) {
                echo = VirtualLine::EchoCollide;
            } else if (mode == QLatin1String("short")) {
                echo = VirtualLine::EchoShort;
            } else if (mode.startsWith(QLatin1String("collide:"))) {
                echo = VirtualLine::EchoCollide;
                collisions = parseNumber(mode.mid(8), 0, 1000000, QStringLiteral("--echo collide:N"));
            } else {
                usageError(
                    QStringLiteral("--echo takes whole, split, collide, collide:N or short, not '%1'").arg(mode));
            }
        } else if (arg == QLatin1String("--drift")) {
            drift = true;
        } else if (arg == QLatin1String("--trace")) {
            traceOn = true;
        } else {
            usageError(QStringLiteral("unknown option %1").arg(arg));
        }
    }
    for (const TargetedFault &f : faults) {
        if (f.address != 0 && !addresses.contains(f.address))
            usageError(QStringLiteral("no controller at address %1 for its fault (see --address)").arg(f.address));
    }

    // The stop signals are taken before the line's threads start.
    StopRequest stop;
    if (!stop.isValid()) {
        std::fprintf(stderr, "vortanix-sim: cannot take SIGINT and SIGTERM: %s\n", std::strerror(errno));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN); // a closed stdout must not end the controllers

    VirtualLine line;
    line.setPacingBaud(baud);
    if (baud > 0)
        line.setBaud(baud);
    line.setEcho(echo, collisions);
    for (int address : addresses) {
        SimController controller = line.addController(quint8(address));
        controller.setDrift(drift);
        for (const TargetedFault &f : faults) {
            if (f.address == 0 || f.address == address)
                controller.setFault(f.fault);
        }
    }
    if (traceOn) {
        line.setTraceSink([](const QString &text) {
            const QByteArray bytes = text.toLocal8Bit();
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        });
    }
    if (!line.start(linkPath)) {
        std::fprintf(stderr, "vortanix-sim: cannot open a pseudo-terminal%s%s: %s\n",
            linkPath.isEmpty() ? "" : " with the link ", QFile::encodeName(linkPath).constData(), std::strerror(errno));
        return 1;
    }
    DeviceServer deviceServer;
    QString error;
    if (!tcpAddress.isEmpty() && !deviceServer.start(tcpAddress, line.portPath(), line.baud(), &error)) {
        std::fprintf(stderr, "vortanix-sim: --tcp: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", QFile::encodeName(line.portPath()).constData());
    if (deviceServer.isRunning())
        std::printf("%s\n", qPrintable(deviceServer.url()));
    std::fflush(stdout);

    stop.wait(-1);
    deviceServer.stop();
    line.stop();
    if (traceOn)
        std::fprintf(stdout, "stopped on %s\n", qPrintable(stop.signalName()));
    std::fflush(stdout);
    return 0;
}
