// vortanix-sim: the virtual light-source controller on a pseudo-terminal of its own.
// Prints the port path on its first line, then serves until SIGINT or SIGTERM.

#include "virtualcontroller.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>
#include <signal.h>

namespace {

const char usageText[] =
    "Usage: vortanix-sim [options]\n"
    "\n"
    "A virtual light-source controller: a Modbus RTU slave on a pseudo-terminal.\n"
    "The first line printed is the path of the port to open; the controller then\n"
    "serves until it gets SIGINT (Ctrl-C) or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --address N          slave address, 1..247 (default 1)\n"
    "  --link PATH          make PATH a symbolic link to the terminal and print PATH\n"
    "  --fault NAME[:PARAM] misbehave on every request, until the program ends:\n"
    "                         none, no-reply, bad-crc, truncate:K, delay:MS, gap:MS,\n"
    "                         echo8, exception[:CODE], garbage:N, wrong-address:A,\n"
    "                         endless, unplug\n"
    "  --baud B             send replies at the pace of B baud (10 bits a byte)\n"
    "  --drift              let temperature, supply voltage and running time drift\n"
    "  --trace              print every request and reply in hex with time stamps\n"
    "  --help               show this text\n";

void usageError(const std::string &message)
{
    std::fprintf(stderr, "vortanix-sim: %s\n\n%s", message.c_str(), usageText);
    std::exit(2);
}

bool parseInt(const std::string &text, long low, long high, long *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

struct FaultName
{
    const char *name;
    VirtualController::FaultKind kind;
    bool paramRequired;
    bool paramAllowed;
};

const FaultName faultNames[] = {
    {"none", VirtualController::FaultNone, false, false},
    {"no-reply", VirtualController::FaultNoReply, false, false},
    {"bad-crc", VirtualController::FaultBadCrc, false, false},
    {"truncate", VirtualController::FaultTruncate, true, true},
    {"delay", VirtualController::FaultDelay, true, true},
    {"gap", VirtualController::FaultGapPace, true, true},
    {"echo8", VirtualController::FaultEcho8, false, false},
    {"exception", VirtualController::FaultException, false, true},
    {"garbage", VirtualController::FaultGarbageBefore, true, true},
    {"wrong-address", VirtualController::FaultWrongAddress, true, true},
    {"endless", VirtualController::FaultEndlessStream, false, false},
    {"unplug", VirtualController::FaultUnplugOnRequest, false, false},
};

VirtualController::Fault parseFault(const std::string &text)
{
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const bool hasParam = colon != std::string::npos;
    for (const FaultName &entry : faultNames) {
        if (name != entry.name)
            continue;
        if (entry.paramRequired && !hasParam)
            usageError("fault '" + name + "' needs a parameter (" + name + ":N)");
        if (hasParam && !entry.paramAllowed)
            usageError("fault '" + name + "' takes no parameter");
        VirtualController::Fault fault;
        fault.kind = entry.kind;
        if (hasParam) {
            long param = 0;
            const long high = entry.kind == VirtualController::FaultWrongAddress
                    || entry.kind == VirtualController::FaultException ? 255 : 3600000;
            if (!parseInt(text.substr(colon + 1), 0, high, &param))
                usageError("bad parameter in --fault " + text);
            fault.param = int(param);
        }
        return fault;
    }
    usageError("unknown fault '" + name + "'");
    return VirtualController::Fault();
}

} // namespace

int main(int argc, char *argv[])
{
    long address = 1;
    long baud = 0;
    QString linkPath;
    VirtualController::Fault fault;
    bool drift = false;
    bool traceOn = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usageError("option " + arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(usageText, stdout);
            return 0;
        } else if (arg == "--address") {
            if (!parseInt(value(), 1, 247, &address))
                usageError("the address must be 1..247");
        } else if (arg == "--link") {
            linkPath = QFile::decodeName(value().c_str());
        } else if (arg == "--fault") {
            fault = parseFault(value());
        } else if (arg == "--baud") {
            if (!parseInt(value(), 1, 4000000, &baud))
                usageError("the baud rate must be a positive number");
        } else if (arg == "--drift") {
            drift = true;
        } else if (arg == "--trace") {
            traceOn = true;
        } else {
            usageError("unknown option " + arg);
        }
    }

    // The signals are taken by sigwait() below; block them before the controller's
    // thread starts so that it inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a closed stdout must not end the controller

    VirtualController controller;
    controller.setAddress(quint8(address));
    controller.setPacingBaud(int(baud));
    controller.setDrift(drift);
    if (fault.kind != VirtualController::FaultNone)
        controller.setFault(fault);
    if (traceOn) {
        controller.setTraceSink([](const QString &line) {
            const QByteArray text = line.toLocal8Bit();
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        });
    }
    if (!controller.start(linkPath)) {
        std::fprintf(stderr, "vortanix-sim: cannot open a pseudo-terminal%s%s: %s\n",
                     linkPath.isEmpty() ? "" : " with the link ",
                     QFile::encodeName(linkPath).constData(), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", QFile::encodeName(controller.portPath()).constData());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    controller.stop();
    if (traceOn)
        std::fprintf(stdout, "stopped on %s\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    return 0;
}
