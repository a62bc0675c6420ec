// The bridge's Modbus TCP gateway: the real vortanix-bridge as a process,
// virtual lines in this process, libmodbus clients on loopback:
//  1. overhead: a client's request → answer time minus the RTU exchange the
//     bridge timed for that request (its --trace), median and p99;
//  2. 32 clients on one 115200 line: requests completed per second against
//     the line's bound;
//  3. the poll beat under that load: the time between two polls of one
//     controller, as the controller heard them.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-gateway-bench [--samples N] [--requests N]

#include "benchstats.h"
#include "bridgerig.h"
#include "modbustcpclient.h"
#include "registers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <atomic>
#include <cstdio>
#include <thread>

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
    std::vector<double> pollGapsMs;
};

// 32 clients reading as fast as they get answers, on a line paced at `baud`.
Load underLoad(int baud, int perClient)
{
    progress(QStringLiteral("%1 clients, %2 reads each, %3 baud").arg(clients).arg(perClient).arg(baud));
    Load result;
    BridgeRig rig;
    VirtualLine &line = rig.addLine(QStringLiteral("a"), {1, 7});
    line.setPacingBaud(baud);
    const int port = startBridge(rig, pollIntervalMs, false);
    if (port == 0)
        return result;
    SimController first = rig.controller(QStringLiteral("a"), 1);
    first.clearRequests();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = BenchStats::Clock::now();
    for (int n = 0; n < clients; ++n) {
        threads.emplace_back([port, n, perClient, &failures] {
            ModbusTcpClient client(port, n % 2 ? 7 : 1);
            if (!client.connect()) {
                failures += perClient;
                return;
            }
            QVector<quint16> values;
            for (int i = 0; i < perClient; ++i)
                failures += client.read(RegMaxPowerDac, 1, &values) ? 0 : 1;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    result.seconds = BenchStats::msSince(start) / 1000.0;
    result.failures = failures;
    result.requests = clients * perClient - failures;
    // Controller 1 hears every request on the line: the gaps between its polls.
    qint64 last = -1;
    for (const SimController::Request &request : first.requests()) {
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
    const Load load = underLoad(baud, parser.value(requestsOption).toInt());
    const double perSecond = load.seconds > 0 ? load.requests / load.seconds : 0;
    const double wireBound = 1000.0 / wireMs(readRequestBytes + readReplyBytes, baud);
    const double pacedBound = 1000.0 / wireMs(readReplyBytes, baud);
    out << "### 32 clients on one 115200 line\n\n"
        << "32 clients at once, each reading as soon as it has its answer, on a virtual line paced at 115200 baud "
           "with two controllers polled every "
        << pollIntervalMs
        << " ms. The wire bound is a one-register read's 15 "
           "bytes (8 request, 7 reply) at 10 bits a byte; the virtual line paces only the replies, so its own bound is "
           "the reply alone. The polls take their share of the line too. Target: "
        << QString::fromUtf8("≥ 0.9 × the bound.\n\n")
        << "| Requests | Failed | Seconds | Requests/s | Wire bound/s | Ratio | Bound of the paced replies/s | Ratio "
           "| Target |\n|---|---|---|---|---|---|---|---|---|\n"
        << "| " << load.requests << " | " << load.failures << " | " << number(load.seconds) << " | "
        << number(perSecond, 0) << " | " << number(wireBound, 0) << " | " << BenchStats::ratio(perSecond / wireBound)
        << " | " << number(pacedBound, 0) << " | " << BenchStats::ratio(perSecond / pacedBound) << " | "
        << BenchStats::verdict(perSecond >= 0.9 * wireBound) << " on the wire bound, "
        << BenchStats::verdict(perSecond >= 0.9 * pacedBound) << " on the paced replies |\n\n";
    out << "### Poll beat under that load\n\n"
        << "The time between two polls of controller 1 while the 32 clients read, as the controller heard them "
           "(due every "
        << pollIntervalMs << " ms).\n\n"
        << "| Polls | Median ms | p99 ms | Longest ms |\n|---|---|---|---|\n"
        << "| " << load.pollGapsMs.size() << " | " << number(median(load.pollGapsMs)) << " | "
        << number(percentile(load.pollGapsMs, 99)) << " | " << number(percentile(load.pollGapsMs, 100)) << " |\n\n";
    return 0;
}
