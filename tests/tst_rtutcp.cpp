// RTU over TCP: the back-off of reconnects (on a fake clock), the link's
// frames through a device server on a virtual line (stale input, echo, a
// dropped connection), and vortanix-ctl --port tcp:// through two device
// servers: Debian's socat between the line's terminal and TCP, and
// vortanix-sim --tcp.

#include "buildprogram.h"
#include "childprocess.h"
#include "controller.h"
#include "ctlrig.h"
#include "deviceserver.h"
#include "loopback.h"
#include "protocol.h"
#include "reconnectbackoff.h"
#include "registers.h"
#include "rtutcplink.h"
#include "verifyempty.h"

#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <thread>

namespace {

constexpr int waitMs = 30000; // for a process's output on a loaded machine

// Debian's socat as a device server of its own: loopback TCP to the line's
// terminal, a process forked for each connection. Such a process ends at
// once when its connection closes (-t 0), not half a second later, which
// would let it take the first bytes of the line from the next connection.
class Socat
{
public:
    ~Socat() { kill(); }
    // Listens on `port` (0: a free one, which it names); false when it does not.
    bool start(const QString &terminal, int port = 0)
    {
        process = std::make_unique<ChildProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(QStringLiteral("socat"),
            {"-d", "-d", "-t", "0", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                QStringLiteral("FILE:%1,raw,echo=0").arg(terminal)});
        static const QRegularExpression listening(QStringLiteral("listening on AF=2 127\\.0\\.0\\.1:([0-9]+)"));
        QString said;
        while (process->waitForReadyRead(waitMs)) {
            said += QString::fromUtf8(process->readAll());
            const QRegularExpressionMatch match = listening.match(said);
            if (match.hasMatch()) {
                url = QStringLiteral("tcp://127.0.0.1:") + match.captured(1);
                return true;
            }
        }
        qWarning("socat did not listen: %s", qPrintable(said));
        return false;
    }
    // Ends it and the processes it forked, by their ids: stopped first, so
    // that it forks no more while they are read.
    void kill()
    {
        if (!process || process->state() == QProcess::NotRunning)
            return;
        const pid_t pid = pid_t(process->processId());
        ::kill(pid, SIGSTOP);
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        if (children.open(QIODevice::ReadOnly)) {
            for (const QByteArray &child : children.readAll().split(' '))
                if (child.trimmed().toInt() > 0)
                    ::kill(pid_t(child.trimmed().toInt()), SIGKILL);
        }
        ::kill(pid, SIGKILL);
        process->waitForFinished();
    }
    QString url;

private:
    std::unique_ptr<ChildProcess> process;
};

// A virtual line with its device server.
struct ServedLine
{
    ServedLine()
    {
        line.addController(1);
        line.start(dir.filePath(QStringLiteral("line")));
    }
    bool serve(const QString &address = QStringLiteral("127.0.0.1:0"))
    {
        QString error;
        return server.start(address, line.portPath(), line.baud(), &error)
            || (qWarning("%s", qPrintable(error)), false);
    }
    QTemporaryDir dir;
    VirtualLine line;
    DeviceServer server;
};

// The next line of standard output, waiting for it.
QString nextLine(QProcess &process)
{
    while (!process.canReadLine() && process.waitForReadyRead(waitMs)) { }
    return QString::fromUtf8(process.readLine()).trimmed();
}

// Reads a vortanix-ctl --json status loop until a reading with `error` (empty: a good one).
bool readingWith(QProcess &ctl, const QString &error)
{
    for (QString line = nextLine(ctl); !line.isEmpty(); line = nextLine(ctl)) {
        const QJsonObject reading = QJsonDocument::fromJson(line.toUtf8()).object();
        if (reading.value(QStringLiteral("error")).toString() == error)
            return true;
    }
    return false;
}

} // namespace

class TestRtuTcp : public QObject
{
    Q_OBJECT

private slots:
    void backoffDoublesUpToItsBound();
    void linkWaitsOutItsBackoff();
    void framesThroughADeviceServer();
    void ctlRefusesWhatNeedsALocalPort_data();
    void ctlRefusesWhatNeedsALocalPort();
    void ctlThroughSocat();
    void ctlThroughTheSimulatorsDeviceServer();
};

void TestRtuTcp::backoffDoublesUpToItsBound()
{
    ReconnectBackoff backoff;
    QVERIFY(backoff.mayTry(0)); // the first attempt at once
    qint64 now = 5;
    for (qint64 wait : {1000, 2000, 4000, 8000, 16000, 30000, 30000}) {
        backoff.failed(now);
        QVERIFY2(!backoff.mayTry(now + wait - 1), qPrintable(QString::number(wait)));
        QVERIFY2(backoff.mayTry(now + wait), qPrintable(QString::number(wait)));
        now += wait;
    }
    backoff.succeeded();
    QVERIFY(backoff.mayTry(now));
    backoff.failed(now);
    QVERIFY(!backoff.mayTry(now + 999));
    QVERIFY(backoff.mayTry(now + 1000));
}

void TestRtuTcp::linkWaitsOutItsBackoff()
{
    ServedLine served;
    QVERIFY(served.serve());
    const QString url = served.server.url();
    served.server.stop(); // nothing listens there now
    qint64 now = 0;
    RtuTcpLink link;
    link.setClock([&now] { return now; });
    QVERIFY(!link.isOpen());
    QVERIFY(!link.open(url, 115200));
    QCOMPARE(link.openError(), HeldLink::Missing);
    const QString refused = link.openErrorText();
    QVERIFY2(refused.startsWith(url + QStringLiteral(": cannot reach the device server")), qPrintable(refused));

    QVERIFY(served.serve(url.mid(6)));
    now = ReconnectBackoff::FirstMs - 1;
    QVERIFY(!link.open(url, 115200)); // not tried within the back-off
    QCOMPARE(link.openErrorText(), refused);
    now = ReconnectBackoff::FirstMs;
    QVERIFY2(link.open(url, 115200), qPrintable(link.openErrorText()));

    // A connection that carried a reply is made again at once when it drops...
    Protocol protocol;
    Controller controller(link, protocol, 1);
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
    served.server.stop();
    QTRY_VERIFY(link.isLost());
    QVERIFY(served.serve(url.mid(6)));
    QVERIFY2(link.open(url, 115200), qPrintable(link.openErrorText()));
    // ...one that carried nothing counts as a failed attempt.
    served.server.stop();
    QTRY_VERIFY(link.isLost());
    QVERIFY(served.serve(url.mid(6)));
    QVERIFY(!link.open(url, 115200));
    QVERIFY2(link.openErrorText().contains(QLatin1String("closed the connection before any reply")),
        qPrintable(link.openErrorText()));
    now += ReconnectBackoff::FirstMs;
    QVERIFY2(link.open(url, 115200), qPrintable(link.openErrorText()));
}

void TestRtuTcp::framesThroughADeviceServer()
{
    ServedLine served;
    QVERIFY(served.serve());
    SimController simController = served.line.controllers().first();
    std::unique_ptr<HeldLink> link = HeldLink::create(served.server.url());
    QVERIFY(link->open(served.server.url(), 115200));
    Protocol protocol;
    Controller controller(*link, protocol, 1);
    controller.setWaits(Controller::Waits{2000, 2000, 2000, 20}); // a loaded machine's in-process line
    StatusBlock status;
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);
    QCOMPARE(status.ldTemperature(), qint16(253));

    // A reply that comes after its wait is cleared before the next request.
    simController.clearRequests();
    simController.setFault(SimController::FaultDelay, 2500, 1);
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Timeout);
    QTRY_COMPARE(simController.finishedReplyCount(), 1);
    ConfigBlock block;
    QCOMPARE(controller.readConfig(&block).kind, Outcome::Ok);
    // One that comes within its wait is read, however long it takes.
    simController.setFault(SimController::FaultDelay, 300, 1);
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);

    // The echo of a 2-wire adapter at the device server.
    served.line.setEcho(VirtualLine::EchoWhole);
    QVERIFY(controller.readStatus(&status).kind != Outcome::Ok);
    link->setEcho(true);
    QCOMPARE(controller.readStatus(&status).kind, Outcome::Ok);

    // The line is unplugged and plugged in again: the device server finds it again.
    served.line.unplug();
    QVERIFY(served.line.replug());
    bool back = false;
    for (QDeadlineTimer deadline(waitMs); !back && !deadline.hasExpired();)
        back = controller.readStatus(&status).kind == Outcome::Ok;
    QVERIFY(back);

    // The device server goes while a reply is awaited: the read ends and the
    // port is lost; the next request is not sent, and one sent regardless fails.
    simController.clearRequests();
    simController.setFault(SimController::FaultDelay, 2500, 1);
    std::thread stopper([&] {
        simController.waitForRequests(1, waitMs);
        served.server.stop();
    });
    QVERIFY(controller.readStatus(&status).kind != Outcome::Ok);
    stopper.join();
    QVERIFY(link->isLost());
    QCOMPARE(controller.readStatus(&status).kind, Outcome::PortLost);
    const quint8 request[8] = {};
    QTRY_VERIFY(!link->send(request, sizeof request));

    // Direction control needs a UART of this machine.
    link->setDirectionControl(Rs485::Kernel, 0, QStringLiteral("rs485=kernel"));
    QVERIFY(!link->open(served.server.url(), 115200));
    QCOMPARE(link->openError(), HeldLink::NoDirectionControl);
}

void TestRtuTcp::ctlRefusesWhatNeedsALocalPort_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(freeLoopbackPort());
    QTest::newRow("rs485") << QStringList{"--port", url, "--rs485", "rts", "status"} << int(CtlExit::Usage)
                           << "--rs485 rts needs a serial port of this machine";
    QTest::newRow("bauds") << QStringList{"--port", url, "scan", "--bauds", "9600"} << int(CtlExit::Usage)
                           << "--bauds needs a serial port of this machine";
    QTest::newRow("no TCP port") << QStringList{"--port", "tcp://127.0.0.1", "status"} << int(CtlExit::Usage)
                                 << "is not tcp://HOST:PORT";
    QTest::newRow("nothing there") << QStringList{"--port", url, "status"} << int(CtlExit::Port)
                                   << "cannot reach the device server";
}

void TestRtuTcp::ctlRefusesWhatNeedsALocalPort()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    VERIFY_EMPTY(CtlRig::runProgram(arguments).mismatch(exitCode, text));
}

void TestRtuTcp::ctlThroughSocat()
{
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QFAIL("socat is not installed: apt-get install socat (scripts/setup.sh test)");
    CtlRig rig;
    QVERIFY(rig.start({1}));
    Socat socat;
    QVERIFY(socat.start(rig.portPath()));
    const CtlResult read = CtlRig::runProgram(CtlRig::withReplyWait({"--port", socat.url, "status"}));
    VERIFY_EMPTY(read.mismatch(CtlExit::Ok));
    QVERIFY2(read.out.contains(QStringLiteral("25.3 °C")), qPrintable(read.describe()));
    const CtlResult write = CtlRig::runProgram(CtlRig::withReplyWait({"--port", socat.url, "power", "321"}));
    VERIFY_EMPTY(write.mismatch(CtlExit::Ok));
    QCOMPARE(rig.at(1).holdingRegister(RegPowerPermille), quint16(321));

    // A reading loop: the device server goes away and comes back on its port.
    ChildProcess ctl;
    BuildProgram::start(
        ctl, CtlRig::program(), CtlRig::withReplyWait({"--port", socat.url, "--json", "status", "--interval", "100"}));
    QVERIFY(readingWith(ctl, QString()));
    socat.kill();
    QVERIFY(readingWith(ctl, QStringLiteral("port lost")));
    QVERIFY(socat.start(rig.portPath(), socat.url.section(QLatin1Char(':'), -1).toInt()));
    QVERIFY(readingWith(ctl, QString()));
    ctl.terminate();
    QVERIFY(ctl.waitForFinished(waitMs));
}

void TestRtuTcp::ctlThroughTheSimulatorsDeviceServer()
{
    ChildProcess sim;
    BuildProgram::start(sim, QStringLiteral(VORTANIX_SIM_PATH), {"--address", "1,7", "--tcp", "127.0.0.1:0"});
    QVERIFY(nextLine(sim).startsWith(QLatin1String("/dev/pts/")));
    const QString url = nextLine(sim);
    QVERIFY2(url.startsWith(QLatin1String("tcp://127.0.0.1:")), qPrintable(url));
    const CtlResult scan = CtlRig::runProgram({"--port", url, "--timeout", "1000", "scan", "--addresses", "1,5,7"});
    VERIFY_EMPTY(scan.mismatch(CtlExit::Ok));
    QCOMPARE(scan.outLines(), QStringList({"address 1  firmware 1.10", "address 7  firmware 1.10"}));
    sim.terminate();
    QVERIFY(sim.waitForFinished(waitMs));
    QCOMPARE(sim.exitCode(), 0);

    // The last port is taken (or found in use), one past it is refused.
    for (const int port : {65535, 65536}) {
        ChildProcess other;
        BuildProgram::start(
            other, QStringLiteral(VORTANIX_SIM_PATH), {"--tcp", QStringLiteral("127.0.0.1:%1").arg(port)});
        nextLine(other); // the terminal, unless it was refused
        if (nextLine(other).startsWith(QLatin1String("tcp://")))
            other.terminate();
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(waitMs));
        QCOMPARE(other.readAllStandardError().contains("is not ADDRESS:PORT to listen on"), port > 65535);
    }
}

QTEST_GUILESS_MAIN(TestRtuTcp)
#include "tst_rtutcp.moc"
