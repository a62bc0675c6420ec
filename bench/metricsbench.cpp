// The bridge's metrics benchmark: the real vortanix-bridge as a process with
// 250 controllers on two virtual lines (125 each), metrics its only
// front-end, scraped over HTTP from loopback:
//  1. scrape time: GET /metrics from connect to the end of the answer, and the
//     time the bridge's main thread spends writing the page (the same
//     MetricsPage, in this process, on a hub fed the same 250 readings);
//  2. the bridge's resident memory with metrics on, before and after the scrapes.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-metrics-bench [--scrapes N]

#include "benchstats.h"
#include "bridgerig.h"
#include "httpclient.h"
#include "hubrig.h"
#include "linejob.h"
#include "metricspage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

using BenchStats::Clock;
using BenchStats::median;
using BenchStats::msSince;
using BenchStats::percentile;

constexpr int perLine = 125;
constexpr double targetMs = 5.0;

void progress(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

QList<quint8> addresses()
{
    QList<quint8> list;
    for (int a = 1; a <= perLine; ++a)
        list.append(quint8(a));
    return list;
}

// The page the bridge writes, for 250 controllers that answered.
std::vector<double> pageTimes(int samples, int *bytes)
{
    QList<LineConfig> lines;
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")}) {
        LineConfig line;
        line.name = name;
        for (quint8 address : addresses())
            line.controllers.append(ControllerConfig{QStringLiteral("%1-%2").arg(name).arg(address), address});
        lines.append(line);
    }
    HubRig rig(HubRig::config(lines));
    PollDone poll;
    poll.kind = Outcome::Ok;
    poll.text = QStringLiteral("ok");
    poll.status.setWord(RegLdTemperature, 253);
    poll.status.setWord(RegSupplyVoltage, 23950);
    poll.status.setWord(RegFirmwareVersion, 0x010A);
    poll.time = QDateTime::currentDateTime();
    poll.exchanges = {Exchange{Outcome::Ok, 0, 3000000}};
    for (int line = 0; line < lines.size(); ++line) {
        for (poll.controller = 0; poll.controller < perLine; ++poll.controller)
            rig.hub().polled(line, poll);
    }
    const MetricsPage metrics(rig.hub(), {});
    std::vector<double> times;
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        *bytes = metrics.exposition().size();
        times.push_back(msSince(start));
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption scrapesOption(
        QStringLiteral("scrapes"), QStringLiteral("Scrapes to time."), QStringLiteral("N"), QStringLiteral("200"));
    parser.addOption(scrapesOption);
    parser.addHelpOption();
    parser.process(application);
    const int scrapes = qMax(1, parser.value(scrapesOption).toInt());

    progress(QStringLiteral("metrics: 250 controllers on two lines"));
    BridgeRig rig;
    rig.addLine(QStringLiteral("a"), addresses());
    rig.addLine(QStringLiteral("b"), addresses());
    rig.bridge().writeConfig(
        QStringLiteral("[mqtt]\nenabled=false\n[metrics]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=1000\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1-%1").arg(perLine))
        + rig.lineSection(QStringLiteral("b"), QStringLiteral("1-%1").arg(perLine)));
    const quint16 port = rig.bridge().start() ? quint16(rig.bridge().metricsPort()) : 0;
    if (port == 0) {
        progress(QStringLiteral("the bridge did not come up: ") + rig.bridge().log());
        return 1;
    }
    // Every controller online: 250 samples of vortanix_controller_online, none of them 0.
    const QRegularExpression offline(QStringLiteral("vortanix_controller_online\\{[^}]*\\} 0"));
    const QDeadlineTimer deadline(120000);
    for (;;) {
        const QByteArray page = HttpClient::get(port, "/metrics").body;
        if (page.count("vortanix_controller_online{") == 2 * perLine
            && !offline.match(QString::fromUtf8(page)).hasMatch())
            break;
        if (deadline.hasExpired()) {
            progress(QStringLiteral("not every controller came online"));
            return 1;
        }
        QThread::msleep(200);
    }
    const qint64 rssBefore = BenchStats::residentKiB(rig.bridge().pid());
    std::vector<double> times;
    int bytes = 0;
    for (int i = 0; i < scrapes; ++i) {
        const auto start = Clock::now();
        const HttpReply reply = HttpClient::get(port, "/metrics");
        times.push_back(msSince(start));
        bytes = reply.body.size();
        if (reply.status != 200) {
            progress(QStringLiteral("scrape %1 answered %2").arg(i).arg(reply.status));
            return 1;
        }
    }
    const qint64 rssAfter = BenchStats::residentKiB(rig.bridge().pid());
    rig.bridge().terminate();
    int pageBytes = 0;
    const std::vector<double> pages = pageTimes(scrapes, &pageBytes);

    QTextStream out(stdout);
    out << "\n### Metrics: scrape with 250 controllers\n\n"
        << "The real bridge with 250 controllers on two virtual lines (125 each, polled every second), metrics its "
           "only front-end; GET /metrics from loopback, timed from connect to the end of the answer (a new "
           "connection each time, as Prometheus makes). *Page* is the time the bridge's main thread spends "
           "writing the text for the same 250 controllers.\n\n"
        << "| What | Bytes | Median ms | p99 ms | Target ms | | n |\n|---|---:|---:|---:|---:|---|---:|\n"
        << "| scrape over HTTP | " << bytes << " | " << BenchStats::ms(median(times)) << " | "
        << BenchStats::ms(percentile(times, 99)) << " | " << BenchStats::ms(targetMs, 0) << " | "
        << BenchStats::verdict(median(times) <= targetMs) << " | " << times.size() << " |\n"
        << "| page | " << pageBytes << " | " << BenchStats::ms(median(pages)) << " | "
        << BenchStats::ms(percentile(pages, 99)) << " | | | " << pages.size() << " |\n\n"
        << "Resident memory of the bridge with metrics on: " << rssBefore << " KiB before the scrapes, " << rssAfter
        << " KiB after " << scrapes << ".\n";
    return 0;
}
