// The bridge's Modbus TCP gateway: the real vortanix-bridge as a process,
// virtual lines in this process, libmodbus clients on loopback:
//  1. overhead: a client's request → answer time minus the RTU exchange the
//     bridge timed for that request (its --trace), median and p99;
//  2. 32 clients reading the status block on one 115200 line, answered from
//     what the bridge holds (agent mode) and on the line (max_age_ms=0), side
//     by side, with the poll beat under each;
//  3. 32 clients reading what the bridge does not hold (every read on the
//     line): requests per second against the line's bound, frame gap included;
//  4. 10 controllers on a 9600 line, 3 switched off: the live ones' polls
//     against the same line with all 10 answering;
//  5. a write read back against one that is not;
//  6. a reload (SIGHUP) that changes another line: this line's poll beat.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-gateway-bench [--samples N] [--requests N]

#include "benchstats.h"
#include "bridgerig.h"
#include "framegap.h"
#include "modbustcpclient.h"
#include "registers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include <sys/types.h>

namespace {

using BenchStats::median;
using BenchStats::percentile;
using BenchStats::wireMs;

constexpr int clients = 32;
constexpr int pollIntervalMs = 100;
// A read of one register: 8 bytes of request, 7 of reply.
constexpr int readRequestBytes = 8;
constexpr int readReplyBytes = 7;

void progress(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

QString number(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

// A bridge without MQTT, its gateway on a free port, two controllers on line "a".
int startBridge(BridgeRig &rig, int intervalMs, bool trace)
{
    const int port = rig.startGateway(
        QStringLiteral("a"), intervalMs, trace ? QStringList{QStringLiteral("--trace")} : QStringList());
    if (port == 0)
        progress(QStringLiteral("the bridge did not come up: ") + rig.bridge().log());
    return port;
}

// Request → answer at the client minus the exchange the bridge timed.
std::vector<double> overhead(int samples)
{
    progress(QStringLiteral("overhead: %1 reads").arg(samples));
    BridgeRig rig;
    rig.addLine(QStringLiteral("a"), {1, 7});
    // Polls an hour apart: only the first ones, at start, share the line.
    const int port = startBridge(rig, 3600 * 1000, true);
    std::vector<double> result;
    if (port == 0)
        return result;
    ModbusTcpClient client(port, 1);
    if (!client.connect()) {
        progress(QStringLiteral("cannot connect to the gateway"));
        return result;
    }
    std::vector<double> roundTrips;
    QString log;
    for (int i = 0; i < samples; ++i) {
        // The trace goes into a pipe: read it now and then, or the bridge blocks on it.
        if (i % 100 == 0)
            log = rig.bridge().log();
        QVector<quint16> values;
        const auto start = BenchStats::Clock::now();
        if (!client.read(RegMaxPowerDac, 1, &values)) {
            progress(QStringLiteral("read %1 failed: exception %2").arg(i).arg(client.lastException()));
            return result;
        }
        roundTrips.push_back(BenchStats::msSince(start));
    }
    rig.bridge().terminate();
    log = rig.bridge().log();
    // "a a-1: read req 01 03 10 01 00 01 ... | 0.312 ms (clear ...) | ok", in order.
    static const QRegularExpression traced(QStringLiteral("read req 01 03 10 01 00 01 [^|]*\\|[^|]*\\| ([0-9.]+) ms"));
    std::vector<double> exchanges;
    auto it = traced.globalMatch(log);
    while (it.hasNext())
        exchanges.push_back(it.next().captured(1).toDouble());
    if (exchanges.size() != roundTrips.size())
        progress(QStringLiteral("%1 reads, %2 traced").arg(roundTrips.size()).arg(exchanges.size()));
    for (size_t i = 0; i < roundTrips.size() && i < exchanges.size(); ++i)
        result.push_back(roundTrips[i] - exchanges[i]);
    return result;
}

struct Load
{
    int requests = 0;
    double seconds = 0;
    int failures = 0;
    int exchanges = 0; // on the line, polls included
    std::vector<double> pollGapsMs;
};

// 32 clients reading `count` registers from `first` as fast as they get
// answers, on a line paced at `baud` whose reads are answered from what the
// bridge holds up to `maxAgeMs` old.
Load underLoad(int baud, int perClient, quint16 first, quint16 count, int maxAgeMs)
{
    progress(QStringLiteral("%1 clients, %2 reads each of %3 registers, %4 baud, max_age_ms=%5")
                 .arg(clients)
                 .arg(perClient)
                 .arg(count)
                 .arg(baud)
                 .arg(maxAgeMs));
    Load result;
    BridgeRig rig;
    VirtualLine &line = rig.addLine(QStringLiteral("a"), {1, 7});
    line.setPacingBaud(baud);
    const int port = rig.startGateway(QStringLiteral("a"), pollIntervalMs, {}, {}, maxAgeMs);
    if (port == 0)
        return result;
    SimController probe = rig.controller(QStringLiteral("a"), 1);
    probe.clearRequests();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = BenchStats::Clock::now();
    for (int n = 0; n < clients; ++n) {
        threads.emplace_back([port, n, perClient, first, count, &failures] {
            ModbusTcpClient client(port, n % 2 ? 7 : 1);
            if (!client.connect()) {
                failures += perClient;
                return;
            }
            QVector<quint16> values;
            for (int i = 0; i < perClient; ++i)
                failures += client.read(first, count, &values) ? 0 : 1;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    result.seconds = BenchStats::msSince(start) / 1000.0;
    result.failures = failures;
    result.requests = clients * perClient - failures;
    // Controller 1 hears every request on the line: the gaps between its polls.
    qint64 last = -1;
    result.exchanges = probe.requests().size();
    for (const SimController::Request &request : probe.requests()) {
        const QByteArray &f = request.frame;
        if (f.at(0) == 1 && f.mid(1, 5) == QByteArray::fromHex("030001000C")) {
            if (last >= 0)
                result.pollGapsMs.push_back((request.timeUs - last) / 1000.0);
            last = request.timeUs;
        }
    }
    rig.bridge().terminate();
    return result;
}

// Polls each live controller had in `seconds` on a 9600 line of 10
// controllers polled every 200 ms, `silent` of them switched off.
double livePollsPerSecond(int silent, int seconds)
{
    progress(QStringLiteral("10 controllers at 9600 baud, %1 switched off, %2 s").arg(silent).arg(seconds));
    BridgeRig rig;
    QList<quint8> addresses;
    for (quint8 a = 1; a <= 10; ++a)
        addresses << a;
    VirtualLine &line = rig.addLine(QStringLiteral("s"), addresses);
    line.setPacingBaud(9600);
    line.setBaud(9600);
    rig.bridge().writeConfig(
        QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=200\n")
        + rig.lineSection(QStringLiteral("s"), QStringLiteral("1-10"), QStringLiteral("baud=9600")));
    if (!rig.bridge().start()) {
        progress(rig.bridge().log());
        return 0;
    }
    for (int i = 0; i < silent; ++i)
        rig.controller(QStringLiteral("s"), quint8(3 + 3 * i)).setFault(SimController::FaultNoReply);
    SimController one = rig.controller(QStringLiteral("s"), 1);
    // Every controller hears every request: controller 1's log has them all.
    if (!one.waitForRequests(1, 10000)) {
        progress(QStringLiteral("no poll came: ") + rig.bridge().log());
        return 0;
    }
    QThread::sleep(2); // let the silent ones go offline and back off
    one.clearRequests();
    QThread::sleep(ulong(seconds));
    int polls = 0;
    for (const SimController::Request &request : one.requests()) {
        const quint8 address = quint8(request.frame.at(0));
        const bool live = address < 3 || address % 3 != 0 || address > 3 * silent;
        polls += live && request.frame.mid(1, 5) == QByteArray::fromHex("030001000C");
    }
    rig.bridge().terminate();
    return double(polls) / (10 - silent) / seconds;
}

// The median time of a write through the gateway, read back or not.
double writeMs(bool verify, int samples)
{
    progress(QStringLiteral("%1 writes, %2").arg(samples).arg(verify ? "read back" : "not read back"));
    BridgeRig rig;
    rig.addLine(QStringLiteral("w"), {1});
    rig.bridge().writeConfig(QStringLiteral("[mqtt]\nenabled=false\n[bridge]\npoll_interval_ms=3600000\n"
                                            "[modbus_tcp]\nlisten=127.0.0.1:0\n")
        + rig.lineSection(QStringLiteral("w"), QStringLiteral("1"), verify ? QString() : QStringLiteral("verify=no")));
    if (!rig.bridge().start())
        return 0;
    ModbusTcpClient client(rig.bridge().gatewayPort(), 1);
    if (!client.connect())
        return 0;
    std::vector<double> times;
    for (int i = 0; i < samples; ++i) {
        const auto start = BenchStats::Clock::now();
        if (!client.write(RegPowerPermille, quint16(i % 1000)))
            return 0;
        times.push_back(BenchStats::msSince(start));
    }
    rig.bridge().terminate();
    return median(times);
}

// The gaps between the polls of a line's controller while the bridge reloads
// a configuration that changes the other line, `reloads` times, a second apart.
std::vector<double> beatThroughReloads(int reloads)
{
    progress(QStringLiteral("%1 reloads that change line b; the beat of line a").arg(reloads));
    BridgeRig rig;
    rig.addLine(QStringLiteral("a"), {1});
    rig.addLine(QStringLiteral("b"), {1, 2});
    const QString head
        = QStringLiteral("[mqtt]\nenabled=false\n[http]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=%1\n")
              .arg(pollIntervalMs)
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"));
    rig.bridge().writeConfig(head + rig.lineSection(QStringLiteral("b"), QStringLiteral("1,2")));
    std::vector<double> gaps;
    if (!rig.bridge().start() || !rig.bridge().waitForLog(QStringLiteral("a-1 (address 1): online"))) {
        progress(QStringLiteral("line a did not come online: ") + rig.bridge().log());
        return gaps;
    }
    SimController a1 = rig.controller(QStringLiteral("a"), 1);
    a1.clearRequests();
    for (int i = 0; i < reloads; ++i) {
        QThread::msleep(1000);
        rig.bridge().writeConfig(
            head + rig.lineSection(QStringLiteral("b"), i % 2 ? QStringLiteral("1,2") : QStringLiteral("1")));
        const int from = rig.bridge().log().size();
        ::kill(pid_t(rig.bridge().pid()), SIGHUP);
        rig.bridge().waitForLog(QStringLiteral("reloaded the configuration"), 10000, from);
    }
    QThread::msleep(1000);
    qint64 last = -1;
    for (const SimController::Request &request : a1.requests()) {
        if (request.frame.at(0) == 1 && request.frame.mid(1, 5) == QByteArray::fromHex("030001000C")) {
            if (last >= 0)
                gaps.push_back((request.timeUs - last) / 1000.0);
            last = request.timeUs;
        }
    }
    rig.bridge().terminate();
    return gaps;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption samplesOption(QStringLiteral("samples"), QStringLiteral("Reads of the overhead run."),
        QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption requestsOption(QStringLiteral("requests"),
        QStringLiteral("Reads per client of the load run."), QStringLiteral("N"), QStringLiteral("100"));
    parser.addOptions({samplesOption, requestsOption});
    parser.process(application);

    QTextStream out(stdout);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    out.setCodec("UTF-8"); // Qt 6 writes UTF-8 always
#endif
    out << "## Modbus TCP gateway\n\n"
        << "The real `vortanix-bridge` (MQTT off) as a process, virtual lines in the benchmark's process, libmodbus "
           "clients on loopback (`vortanix-gateway-bench`). Every client reads the maximum-power DAC (one "
           "register) of unit 1 or 7.\n\n";

    const std::vector<double> extra = overhead(parser.value(samplesOption).toInt());
    out << "### Overhead\n\n"
        << QString::fromUtf8(
               "A client's request → answer time minus the RTU exchange the bridge timed for that request (its "
               "`--trace`): framing, the queue, the thread hand-overs and loopback TCP. One client, one controller, "
               "a line as fast as the pseudo-terminal goes, polls an hour apart. Target: median ≤ 0.3 ms.\n\n")
        << "| Samples | Median ms | p99 ms | Longest ms | Target |\n|---|---|---|---|---|\n"
        << "| " << extra.size() << " | " << number(median(extra), 3) << " | " << number(percentile(extra, 99), 3)
        << " | " << number(percentile(extra, 100), 3) << " | " << BenchStats::verdict(median(extra) <= 0.3) << " |\n\n";
    out.flush();

    const int baud = 115200;
    const int perClient = parser.value(requestsOption).toInt();
    // An exchange on the line: the request's and the reply's bytes and the frame gap before the request.
    const auto lineBound = [baud](int replyBytes) {
        return 1000.0 / (wireMs(readRequestBytes + replyBytes, baud) + FrameGap(baud).gapNs() / 1e6);
    };
    const double statusBound = lineBound(5 + 2 * StatusBlockCount);
    const Load agent = underLoad(baud, perClient * 20, StatusBlockFirst, StatusBlockCount, pollIntervalMs);
    const Load onLine = underLoad(baud, perClient, StatusBlockFirst, StatusBlockCount, 0);
    out << "### 32 clients reading the status block: from memory and on the line\n\n"
        << "32 clients at once, each reading the status block (12 registers from 0x0001) as soon as it has its "
           "answer, on a virtual line paced at 115200 baud with two controllers polled every "
        << pollIntervalMs
        << " ms. With max_age_ms at the poll interval the bridge answers from what its polls hold (agent mode); "
           "with 0 every read goes on the line, where reads of the same registers that wait at the same time share "
           "one exchange (so the requests answered can pass the line's bound), and the clients' reads of the status "
           "block are status reads to the controller as polls are (so the beat shown is the gap between any two). "
           "The line's bound is one status exchange (8 bytes of request, 29 of "
           "reply, the frame gap before it) after another. Targets: agent mode "
        << QString::fromUtf8("≥ 20,000 requests/s (≥ 50 × the bound), the poll beat's p99 ≤ 1.1 × the interval; "
                             "every answer is younger than max_age_ms by construction (tst_linehub's age "
                             "boundary).\n\n")
        << QString::fromUtf8("| max_age_ms | Requests | Failed | Seconds | Requests/s | × the line's bound | Poll beat "
                             "median ms | p99 ms | Target |\n|---|---|---|---|---|---|---|---|---|\n");
    for (const auto &row : {qMakePair(pollIntervalMs, &agent), qMakePair(0, &onLine)}) {
        const Load &load = *row.second;
        const double perSecond = load.seconds > 0 ? load.requests / load.seconds : 0;
        const double beat = percentile(load.pollGapsMs, 99);
        out << "| " << row.first << " | " << load.requests << " | " << load.failures << " | " << number(load.seconds)
            << " | " << number(perSecond, 0) << " | " << BenchStats::ratio(perSecond / statusBound) << " | "
            << number(median(load.pollGapsMs)) << " | " << number(beat) << " | "
            << (row.first > 0 ? BenchStats::verdict(perSecond >= 20000 && beat <= 1.1 * pollIntervalMs)
                              : QStringLiteral("the line's"))
            << " |\n";
    }
    out << "\n";
    out.flush();

    const Load load = underLoad(baud, perClient, RegMaxPowerDac, 1, 0);
    const double perSecond = load.seconds > 0 ? load.requests / load.seconds : 0;
    const double exchangesPerSecond = load.seconds > 0 ? load.exchanges / load.seconds : 0;
    const double bound = lineBound(readReplyBytes);
    out << "### 32 clients reading what the bridge does not hold\n\n"
        << "The same 32 clients, each reading the maximum-power DAC (one register) with every read on the line "
           "(max_age_ms=0). Reads of one unit that wait at the same time share an exchange, so the requests "
           "answered pass the line's bound; what counts is how busy the bridge keeps the line: its exchanges per "
           "second (the polls' among them) against the bound, a one-register read's 15 bytes at 10 bits a byte "
           "plus the frame gap before each request (1.75 ms above 19200 baud). Target: "
        << QString::fromUtf8("≥ 0.9 × the bound.\n\n")
        << "| Requests | Failed | Seconds | Requests/s | Exchanges/s | Bound/s | Ratio | Poll beat p99 ms | Target |\n"
           "|---|---|---|---|---|---|---|---|---|\n"
        << "| " << load.requests << " | " << load.failures << " | " << number(load.seconds) << " | "
        << number(perSecond, 0) << " | " << number(exchangesPerSecond, 0) << " | " << number(bound, 0) << " | "
        << BenchStats::ratio(exchangesPerSecond / bound) << " | " << number(percentile(load.pollGapsMs, 99)) << " | "
        << BenchStats::verdict(exchangesPerSecond >= 0.9 * bound) << " |\n\n";
    out.flush();

    const double allAnswer = livePollsPerSecond(0, 20);
    const double threeSilent = livePollsPerSecond(3, 20);
    out << "### A silent controller slows no one\n\n"
        << "10 controllers on a virtual line paced at 9600 baud, polled every 200 ms (more than the line "
           "carries), 20 s each: polls per second of each live controller with all 10 answering and with 3 "
           "switched off (backed off once offline, up to offline_poll_s). Target: "
        << QString::fromUtf8("≥ 0.97 ×.\n\n")
        << "| All answering, polls/s each | 3 switched off, the live ones' polls/s each | Ratio | Target |\n"
           "|---|---|---|---|\n"
        << "| " << number(allAnswer) << " | " << number(threeSilent) << " | "
        << BenchStats::ratio(allAnswer > 0 ? threeSilent / allAnswer : 0) << " | "
        << BenchStats::verdict(allAnswer > 0 && threeSilent >= 0.97 * allAnswer) << " |\n\n";
    out.flush();

    const int writes = 200;
    const double plain = writeMs(false, writes);
    const double verified = writeMs(true, writes);
    const std::vector<double> beat = beatThroughReloads(5);
    out << "### A reload that changes another line\n\n"
        << "Two lines polled every " << pollIntervalMs
        << " ms; the configuration is read again (SIGHUP) five times, a second apart, each time adding or removing a "
           "controller of line b (which restarts), while line a's controller logs its polls. Target: the beat's p99 "
        << QString::fromUtf8("≤ 1.1 × the interval.\n\n")
        << "| Polls | Median ms | p99 ms | Longest ms | Target |\n|---|---|---|---|---|\n"
        << "| " << beat.size() << " | " << number(median(beat)) << " | " << number(percentile(beat, 99)) << " | "
        << number(percentile(beat, 100)) << " | "
        << BenchStats::verdict(!beat.empty() && percentile(beat, 99) <= 1.1 * pollIntervalMs) << " |\n\n";
    out.flush();

    out << "### The cost of a write read back\n\n"
        << "One client writing the power " << writes
        << " times through the gateway on a 115200 line, polls an hour apart: the median time of a write with "
           "verify=no and with verify on (the default), which reads the register back once acknowledged.\n\n"
        << "| verify=no ms | verify on ms | Cost of the read-back ms |\n|---|---|---|\n"
        << "| " << number(plain, 3) << " | " << number(verified, 3) << " | " << number(verified - plain, 3) << " |\n\n";
    return 0;
}
