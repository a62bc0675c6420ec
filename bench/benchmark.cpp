// The panel's benchmark. Against the virtual controller on a pseudo-terminal,
// with the controller pacing its replies at the baud rate, it measures:
//  1. exchange times of the panel's own transactions (status poll, single
//     register write, configuration block write) against the wire-time bound;
//  2. the same status read done by libmodbus on the same line, alternating
//     with the panel's;
//  3. the longest stall of the GUI thread while the panel polls;
//  4. start-up time of the panel's window against a bare QMainWindow;
//  5. the cost of the close-and-reopen that starts every exchange.
// The results go to stdout as Markdown; progress goes to stderr.
//
// Usage: vortanix-bench [--rounds-9600 N] [--rounds-115200 N] [--stall-seconds S]
//                       [--startup-runs N] [--turnaround-us US]
//                       [--only exchanges,reopen,stall,startup]

#include "benchstats.h"
#include "configblock.h"
#include "mainwindow.h"
#include "mainwindowform.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"
#include "virtualcontroller.h"

#include <modbus.h>

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <type_traits>
#include <vector>

#include <sys/vfs.h>

// The window grants its private members to a class of this name. The tests
// have their own; the benchmark brings this smaller one, which also reaches
// the configuration block write without the save button's message box.
class MainWindowTestAccess
{
public:
    static MainWindowForm *ui(MainWindow &w) { return w.ui; }
    static SPComm *spComm(MainWindow &w) { return w.spComm; }
    static QTimer *pollTimer(MainWindow &w) { return w.pollTimer; }
    static int readRegisters(MainWindow &w, quint16 first, quint16 count, quint8 *reply, quint16 &received)
    {
        return w.readRegisters(first, count, reply, received);
    }
    static int writeRegister(MainWindow &w, quint16 reg, quint16 value) { return w.writeRegister(reg, value); }
    static int writeConfigBlock(MainWindow &w, const ConfigBlock &block) { return w.writeConfigBlock(block); }
};

namespace {

using Access = MainWindowTestAccess;
using namespace BenchStats;

// Where QSerialPort keeps its lock files (the first of its candidates is
// /var/lock) and what kind of file system that is.
QString lockDirectory()
{
    const QString path = QFileInfo(QStringLiteral("/var/lock")).canonicalFilePath();
    struct statfs fs;
    if (path.isEmpty() || ::statfs(QFile::encodeName(path).constData(), &fs) != 0)
        return QStringLiteral("unknown (/var/lock is missing)");
    QString type;
    switch (quint32(fs.f_type)) {
    case 0x01021994:
        type = QStringLiteral("tmpfs, in memory");
        break;
    case 0xEF53:
        type = QStringLiteral("ext2/3/4, on disk");
        break;
    default:
        type = QStringLiteral("file system type 0x%1").arg(quint32(fs.f_type), 0, 16);
    }
    return QStringLiteral("/var/lock → %1 (%2)").arg(path, type);
}

const QString panelOpenCaption = QStringLiteral("关闭串口");

// Collects the Markdown report. Every literal in this file is UTF-8, which
// QTextStream would take for Latin-1.
class Markdown
{
public:
    Markdown &operator<<(const char *text)
    {
        buffer += QString::fromUtf8(text);
        return *this;
    }
    Markdown &operator<<(const QString &text)
    {
        buffer += text;
        return *this;
    }
    template <typename Number, typename = std::enable_if_t<std::is_arithmetic<Number>::value>>
    Markdown &operator<<(Number number)
    {
        buffer += QString::number(number);
        return *this;
    }
    void print() const
    {
        const QByteArray bytes = buffer.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    }

private:
    QString buffer;
};

struct Options
{
    int rounds9600 = 150;
    int rounds115200 = 500;
    int stallSeconds = 10;
    int startupRuns = 20;
    int turnaroundUs = 0;
};

struct Target
{
    QString what;
    QString measured;
    QString limit;
    bool met;
};

struct ExchangeRow
{
    int baud;
    QString name;
    int requestBytes;
    int replyBytes;
    std::vector<double> times;
    int failures = 0;
};

class Benchmark
{
public:
    explicit Benchmark(const Options &options) : opt(options) { }

    bool setUp();
    void exchanges(int baud, int rounds);
    void reopenCost();
    void stalls();
    void startUp();
    void report();
    bool healthy() const { return !unexpectedBox && setupOk; }

private:
    bool openPanel(int baud);
    void closePanel();
    double turnaroundMs() const { return opt.turnaroundUs / 1000.0; }
    double stallGap(int seconds, bool polling, std::vector<double> *polls);
    std::vector<double> startupRuns(const QString &program, int runs, int *failures);
    void section(const QString &title) { std::fprintf(stderr, "== %s\n", qPrintable(title)); }

    Options opt;
    Markdown out;
    VirtualController sim;
    std::unique_ptr<MainWindow> window;
    QString port;
    bool setupOk = false;
    bool unexpectedBox = false;
    QTimer modalWatch;

    std::vector<ExchangeRow> rows;
    struct PeerRow
    {
        int baud;
        std::vector<double> ours, peerRead, peerSession;
        int peerFailures = 0;
    };
    std::vector<PeerRow> peers;
    struct ReopenRow
    {
        QString step;
        std::vector<double> times;
    };
    std::vector<ReopenRow> reopenSteps;
    struct DirectRow
    {
        int baud;
        std::vector<double> withReopen, withoutReopen;
    };
    std::vector<DirectRow> direct;
    struct StallRow
    {
        QString what;
        int seconds;
        std::vector<double> polls; // how long each poll held the GUI thread
        double longestGap;
        double limit; // < 0: no target
    };
    std::vector<StallRow> stallRows;
    std::vector<double> startupPanel, startupBare, portScan;
    int startupFailures = 0;
    int portsFound = 0;
    std::vector<Target> targets;
};

bool Benchmark::setUp()
{
    if (!sim.start()) {
        std::fprintf(stderr, "the virtual controller did not start\n");
        return false;
    }
    port = sim.portPath();
    window = std::make_unique<MainWindow>();
    window->show();
    Access::pollTimer(*window)->stop();

    // No message box is expected anywhere; one that shows up would block a
    // nested event loop forever, so close it and fail the run.
    modalWatch.setInterval(100);
    QObject::connect(&modalWatch, &QTimer::timeout, [this] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::fprintf(
                stderr, "unexpected message box: %s / %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            unexpectedBox = true;
            box->done(QMessageBox::Ok);
        }
    });
    modalWatch.start();
    setupOk = openPanel(115200);
    return setupOk;
}

// Opens the link the operator's way: port, rate and address, then the button.
bool Benchmark::openPanel(int baud)
{
    closePanel();
    MainWindowForm *ui = Access::ui(*window);
    ui->lineEditRs485Id->setText(QStringLiteral("1"));
    ui->serialName->insertItem(0, port);
    ui->serialName->setCurrentIndex(0);
    ui->baudRate->setCurrentIndex(ui->baudRate->findText(QString::number(baud)));
    ui->switchSerial->click();
    return Access::spComm(*window)->isOpen() && ui->switchSerial->text() == panelOpenCaption;
}

void Benchmark::closePanel()
{
    MainWindowForm *ui = Access::ui(*window);
    if (ui->switchSerial->text() == panelOpenCaption)
        ui->switchSerial->click();
}

// Exchange times of the panel's transactions and of libmodbus, alternating.
void Benchmark::exchanges(int baud, int rounds)
{
    section(QStringLiteral("exchanges at %1 baud, %2 rounds").arg(baud).arg(rounds));
    sim.clearFault();
    sim.setPacingBaud(baud);
    sim.setBaud(baud); // the controllers answer at their own rate only
    sim.setTurnaroundUs(opt.turnaroundUs);
    if (!openPanel(baud)) {
        std::fprintf(stderr, "the panel could not open %s\n", qPrintable(port));
        setupOk = false;
        return;
    }
    MainWindow &w = *window;
    SPComm *link = Access::spComm(w);

    modbus_t *peer = modbus_new_rtu(port.toLocal8Bit().constData(), baud, 'N', 8, 1);
    if (!peer) {
        std::fprintf(stderr, "libmodbus: no context\n");
        setupOk = false;
        return;
    }
    modbus_set_slave(peer, 1);
    modbus_set_response_timeout(peer, 0, 500000);

    ExchangeRow poll{baud, QStringLiteral("status poll (read 12 registers)"), 8, readReplyLength(StatusBlockCount), {}};
    ExchangeRow single{baud, QStringLiteral("single-register write"), 8, WriteAckLength, {}};
    ExchangeRow block{baud, QStringLiteral("configuration block write"), 9 + 2 * ConfigBlockCount, WriteAckLength, {}};
    PeerRow peerRow{baud, {}, {}, {}};

    const ConfigBlock factory = ConfigBlock::factory();

    auto ours = [&](bool keep) {
        quint8 reply[readReplyLength(StatusBlockCount)] = {};
        quint16 received = 0;
        const auto start = Clock::now();
        const int rc = Access::readRegisters(w, StatusBlockFirst, StatusBlockCount, reply, received);
        const double t = msSince(start);
        if (rc != 0 || received != readReplyLength(StatusBlockCount))
            ++poll.failures;
        else if (keep) {
            poll.times.push_back(t);
            peerRow.ours.push_back(t);
        }
    };
    // libmodbus gets the port only while the panel has it closed. Its read is
    // timed alone (a master that keeps the port open) and together with its
    // own connect and close (a master that opens the port per exchange, as
    // the panel does).
    auto theirs = [&](bool keep) {
        link->closePort();
        uint16_t regs[StatusBlockCount];
        const auto start = Clock::now();
        bool ok = modbus_connect(peer) == 0;
        const auto connected = Clock::now();
        ok = ok && modbus_read_registers(peer, StatusBlockFirst, StatusBlockCount, regs) == StatusBlockCount;
        const double read = msSince(connected);
        modbus_close(peer);
        const double session = msSince(start);
        link->openPort();
        if (!ok)
            ++peerRow.peerFailures;
        else if (keep) {
            peerRow.peerRead.push_back(read);
            peerRow.peerSession.push_back(session);
        }
    };

    const int warmUp = 5;
    for (int round = -warmUp; round < rounds; ++round) {
        const bool keep = round >= 0;
        if (round % 2 == 0) {
            ours(keep);
            theirs(keep);
        } else {
            theirs(keep);
            ours(keep);
        }

        auto start = Clock::now();
        int rc = Access::writeRegister(w, RegPowerPermille, quint16((round + warmUp) % 1001));
        double t = msSince(start);
        if (rc != 0)
            ++single.failures;
        else if (keep)
            single.times.push_back(t);

        start = Clock::now();
        rc = Access::writeConfigBlock(w, factory);
        t = msSince(start);
        if (rc != 0)
            ++block.failures;
        else if (keep)
            block.times.push_back(t);
    }
    modbus_free(peer);

    rows.push_back(poll);
    rows.push_back(single);
    rows.push_back(block);
    peers.push_back(peerRow);

    // The same read straight through the link, with and without the reopen,
    // to see what the reopen adds to an exchange.
    Protocol protocol;
    quint8 request[8];
    const int requestLength = protocol.buildReadHoldingRegisters(1, StatusBlockFirst, StatusBlockCount, request);
    DirectRow directRow{baud, {}, {}};
    const int directRounds = baud >= 115200 ? 300 : 60;
    for (int round = 0; round < directRounds; ++round) {
        for (int withReopen = 0; withReopen < 2; ++withReopen) {
            char reply[readReplyLength(StatusBlockCount)];
            const auto start = Clock::now();
            if (withReopen)
                link->reopenPort();
            link->writeData(reinterpret_cast<const char *>(request), requestLength);
            const int got = link->readData(reply, readReplyLength(StatusBlockCount), 50);
            const double t = msSince(start);
            if (got == readReplyLength(StatusBlockCount))
                (withReopen ? directRow.withReopen : directRow.withoutReopen).push_back(t);
        }
    }
    direct.push_back(directRow);
}

// The reopen alone and its steps, on an idle line.
void Benchmark::reopenCost()
{
    section(QStringLiteral("reopen"));
    if (!openPanel(115200))
        return;
    SPComm *link = Access::spComm(*window);
    QSerialPort *serial = link->serialPort;
    const int rounds = 300;
    ReopenRow whole{QStringLiteral("`reopenPort()` as a whole"), {}};
    ReopenRow drain{QStringLiteral("read and discard pending input"), {}};
    ReopenRow clear{QStringLiteral("clear both buffers"), {}};
    ReopenRow close{QStringLiteral("close"), {}};
    ReopenRow open{QStringLiteral("open (configure line, lock file)"), {}};
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        link->reopenPort();
        whole.times.push_back(msSince(start));
    }
    // The same four steps, one at a time.
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        serial->readAll();
        drain.times.push_back(msSince(start));
        start = Clock::now();
        serial->clear(QSerialPort::AllDirections);
        clear.times.push_back(msSince(start));
        start = Clock::now();
        link->closePort();
        close.times.push_back(msSince(start));
        start = Clock::now();
        link->openPort();
        open.times.push_back(msSince(start));
    }
    // At the poll's cadence: what the lock file costs depends on how busy
    // the file system holding it was just before.
    ReopenRow paced{QStringLiteral("`reopenPort()` as a whole, once every 500 ms"), {}};
    for (int round = 0; round < 20; ++round) {
        QThread::msleep(500);
        auto start = Clock::now();
        link->reopenPort();
        paced.times.push_back(msSince(start));
    }
    reopenSteps = {whole, drain, clear, close, open, paced};
}

// Marks the moment the poll timer's tick reaches the timer object, before
// the panel's poll slot runs.
class TickStart : public QObject
{
public:
    Clock::time_point at;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Timer)
            at = Clock::now();
        return false;
    }
};

// Longest gap between ticks of a 5 ms timer on the GUI thread, while the
// panel's poll timer runs or not. `polls` receives how long each poll took:
// from the tick reaching the poll timer to the end of the panel's slot (a
// handler connected after the panel's runs after it).
double Benchmark::stallGap(int seconds, bool polling, std::vector<double> *polls)
{
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(5);
    Clock::time_point last = Clock::now();
    double longest = 0;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    QTimer *poll = Access::pollTimer(*window);
    TickStart tick;
    poll->installEventFilter(&tick);
    const QMetaObject::Connection done = QObject::connect(poll, &QTimer::timeout, [&] {
        if (polls)
            polls->push_back(msSince(tick.at));
    });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    last = Clock::now();
    heartbeat.start();
    if (polling)
        poll->start(); // the panel's own interval
    loop.exec();
    poll->stop();
    heartbeat.stop();
    QObject::disconnect(done);
    poll->removeEventFilter(&tick);
    return longest;
}

void Benchmark::stalls()
{
    const int s = opt.stallSeconds;
    section(QStringLiteral("GUI stall"));
    sim.clearFault();
    sim.setTurnaroundUs(opt.turnaroundUs);

    StallRow idle{QStringLiteral("no polling (this machine's timer jitter)"), s / 2, {}, 0, -1};
    idle.longestGap = stallGap(idle.seconds, false, nullptr);
    stallRows.push_back(idle);

    for (int baud : {9600, 115200}) {
        sim.setPacingBaud(baud);
        sim.setBaud(baud); // the controllers answer at their own rate only
        if (!openPanel(baud))
            return;
        StallRow row{QStringLiteral("polling a live controller, %1 baud").arg(baud), s, {}, 0, 0};
        row.longestGap = stallGap(s, true, &row.polls);
        row.limit = wireMs(8 + readReplyLength(StatusBlockCount), baud) + turnaroundMs() + 5.0;
        stallRows.push_back(row);
    }

    sim.setPacingBaud(115200);
    sim.setBaud(115200); // the controllers answer at their own rate only
    sim.setFault(VirtualController::FaultNoReply);
    if (!openPanel(115200))
        return;
    StallRow silent{QStringLiteral("polling a silent controller"), s, {}, 0, 60.0};
    silent.longestGap = stallGap(s, true, &silent.polls);
    stallRows.push_back(silent);
    sim.clearFault();
}

std::vector<double> Benchmark::startupRuns(const QString &program, int runs, int *failures)
{
    std::vector<double> times;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (int run = 0; run < runs; ++run) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProgram(program);
        const long long start = monotonicNs();
        process.start();
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(1000);
            ++*failures;
            continue;
        }
        bool ok = false;
        const long long shown = process.readAllStandardOutput().trimmed().toLongLong(&ok);
        if (!ok) {
            ++*failures;
            continue;
        }
        times.push_back((shown - start) / 1e6);
    }
    return times;
}

void Benchmark::startUp()
{
    section(QStringLiteral("start-up"));
    // The port scan the constructor runs, timed in this process through the
    // scan button (enabled while the link is closed).
    closePanel();
    QPushButton *scan = Access::ui(*window)->checkSerial;
    for (int run = 0; run < 10; ++run) {
        const auto start = Clock::now();
        scan->click();
        portScan.push_back(msSince(start));
    }
    portsFound = Access::ui(*window)->serialName->count();

    const QString dir = QCoreApplication::applicationDirPath();
    const QString panel = QDir(dir).filePath(QStringLiteral("vortanix-startup"));
    const QString bare = QDir(dir).filePath(QStringLiteral("vortanix-bare"));
    int warmFailures = 0;
    startupRuns(panel, 2, &warmFailures); // the files into the page cache
    startupRuns(bare, 2, &warmFailures);
    for (int run = 0; run < opt.startupRuns; ++run) {
        // Alternate, so that a busy spell of the machine hits both alike.
        for (double t : startupRuns(panel, 1, &startupFailures))
            startupPanel.push_back(t);
        for (double t : startupRuns(bare, 1, &startupFailures))
            startupBare.push_back(t);
    }
}

void Benchmark::report()
{
    if (!rows.empty()) {
        out << "## Exchange time\n\n"
            << "The virtual controller paces every reply at the baud rate (one byte every 10 bit times) and starts it "
            << opt.turnaroundUs << " µs after the request's last byte (its turnaround). Times are taken around the "
            << "panel's own transactions: `readRegisters` of the 12 status registers, `writeRegister`, and the "
            << "block write that the save button runs (`writeConfigBlock`, timed without the message box that "
            << "follows it). Each includes the check of the link, the mutex, the reopen of the port, the request "
            << "and the reply.\n\n"
            << "The pseudo-terminal does not enforce the baud rate, so the request reaches the controller at once: "
            << "its wire time is counted in the bound but never spent. *Bound* = (request + reply bytes) × 10 ÷ baud "
            << "+ turnaround; *paced* = reply bytes × 10 ÷ baud + turnaround, the part of the bound this line "
            << "really takes.\n\n";
        out << "| Baud | Exchange | Bytes out + in | Bound ms | Paced ms | Median ms | p99 ms | Median ÷ bound | "
               "p99 ÷ bound | Median ÷ paced | n |\n"
            << "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const ExchangeRow &row : rows) {
            const double bound = wireMs(row.requestBytes + row.replyBytes, row.baud) + turnaroundMs();
            const double paced = wireMs(row.replyBytes, row.baud) + turnaroundMs();
            const double med = median(row.times);
            const double p99 = percentile(row.times, 99);
            out << "| " << row.baud << " | " << row.name << " | " << row.requestBytes << " + " << row.replyBytes
                << " | " << ms(bound) << " | " << ms(paced) << " | " << ms(med) << " | " << ms(p99) << " | "
                << ratio(med / bound) << " | " << ratio(p99 / bound) << " | " << ratio(med / paced) << " | "
                << row.times.size() << (row.failures ? QStringLiteral(" (%1 failed)").arg(row.failures) : QString())
                << " |\n";
            if (row.requestBytes == 8 && row.replyBytes == readReplyLength(StatusBlockCount))
                targets.push_back({QStringLiteral("poll ≤ 1.10 × bound at %1 baud").arg(row.baud),
                    QStringLiteral("%1 × (median %2 ms)").arg(ratio(med / bound), ms(med)), QStringLiteral("1.10 ×"),
                    med / bound <= 1.10});
        }
    }

    if (!peers.empty()) {
        out << "\n## The same read by libmodbus\n\n"
            << "libmodbus " << LIBMODBUS_VERSION_STRING << " (`modbus_read_registers`, 12 registers) against the same "
            << "controller in the same run, alternating with the panel's poll round by round (the first of the two "
            << "changes every round). The two never hold the port at the same time: the panel closes its port before "
            << "libmodbus connects and opens it again after libmodbus has closed. *libmodbus read* times the read "
            << "alone, as a master that keeps its port open would see it; *libmodbus connect + read + close* includes "
            << "opening and closing the port around the read, which is what the panel does on every exchange.\n\n";
        out << "| Baud | Panel median ms | Panel p99 ms | libmodbus read median ms | p99 ms | Panel ÷ libmodbus read | "
               "libmodbus connect + read + close median ms | Panel ÷ that |\n"
            << "|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const PeerRow &row : peers) {
            const double oursMed = median(row.ours);
            const double readMed = median(row.peerRead);
            const double sessionMed = median(row.peerSession);
            out << "| " << row.baud << " | " << ms(oursMed) << " | " << ms(percentile(row.ours, 99)) << " | "
                << ms(readMed) << (row.peerFailures ? QStringLiteral(" (%1 failed)").arg(row.peerFailures) : QString())
                << " | " << ms(percentile(row.peerRead, 99)) << " | " << ratio(oursMed / readMed) << " | "
                << ms(sessionMed) << " | " << ratio(oursMed / sessionMed) << " |\n";
            targets.push_back({QStringLiteral("poll ≤ 1.05 × libmodbus read at %1 baud").arg(row.baud),
                QStringLiteral("%1 × (%2 vs %3 ms)").arg(ratio(oursMed / readMed), ms(oursMed), ms(readMed)),
                QStringLiteral("1.05 ×"), oursMed / readMed <= 1.05});
        }
    }

    if (!reopenSteps.empty() || !direct.empty()) {
        out << "\n## Cost of the reopen before every exchange\n\n"
            << "On every open QSerialPort takes a lock file in the first usable lock directory and removes it on "
               "close; QLockFile writes it with `fdatasync()`. Here that directory is "
            << lockDirectory() << ".\n";
        if (!reopenSteps.empty()) {
            out << "\n`SPComm::reopenPort()` called alone on the open link (nothing pending), back to back and at "
                   "the poll's cadence, and its four steps taken one at a time through the same port object:\n\n"
                << "| Step | Median ms | p99 ms | n |\n|---|---:|---:|---:|\n";
            for (const ReopenRow &row : reopenSteps)
                out << "| " << row.step << " | " << ms(median(row.times), 3) << " | "
                    << ms(percentile(row.times, 99), 3) << " | " << row.times.size() << " |\n";
        }
        if (!direct.empty())
            out << "\nThe status read straight through `SPComm` (write the request, read the 29-byte reply), with and "
                   "without the reopen in front, alternating:\n\n"
                << "| Baud | With reopen median ms | Without median ms | Difference ms | Share of the exchange |\n"
                << "|---:|---:|---:|---:|---:|\n";
        for (const DirectRow &row : direct) {
            const double with = median(row.withReopen);
            const double without = median(row.withoutReopen);
            out << "| " << row.baud << " | " << ms(with, 3) << " | " << ms(without, 3) << " | " << ms(with - without, 3)
                << " | " << QString::number(100.0 * (with - without) / with, 'f', 1) << " % |\n";
        }
    }

    if (!stallRows.empty()) {
        out << "\n## GUI stall\n\n"
            << "Longest gap between two ticks of a 5 ms precise timer on the GUI thread while the panel's own poll "
               "timer (500 ms) runs; the gap includes up to one heartbeat period. The silent controller takes every "
               "request and answers none, so each poll waits out the 50 ms read time-out.\n\n"
            << "*Poll* is how long each poll held the GUI thread, from the poll timer's tick to the end of the "
               "panel's poll slot.\n\n"
            << "| Case | Seconds | Polls | Poll median ms | Poll max ms | Longest gap ms | Target ms | |\n"
            << "|---|---:|---:|---:|---:|---:|---:|---|\n";
        for (const StallRow &row : stallRows) {
            const bool polled = !row.polls.empty();
            out << "| " << row.what << " | " << row.seconds << " | " << row.polls.size() << " | "
                << (polled ? ms(median(row.polls)) : QStringLiteral("–")) << " | "
                << (polled ? ms(percentile(row.polls, 100)) : QStringLiteral("–")) << " | " << ms(row.longestGap)
                << " | " << (row.limit < 0 ? QStringLiteral("–") : ms(row.limit)) << " | "
                << (row.limit < 0 ? QString() : verdict(row.longestGap <= row.limit)) << " |\n";
            if (row.limit >= 0)
                targets.push_back(
                    {QStringLiteral("stall, %1").arg(row.what), ms(row.longestGap) + QStringLiteral(" ms"),
                        ms(row.limit) + QStringLiteral(" ms"), row.longestGap <= row.limit});
        }
    }

    if (!startupPanel.empty() && !startupBare.empty()) {
        const double panelMed = median(startupPanel);
        const double bareMed = median(startupBare);
        out << "\n## Start-up\n\n"
            << "From the moment the benchmark starts the process (CLOCK_MONOTONIC read right before the spawn) to the "
               "end of the window's first paint, offscreen platform, runs alternating. `vortanix-startup` builds the "
               "panel's `MainWindow` exactly as `main()` does (form, validators, timers, port scan); `vortanix-bare` "
               "is a bare `QMainWindow` of 1089 × 604 from the same source and build.\n\n"
            << "| Program | Runs | Median ms | Min ms | Max ms |\n|---|---:|---:|---:|---:|\n"
            << "| vortanix-startup (panel window) | " << startupPanel.size() << " | " << ms(panelMed) << " | "
            << ms(percentile(startupPanel, 0)) << " | " << ms(percentile(startupPanel, 100)) << " |\n"
            << "| vortanix-bare (bare QMainWindow) | " << startupBare.size() << " | " << ms(bareMed) << " | "
            << ms(percentile(startupBare, 0)) << " | " << ms(percentile(startupBare, 100)) << " |\n\n"
            << "Ratio of the medians: **" << ratio(panelMed / bareMed) << "**"
            << (startupFailures ? QStringLiteral(" (%1 runs failed)").arg(startupFailures) : QString()) << ".\n\n"
            << "For comparison, the port scan that the constructor runs (the serial library's port list, then a "
               "trial open and close of every listed port) takes "
            << ms(median(portScan)) << " ms (median of " << portScan.size()
            << " scans in the benchmark's own process, caches warm; ports found: " << portsFound << ").\n";
        targets.push_back({QStringLiteral("start-up ≤ 1.3 × bare window"),
            QStringLiteral("%1 × (%2 vs %3 ms)").arg(ratio(panelMed / bareMed), ms(panelMed), ms(bareMed)),
            QStringLiteral("1.3 ×"), panelMed / bareMed <= 1.3});
    }

    out << "\n## Targets\n\n| Target | Measured | Limit | |\n|---|---|---|---|\n";
    for (const Target &t : targets)
        out << "| " << t.what << " | " << t.measured << " | " << t.limit << " | " << verdict(t.met) << " |\n";
    out.print();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // The panel notes every open and close of the link on the debug channel.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the panel's exchanges, GUI stall and start-up."));
    parser.addHelpOption();
    const QCommandLineOption rounds9600(QStringLiteral("rounds-9600"), QStringLiteral("Rounds at 9600 baud."),
        QStringLiteral("n"), QStringLiteral("150"));
    const QCommandLineOption rounds115200(QStringLiteral("rounds-115200"), QStringLiteral("Rounds at 115200 baud."),
        QStringLiteral("n"), QStringLiteral("500"));
    const QCommandLineOption stallSeconds(QStringLiteral("stall-seconds"),
        QStringLiteral("Seconds of polling per stall case."), QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption startupRuns(QStringLiteral("startup-runs"), QStringLiteral("Start-up runs per program."),
        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption turnaround(QStringLiteral("turnaround-us"),
        QStringLiteral("The controller's turnaround in microseconds."), QStringLiteral("us"), QStringLiteral("0"));
    const QCommandLineOption only(QStringLiteral("only"),
        QStringLiteral("Runs only the named parts: exchanges, reopen, stall, startup."), QStringLiteral("parts"),
        QStringLiteral("exchanges,reopen,stall,startup"));
    parser.addOptions({rounds9600, rounds115200, stallSeconds, startupRuns, turnaround, only});
    parser.process(application);

    Options options;
    options.rounds9600 = std::max(1, parser.value(rounds9600).toInt());
    options.rounds115200 = std::max(1, parser.value(rounds115200).toInt());
    options.stallSeconds = std::max(2, parser.value(stallSeconds).toInt());
    options.startupRuns = std::max(1, parser.value(startupRuns).toInt());
    options.turnaroundUs = std::max(0, parser.value(turnaround).toInt());

    Benchmark bench(options);
    if (!bench.setUp())
        return 1;
    const QStringList parts = parser.value(only).split(QLatin1Char(','));
    if (parts.contains(QStringLiteral("exchanges"))) {
        bench.exchanges(9600, options.rounds9600);
        bench.exchanges(115200, options.rounds115200);
    }
    if (parts.contains(QStringLiteral("reopen")))
        bench.reopenCost();
    if (parts.contains(QStringLiteral("stall")))
        bench.stalls();
    if (parts.contains(QStringLiteral("startup")))
        bench.startUp();
    bench.report();
    return bench.healthy() ? 0 : 1;
}
