// The bridge's benchmark: the real vortanix-bridge as a process, against
// virtual lines in this process and Debian's mosquitto on loopback, measured
// from outside:
//  1. poll → state: from the moment the virtual controller has a status
//     request (its trace line, just before its reply starts) to the moment a
//     subscriber has the state message, median and 99th percentile;
//  2. controllers per line at 2 Hz: the polls a saturated line carries per
//     second, halved, against the wire bound, at 9600 and 115200 baud;
//  3. resident memory and open file descriptors of the bridge over 100,000
//     state messages.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-bridge-bench [--samples N] [--messages N] [--only latency,saturation,memory]

#include "benchstats.h"
#include "bridgerig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

using BenchStats::median;
using BenchStats::percentile;
using BenchStats::wireMs;

constexpr int requestBytes = 8;
constexpr int replyBytes = 29; // the twelve status registers

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void progress(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

QString number(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

// Starts a bridge on one line "a" of a rig; false (and a message) when it does not come up.
// The bridge on line "a" at `baud` (0: the line takes any rate; the bridge's default).
bool startBridge(BridgeRig &rig, const QString &addresses, int intervalMs, int baud = 0)
{
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("bench"), QStringLiteral("discovery=false"))
        + QStringLiteral("[bridge]\npoll_interval_ms=%1\n").arg(intervalMs)
        + rig.lineSection(QStringLiteral("a"), addresses, baud > 0 ? QStringLiteral("baud=%1").arg(baud) : QString()));
    if (rig.bridge().start() && rig.bridge().waitForLog(QStringLiteral("connected to the broker")))
        return true;
    progress(QStringLiteral("the bridge did not come up: ") + rig.bridge().log());
    return false;
}

struct Latency
{
    QString line;
    std::vector<double> ms;
};

// Poll → state on a line with one controller, polled every 50 ms.
Latency pollToState(int baud, int samples)
{
    Latency result;
    result.line
        = baud == 0 ? QStringLiteral("as fast as the pseudo-terminal goes") : QStringLiteral("%1 baud").arg(baud);
    progress(QStringLiteral("poll → state, %1: %2 samples").arg(result.line).arg(samples));
    BridgeRig rig;
    TestBroker::Options quiet;
    quiet.packetLog = false;
    if (!rig.broker().start(quiet))
        return result;
    VirtualLine &line = rig.addLine(QStringLiteral("a"), {1});
    line.setPacingBaud(baud);
    line.setBaud(baud); // the controllers answer at their own rate only
    auto requests = std::make_shared<std::pair<std::mutex, std::vector<qint64>>>();
    line.setTraceSink([requests](const QString &trace) {
        if (!trace.contains(QLatin1String(" rx ")))
            return;
        const qint64 now = steadyNs();
        std::lock_guard<std::mutex> lock(requests->first);
        requests->second.push_back(now);
    });
    auto probe = rig.probe(QStringLiteral("vortanix/a-1/state"));
    const int warmUp = 10;
    if (!probe || !startBridge(rig, QStringLiteral("1"), 50, baud) || !probe->waitForCount(samples + warmUp, 600000))
        return result;
    rig.bridge().terminate();
    std::vector<qint64> sent;
    {
        std::lock_guard<std::mutex> lock(requests->first);
        sent = requests->second;
    }
    // Every poll gives one state, in order. The first states after the
    // warm-up find their poll as the latest request before them (50 ms
    // apart, far more than a state takes); the rest follow one for one.
    const QList<MqttProbe::Message> states = probe->messages();
    const qint64 first = states.at(warmUp).receivedNs;
    size_t poll = size_t(std::upper_bound(sent.begin(), sent.end(), first) - sent.begin()) - 1;
    for (int i = warmUp; i < states.size() && poll < sent.size(); ++i, ++poll)
        result.ms.push_back((states.at(i).receivedNs - sent[poll]) / 1e6);
    return result;
}

struct Saturation
{
    int baud = 0;
    int controllers = 0;
    double pollsPerSecond = 0;
};

// A line with more controllers than it can poll at 2 Hz: the polls it carries per second.
Saturation saturate(int baud)
{
    Saturation result;
    result.baud = baud;
    const double boundControllers = 1000.0 / wireMs(requestBytes + replyBytes, baud) / 2;
    result.controllers = std::min(247, int(boundControllers * 1.5) + 2);
    progress(QStringLiteral("saturation at %1 baud: %2 controllers every 500 ms").arg(baud).arg(result.controllers));
    BridgeRig rig;
    TestBroker::Options quiet;
    quiet.packetLog = false;
    if (!rig.broker().start(quiet))
        return result;
    QList<quint8> addresses;
    for (int a = 1; a <= result.controllers; ++a)
        addresses.append(quint8(a));
    VirtualLine &line = rig.addLine(QStringLiteral("a"), addresses);
    line.setPacingBaud(baud);
    line.setBaud(baud); // the controllers answer at their own rate only
    if (!startBridge(rig, QStringLiteral("1-%1").arg(result.controllers), 500, baud))
        return result;
    // The first controller hears every request on the line, with its time.
    SimController first = rig.controller(QStringLiteral("a"), 1);
    const int window = baud >= 57600 ? 2000 : 300;
    first.waitForRequests(2 * result.controllers, 600000); // two rounds to settle
    first.clearRequests();
    if (first.waitForRequests(window, 600000)) {
        const QList<SimController::Request> heard = first.requests();
        const double seconds = (heard.last().timeUs - heard.first().timeUs) / 1e6;
        result.pollsPerSecond = (heard.size() - 1) / seconds;
    }
    rig.bridge().terminate();
    return result;
}

struct Footprint
{
    int messages = 0;
    qint64 rssKiB = 0;
    int descriptors = 0;
    double seconds = 0;
};

Footprint footprintOf(qint64 pid, int messages, double seconds)
{
    Footprint f;
    f.messages = messages;
    f.seconds = seconds;
    f.rssKiB = BenchStats::residentKiB(pid);
    f.descriptors = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size();
    return f;
}

// Twenty controllers polled as fast as the line goes, until `messages` states are out.
QList<Footprint> memoryOver(int messages)
{
    QList<Footprint> samples;
    progress(QStringLiteral("memory and descriptors over %1 state messages").arg(messages));
    BridgeRig rig;
    TestBroker::Options quiet;
    quiet.packetLog = false;
    if (!rig.broker().start(quiet))
        return samples;
    rig.addLine(QStringLiteral("a"), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20});
    auto probe = rig.probe(QStringLiteral("vortanix/+/state"));
    if (!probe)
        return samples;
    probe->setKeep(false);
    if (!startBridge(rig, QStringLiteral("1-20"), 10))
        return samples;
    const qint64 started = steadyNs();
    for (int step = 1; step <= 10; ++step) {
        const int target = messages / 10 * step;
        if (!probe->waitForTotal(target, 3600000))
            break;
        samples.append(footprintOf(rig.bridge().pid(), probe->count(), (steadyNs() - started) / 1e9));
        progress(QStringLiteral("  %1 messages").arg(probe->count()));
    }
    rig.bridge().terminate();
    return samples;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption samplesOption(QStringLiteral("samples"),
        QStringLiteral("Poll → state samples per line speed."), QStringLiteral("N"), QStringLiteral("400"));
    const QCommandLineOption messagesOption(QStringLiteral("messages"),
        QStringLiteral("State messages of the memory run."), QStringLiteral("N"), QStringLiteral("100000"));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"), QStringLiteral("Sections: latency, saturation, memory."), QStringLiteral("LIST"));
    parser.addOptions({samplesOption, messagesOption, onlyOption});
    parser.process(application);
    const QStringList only = parser.value(onlyOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    const auto wanted = [&only](const char *name) { return only.isEmpty() || only.contains(QLatin1String(name)); };

    QTextStream out(stdout);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    out.setCodec("UTF-8"); // Qt 6 writes UTF-8 always
#endif
    out << "## vortanix-bridge\n\n"
        << "The real `vortanix-bridge` as a process, virtual lines in the benchmark's process and Debian's "
           "`mosquitto` on loopback, measured from outside (`vortanix-bridge-bench`).\n\n";

    if (wanted("latency")) {
        out << QString::fromUtf8("### Poll → state message\n\n")
            << "From the moment the virtual controller has a status request (just before its reply starts) to the "
               "moment a subscriber on the same broker has the state message: the reply on the line, the bridge, "
               "the broker and the subscriber. One controller, polled every 50 ms.\n\n"
            << "| Line | Samples | Median ms | p99 ms | Longest ms |\n|---|---|---|---|---|\n";
        for (int baud : {0, 115200}) {
            const Latency latency = pollToState(baud, parser.value(samplesOption).toInt());
            out << "| " << latency.line << " | " << latency.ms.size() << " | " << number(median(latency.ms)) << " | "
                << number(percentile(latency.ms, 99)) << " | " << number(percentile(latency.ms, 100)) << " |\n";
        }
        out << "\n";
        out.flush();
    }

    if (wanted("saturation")) {
        out << "### Controllers per line at 2 Hz\n\n"
            << "More controllers on a paced virtual line than it can poll twice a second, each due every 500 ms: the "
               "line runs saturated, and the polls it carries per second, halved, are the controllers it serves at "
               "2 Hz. The wire bound is a status poll's "
            << requestBytes + replyBytes << " bytes (" << requestBytes << " request, " << replyBytes
            << " reply) at 10 bits a byte with no gap. The virtual "
               "line paces only the replies (a request reaches it at once), so its own bound is the reply alone; "
               "on a real line the request's time comes on top.\n\n"
            << "| Baud | Controllers on the line | Polls/s carried | At 2 Hz | Wire bound at 2 Hz | Ratio | Bound of "
               "the paced replies at 2 Hz | Ratio | Estimate on a real line (wire bound times that ratio) |\n"
               "|---|---|---|---|---|---|---|---|---|\n";
        for (int baud : {9600, 115200}) {
            const Saturation s = saturate(baud);
            const double wire = 1000.0 / wireMs(requestBytes + replyBytes, baud) / 2;
            const double paced = 1000.0 / wireMs(replyBytes, baud) / 2;
            const double atTwo = s.pollsPerSecond / 2;
            out << "| " << baud << " | " << s.controllers << " | " << number(s.pollsPerSecond, 1) << " | " << int(atTwo)
                << " | " << number(wire, 1) << " | " << number(atTwo / wire) << " | " << number(paced, 1) << " | "
                << number(atTwo / paced) << " | " << int(wire * atTwo / paced) << " |\n";
        }
        out << "\n";
        out.flush();
    }

    if (wanted("memory")) {
        const QList<Footprint> samples = memoryOver(parser.value(messagesOption).toInt());
        out << "### Memory and file descriptors over " << parser.value(messagesOption) << " state messages\n\n"
            << "Twenty controllers on one virtual line (not paced), polled as fast as it goes; the bridge's resident "
               "memory (VmRSS) and open file descriptors as the messages reach a subscriber.\n\n"
            << "| State messages | Seconds | Resident KiB | Descriptors |\n|---|---|---|---|\n";
        for (const Footprint &f : samples)
            out << "| " << f.messages << " | " << number(f.seconds, 1) << " | " << f.rssKiB << " | " << f.descriptors
                << " |\n";
        if (samples.size() >= 2) {
            out << "\nFrom the first row to the last: resident memory "
                << (samples.last().rssKiB - samples.first().rssKiB) << " KiB, descriptors "
                << (samples.last().descriptors - samples.first().descriptors) << ".\n";
        }
        out << "\n";
    }
    return 0;
}
