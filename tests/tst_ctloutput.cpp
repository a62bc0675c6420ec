// vortanix-ctl's output where it cannot be written, the real program against
// a virtual line: results into /dev/full fail the run with the system's
// reason, the CSV log on a file system that fills up (a small tmpfs mounted
// here) keeps whole rows only, a row an earlier run left cut short is
// removed before the log goes on, and an INI file that cannot be a file is
// refused before anything is sent.

#include "ctlrig.h"
#include "testfiles.h"
#include "verifyempty.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int csvColumns = 15;
const char *const noSpace = "No space left on device";

// Each line of a CSV log: whole (ends with its line end) and of all columns.
// An empty text when so, else what is wrong.
QString wholeRows(const QString &path, int *rows)
{
    const QByteArray bytes = fileBytes(path);
    if (!bytes.endsWith('\n'))
        return QStringLiteral("ends without a line end: ") + QString::fromUtf8(bytes.right(40));
    const QList<QByteArray> lines = bytes.left(bytes.size() - 1).split('\n');
    for (const QByteArray &line : lines) {
        if (line.count(',') != csvColumns - 1 && !line.contains('"'))
            return QStringLiteral("a row of %1 columns: %2").arg(line.count(',') + 1).arg(QString::fromUtf8(line));
    }
    *rows = lines.size() - 1;
    return QString();
}

// A small file system of the test's own, unmounted at the end.
class SmallDisk
{
public:
    bool mount()
    {
        if (::geteuid() != 0 || !folder.isValid())
            return false;
        mounted = QProcess::execute(QStringLiteral("mount"),
                      {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=64k"),
                          QStringLiteral("tmpfs"), folder.path()})
            == 0;
        return mounted;
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {folder.path()});
    }
    // Fills what is left with a file of its own but `leaveBytes`: true once it is so.
    bool fill(qint64 leaveBytes = 0)
    {
        QFile filler(path(QStringLiteral("filler")));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray block(512, 'x');
        while (filler.write(block) == block.size()) { }
        return filler.resize(std::max<qint64>(0, filler.size() - leaveBytes));
    }
    bool unfill() { return QFile::remove(path(QStringLiteral("filler"))); }
    QString path(const QString &name) const { return folder.filePath(name); }

private:
    QTemporaryDir folder;
    bool mounted = false;
};

} // namespace

class TestCtlOutput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void resultsIntoAFullDevice_data();
    void resultsIntoAFullDevice();
    void csvLogIntoAFullDevice();
    void csvLogOnAFileSystemThatFills();
    void rowCutShortEarlierIsRemoved();
    void iniIntoADevice();
    void iniOnAFileSystemThatFills();

private:
    // `status` logged to a CSV file: one reading, or `count` of them back to back.
    CtlResult csvLog(const QString &file, int count = 0) const
    {
        QStringList arguments{"status", "--csv", file};
        if (count > 0)
            arguments << "--count" << QString::number(count) << "--interval"
                      << "0";
        return rig->run(CtlRig::withReplyWait(arguments));
    }

    std::unique_ptr<CtlRig> rig;
};

void TestCtlOutput::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1}));
}

void TestCtlOutput::cleanup()
{
    rig.reset();
}

// Commands whose results go to standard output → written into /dev/full,
// each fails with status 1 and the system's reason.
void TestCtlOutput::resultsIntoAFullDevice_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("status") << QStringList{"status"};
    QTest::newRow("status as JSON") << QStringList{"--json", "status"};
    QTest::newRow("a log of three") << QStringList{"status", "--count", "3", "--interval", "0"};
    QTest::newRow("a write") << QStringList{"power", "100"};
    QTest::newRow("scan") << QStringList{"scan", "--bauds", "115200", "--addresses", "1"};
    QTest::newRow("config get") << QStringList{"config", "get"};
    QTest::newRow("help") << QStringList{"--help"};
}

void TestCtlOutput::resultsIntoAFullDevice()
{
    QFETCH(QStringList, arguments);
    const CtlResult result = rig->runInto(QStringLiteral("/dev/full"), CtlRig::withReplyWait(arguments));
    VERIFY_EMPTY(
        result.mismatch(FileError, QStringLiteral("the results could not be written to standard output: ") + noSpace));
}

void TestCtlOutput::csvLogIntoAFullDevice()
{
    const CtlResult result = csvLog(QStringLiteral("/dev/full"));
    VERIFY_EMPTY(result.mismatch(FileError, QStringLiteral("/dev/full: cannot be written: ") + noSpace));
    // Nothing but the program's own words: no warning of the library beneath.
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
}

// The log runs until the disk is full: the row that no longer fits is taken
// back whole, the message gives the reason, and once there is room again
// the next run appends to whole rows.
void TestCtlOutput::csvLogOnAFileSystemThatFills()
{
    SmallDisk disk;
    if (!disk.mount())
        QSKIP("needs root to mount a small tmpfs");
    const QString log = disk.path(QStringLiteral("log.csv"));
    VERIFY_EMPTY(csvLog(log).mismatch(Ok));
    QVERIFY(disk.fill());

    VERIFY_EMPTY(csvLog(log, 1000).mismatch(FileError, log + QStringLiteral(": cannot be written: ") + noSpace));
    int rows = 0;
    VERIFY_EMPTY(wholeRows(log, &rows));
    QVERIFY2(rows > 1, qPrintable(QString::number(rows))); // the rest of the file's last page was used

    QVERIFY(disk.unfill());
    const CtlResult after = csvLog(log, 2);
    QVERIFY2(after.exitCode == Ok && after.err.isEmpty(), qPrintable(after.describe()));
    int rowsAfter = 0;
    VERIFY_EMPTY(wholeRows(log, &rowsAfter));
    QCOMPARE(rowsAfter, rows + 2);
}

// Files an earlier run (or an older version) left with a last row that has
// no line end → what the log holds after one more reading.
void TestCtlOutput::rowCutShortEarlierIsRemoved()
{
    const QString log = rig->filePath(QStringLiteral("log.csv"));
    VERIFY_EMPTY(csvLog(log).mismatch(Ok));
    const QByteArray whole = fileBytes(log);
    const QByteArray torn = whole + whole.mid(whole.indexOf('\n') + 1, 30);
    QVERIFY(writeFile(log, torn));

    VERIFY_EMPTY(
        csvLog(log).mismatch(Ok, log + QStringLiteral(": its last row was cut short in an earlier run (30 bytes")));
    int rows = 0;
    VERIFY_EMPTY(wholeRows(log, &rows));
    QCOMPARE(rows, 2);
    QVERIFY(fileBytes(log).startsWith(whole));

    // A file of a header cut short has no whole row to go back to: left alone.
    QVERIFY(writeFile(log, whole.left(20)));
    VERIFY_EMPTY(csvLog(log).mismatch(FileError));
}

// `config get --ini` into a device, a pipe or a folder: refused as no file,
// before anything is sent, never "written". The devices are nodes of the
// test's own (as root): a program that wrote an INI file by replacing the
// path would replace those, never the system's /dev/full.
void TestCtlOutput::iniIntoADevice()
{
    QTemporaryDir folder;
    QStringList targets{folder.path()};
    const QString fifo = folder.filePath(QStringLiteral("fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    targets << fifo;
    const QString full = folder.filePath(QStringLiteral("full"));
    if (::geteuid() == 0 && ::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, ::makedev(1, 7)) == 0)
        targets << full;
    for (const QString &target : targets) {
        rig->clearRequests();
        const CtlResult result = rig->run(CtlRig::withReplyWait({"config", "get", "--ini", target}));
        VERIFY_EMPTY(result.mismatch(FileError, target + QStringLiteral(" is not a regular file")));
        QVERIFY2(!result.out.contains(QStringLiteral("written")), qPrintable(result.out));
        QCOMPARE(rig->settledFrames().size(), 0); // nothing was sent
    }
}

// `config get --ini` with room for the file's lock but not its text: the
// library beneath leaves an empty file and says it wrote it; the run fails.
void TestCtlOutput::iniOnAFileSystemThatFills()
{
    SmallDisk disk;
    if (!disk.mount())
        QSKIP("needs root to mount a small tmpfs");
    QVERIFY(disk.fill(4096));
    const QString ini = disk.path(QStringLiteral("full.ini"));
    const CtlResult result = rig->run(CtlRig::withReplyWait({"config", "get", "--ini", ini}));
    VERIFY_EMPTY(result.mismatch(FileError, ini + QStringLiteral(": cannot be written")));
}

QTEST_GUILESS_MAIN(TestCtlOutput)
#include "tst_ctloutput.moc"
