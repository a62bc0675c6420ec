// One device, one holder, whatever name each program gives it: the device
// behind a name, and vortanix-ctl, the library's link and the panel's link
// refusing a port another holds through another symbolic link of the same
// pseudo-terminal, as root (whom the exclusive descriptor does not stop) and
// as an ordinary user; and the lock files other serial programs (minicom,
// cu, lockdev) leave in /run/lock, read as they write them.

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
    void lockFileOfEachName_data();
    void lockFileOfEachName();
    void ctlRefusedWhileAnotherCtlHoldsAnotherName_data();
    void ctlRefusedWhileAnotherCtlHoldsAnotherName();
    void ctlRefusedWhileTheLibraryHolds();
    void panelHoldsAcrossItsReopens();
    void otherProgramsLockFiles_data();
    void otherProgramsLockFiles();
    void staleLockOfAnotherUserIsNamed();
    void holdIsOfOneDevice();

private:
    // A second link to the line's terminal, beside the rig's own link.
    QString secondName() const { return rig->filePath(QStringLiteral("by-id-link")); }

    // The line's terminal's lock file as Debian's serial programs name it: /dev/pts/3 → LCK..pts_3.
    QString lockFile() const
    {
        return QStringLiteral("/run/lock/LCK..") + rig->line.terminalPath().mid(5).replace(QLatin1Char('/'), '_');
    }

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
    QFile::remove(lockFile());
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

// A name → the lock file of the device it leads to, as Debian's serial
// programs name it (empty: no device, nothing to lock); a lock held for one
// device holds no other. %1 is a folder of links (linkDevices()).
void TestPortLock::lockFileOfEachName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("lockFile");
    QTest::newRow("a device") << "/dev/null"
                              << "/run/lock/LCK..null";
    QTest::newRow("a link to a link") << "%1/null2"
                                      << "/run/lock/LCK..null";
    QTest::newRow("a regular file") << "%1/file" << QString();
    QTest::newRow("a missing name") << "%1/missing" << QString();
}

void TestPortLock::lockFileOfEachName()
{
    QFETCH(QString, path);
    QFETCH(QString, lockFile);
    QTemporaryDir folder;
    QVERIFY(linkDevices(folder.path()) && writeFile(folder.filePath(QStringLiteral("file")), "x"));
    path.replace(QLatin1String("%1"), folder.path());
    QCOMPARE(PortLock::lockFilePath(path), lockFile);
    PortLock lock;
    QVERIFY(lock.acquire(rig->line.terminalPath()));
    QVERIFY(lock.holds(secondName()));
    QVERIFY(!lock.holds(path));
    QVERIFY(!PortLock().holds(path));
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

// Another program's lock file for the line's terminal: %1 in `content` is the
// PID of a running program ("sleep"), 4 bytes of `binary` when set. A live
// PID is a live lock whatever program it is and whichever name the port is
// given; a file that names no running program is taken over, rewritten whole.
void TestPortLock::otherProgramsLockFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<bool>("byLink");
    QTest::addColumn<bool>("taken");
    QTest::newRow("a running PID, %10d") << QByteArray("%1\n") << false << false << false;
    QTest::newRow("a running PID, by a link") << QByteArray("%1\n") << false << true << false;
    QTest::newRow("a running PID, program and user") << QByteArray("%1 minicom root\n") << false << false << false;
    QTest::newRow("a running PID, 4 bytes") << QByteArray() << true << false << false;
    QTest::newRow("empty") << QByteArray() << false << true << true;
    QTest::newRow("garbage") << QByteArray("LCK..x\n") << false << false << true;
    QTest::newRow("a PID that ended, longer") << QByteArray("  99999999 minicom root\n") << false << true << true;
}

void TestPortLock::otherProgramsLockFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, binary);
    QFETCH(bool, byLink);
    QFETCH(bool, taken);
    QProcess program;
    program.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(program.waitForStarted());
    const qint32 pid = qint32(program.processId());
    const QByteArray written = binary ? QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid)
                                      : QByteArray(content).replace("%1", QByteArray::number(pid).rightJustified(10));
    QVERIFY(writeFile(lockFile(), written));

    SerialLink link;
    const bool opened = link.open(byLink ? secondName() : rig->line.terminalPath(), 115200);
    const QByteArray during = fileBytes(lockFile());
    link.close();
    program.kill();
    program.waitForFinished();
    QVERIFY2(opened == taken, qPrintable(link.openErrorText()));
    if (taken) {
        QCOMPARE(during, QByteArray::number(::getpid()).rightJustified(10) + '\n');
        QVERIFY(!QFileInfo::exists(lockFile())); // let go with the port
    } else {
        QCOMPARE(during, written);
        const QString expected = QStringLiteral("in use by PID %1 (sleep) according to %2").arg(pid).arg(lockFile());
        QVERIFY2(link.openErrorText().contains(expected), qPrintable(link.openErrorText()));
    }
}

// A stale lock file of root's in the sticky lock folder, which an ordinary
// user may neither rewrite nor remove: the refusal names it and the way out.
void TestPortLock::staleLockOfAnotherUserIsNamed()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty() || ::geteuid() != 0)
        QSKIP("needs root and setpriv (util-linux) to run the program as nobody");
    QVERIFY(::chmod(QFile::encodeName(rig->line.terminalPath()).constData(), 0666) == 0);
    QVERIFY(writeFile(lockFile(), "  99999999\n"));
    QVERIFY(::chmod(QFile::encodeName(lockFile()).constData(), 0644) == 0);
    QTemporaryDir reachable; // the program's copy for nobody, who may not reach the build folder
    const QStringList command = QStringList{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"}
        + BuildProgram::commandLineForAnyUser(
            reachable.path(), CtlRig::program(), {"--port", rig->line.terminalPath(), "status"});
    QProcess ctl;
    ctl.start(command.first(), command.mid(1));
    QVERIFY(ctl.waitForFinished(120000));
    const QString err = QString::fromUtf8(ctl.readAllStandardError());
    QVERIFY2(ctl.exitCode() == Port && err.contains(QStringLiteral("names PID 99999999, which has ended"))
            && err.contains(QStringLiteral("sudo rm %1").arg(lockFile())),
        qPrintable(err));
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
