#include "scancommand.h"

#include "commandline.h"
#include "exitstatus.h"
#include "output.h"
#include "registers.h"
#include "session.h"
#include "statusjson.h"
#include "stopsignal.h"
#include "valuetext.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

#include <unistd.h>

namespace {

constexpr int defaultAddressMax = 247;

struct Plan
{
    QList<int> bauds;
    QList<int> addresses;
};

bool makePlan(const CommandLine &commandLine, Plan *plan, QString *error)
{
    const QString bauds = QStringLiteral("bauds");
    const QString addresses = QStringLiteral("addresses");
    if (commandLine.has(bauds)) {
        for (const QString &text : commandLine.value(bauds).split(QLatin1Char(','))) {
            qint64 rate = 0;
            if (!ValueText::number(text, 1, 1000000000, QStringLiteral("--bauds"), &rate, error)
                || !Session::baudRates().contains(int(rate))) {
                *error
                    = QStringLiteral("--bauds: '%1' is not one of the controller's rates: 115200, 57600, 19200, 9600")
                          .arg(text);
                return false;
            }
            if (!plan->bauds.contains(int(rate)))
                plan->bauds << int(rate);
        }
    } else if (commandLine.has(QStringLiteral("baud")) || commandLine.has(QStringLiteral("tcp"))) {
        // Through a gateway the line's rate is the gateway's business: one pass.
        plan->bauds << (commandLine.has(QStringLiteral("baud")) ? commandLine.value(QStringLiteral("baud")).toInt()
                                                                : Session::baudRates().first()); // checked already
    } else {
        plan->bauds = Session::baudRates();
    }
    if (commandLine.has(addresses)) {
        return ValueText::list(commandLine.value(addresses), Rs485AddressMin, Rs485AddressMax,
            QStringLiteral("--addresses"), &plan->addresses, error);
    }
    if (commandLine.has(QStringLiteral("address"))) {
        plan->addresses << commandLine.value(QStringLiteral("address")).toInt();
    } else {
        for (int address = Rs485AddressMin; address <= defaultAddressMax; ++address)
            plan->addresses << address;
    }
    return true;
}

// Reads whatever is still arriving until the line has been quiet for a
// frame gap (3.5 characters, at least 2 ms): the bytes heard. Through a
// gateway there is no line to hear: it answers each request whole.
QByteArray drain(Session &session, int baud)
{
    if (session.viaGateway())
        return QByteArray();
    Link &link = session.link();
    const int gapMs = std::max(2, (35 * 1000 + baud - 1) / baud);
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

// A controller that is there, though its reply came too late to be read.
void tellLate(Output &out, int address, int baud, int timeoutMs)
{
    if (out.json()) {
        out.object({{QStringLiteral("address"), address}, {QStringLiteral("baud"), baud},
            {QStringLiteral("firmware"), QJsonValue()}, {QStringLiteral("late"), true}});
    } else {
        out.line(QStringLiteral("address %1  %2 baud  answers late").arg(address).arg(baud));
    }
    out.error(QStringLiteral("scan: address %1 at %2 baud answers, but after the wait%3: try a longer --timeout")
                  .arg(address)
                  .arg(baud)
                  .arg(timeoutMs > 0 ? QStringLiteral(" of %1 ms").arg(timeoutMs) : QString()));
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
    const StopSignal stop;
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
        QSet<int> silent; // addresses asked at this rate that gave no answer: theirs may come late
        for (int i = 0; i < plan.addresses.size() && !stop.requested(); ++i) {
            const int address = plan.addresses.at(i);
            if (showProgress)
                out.progress(QStringLiteral("\rscanning at %1 baud: address %2 (%3 of %4), %5 found\033[K")
                                 .arg(baud)
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
            if (outcome.kind == Outcome::WrongAddress && silent.contains(quint8(outcome.reply.at(0)))) {
                const int late = quint8(outcome.reply.at(0));
                silent.remove(late);
                lateSeen = true;
                ++found;
                tellLate(out, late, baud, session.timeoutMs());
                drain(session, baud);
                outcome = controller.readStatus(&status);
                ++asked;
            }
            if (showProgress && outcome.kind != Outcome::Timeout)
                out.progress(QStringLiteral("\r\033[K"));
            if (outcome.kind == Outcome::Ok) {
                ++found;
                const QString firmware = StatusJson::firmware(status.firmwareVersion);
                const int reported = status.rs485Address & 0xFF;
                if (out.json()) {
                    out.object({{QStringLiteral("address"), address}, {QStringLiteral("baud"), baud},
                        {QStringLiteral("firmware"), firmware}});
                } else {
                    out.line(QStringLiteral("address %1  %2 baud  firmware %3%4")
                                 .arg(address)
                                 .arg(baud)
                                 .arg(firmware)
                                 .arg(reported == address ? QString()
                                                          : QStringLiteral("  (reports address %1)").arg(reported)));
                }
            } else if (outcome.kind == Outcome::PortLost || session.linkLost()) {
                return session.judge(outcome, QStringLiteral("scan"), Session::Read);
            } else if (outcome.kind == Outcome::Exception) {
                // It refused the status read, but it is there and answers at this address and rate.
                ++found;
                if (out.json()) {
                    out.object({{QStringLiteral("address"), address}, {QStringLiteral("baud"), baud},
                        {QStringLiteral("firmware"), QJsonValue()}, {QStringLiteral("refused"), outcome.describe()}});
                } else {
                    out.line(QStringLiteral("address %1  %2 baud  refuses the status read (%3)")
                                 .arg(address)
                                 .arg(baud)
                                 .arg(outcome.describe()));
                }
            } else if (outcome.kind != Outcome::Timeout) {
                // Something is there, but its reply is no good: two controllers at
                // one address, noise, or the wrong baud rate.
                out.error(QStringLiteral("scan: address %1 at %2 baud: a reply, but a bad one (%3)")
                              .arg(address)
                              .arg(baud)
                              .arg(outcome.describe()));
            }
            // A reply still on its way (a slow controller, a long time-out's
            // worth late) is heard out here, not blamed on the next address.
            if (outcome.kind != Outcome::Ok && outcome.kind != Outcome::Exception) {
                const QByteArray late = drain(session, baud);
                if (outcome.kind == Outcome::Timeout)
                    silent.insert(address);
                const int from = late.isEmpty() ? -1 : quint8(late.at(0));
                if (silent.contains(from)) {
                    silent.remove(from);
                    lateSeen = true;
                    ++found;
                    tellLate(out, from, baud, session.timeoutMs());
                }
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
