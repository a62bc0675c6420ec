// One device, one holder, whatever name each program gives it: the device
// behind a name, and vortanix-ctl, the library's link and the panel's link
// refusing a port another holds through another symbolic link of the same
// pseudo-terminal, as root (whom the exclusive descriptor does not stop) and
// as an ordinary user.

#include "buildprogram.h"
#include "ctlrig.h"
#include "portlock.h"
#include "registers.h"
#include "seriallink.h"
#include "spcomm.h"
#include "testfiles.h"
#include "verifyempty.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestPortLock : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void namesOfOneDevice_data();
    void namesOfOneDevice();
    void ctlRefusedWhileAnotherCtlHoldsAnotherName_data();
    void ctlRefusedWhileAnotherCtlHoldsAnotherName();
    void ctlRefusedWhileTheLibraryHolds();
    void panelHoldsAcrossItsReopens();
    void holdIsOfOneDevice();

private:
    // A second link to the line's terminal, beside the rig's own link.
    QString secondName() const { return rig->filePath(QStringLiteral("by-id-link")); }

    std::unique_ptr<CtlRig> rig;
};

namespace {

// The name the system gives the holding vortanix-ctl: under an emulator, the emulator's (cut to 15 bytes).
QString holderName()
{
    return BuildProgram::emulated() ? QFileInfo(BuildProgram::emulator().first()).fileName().left(15)
                                    : QStringLiteral("vortanix-ctl");
}

// Starts a log that holds the port until it is ended; true once it has read.
bool startHolder(QProcess &process, const QStringList &arguments)
{
    process.start(arguments.first(), arguments.mid(1));
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired() && !process.canReadLine()) {
        if (process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(200);
    }
    return process.canReadLine();
}

void endHolder(QProcess &process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(30000))
            process.kill();
        process.waitForFinished(30000);
    }
}

} // namespace

void TestPortLock::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1}));
    QVERIFY(QFile::link(rig->line.terminalPath(), secondName()));
}

void TestPortLock::cleanup()
{
    rig.reset();
}

// Pairs of names → one device or two. %1 is a folder of links (linkDevices()).
void TestPortLock::namesOfOneDevice_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("a link and its device") << "%1/null"
                                           << "/dev/null" << true;
    QTest::newRow("a link to a link") << "%1/null2"
                                      << "/dev/null" << true;
    QTest::newRow("a dotted path") << "/dev/./../dev/null"
                                   << "/dev/null" << true;
    QTest::newRow("two devices") << "%1/null"
                                 << "%1/zero" << false;
    QTest::newRow("a missing name and a device") << "%1/missing"
                                                 << "/dev/null" << false;
    QTest::newRow("a folder by two paths") << "%1/."
                                           << "%1/folder/.." << true;
}

void TestPortLock::namesOfOneDevice()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QTemporaryDir folder;
    QVERIFY(linkDevices(folder.path()));
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("folder")));
    first.replace(QLatin1String("%1"), folder.path());
    second.replace(QLatin1String("%1"), folder.path());
    QCOMPARE(PortLock::deviceKey(first) == PortLock::deviceKey(second), same);
}

// The case that let two masters onto one bus: a log holds the port by one
// name, a write comes by another. Nothing of the second reaches the line.
// Root's programs and an ordinary user's meet at the same lock, either way round.
void TestPortLock::ctlRefusedWhileAnotherCtlHoldsAnotherName_data()
{
    QTest::addColumn<bool>("holderIsNobody");
    QTest::addColumn<bool>("writerIsNobody");
    QTest::newRow("root holds, root is refused") << false << false;
    QTest::newRow("root holds, nobody is refused") << false << true;
    QTest::newRow("nobody holds, root is refused") << true << false;
}

void TestPortLock::ctlRefusedWhileAnotherCtlHoldsAnotherName()
{
    QFETCH(bool, holderIsNobody);
    QFETCH(bool, writerIsNobody);
    QStringList asNobody;
    QTemporaryDir reachable; // the program's copy for nobody
    if (holderIsNobody || writerIsNobody) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty() || ::geteuid() != 0)
            QSKIP("needs root and setpriv (util-linux) to run the program as nobody");
        asNobody = QStringList{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        // An ordinary user may use this terminal and reach its links: only the hold stops them.
        QVERIFY(::chmod(QFile::encodeName(rig->line.terminalPath()).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(QFileInfo(secondName()).absolutePath()).constData(), 0755) == 0);
    }
    auto ctl = [&](bool nobody, const QStringList &arguments) {
        return nobody ? asNobody + BuildProgram::commandLineForAnyUser(reachable.path(), CtlRig::program(), arguments)
                      : BuildProgram::commandLine(CtlRig::program(), arguments);
    };
    const QStringList log = ctl(holderIsNobody, {"--port", rig->portPath(), "--json", "status", "--interval", "100"});
    QProcess holder;
    QVERIFY2(startHolder(holder, log), holder.readAllStandardError().constData());
    rig->at(1).setHoldingRegister(RegPowerPermille, 400);

    const QStringList command = ctl(writerIsNobody, {"--port", secondName(), "power", "5"});
    QProcess second;
    second.start(command.first(), command.mid(1));
    const bool finished = second.waitForFinished(120000);
    const QString err = QString::fromUtf8(second.readAllStandardError());
    const QString expected
        = QStringLiteral("%1: in use by PID %2 (%3)").arg(secondName()).arg(holder.processId()).arg(holderName());
    endHolder(holder);
    QVERIFY2(finished && second.exitCode() == Port, qPrintable(err));
    QVERIFY2(err.contains(expected), qPrintable(err));
    QCOMPARE(rig->at(1).holdingRegister(RegPowerPermille), quint16(400));
}

// A bridge's line (the library's SerialLink) holding the terminal itself, by
// its /dev/pts name; once it lets go, the port is free again.
void TestPortLock::ctlRefusedWhileTheLibraryHolds()
{
    SerialLink line;
    QVERIFY2(line.open(rig->line.terminalPath(), 115200), qPrintable(line.openErrorText()));
    SerialLink other;
    QVERIFY(!other.open(secondName(), 115200));
    QCOMPARE(other.openError(), SerialLink::Busy);
    QVERIFY2(other.openErrorText().contains(QStringLiteral("in use by PID %1").arg(::getpid())),
        qPrintable(other.openErrorText()));
    VERIFY_EMPTY(rig->run({"status"}).mismatch(Port, QStringLiteral("in use by PID %1").arg(::getpid())));

    line.close();
    VERIFY_EMPTY(rig->run(CtlRig::withReplyWait({"status"})).mismatch(Ok));
}

// The panel closes and reopens its port before every exchange; the device
// stays its own in between, and is let go when the operator closes it.
void TestPortLock::panelHoldsAcrossItsReopens()
{
    SPComm panel;
    panel.setPortName(secondName());
    QVERIFY(panel.openPort());
    for (int n = 0; n < 3; ++n) {
        QVERIFY(panel.reopenPort());
        SerialLink other;
        QVERIFY(!other.open(rig->portPath(), 115200));
        QCOMPARE(other.openError(), SerialLink::Busy);
    }
    // While the panel holds it, a second panel cannot open it either.
    SPComm second;
    second.setPortName(rig->line.terminalPath());
    QVERIFY(!second.openPort());
    QVERIFY(!second.isOpen());

    panel.closePort();
    SerialLink after;
    QVERIFY2(after.open(rig->portPath(), 115200), qPrintable(after.openErrorText()));
    after.close();
    QVERIFY(second.openPort());
}

// A hold is its device's, by any of its names, and no other device's.
void TestPortLock::holdIsOfOneDevice()
{
    VirtualLine other;
    QVERIFY(other.start());
    PortLock lock;
    QVERIFY(lock.acquire(rig->portPath()));
    QVERIFY(lock.holds(secondName()));
    QVERIFY(!lock.holds(other.terminalPath()));
}

QTEST_GUILESS_MAIN(TestPortLock)
#include "tst_portlock.moc"
