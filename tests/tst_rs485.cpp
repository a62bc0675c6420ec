// Real RS-485 adapters: direction control through the ioctl seam (the flags,
// the delays, RTS raised and dropped around a request) and its refusals on a
// real pseudo-terminal (ENOTTY) and injected (ENOSYS); the frame gap; an FTDI
// adapter's latency timer in a sysfs of the test's own; the virtual line's
// echo and its own baud rate; vortanix-ctl on a line that echoes.

#include "buildprogram.h"
#include "controller.h"
#include "controllervalues.h"
#include "ctlrig.h"
#include "framegap.h"
#include "latencytimer.h"
#include "masterport.h"
#include "modbusframes.h"
#include "protocol.h"
#include "rs485.h"
#include "seriallink.h"
#include "simtracelog.h"
#include "testfiles.h"
#include "verifyempty.h"
#include "virtualcontroller.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

// One ioctl as the seam saw it.
struct Call
{
    unsigned long request = 0;
    int rtsBits = 0; // TIOCMBIS/TIOCMBIC
    serial_rs485 settings{}; // TIOCSRS485
    qint64 atNs = 0;
};

// A driver of the test's making: answers the RS-485 and modem-line ioctls as a
// UART with RS-485 support would (or fails them with `failWith`), and records them.
struct FakeDriver
{
    QList<Call> calls;
    int failWith = 0;
    bool dropsEnabled = false; // accepts TIOCSRS485 but leaves RS-485 off
    QElapsedTimer clock;

    FakeDriver()
    {
        clock.start();
        Rs485::setIoctl([this](int fd, unsigned long request, void *argument) {
            Call call;
            call.request = request;
            call.atNs = clock.nsecsElapsed();
            if (request == TCSBRK) {
                calls << call;
                return ::ioctl(fd, request, argument); // a pseudo-terminal drains for real
            }
            if (failWith != 0) {
                errno = failWith;
                return -1;
            }
            if (request == TIOCGRS485) {
                auto *settings = static_cast<serial_rs485 *>(argument);
                std::memset(settings, 0, sizeof *settings);
                settings->flags = SER_RS485_RTS_AFTER_SEND; // a driver's default the mode must undo
            } else if (request == TIOCSRS485) {
                auto *settings = static_cast<serial_rs485 *>(argument);
                call.settings = *settings;
                if (dropsEnabled)
                    settings->flags &= ~__u32(SER_RS485_ENABLED);
            } else if (request == TIOCMBIS || request == TIOCMBIC) {
                call.rtsBits = *static_cast<int *>(argument);
            }
            calls << call;
            return 0;
        });
    }
    ~FakeDriver() { Rs485::setIoctl({}); }
    FakeDriver(const FakeDriver &) = delete;
    FakeDriver &operator=(const FakeDriver &) = delete;

    QList<unsigned long> requests() const
    {
        QList<unsigned long> list;
        for (const Call &call : calls)
            list << call.request;
        return list;
    }
};

// The controller at address 1 through `link`, with waits a loaded machine
// cannot outlast: the replies' lengths are known, so only a failure waits them out.
struct PatientController
{
    const Protocol protocol; // the controller keeps a reference to it
    Controller controller;

    explicit PatientController(Link &link) : controller(link, protocol, 1)
    {
        Controller::Waits waits;
        waits.readMs = waits.writeAckMs = 3000;
        controller.setWaits(waits);
    }
};

} // namespace

class TestRs485 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void kernelModeFlagsAndDelays_data();
    void kernelModeFlagsAndDelays();
    void softwareRtsAroundEachRequest();
    void refusals_data();
    void refusals();

    void frameGap_data();
    void frameGap();
    void latencyTimer_data();
    void latencyTimer();

    void lineAnswersAtItsOwnRateOnly();
    void lineEchoes();
    void ctlOnTheLine_data();
    void ctlOnTheLine();

private:
    std::unique_ptr<VirtualController> vc;
};

void TestRs485::init()
{
    vc = std::make_unique<VirtualController>();
    QVERIFY(vc->start());
}

void TestRs485::cleanup()
{
    vc.reset();
}

void TestRs485::kernelModeFlagsAndDelays_data()
{
    QTest::addColumn<int>("delayUs");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("no delay") << 0 << 0;
    QTest::newRow("a millisecond") << 1000 << 1;
    QTest::newRow("rounded up, never shorter") << 1500 << 2;
    QTest::newRow("one microsecond") << 1 << 1;
}

void TestRs485::kernelModeFlagsAndDelays()
{
    QFETCH(int, delayUs);
    QFETCH(int, delayMs);
    FakeDriver driver;
    SerialLink link;
    link.setDirectionControl(Rs485::Kernel, delayUs, QStringLiteral("--rs485 kernel"));
    QVERIFY2(link.open(vc->portPath(), 115200), qPrintable(link.openErrorText()));
    QCOMPARE(driver.requests(), (QList<unsigned long>{TIOCGRS485, TIOCSRS485}));
    const serial_rs485 &set = driver.calls.at(1).settings;
    QCOMPARE(set.flags & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND),
        __u32(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    QCOMPARE(int(set.delay_rts_before_send), delayMs);
    QCOMPARE(int(set.delay_rts_after_send), delayMs);

    // The kernel switches from here on: requests go out untouched by RTS calls.
    PatientController patient(link);
    StatusBlock status;
    QCOMPARE(patient.controller.readStatus(&status).kind, Outcome::Ok);
    QCOMPARE(driver.calls.size(), 2);
}

void TestRs485::softwareRtsAroundEachRequest()
{
    constexpr int delayUs = 2000;
    FakeDriver driver;
    SerialLink link;
    link.setDirectionControl(Rs485::Rts, delayUs, QStringLiteral("--rs485 rts"));
    QVERIFY2(link.open(vc->portPath(), 115200), qPrintable(link.openErrorText()));
    // Receiving between requests: RTS down at once.
    QCOMPARE(driver.requests(), QList<unsigned long>{TIOCMBIC});
    driver.calls.clear();

    PatientController patient(link);
    QCOMPARE(patient.controller.writeRegister(0x0004, 650).kind, Outcome::Ok);
    QCOMPARE(driver.requests(), (QList<unsigned long>{TIOCMBIS, TCSBRK, TIOCMBIC}));
    QCOMPARE(driver.calls.at(0).rtsBits, int(TIOCM_RTS));
    QCOMPARE(driver.calls.at(2).rtsBits, int(TIOCM_RTS));
    // The delays: at least as long as asked (a loaded machine only adds to them).
    QVERIFY(driver.calls.at(1).atNs - driver.calls.at(0).atNs >= delayUs * 1000LL);
    QVERIFY(driver.calls.at(2).atNs - driver.calls.at(1).atNs >= delayUs * 1000LL);
    QCOMPARE(vc->holdingRegister(0x0004), quint16(650));
}

void TestRs485::refusals_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("injected"); // 0: the driver's own answer
    QTest::addColumn<bool>("dropsEnabled"); // a driver of the test's that takes the settings, RS-485 left off
    QTest::addColumn<QString>("why");
    // A user-mode emulator does not carry the kernel's RS-485 request out.
    QTest::newRow("kernel, pseudo-terminal")
        << int(Rs485::Kernel) << 0 << false
        << (BuildProgram::rs485RequestUnsupported() ? "(ENOSYS; an emulator?)" : "no RS-485 mode (ENOTTY)");
    QTest::newRow("rts, pseudo-terminal") << int(Rs485::Rts) << 0 << false << "cannot switch RTS (ENOTTY)";
    QTest::newRow("kernel, emulator") << int(Rs485::Kernel) << ENOSYS << false << "(ENOSYS";
    QTest::newRow("rts, emulator") << int(Rs485::Rts) << ENOSYS << false << "(ENOSYS";
    QTest::newRow("kernel, settings refused") << int(Rs485::Kernel) << EINVAL << false << "refuses the settings";
    QTest::newRow("kernel, mode left off")
        << int(Rs485::Kernel) << 0 << true << "its driver takes the settings but leaves RS-485 mode off";
}

void TestRs485::refusals()
{
    QFETCH(int, mode);
    QFETCH(int, injected);
    QFETCH(bool, dropsEnabled);
    QFETCH(QString, why);
    std::unique_ptr<FakeDriver> driver;
    if (injected != 0 || dropsEnabled) {
        driver = std::make_unique<FakeDriver>();
        driver->failWith = injected;
        driver->dropsEnabled = dropsEnabled;
    }
    const QString option = QStringLiteral("rs485=") + Rs485::modeName(Rs485::Mode(mode));
    SerialLink link;
    link.setDirectionControl(Rs485::Mode(mode), 0, option);
    QVERIFY(!link.open(vc->portPath(), 115200));
    QVERIFY(!link.isOpen()); // never on without it
    QCOMPARE(link.openError(), SerialLink::NoDirectionControl);
    const QString text = link.openErrorText();
    QVERIFY2(text.startsWith(vc->portPath() + QStringLiteral(": cannot use ") + option + QStringLiteral(": ")),
        qPrintable(text));
    QVERIFY2(text.contains(why), qPrintable(text));
    QVERIFY(vc->requests().isEmpty());
}

void TestRs485::frameGap_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<qint64>("gapNs");
    QTest::addColumn<qint64>("eightBytesNs");
    // 3.5 characters of 11 bits; 1.75 ms above 19200 baud.
    QTest::newRow("9600") << 9600 << qint64(4010417) << qint64(8333333);
    QTest::newRow("19200") << 19200 << qint64(2005209) << qint64(4166666);
    QTest::newRow("57600") << 57600 << qint64(1750000) << qint64(1388888);
    QTest::newRow("115200") << 115200 << qint64(1750000) << qint64(694444);
    QTest::newRow("no rate: 115200") << 0 << qint64(1750000) << qint64(694444);
}

void TestRs485::frameGap()
{
    QFETCH(int, baud);
    QFETCH(qint64, gapNs);
    QFETCH(qint64, eightBytesNs);
    FrameGap gap(baud);
    QCOMPARE(gap.gapNs(), gapNs);
    QCOMPARE(gap.waitNs(5), qint64(0)); // a line nothing happened on yet

    gap.lineActiveAt(1000000);
    QCOMPARE(gap.waitNs(1000000), gapNs);
    QCOMPARE(gap.waitNs(1000000 + gapNs / 2), gapNs - gapNs / 2);
    QCOMPARE(gap.waitNs(1000000 + gapNs), qint64(0));
    // Bytes handed to the port are on the line for their wire time, then the gap.
    gap.sentAt(2000000, 8);
    QCOMPARE(gap.waitNs(2000000), eightBytesNs + gapNs);
    // An earlier byte seen late changes nothing.
    gap.lineActiveAt(1500000);
    QCOMPARE(gap.waitNs(2000000), eightBytesNs + gapNs);
}

void TestRs485::latencyTimer_data()
{
    QTest::addColumn<QString>("file"); // under the fake root, for ttyUSB0
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("ms");
    const QString ttyFile = QStringLiteral("sys/class/tty/ttyUSB0/device/latency_timer");
    QTest::newRow("from the tty") << ttyFile << QByteArray("16\n") << 16;
    QTest::newRow("from the usb-serial bus")
        << "sys/bus/usb-serial/devices/ttyUSB0/latency_timer" << QByteArray("1\n") << 1;
    QTest::newRow("not an FTDI adapter") << "sys/class/tty/ttyUSB0/device/port_number" << QByteArray("0\n") << -1;
    QTest::newRow("garbage in the file") << ttyFile << QByteArray("x1\n") << -1;
    QTest::newRow("empty file") << ttyFile << QByteArray() << -1;
    QTest::newRow("more than its byte holds") << ttyFile << QByteArray("256\n") << -1;
}

void TestRs485::latencyTimer()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(int, ms);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QFileInfo(file).path()));
    QVERIFY(writeFile(QDir(root.path()).filePath(file), content));
    QCOMPARE(LatencyTimer::readMs(QStringLiteral("/dev/ttyUSB0"), root.path()), ms);
    QCOMPARE(LatencyTimer::readMs(QStringLiteral("/dev/ttyUSB1"), root.path()), -1);
    if (ms >= 0)
        QCOMPARE(LatencyTimer::file(QStringLiteral("/dev/ttyUSB0"), root.path()), QDir(root.path()).filePath(file));
}

void TestRs485::lineAnswersAtItsOwnRateOnly()
{
    SimTraceLog trace;
    vc->setTraceSink(trace.sink());
    const int replyBytes = readReply(1, factoryStatusWords()).size();
    for (int lineBaud : {115200, 9600}) {
        vc->setBaud(lineBaud);
        for (int masterBaud : {9600, 19200, 57600, 115200}) {
            MasterPort port(vc->portPath(), masterBaud);
            QVERIFY(port.send(statusRead()));
            const QByteArray reply = port.read(replyBytes, masterBaud == lineBaud ? replyTimeoutMs : quietMs);
            QCOMPARE(reply.size(), masterBaud == lineBaud ? replyBytes : 0);
        }
    }
    const QStringList lines = trace.lines();
    QVERIFY2(
        lines.filter(QStringLiteral("-- 8 bytes at 57600 baud, not understood (the line runs at 9600 baud)")).size()
            == 1,
        qPrintable(lines.join('\n')));
    // 0: any rate, as before the line had one.
    vc->setBaud(0);
    MasterPort port(vc->portPath(), 19200);
    QCOMPARE(port.exchange(statusRead(), replyBytes).size(), replyBytes);
}

void TestRs485::lineEchoes()
{
    const QByteArray request = statusRead();
    const QByteArray reply = readReply(1, factoryStatusWords());
    MasterPort port(vc->portPath());

    vc->setEcho(VirtualLine::EchoWhole);
    QCOMPARE(port.exchange(request, request.size() + reply.size()), request + reply);

    // Split: the first half at once, the rest later; the reply after both.
    vc->setEcho(VirtualLine::EchoSplit);
    QVERIFY(port.send(request));
    QCOMPARE(port.read(request.size() / 2, replyTimeoutMs), request.left(request.size() / 2));
    QCOMPARE(port.read(request.size() / 2 + reply.size(), replyTimeoutMs), request.mid(request.size() / 2) + reply);

    // One collision, then whole echoes again.
    vc->setEcho(VirtualLine::EchoCollide, 1);
    const QByteArray first = port.exchange(request, request.size() + reply.size());
    QCOMPARE(first.size(), request.size() + reply.size());
    QVERIFY(first.left(request.size()) != request);
    int changed = 0;
    for (int i = 0; i < request.size(); ++i)
        changed += first.at(i) != request.at(i) ? 1 : 0;
    QCOMPARE(changed, 1);
    QCOMPARE(first.mid(request.size()), reply); // the controller heard the request as sent
    QCOMPARE(port.exchange(request, request.size() + reply.size()), request + reply);

    vc->setEcho(VirtualLine::EchoOff);
    QCOMPARE(port.exchange(request, reply.size()), reply);
}

// vortanix-ctl with the direction and echo options: what the port cannot do
// is refused before anything is sent; on a line that echoes, the echo is
// taken apart from the reply, and a changed or missing one is reported.
void TestRs485::ctlOnTheLine_data()
{
    QTest::addColumn<int>("echo");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on standard error; empty: none
    const int off = VirtualLine::EchoOff;
    QTest::newRow("kernel on a pseudo-terminal")
        << off << QStringList{"--rs485", "kernel", "status"} << int(Port)
        << (BuildProgram::rs485RequestUnsupported()
                   ? ": cannot use --rs485 kernel: the system does not carry out the request"
                   : ": cannot use --rs485 kernel: its driver");
    QTest::newRow("rts on a pseudo-terminal") << off << QStringList{"status", "--rs485=rts", "--rts-delay", "50"}
                                              << int(Port) << ": cannot use --rs485 rts: its";
    QTest::newRow("unknown mode") << off << QStringList{"--rs485", "auto", "status"} << int(Usage)
                                  << "--rs485: 'auto' is not none, kernel or rts";
    QTest::newRow("delay without a mode")
        << off << QStringList{"--rts-delay", "10", "status"} << int(Usage) << "--rts-delay is for --rs485 kernel or";
    QTest::newRow("delay too long") << off << QStringList{"--rs485", "rts", "--rts-delay", "100001", "status"}
                                    << int(Usage) << "--rts-delay";
    QTest::newRow("echo takes no value") << off << QStringList{"--echo=yes", "status"} << int(Usage)
                                         << "--echo takes no value";

    const QStringList status{"--echo", "status"};
    const QStringList power{"power", "650", "--echo"};
    QTest::newRow("whole, read") << int(VirtualLine::EchoWhole) << status << int(Ok) << QString();
    QTest::newRow("split, read") << int(VirtualLine::EchoSplit) << status << int(Ok) << QString();
    QTest::newRow("whole, write") << int(VirtualLine::EchoWhole) << power << int(Ok) << QString();
    QTest::newRow("split, write") << int(VirtualLine::EchoSplit) << power << int(Ok) << QString();
    QTest::newRow("collision, read") << int(VirtualLine::EchoCollide) << status << int(BadReply)
                                     << "status: bus collision: the request's echo came back as 01 03 00 01 ";
    QTest::newRow("collision, write") << int(VirtualLine::EchoCollide) << power << int(NotAcknowledged)
                                      << "may or may not have applied it";
    QTest::newRow("echo cut short, read")
        << int(VirtualLine::EchoShort) << status << int(BadReply)
        << "status: bus collision: the request's echo came back as 01 03 00 01 00 0C 14 ";
    QTest::newRow("no echo where one is expected")
        << off << status << int(BadReply) << "an adapter that hands nothing back needs no --echo";
    QTest::newRow("echo not asked for, read")
        << int(VirtualLine::EchoWhole) << QStringList{"status"} << int(BadReply)
        << "bad CRC (the request's own bytes came back first: the adapter echoes; add --echo)";
    QTest::newRow("echo not asked for, write")
        << int(VirtualLine::EchoWhole) << QStringList{"power", "650"} << int(NotAcknowledged)
        << "the adapter hands the request back: add --echo";
}

void TestRs485::ctlOnTheLine()
{
    QFETCH(int, echo);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    CtlRig rig;
    QVERIFY(rig.start());
    rig.line.setEcho(VirtualLine::Echo(echo));
    const CtlResult result = rig.run(CtlRig::withReplyWait(arguments));
    VERIFY_EMPTY(result.mismatch(exitCode, message));
    if (message.isEmpty())
        QCOMPARE(result.err, QString());
    if (exitCode == Port || exitCode == Usage)
        QCOMPARE(rig.settledFrames(), QList<QByteArray>()); // nothing was sent
    if (exitCode == Ok && arguments.contains(QLatin1String("power")))
        QCOMPARE(rig.at(1).holdingRegister(0x0004), quint16(650));
}

QTEST_GUILESS_MAIN(TestRs485)
#include "tst_rs485.moc"
