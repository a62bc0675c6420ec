#include "scancommand.h"

#include "commandline.h"
#include "exitstatus.h"
#include "framegap.h"
#include "heldlink.h"
#include "linefacts.h"
#include "output.h"
#include "session.h"
#include "statusjson.h"
#include "stoprequest.h"
#include "valuetext.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

#include <unistd.h>

namespace {

struct Plan
{
    QList<int> bauds;
    QList<int> addresses;
};

bool makePlan(const CommandLine &commandLine, Plan *plan, QString *error)
{
    const QString bauds = QStringLiteral("bauds");
    const QString addresses = QStringLiteral("addresses");
    if (commandLine.has(QStringLiteral("unit"))) {
        // Each address asked as that one unit id: one controller would answer as all of them.
        *error = QStringLiteral("scan: --unit names one controller; a scan asks each address as its unit id: leave "
                                "--unit out");
        return false;
    }
    const bool deviceServer = HeldLink::isNetworkPort(commandLine.value(QStringLiteral("port")));
    if (commandLine.has(bauds) && deviceServer) {
        *error = QStringLiteral("scan: --bauds needs a serial port of this machine; a device server's serial rate is "
                                "set on it: one pass asks at that rate (give it with --baud, which times the waits)");
        return false;
    }
    if (commandLine.has(bauds)) {
        for (const QString &text : commandLine.value(bauds).split(QLatin1Char(','))) {
            qint64 rate = 0;
            if (!ValueText::number(text, 1, 1000000000, QStringLiteral("--bauds"), &rate, error)
                || !LineFacts::isBaud(int(rate))) {
                *error = QStringLiteral("--bauds: '%1' is not one of the controller's rates: %2")
                             .arg(text, LineFacts::baudsText());
                return false;
            }
            if (!plan->bauds.contains(int(rate)))
                plan->bauds << int(rate);
        }
    } else if (commandLine.has(QStringLiteral("baud")) || commandLine.has(QStringLiteral("tcp")) || deviceServer) {
        // Through a gateway or a device server the line's rate is set there: one pass.
        plan->bauds << (commandLine.has(QStringLiteral("baud")) ? commandLine.value(QStringLiteral("baud")).toInt()
                                                                : LineFacts::bauds().first()); // checked already
    } else {
        plan->bauds = LineFacts::bauds();
    }
    if (commandLine.has(addresses)) {
        return ValueText::list(commandLine.value(addresses), LineFacts::AddressMin, LineFacts::AddressMax,
            QStringLiteral("--addresses"), &plan->addresses, error);
    }
    if (commandLine.has(QStringLiteral("address"))) {
        plan->addresses << commandLine.value(QStringLiteral("address")).toInt();
    } else {
        for (int address = LineFacts::AddressMin; address <= LineFacts::AddressMax; ++address)
            plan->addresses << address;
    }
    return true;
}

// Reads whatever is still arriving until the line has been quiet for a
// frame gap (at least 2 ms): the bytes heard. Through a gateway there is no
// line to hear: it answers each request whole.
QByteArray drain(Session &session, int baud)
{
    if (session.viaGateway())
        return QByteArray();
    Link &link = session.link();
    const int gapMs = std::max<int>(2, int((FrameGap(baud).gapNs() + 999999) / 1000000));
    QByteArray heard;
    quint8 buffer[256];
    for (int got = link.receive(buffer, sizeof buffer, gapMs); got > 0;
         got = link.receive(buffer, sizeof buffer, gapMs)) {
        heard.append(reinterpret_cast<const char *>(buffer), got);
        if (heard.size() > 4096)
            break; // a line that never falls quiet is not waited out
    }
    return heard;
}

// Where the scan asks: " at 115200 baud" on a serial line; nothing through a
// gateway or a device server, whose line runs at a rate set there, unknown here.
QString atRate(int lineBaud)
{
    return lineBaud > 0 ? QStringLiteral(" at %1 baud").arg(lineBaud) : QString();
}

// A controller found: "address 3  115200 baud  firmware 1.10", or one JSON
// object with address, baud (null through a gateway or a device server), firmware and `more`.
void tellFound(
    Output &out, int address, int lineBaud, const QString &firmware, const QString &words, QJsonObject more = {})
{
    if (out.json()) {
        more.insert(QStringLiteral("address"), address);
        more.insert(QStringLiteral("baud"), lineBaud > 0 ? QJsonValue(lineBaud) : QJsonValue());
        more.insert(QStringLiteral("firmware"), firmware.isEmpty() ? QJsonValue() : QJsonValue(firmware));
        out.object(more);
    } else {
        out.line(QStringLiteral("address %1%2  %3")
                     .arg(address)
                     .arg(lineBaud > 0 ? QStringLiteral("  %1 baud").arg(lineBaud) : QString(), words));
    }
}

} // namespace

int ScanCommand::run(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    Plan plan;
    QString error;
    if (!makePlan(commandLine, &plan, &error)) {
        out.error(error);
        return ExitUsage;
    }

    const bool showProgress = ::isatty(STDERR_FILENO) == 1;
    StopRequest stop;
    QElapsedTimer clock;
    clock.start();
    int found = 0;
    int asked = 0;
    bool lateSeen = false;
    for (int baud : plan.bauds) {
        if (stop.requested())
            break;
        if (const int status = session.open(baud))
            return status;
        Controller &controller = session.controller();
        const int lineBaud = session.viaGateway() || session.viaDeviceServer() ? 0 : baud;
        QSet<int> silent; // addresses asked at this rate that gave no answer: theirs may come late
        // A reply from `from`, after its wait: listed as there and late, when it was one of the silent.
        const auto heardLate = [&](int from) {
            if (!silent.remove(from))
                return false;
            lateSeen = true;
            ++found;
            tellFound(out, from, lineBaud, QString(), QStringLiteral("answers late"), {{QStringLiteral("late"), true}});
            out.error(
                QStringLiteral("scan: address %1%2 answers, but after the wait%3: try a longer --timeout")
                    .arg(from)
                    .arg(atRate(lineBaud),
                        session.timeoutMs() > 0 ? QStringLiteral(" of %1 ms").arg(session.timeoutMs()) : QString()));
            return true;
        };
        for (int i = 0; i < plan.addresses.size() && !stop.requested(); ++i) {
            const int address = plan.addresses.at(i);
            if (showProgress)
                out.progress(QStringLiteral("\rscanning%1: address %2 (%3 of %4), %5 found\033[K")
                                 .arg(atRate(lineBaud))
                                 .arg(address)
                                 .arg(i + 1)
                                 .arg(plan.addresses.size())
                                 .arg(found));
            controller.setAddress(quint8(address));
            StatusBlock status;
            Outcome outcome = controller.readStatus(&status);
            ++asked;
            // The late reply of an address asked before, not this one's:
            // that one is there, and this one is asked again.
            if (outcome.kind == Outcome::WrongAddress && heardLate(quint8(outcome.reply.at(0)))) {
                drain(session, baud);
                outcome = controller.readStatus(&status);
                ++asked;
            }
            if (showProgress && outcome.kind != Outcome::Timeout)
                out.progress(QStringLiteral("\r\033[K"));
            if (outcome.kind == Outcome::Ok) {
                ++found;
                const QString firmware = StatusJson::firmware(status.firmwareVersion());
                const int reported = status.rs485Address() & 0xFF;
                tellFound(out, address, lineBaud, firmware,
                    QStringLiteral("firmware %1%2")
                        .arg(firmware,
                            reported == address ? QString() : QStringLiteral("  (reports address %1)").arg(reported)));
            } else if (outcome.kind == Outcome::PortLost || session.linkLost()) {
                return session.judge(outcome, QStringLiteral("scan"), Session::Read);
            } else if (outcome.kind == Outcome::Exception) {
                // It refused the status read, but it is there and answers at this address and rate.
                ++found;
                tellFound(out, address, lineBaud, QString(),
                    QStringLiteral("refuses the status read (%1)").arg(outcome.describe()),
                    {{QStringLiteral("refused"), outcome.describe()}});
            } else if (outcome.kind != Outcome::Timeout) {
                // Something is there, but its reply is no good: two controllers at
                // one address, noise, or the wrong baud rate.
                out.error(QStringLiteral("scan: address %1%2: a reply, but a bad one (%3)")
                              .arg(address)
                              .arg(atRate(lineBaud), outcome.describe()));
            }
            // A reply still on its way (a slow controller, a long time-out's
            // worth late) is heard out here, not blamed on the next address.
            if (outcome.kind != Outcome::Ok && outcome.kind != Outcome::Exception) {
                const QByteArray late = drain(session, baud);
                if (outcome.kind == Outcome::Timeout)
                    silent.insert(address);
                if (!late.isEmpty())
                    heardLate(quint8(late.at(0)));
            }
        }
    }
    if (showProgress)
        out.progress(QStringLiteral("\r\033[K"));
    out.error(QStringLiteral("scan: %1 controller%2 found (%3 requests, %4 s)%5")
                  .arg(found)
                  .arg(found == 1 ? QString() : QStringLiteral("s"))
                  .arg(asked)
                  .arg(QString::number(clock.elapsed() / 1000.0, 'f', 1))
                  .arg(stop.requested() ? QStringLiteral(", stopped") : QString()));
    if (lateSeen)
        out.error(QStringLiteral("scan: replies came late: scan again with a longer --timeout (e.g. --timeout %1)")
                      .arg(std::max(500, 4 * session.timeoutMs())));
    return found > 0 ? ExitOk : ExitNoReply;
}
