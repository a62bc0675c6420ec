// vortanix-ctl's benchmark, against a virtual line on a pseudo-terminal that
// paces its replies at the baud rate:
//  1. the status read as vortanix-ctl makes it (the controller library on a
//     port held open) against libmodbus's modbus_read_registers of the same
//     twelve registers, its port held open too, in alternating blocks;
//  2. a whole `vortanix-ctl scan` of 247 addresses at 115200 baud against the
//     sum of each address's wire time and wait;
//  3. the time from starting the vortanix-ctl process to its first request
//     arriving at the controller;
//  4. the frame gap: the silence between the end of a reply and the next
//     request, from the line's own time stamps, for back-to-back reads.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-ctl-bench [--blocks N] [--scans N] [--starts N]

#include "benchstats.h"
#include "controller.h"
#include "framegap.h"
#include "protocol.h"
#include "registers.h"
#include "seriallink.h"
#include "simtracelog.h"
#include "virtualline.h"

#include <modbus.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace BenchStats;

// The waits vortanix-ctl gives a reply by default (50 ms for reads, on top of
// the request's wire time rounded up to a millisecond).
constexpr int defaultTimeoutMs = 50;
constexpr int statusReplyBytes = readReplyLength(StatusBlockCount);
constexpr int requestBytes = 8;
constexpr int scanAddresses = 247;

struct Options
{
    int blocks = 10; // alternating blocks of reads per baud rate
    int scans = 3;
    int starts = 20;
};

struct Target
{
    QString what;
    QString measured;
    QString limit;
    bool met;
};

struct GapRow
{
    int baud;
    double requiredMs;
    std::vector<double> gaps, reads;
};

struct ReadRow
{
    int baud;
    std::vector<double> ours, theirs;
    int ourFailures = 0, theirFailures = 0;
};

class CtlBench
{
public:
    explicit CtlBench(const Options &options) : opt(options) { }

    bool setUp();
    void reads(int baud);
    void scans();
    void starts();
    void frameGaps(int baud);
    QString report();

private:
    void section(const QString &title) { std::fprintf(stderr, "== %s\n", qPrintable(title)); }
    // The line's clock (microseconds since it started) as steady_clock nanoseconds.
    bool calibrate(qint64 *offsetNs);

    Options opt;
    VirtualLine line;
    SimController first = line.addController(1);
    SimController last = line.addController(200);
    std::vector<ReadRow> readRows;
    std::vector<GapRow> gapRows;
    std::vector<double> scanTimes;
    int scanFound = -1;
    std::vector<double> startTimes, wholeRuns;
    int startFailures = 0;
    std::vector<Target> targets;
};

bool CtlBench::setUp()
{
    if (!line.start()) {
        std::fprintf(stderr, "the virtual line did not start\n");
        return false;
    }
    return true;
}

// Blocks of reads, ours and libmodbus's by turns, each holding the port for its block.
void CtlBench::reads(int baud)
{
    section(QStringLiteral("status read at %1 baud").arg(baud));
    line.setPacingBaud(baud);
    line.setBaud(baud); // the controllers answer at their own rate only
    const int perBlock = baud >= 115200 ? 50 : 15;
    ReadRow row{baud, {}, {}};
    const QByteArray path = line.portPath().toLocal8Bit();
    Protocol protocol;
    for (int block = 0; block < opt.blocks; ++block) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (block + turn) % 2 == 0;
            if (oursNow) {
                SerialLink link;
                if (!link.open(line.portPath(), baud)) {
                    ++row.ourFailures;
                    continue;
                }
                Controller controller(link, protocol, 1);
                for (int i = -1; i < perBlock; ++i) { // the first one warms up
                    StatusBlock status;
                    const auto start = Clock::now();
                    const bool ok = controller.readStatus(&status).kind == Outcome::Ok;
                    const double t = msSince(start);
                    if (!ok)
                        ++row.ourFailures;
                    else if (i >= 0)
                        row.ours.push_back(t);
                }
            } else {
                modbus_t *peer = modbus_new_rtu(path.constData(), baud, 'N', 8, 1);
                if (!peer || modbus_set_slave(peer, 1) != 0 || modbus_connect(peer) != 0) {
                    ++row.theirFailures;
                    if (peer)
                        modbus_free(peer);
                    continue;
                }
                modbus_set_response_timeout(peer, 0, 500000);
                for (int i = -1; i < perBlock; ++i) {
                    uint16_t registers[StatusBlockCount];
                    const auto start = Clock::now();
                    const bool ok = modbus_read_registers(peer, StatusBlockFirst, StatusBlockCount, registers)
                        == StatusBlockCount;
                    const double t = msSince(start);
                    if (!ok)
                        ++row.theirFailures;
                    else if (i >= 0)
                        row.theirs.push_back(t);
                }
                modbus_close(peer);
                modbus_free(peer);
            }
        }
    }
    readRows.push_back(row);
}

// The whole program, started as a script would, scanning one rate.
void CtlBench::scans()
{
    section(QStringLiteral("scan of %1 addresses at 115200 baud").arg(scanAddresses));
    line.setPacingBaud(115200);
    line.setBaud(115200); // the controllers answer at their own rate only
    for (int run = 0; run < opt.scans; ++run) {
        QProcess process;
        const auto start = Clock::now();
        process.start(QStringLiteral(VORTANIX_CTL_PATH),
            {QStringLiteral("--port"), line.portPath(), QStringLiteral("--json"), QStringLiteral("scan"),
                QStringLiteral("--bauds"), QStringLiteral("115200"), QStringLiteral("--addresses"),
                QStringLiteral("1-%1").arg(scanAddresses)});
        if (!process.waitForFinished(120000) || process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(5000);
            std::fprintf(stderr, "scan run %d failed: %s\n", run, process.readAllStandardError().constData());
            continue;
        }
        scanTimes.push_back(msSince(start));
        scanFound = process.readAllStandardOutput().count('\n');
    }
}

bool CtlBench::calibrate(qint64 *offsetNs)
{
    // A request sent from here at a known moment, taken as the line logs it.
    const QByteArray marker = QByteArray::fromHex("FA0300010001");
    quint8 frame[8];
    const quint16 length = Protocol().buildReadHoldingRegisters(250, StatusBlockFirst, 1, frame);
    const int fd = ::open(line.portPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    first.clearRequests();
    const long long sent
        = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    const bool written = ::write(fd, frame, length) == length;
    ::close(fd);
    if (!written || !first.waitForRequests(1, 5000) || !first.requests().first().frame.startsWith(marker))
        return false;
    *offsetNs = sent - first.requests().first().timeUs * 1000;
    return true;
}

// From the moment the process is started to its first request at the
// controller, on an unpaced line; the line's time stamps are put on this
// process's clock by a request sent from here just before.
void CtlBench::starts()
{
    section(QStringLiteral("start to first request"));
    line.setPacingBaud(0);
    const QStringList arguments{QStringLiteral("--port"), line.portPath(), QStringLiteral("status")};
    for (int run = -2; run < opt.starts; ++run) { // two to warm the page cache
        qint64 offsetNs = 0;
        if (!calibrate(&offsetNs)) {
            ++startFailures;
            continue;
        }
        first.clearRequests();
        QProcess process;
        const auto start = Clock::now();
        process.start(QStringLiteral(VORTANIX_CTL_PATH), arguments);
        const bool ok = process.waitForFinished(30000) && process.exitCode() == 0 && first.waitForRequests(1, 5000);
        const double whole = msSince(start);
        if (!ok) {
            process.kill();
            process.waitForFinished(5000);
            ++startFailures;
            continue;
        }
        const qint64 startNs = std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
        const qint64 requestNs = first.requests().first().timeUs * 1000 + offsetNs;
        if (run >= 0) {
            startTimes.push_back((requestNs - startNs) / 1e6);
            wholeRuns.push_back(whole);
        }
    }
}

// Back-to-back status reads on a line that sends each reply in one write:
// the line's trace tells when a reply went out ("tx") and when the next
// request was in ("rx"); the silence between them is the frame gap kept.
void CtlBench::frameGaps(int baud)
{
    section(QStringLiteral("frame gap at %1 baud").arg(baud));
    line.setPacingBaud(0); // unpaced: a reply's time stamp is its last byte's too
    line.setBaud(baud);
    SimTraceLog trace;
    line.setTraceSink(trace.sink());
    GapRow row{baud, FrameGap(baud).gapNs() / 1e6, {}, {}};
    SerialLink link;
    if (link.open(line.portPath(), baud)) {
        Protocol protocol;
        Controller controller(link, protocol, 1);
        controller.setWaits(Controller::Waits().plusWireTime(baud));
        for (int i = 0; i < 100; ++i) {
            StatusBlock status;
            const auto start = Clock::now();
            if (controller.readStatus(&status).kind == Outcome::Ok)
                row.reads.push_back(msSince(start));
        }
    }
    line.setTraceSink(nullptr);
    double replyEndMs = -1;
    for (const QString &text : trace.lines()) {
        const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() < 3)
            continue;
        const double atMs = words.at(0).toDouble() * 1000;
        if (words.at(1) == QLatin1String("tx")) {
            replyEndMs = atMs;
        } else if (words.at(1) == QLatin1String("rx") && replyEndMs >= 0) {
            row.gaps.push_back(atMs - replyEndMs);
            replyEndMs = -1;
        }
    }
    gapRows.push_back(row);
}

QString CtlBench::report()
{
    QString out = QStringLiteral("\n## vortanix-ctl\n\n");
    out += QStringLiteral(
        "### Status read against libmodbus\n\n"
        "The status read of vortanix-ctl (the controller library's `Controller::readStatus` on a `SerialLink`, the "
        "port held open, input cleared before each request) and libmodbus %1 (`modbus_read_registers` of the same "
        "twelve registers, connected once) against the same controller on a line paced at the baud rate. They take "
        "turns in blocks, each holding the port for its block (%2 blocks each); neither reopens the port between "
        "reads.\n\n"
        "| Baud | vortanix-ctl median ms | p99 ms | libmodbus median ms | p99 ms | Ratio of medians | n |\n"
        "|---:|---:|---:|---:|---:|---:|---:|\n")
               .arg(QStringLiteral(LIBMODBUS_VERSION_STRING))
               .arg(opt.blocks);
    for (const ReadRow &row : readRows) {
        const double ours = median(row.ours);
        const double theirs = median(row.theirs);
        out += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 + %8%9 |\n")
                   .arg(row.baud)
                   .arg(ms(ours), ms(percentile(row.ours, 99)), ms(theirs), ms(percentile(row.theirs, 99)),
                       ratio(ours / theirs))
                   .arg(row.ours.size())
                   .arg(row.theirs.size())
                   .arg(row.ourFailures + row.theirFailures
                           ? QStringLiteral(" (%1 + %2 failed)").arg(row.ourFailures).arg(row.theirFailures)
                           : QString());
        // libmodbus keeps no frame gap between requests; ours does, and back-to-back reads pay it.
        const double gapMs = FrameGap(row.baud).gapNs() / 1e6;
        const double fair = theirs + gapMs;
        targets.push_back({QStringLiteral("status read ≤ 1.05 × (libmodbus + the frame gap) at %1 baud").arg(row.baud),
            QStringLiteral("%1 × (%2 vs %3 + %4 ms)").arg(ratio(ours / fair), ms(ours), ms(theirs), ms(gapMs)),
            QStringLiteral("1.05 ×"), ours / fair <= 1.05});
    }

    if (!scanTimes.empty()) {
        // Per address: the request's wire time, and the wait vortanix-ctl gives a reply.
        const double waitMs = defaultTimeoutMs + std::ceil(wireMs(requestBytes, 115200));
        const double bound = scanAddresses * (wireMs(requestBytes, 115200) + waitMs);
        const double med = median(scanTimes);
        out += QStringLiteral(
            "\n### Scan\n\n"
            "`vortanix-ctl --json scan --bauds 115200` as a process, from its start to its end, on a line paced at "
            "115200 baud with controllers at 1 and 200 (found: %1). Every address gets the request's wire time "
            "(%2 ms) and a wait of %3 ms (the default 50 ms on top of the request's wire time, rounded up); the "
            "bound is Σ (wire time + wait) over the %4 addresses = %5 ms. The two controllers answer within their "
            "wait, which the bound does not count on.\n\n"
            "| Runs | Median ms | Min ms | Max ms | Per address ms | Median ÷ bound "
            "|\n|---:|---:|---:|---:|---:|---:|\n"
            "| %6 | %7 | %8 | %9 | %10 | %11 |\n")
                   .arg(scanFound)
                   .arg(ms(wireMs(requestBytes, 115200), 3), ms(waitMs, 0))
                   .arg(scanAddresses)
                   .arg(ms(bound, 0))
                   .arg(scanTimes.size())
                   .arg(ms(med, 0), ms(percentile(scanTimes, 0), 0), ms(percentile(scanTimes, 100), 0),
                       ms(med / scanAddresses), ratio(med / bound));
        targets.push_back({QStringLiteral("scan of 247 addresses ≤ 1.1 × Σ (wire time + wait) at 115200 baud"),
            QStringLiteral("%1 × (%2 vs %3 ms)").arg(ratio(med / bound), ms(med, 0), ms(bound, 0)),
            QStringLiteral("1.1 ×"), med / bound <= 1.1});
    }

    if (!startTimes.empty()) {
        const double med = median(startTimes);
        out += QStringLiteral(
            "\n### Start to first request\n\n"
            "`vortanix-ctl --port PATH status` started %1 times (after two warm-up runs): from the moment before "
            "the process is started (steady clock) to the moment the controller has the whole request (the line's "
            "log, put on the same clock by a request sent from the benchmark just before). The whole run, to the "
            "process's end, for comparison.\n\n"
            "| | Median ms | Min ms | Max ms |\n|---|---:|---:|---:|\n"
            "| start → first request | %2 | %3 | %4 |\n| whole run | %5 | %6 | %7 |\n")
                   .arg(startTimes.size())
                   .arg(ms(med), ms(percentile(startTimes, 0)), ms(percentile(startTimes, 100)), ms(median(wholeRuns)),
                       ms(percentile(wholeRuns, 0)), ms(percentile(wholeRuns, 100)));
        if (startFailures)
            out += QStringLiteral("\n%1 runs failed.\n").arg(startFailures);
        targets.push_back({QStringLiteral("process start to first request ≤ 30 ms"),
            ms(med) + QStringLiteral(" ms (median)"), QStringLiteral("30 ms"), med <= 30.0});
    }

    if (!gapRows.empty()) {
        out += QStringLiteral(
            "\n### Frame gap\n\n"
            "100 status reads back to back through the controller library (its waits at the baud rate) on a "
            "line at that rate that sends each reply in one write. From the line's trace: a reply going out to the "
            "next request being in. A pseudo-terminal carries the request at once, so this is the silence the "
            "program kept. Required: 3.5 characters of 11 bits, 1.75 ms above 19200 baud. The gap is also the "
            "cost: at most the required time per request, less what the program spends between a reply and the "
            "next request anyway; the read time here has no wire time in it.\n\n"
            "| Baud | Required ms | Min gap ms | Median gap ms | Median read ms | Required ÷ read | n |\n"
            "|---:|---:|---:|---:|---:|---:|---:|\n");
        for (const GapRow &row : gapRows) {
            const double least = row.gaps.empty() ? 0 : percentile(row.gaps, 0);
            const double read = median(row.reads);
            out += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |\n")
                       .arg(row.baud)
                       .arg(ms(row.requiredMs, 3), ms(least, 3), ms(median(row.gaps), 3), ms(read),
                           QStringLiteral("%1 %").arg(100.0 * row.requiredMs / read, 0, 'f', 0))
                       .arg(row.gaps.size());
            targets.push_back({QStringLiteral("frame gap ≥ 3.5 characters at %1 baud").arg(row.baud),
                ms(least, 3) + QStringLiteral(" ms (least)"), ms(row.requiredMs, 3) + QStringLiteral(" ms"),
                !row.gaps.empty() && least >= row.requiredMs});
        }
    }

    out += QStringLiteral("\n### vortanix-ctl targets\n\n| Target | Measured | Limit | |\n|---|---|---|---|\n");
    for (const Target &t : targets)
        out += QStringLiteral("| %1 | %2 | %3 | %4 |\n").arg(t.what, t.measured, t.limit, verdict(t.met));
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures vortanix-ctl's status read, scan, start-up and frame gap."));
    parser.addHelpOption();
    const QCommandLineOption blocks(QStringLiteral("blocks"), QStringLiteral("Blocks of reads per side and rate."),
        QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption scans(
        QStringLiteral("scans"), QStringLiteral("Runs of the whole scan."), QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption starts(QStringLiteral("starts"), QStringLiteral("Runs of the start-up measurement."),
        QStringLiteral("n"), QStringLiteral("20"));
    parser.addOptions({blocks, scans, starts});
    parser.process(application);

    Options options;
    options.blocks = std::max(1, parser.value(blocks).toInt());
    options.scans = std::max(1, parser.value(scans).toInt());
    options.starts = std::max(1, parser.value(starts).toInt());

    CtlBench bench(options);
    if (!bench.setUp())
        return 1;
    bench.reads(9600);
    bench.reads(115200);
    bench.scans();
    bench.starts();
    bench.frameGaps(9600);
    bench.frameGaps(115200);
    const QByteArray text = bench.report().toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return 0;
}
