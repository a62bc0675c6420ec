// The serial link on a real pseudo-terminal, with the test at the far end.

#include "linefacts.h"
#include "spcomm.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// The far end of a line: the master side of a raw pseudo-terminal.
class FarEnd
{
public:
    FarEnd()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        path = QString::fromLocal8Bit(ptsname(master));
        // Keep the terminal alive and raw while the link closes and reopens.
        keeper = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        termios tio;
        tcgetattr(keeper, &tio);
        cfmakeraw(&tio);
        tcsetattr(keeper, TCSANOW, &tio);
    }
    ~FarEnd()
    {
        if (keeper >= 0)
            ::close(keeper);
        if (master >= 0)
            ::close(master);
    }
    bool ok() const { return master >= 0 && keeper >= 0; }
    void send(const QByteArray &data) const
    {
        QCOMPARE(::write(master, data.constData(), data.size()), ssize_t(data.size()));
    }
    QByteArray receive(int count, int timeoutMs) const
    {
        QByteArray data;
        QElapsedTimer clock;
        clock.start();
        while (data.size() < count && clock.elapsed() < timeoutMs) {
            char buffer[256];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                data.append(buffer, int(n));
            else
                QThread::msleep(2);
        }
        return data;
    }
    // Bytes sent that wait unread on the link's side of the terminal.
    int waitingAtLink() const
    {
        int count = 0;
        return ::ioctl(keeper, FIONREAD, &count) == 0 ? count : -1;
    }
    void makeNonBlocking() const { fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK); }

    int master = -1;
    int keeper = -1;
    QString path;
};

} // namespace

class TestSPComm : public QObject
{
    Q_OBJECT

private slots:
    void freshLink();
    void openMissingPortFails();
    void openAppliesFixedLineFormat();
    void openWhileOpenKeepsSettings();
    void closeNeverOpenedChangesNothing();
    void readNothingReturnsZeroAfterOneWait();
    void readShortReplyReturnsWhatArrived();
    void readStreamedFasterThanWaitReadsToTheEnd();
    void readReturnsAsSoonAsComplete();
    void writeSendsEverything();
    void reopenDrainsStaleBytes();
    void reopenOfVanishedPortLeavesLinkClosed();
    void baudRateMapping();
};

void TestSPComm::freshLink()
{
    SPComm link;
    QVERIFY(!link.isOpen());
    QCOMPARE(link.linkBaudRate, 115200);
    QVERIFY(link.portName.isEmpty());
    QVERIFY(!link.reopenPort());
    QVERIFY(!link.isOpen());
    QVERIFY(link.mutex.tryLock());
    link.mutex.unlock();
}

void TestSPComm::openMissingPortFails()
{
    SPComm link;
    link.setPortName(QStringLiteral("/nonexistent/ttyNOPE"));
    QVERIFY(!link.openPort());
    QVERIFY(!link.isOpen());
}

void TestSPComm::openAppliesFixedLineFormat()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    link.setBaudRate(9600);
    QVERIFY(link.openPort());
    QVERIFY(link.isOpen());
    QCOMPARE(link.serialPort->baudRate(), 9600);
    QCOMPARE(link.serialPort->dataBits(), QSerialPort::Data8);
    QCOMPARE(link.serialPort->parity(), QSerialPort::NoParity);
    QCOMPARE(link.serialPort->stopBits(), QSerialPort::OneStop);
    QCOMPARE(link.serialPort->flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(link.serialPort->readBufferSize(), qint64(1024));
    link.closePort();
    QVERIFY(!link.isOpen());
}

void TestSPComm::openWhileOpenKeepsSettings()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    const QString openedName = link.serialPort->portName();
    link.setBaudRate(9600);
    link.setPortName(QStringLiteral("/nonexistent/other"));
    QVERIFY(link.openPort());
    QVERIFY(link.isOpen());
    QCOMPARE(link.serialPort->baudRate(), 115200);
    QCOMPARE(link.serialPort->portName(), openedName);
}

void TestSPComm::closeNeverOpenedChangesNothing()
{
    SPComm link;
    link.opened = 1; // the flag is left alone when the port object is not open
    link.closePort();
    QCOMPARE(link.opened, 1);
}

void TestSPComm::readNothingReturnsZeroAfterOneWait()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    char buffer[32];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.readData(buffer, 29, 80), 0);
    QVERIFY(clock.elapsed() >= 75);
}

void TestSPComm::readShortReplyReturnsWhatArrived()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    far.send(QByteArray::fromHex("0103180000"));
    char buffer[32];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.readData(buffer, 29, 60), 5);
    QVERIFY(clock.elapsed() >= 55);
    QCOMPARE(QByteArray(buffer, 5), QByteArray::fromHex("0103180000"));
}

void TestSPComm::readStreamedFasterThanWaitReadsToTheEnd()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    // 29 bytes in six bursts with five pauses of a fifth of the wait between
    // them: the whole read takes longer than one wait, but no pause comes near
    // one (a loaded machine may stall the sender for a while; not for three
    // times a pause).
    static constexpr int waitMs = 1000;
    static constexpr int pauseMs = waitMs / 5;
    std::thread sender([&far] {
        for (int i = 0; i < 29; ++i) {
            if (i > 0 && i % 5 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs)); // a pause on the line
            const char byte = char(i);
            if (::write(far.master, &byte, 1) != 1)
                return;
        }
    });
    char buffer[32];
    QElapsedTimer clock;
    clock.start();
    const int got = link.readData(buffer, 29, waitMs);
    sender.join();
    QCOMPARE(got, 29);
    QVERIFY(clock.elapsed() >= 5 * pauseMs);
    for (int i = 0; i < 29; ++i)
        QCOMPARE(int(buffer[i]), i);
}

void TestSPComm::readReturnsAsSoonAsComplete()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    far.send(QByteArray(10, 'x'));
    char buffer[16];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.readData(buffer, 6, 60000), 6);
    // Never the whole wait when the count is complete.
    QVERIFY(clock.elapsed() < 30000);
}

void TestSPComm::writeSendsEverything()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    QByteArray frame;
    for (int i = 0; i < 23; ++i)
        frame.append(char(i * 7));
    QCOMPARE(link.writeData(frame.constData(), frame.size()), 23);
    QCOMPARE(far.receive(23, 3000), frame);

    link.closePort();
    QCOMPARE(link.writeData(frame.constData(), frame.size()), -1);
}

void TestSPComm::reopenDrainsStaleBytes()
{
    FarEnd far;
    QVERIFY(far.ok());
    SPComm link;
    link.setPortName(far.path);
    QVERIFY(link.openPort());
    far.send(QByteArray::fromHex("DEADBEEF"));
    // The stale bytes must be waiting on the link's side before the reopen
    // (no event loop meanwhile, so the port does not fetch them itself).
    QElapsedTimer clock;
    clock.start();
    while (far.waitingAtLink() < 4 && clock.elapsed() < 5000)
        QThread::msleep(2);
    QCOMPARE(far.waitingAtLink(), 4);
    QVERIFY(link.reopenPort());
    QVERIFY(link.isOpen());
    far.send(QByteArray::fromHex("0102"));
    char buffer[8];
    QCOMPARE(link.readData(buffer, 2, 1000), 2);
    QCOMPARE(QByteArray(buffer, 2), QByteArray::fromHex("0102"));
}

void TestSPComm::reopenOfVanishedPortLeavesLinkClosed()
{
    // The link names the terminal by a symlink, which goes with it: a closed
    // terminal's number is handed at once to the next one opened anywhere on
    // the machine, and a reopen of /dev/pts/N could find somebody else's.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ttyUSB0"));
    auto far = std::make_unique<FarEnd>();
    QVERIFY(far->ok());
    QVERIFY(QFile::link(far->path, path));
    SPComm link;
    link.setPortName(path);
    QVERIFY(link.openPort());
    far.reset(); // the adapter is pulled
    QVERIFY(QFile::remove(path));
    QVERIFY(!link.reopenPort());
    QVERIFY(!link.isOpen());
    QVERIFY(!link.serialPort->isOpen());
}

void TestSPComm::baudRateMapping()
{
    for (int rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
        QCOMPARE(SPComm::mapBaudRate(rate), rate);
    for (int rate : {0, -1, 300, 14400, 230400, 921600})
        QCOMPARE(SPComm::mapBaudRate(rate), -1);
    // Every rate a controller runs at, as the other programs know them, is one the panel's port takes.
    for (int rate : LineFacts::bauds())
        QCOMPARE(SPComm::mapBaudRate(rate), rate);
}

QTEST_GUILESS_MAIN(TestSPComm)
#include "tst_spcomm.moc"
