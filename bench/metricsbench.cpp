// The bridge's metrics benchmark: the real vortanix-bridge as a process with
// 250 controllers on two virtual lines (125 each), HTTP its only front-end,
// scraped from loopback as scrapers scrape it:
//  1. scrape time, from connect to the last byte: a new connection each time,
//     plain as curl asks (16 KiB reads) and gzip as Prometheus asks (4 KiB
//     reads), and the same two by the curl program, all four taking turns;
//  2. what the bridge's main thread spends on a scrape: writing the page and
//     compressing it (the same MetricsPage and GzipEncoder, in this process,
//     on a hub fed the same 250 readings);
//  3. the bridge's resident memory, before and after the scrapes.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-metrics-bench [--scrapes N]

#include "benchstats.h"
#include "bridgerig.h"
#include "gzipencoder.h"
#include "httpclient.h"
#include "hubrig.h"
#include "linejob.h"
#include "metricspage.h"
#include "scraper.h"

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
constexpr double targetMedianMs = 5.0;
constexpr double targetP99Ms = 10.0;
constexpr int curlReadBytes = 16 * 1024; // curl's receive buffer
constexpr int prometheusGzipReadBytes = 4 * 1024; // the buffer Prometheus' gzip reader reads through

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

// What the bridge's main thread spends on a scrape of 250 controllers that
// answered: the page, and the page compressed.
struct PageTimes
{
    std::vector<double> page;
    std::vector<double> gzip;
    int bytes = 0;
    int gzipBytes = 0;
};

PageTimes pageTimes(int samples)
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
    GzipEncoder gzip;
    PageTimes times;
    for (int i = 0; i < samples; ++i) {
        auto start = Clock::now();
        const QByteArray page = metrics.exposition();
        times.page.push_back(msSince(start));
        start = Clock::now();
        times.gzipBytes = gzip.encode(page).size();
        times.gzip.push_back(msSince(start));
        times.bytes = page.size();
    }
    return times;
}

// The scrapes of one kind: their times and what the last one brought.
struct Series
{
    Series(const char *client, const char *encoding)
        : client(QString::fromUtf8(client)), encoding(QString::fromLatin1(encoding))
    {
    }

    QString client;
    QString encoding;
    std::vector<double> ms;
    int bytes = 0;
    bool failed = false;
};

QString row(const Series &series, bool withTarget)
{
    const double medianMs = median(series.ms);
    const double p99Ms = percentile(series.ms, 99);
    QString text = QStringLiteral("| %1 | %2 | %3 | %4 | %5 |")
                       .arg(series.client, series.encoding)
                       .arg(series.bytes)
                       .arg(BenchStats::ms(medianMs), BenchStats::ms(p99Ms));
    if (withTarget)
        text += QStringLiteral(" %1 | %2 | %3 |")
                    .arg(BenchStats::verdict(medianMs <= targetMedianMs), BenchStats::verdict(p99Ms <= targetP99Ms))
                    .arg(series.ms.size());
    else
        text += QStringLiteral(" | | %1 |").arg(series.ms.size());
    return text;
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
        QStringLiteral("[mqtt]\nenabled=false\n[http]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=1000\n")
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
    const bool haveCurl = Scraper::curl(port, false).status == 200;
    std::vector<Series> series
        = {{"scraper, 16 KiB reads (as curl)", "plain"}, {"scraper, 4 KiB reads (as Prometheus)", "gzip"},
            {"curl (time_total)", "plain"}, {"curl (time_total)", "gzip"}};
    const size_t kinds = haveCurl ? series.size() : 2;
    // The kinds take turns, the first of each round another, so that the
    // machine's load falls on all of them alike.
    for (int i = 0; i < scrapes; ++i) {
        for (size_t k = 0; k < kinds; ++k) {
            const size_t kind = (size_t(i) + k) % kinds;
            Scrape scrape;
            if (kind == 0)
                scrape = Scraper::fetch(port, Scraper::curlRequest(port), curlReadBytes);
            else if (kind == 1)
                scrape = Scraper::fetch(port, Scraper::prometheusRequest(port), prometheusGzipReadBytes);
            else
                scrape = Scraper::curl(port, kind == 3);
            Series &s = series.at(kind);
            if (scrape.status != 200 || scrape.gzip != (s.encoding == QLatin1String("gzip"))) {
                progress(QStringLiteral("%1, %2: answered %3").arg(s.client, s.encoding).arg(scrape.status));
                return 1;
            }
            s.ms.push_back(scrape.ms);
            s.bytes = scrape.bodyBytes;
        }
    }
    const qint64 rssAfter = BenchStats::residentKiB(rig.bridge().pid());
    rig.bridge().terminate();
    const PageTimes pages = pageTimes(scrapes);

    QTextStream out(stdout);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    out.setCodec("UTF-8"); // Qt 6 writes UTF-8 always
#endif
    out << "\n### Metrics: scrape with 250 controllers\n\n"
        << "The real bridge with 250 controllers on two virtual lines (125 each, polled every second), HTTP its only "
           "front-end, scraped from loopback as scrapers do it: a new connection each time, timed from connect to "
           "the last byte of the body. *Scraper* is the benchmark's own client, which reads as curl does (16 KiB at a "
           "time, plain) or as Prometheus does (`Accept-Encoding: gzip`, 4 KiB at a time through its gzip reader); "
           "*curl* is the curl program's own time (`time_total`; for gzip the body as it came, not unpacked). The "
           "four take turns, "
        << scrapes << QString::fromUtf8(" rounds. Target: median ≤ ") << BenchStats::ms(targetMedianMs, 0)
        << QString::fromUtf8(" ms and p99 ≤ ") << BenchStats::ms(targetP99Ms, 0) << " ms, plain and compressed.\n\n"
        << QString::fromUtf8(
               "| Client | Encoding | Body bytes | Median ms | p99 ms | Median ≤ 5 ms | p99 ≤ 10 ms | n |\n")
        << "|---|---|---:|---:|---:|---|---|---:|\n";
    for (size_t k = 0; k < kinds; ++k)
        out << row(series.at(k), true) << "\n";
    if (!haveCurl)
        out << "\ncurl is not installed: its rows are missing.\n";
    out << "\nWhat the bridge's main thread spends on one scrape of the same 250 controllers, in this process (the "
           "same page and encoder as the bridge's):\n\n"
        << "| Step | Bytes | Median ms | p99 ms | n |\n|---|---:|---:|---:|---:|\n"
        << "| writing the page | " << pages.bytes << " | " << BenchStats::ms(median(pages.page)) << " | "
        << BenchStats::ms(percentile(pages.page, 99)) << " | " << pages.page.size() << " |\n"
        << "| compressing it (gzip, level 1) | " << pages.gzipBytes << " | " << BenchStats::ms(median(pages.gzip))
        << " | " << BenchStats::ms(percentile(pages.gzip, 99)) << " | " << pages.gzip.size() << " |\n\n"
        << "Resident memory of the bridge with HTTP on: " << rssBefore << " KiB before the scrapes, " << rssAfter
        << " KiB after " << scrapes * int(kinds)
        << ".\n\nWhere a scrape's time went before the listener was reworked, and what changed: docs/development.md.\n";
    return 0;
}
