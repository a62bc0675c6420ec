// vortanix-ctl's readings and searches, the real program against a virtual
// line: the status as JSON with its documented keys, the CSV log with a
// failed reading as a row and a clean stop on SIGTERM or SIGINT, an adapter
// pulled and plugged back in during a log, and the scan of a line with
// several controllers.

#include "controllervalues.h"
#include "ctlrig.h"
#include "modbusframes.h"
#include "registers.h"
#include "testfiles.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

// The keys the manual page and --help document for a reading, in the CSV's column order.
const QStringList statusKeys{QStringLiteral("time"), QStringLiteral("address"), QStringLiteral("temperature_c"),
    QStringLiteral("sensor"), QStringLiteral("power_permille"), QStringLiteral("supply_v"),
    QStringLiteral("run_seconds"), QStringLiteral("run_hours"), QStringLiteral("firmware"),
    QStringLiteral("adc_enabled"), QStringLiteral("modules_on"), QStringLiteral("modules_enabled"),
    QStringLiteral("status_word_6"), QStringLiteral("status_word_8")};
const QString csvHeader = (QStringList(statusKeys) << QStringLiteral("error")).join(QLatin1Char(','));

// ISO 8601 local time with milliseconds and the offset from UTC.
const QRegularExpression isoTime(
    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)$"));

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
}

// The CSV rows of a file, header left out; false when a line is not whole.
QList<QStringList> csvRows(const QString &path)
{
    QList<QStringList> rows;
    const QStringList lines = fileLines(path);
    for (int i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).isEmpty())
            rows << lines.at(i).split(QLatin1Char(','));
    }
    return rows;
}

QJsonObject parsed(const QString &line)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && document.isObject() ? document.object() : QJsonObject();
}

QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class TestCtlStatus : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusAsJson_data();
    void statusAsJson();
    void otherCommandsAsJson();
    void failedReadingAsJson();
    void csvLogStopsWhole_data();
    void csvLogStopsWhole();
    void csvAppendsAndLeavesOtherFilesAlone();
    void pulledAdapterDuringALog();
    void countedReadingsAsText();
    void scanFindsTheControllersOfALine();
    void scanAsksEveryAddressAtEveryRate();
    void scanOfATwoControllerLineFindsTwo();
    void scanOfAnEmptyLine();

private:
    // Waits until the file holds the header and `rows` rows.
    bool waitForRows(const QString &path, int rows, QProcess &process);

    std::unique_ptr<CtlRig> rig;
};

void TestCtlStatus::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1, 3, 200}));
}

void TestCtlStatus::cleanup()
{
    rig.reset();
}

bool TestCtlStatus::waitForRows(const QString &path, int rows, QProcess &process)
{
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        if (csvRows(path).size() >= rows)
            return true;
        process.waitForReadyRead(50); // the program prints each reading after its row
    }
    return csvRows(path).size() >= rows;
}

// Temperature word → temperature_c and sensor.
void TestCtlStatus::statusAsJson_data()
{
    QTest::addColumn<int>("temperature");
    QTest::addColumn<QJsonValue>("celsius");
    QTest::addColumn<QString>("sensor");
    QTest::newRow("41.7 °C") << 417 << QJsonValue(41.7) << "ok";
    QTest::newRow("-5.5 °C") << -55 << QJsonValue(-5.5) << "ok";
    QTest::newRow("sensor open") << int(TemperatureOpenCircuit) << QJsonValue() << "open";
    QTest::newRow("sensor shorted") << int(TemperatureShortCircuit) << QJsonValue() << "short";
}

void TestCtlStatus::statusAsJson()
{
    QFETCH(int, temperature);
    QFETCH(QJsonValue, celsius);
    QFETCH(QString, sensor);
    StatusValues values;
    values.temperature = qint16(temperature);
    values.switchMask = 0x0803;
    values.enableMask = 0x0FF0;
    values.adc = 1;
    values.power = 650;
    values.supply = 23999;
    values.seconds = 4564800;
    values.version = 0x0203;
    values.word6 = 6;
    values.word8 = 0x8000;
    SimController controller = rig->at(3);
    values.applyTo(controller);

    const CtlResult result = rig->run({QStringLiteral("--json"), QStringLiteral("-a"), QStringLiteral("3"),
        QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("status")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(result.outLines().size(), 1);
    const QJsonObject json = parsed(result.out);
    QCOMPARE(sortedKeys(json), sorted(statusKeys));
    QVERIFY2(isoTime.match(json.value(QStringLiteral("time")).toString()).hasMatch(), qPrintable(result.out));
    QCOMPARE(json.value(QStringLiteral("address")), QJsonValue(3));
    QCOMPARE(json.value(QStringLiteral("temperature_c")), celsius);
    QCOMPARE(json.value(QStringLiteral("sensor")), QJsonValue(sensor));
    QCOMPARE(json.value(QStringLiteral("power_permille")), QJsonValue(650));
    QCOMPARE(json.value(QStringLiteral("supply_v")), QJsonValue(23.999));
    QCOMPARE(json.value(QStringLiteral("run_seconds")), QJsonValue(4564800));
    QCOMPARE(json.value(QStringLiteral("run_hours")), QJsonValue(1268));
    QCOMPARE(json.value(QStringLiteral("firmware")), QJsonValue(QStringLiteral("2.3")));
    QCOMPARE(json.value(QStringLiteral("adc_enabled")), QJsonValue(true));
    QCOMPARE(json.value(QStringLiteral("modules_on")), QJsonValue(QJsonArray{1, 2, 12}));
    QCOMPARE(json.value(QStringLiteral("modules_enabled")), QJsonValue(QJsonArray{5, 6, 7, 8, 9, 10, 11, 12}));
    QCOMPARE(json.value(QStringLiteral("status_word_6")), QJsonValue(6));
    QCOMPARE(json.value(QStringLiteral("status_word_8")), QJsonValue(0x8000));
}

// Command → the keys of its one JSON line.
void TestCtlStatus::otherCommandsAsJson()
{
    const QStringList configKeys{QStringLiteral("alarm_c"), QStringLiteral("compensation_hours"),
        QStringLiteral("compensation_seconds"), QStringLiteral("max_dac"), QStringLiteral("modules_enabled"),
        QStringLiteral("modules_low_power")};
    const struct
    {
        QStringList arguments;
        QStringList keys;
    } cases[] = {
        {{QStringLiteral("config"), QStringLiteral("get")}, configKeys},
        {{QStringLiteral("config"), QStringLiteral("factory")}, configKeys},
        {{QStringLiteral("power"), QStringLiteral("--millivolts"), QStringLiteral("735")},
            {QStringLiteral("millivolts"), QStringLiteral("power_permille")}},
        {{QStringLiteral("switch"), QStringLiteral("3-5")}, {QStringLiteral("modules_on")}},
        {{QStringLiteral("enable")}, {QStringLiteral("modules_enabled")}},
        {{QStringLiteral("adc"), QStringLiteral("on")}, {QStringLiteral("adc_enabled")}},
        {{QStringLiteral("dac")}, {QStringLiteral("max_dac")}},
    };
    for (const auto &c : cases) {
        const CtlResult result = rig->run(
            QStringList{QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("3000")} + c.arguments);
        QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
        QCOMPARE(result.outLines().size(), 1);
        QCOMPARE(sortedKeys(parsed(result.out)), c.keys);
    }
    const QJsonObject config
        = parsed(rig->run({QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("3000"),
                              QStringLiteral("config"), QStringLiteral("get")})
                     .out);
    QCOMPARE(config.value(QStringLiteral("alarm_c")), QJsonValue(30.0));
    QCOMPARE(config.value(QStringLiteral("compensation_hours")), QJsonValue(10000));
    QCOMPARE(config.value(QStringLiteral("max_dac")), QJsonValue(3980));
    const QJsonObject power
        = parsed(rig->run({QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("3000"),
                              QStringLiteral("power"), QStringLiteral("--millivolts"), QStringLiteral("735")})
                     .out);
    QCOMPARE(power.value(QStringLiteral("power_permille")), QJsonValue(149));
}

void TestCtlStatus::failedReadingAsJson()
{
    rig->at(1).setFault(SimController::FaultBadCrc);
    const CtlResult result = rig->run(
        {QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("status")});
    QVERIFY2(result.exitCode == BadReply, qPrintable(result.describe()));
    const QJsonObject json = parsed(result.out);
    QCOMPARE(
        sortedKeys(json), (QStringList{QStringLiteral("address"), QStringLiteral("error"), QStringLiteral("time")}));
    QCOMPARE(json.value(QStringLiteral("error")), QJsonValue(QStringLiteral("bad CRC")));
    QCOMPARE(json.value(QStringLiteral("address")), QJsonValue(1));

    const CtlResult write = rig->run({QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("3000"),
        QStringLiteral("power"), QStringLiteral("7")});
    QVERIFY2(write.exitCode == NotAcknowledged, qPrintable(write.describe()));
    QCOMPARE(parsed(write.out).value(QStringLiteral("error")), QJsonValue(QStringLiteral("bad CRC")));
    QCOMPARE(parsed(write.out).value(QStringLiteral("power_permille")), QJsonValue(7));
}

// The first reading gets no reply; the log goes on; the signal ends it
// between two readings once the fourth row is in.
void TestCtlStatus::csvLogStopsWhole_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestCtlStatus::csvLogStopsWhole()
{
    QFETCH(int, signal);
    const QString path = rig->filePath(QStringLiteral("log.csv"));
    rig->at(1).setFault(SimController::FaultNoReply, 0, 1);
    QProcess process;
    rig->start(process,
        {QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("1000"), QStringLiteral("status"),
            QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--csv"), path});
    QVERIFY(process.waitForStarted());
    QVERIFY2(waitForRows(path, 4, process), qPrintable(process.readAllStandardError()));
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), int(NoReply)); // the code of the last failed reading

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.endsWith('\n'));
    QCOMPARE(fileLines(path).first(), csvHeader);
    const QList<QStringList> rows = csvRows(path);
    QVERIFY(rows.size() >= 4);
    const int columns = statusKeys.size() + 1;
    // The failed reading: its time, the address asked and the error, nothing else.
    QStringList failed = rows.first();
    QCOMPARE(failed.size(), columns);
    QVERIFY2(isoTime.match(failed.at(0)).hasMatch(), qPrintable(failed.at(0)));
    QCOMPARE(failed.at(1), QStringLiteral("1"));
    QCOMPARE(failed.last(), QStringLiteral("time-out"));
    QCOMPARE(failed.mid(2, columns - 3).join(QString()), QString());
    QDateTime previous = QDateTime::fromString(failed.at(0), Qt::ISODateWithMs);
    for (int i = 1; i < rows.size(); ++i) {
        const QStringList &row = rows.at(i);
        QCOMPARE(row.size(), columns);
        QCOMPARE(row.mid(1, 4), (QStringList{"1", "25.3", "ok", "0"}));
        QCOMPARE(row.at(statusKeys.indexOf(QStringLiteral("modules_enabled"))),
            QStringLiteral("1 2 3 4 5 6 7 8 9 10 11 12"));
        QCOMPARE(row.last(), QString());
        const QDateTime time = QDateTime::fromString(row.at(0), Qt::ISODateWithMs);
        QVERIFY(time.isValid() && time > previous);
        previous = time;
    }
    // One JSON line a reading on standard output, the failed one too.
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), rows.size());
    QCOMPARE(parsed(lines.first()).value(QStringLiteral("error")), QJsonValue(QStringLiteral("time-out")));
}

void TestCtlStatus::csvAppendsAndLeavesOtherFilesAlone()
{
    const QString path = rig->filePath(QStringLiteral("log.csv"));
    for (int run = 0; run < 2; ++run) {
        const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("3000"),
            QStringLiteral("status"), QStringLiteral("--csv"), path});
        QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    }
    QCOMPARE(fileLines(path).count(csvHeader), 1);
    QCOMPARE(csvRows(path).size(), 2);

    const QString other = rig->filePath(QStringLiteral("other.csv"));
    QVERIFY(writeFile(other, "date,value\n2026-01-01,5\n"));
    rig->clearRequests();
    const CtlResult refused = rig->run({QStringLiteral("status"), QStringLiteral("--csv"), other});
    QVERIFY2(refused.exitCode == FileError, qPrintable(refused.describe()));
    QVERIFY2(refused.err.contains(QStringLiteral("holds something else")), qPrintable(refused.err));
    QCOMPARE(fileLines(other), (QStringList{"date,value", "2026-01-01,5", ""}));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
}

// While the adapter is out every reading is a "port lost" row; once it is
// back the log goes on by itself.
void TestCtlStatus::pulledAdapterDuringALog()
{
    const QString path = rig->filePath(QStringLiteral("log.csv"));
    QProcess process;
    rig->start(process,
        {QStringLiteral("--timeout"), QStringLiteral("1000"), QStringLiteral("status"), QStringLiteral("--interval"),
            QStringLiteral("50"), QStringLiteral("--csv"), path});
    QVERIFY(process.waitForStarted());
    QVERIFY(waitForRows(path, 2, process));
    rig->line.unplug();
    const int before = csvRows(path).size();
    QVERIFY(waitForRows(path, before + 3, process));
    QVERIFY(rig->line.replug());
    const int whileOut = csvRows(path).size();
    QVERIFY(waitForRows(path, whileOut + 2, process));
    process.terminate();
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), int(PortLost));

    QStringList errors;
    for (const QStringList &row : csvRows(path))
        errors << row.last();
    // Good readings, then "port lost" ones (the reading under way when the
    // adapter went may have failed otherwise), then good readings again.
    QVERIFY2(errors.first().isEmpty() && errors.last().isEmpty(), qPrintable(errors.join('|')));
    const int firstLost = errors.indexOf(QStringLiteral("port lost"));
    QVERIFY2(firstLost > 0, qPrintable(errors.join('|')));
    QVERIFY2(errors.count(QStringLiteral("port lost")) >= 2, qPrintable(errors.join('|')));
    const int lastLost = errors.lastIndexOf(QStringLiteral("port lost"));
    for (int i = lastLost + 1; i < errors.size(); ++i)
        QVERIFY2(errors.at(i).isEmpty(), qPrintable(errors.join('|')));
    // Told once while the adapter is out, not at every reading.
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.count(QStringLiteral("is gone (adapter pulled?); it is opened again before each reading")) == 1,
        qPrintable(err));
}

void TestCtlStatus::countedReadingsAsText()
{
    rig->at(200).setPowerPermille(321);
    const CtlResult result = rig->run({QStringLiteral("-a"), QStringLiteral("200"), QStringLiteral("--timeout"),
        QStringLiteral("3000"), QStringLiteral("status"), QStringLiteral("--count"), QStringLiteral("3"),
        QStringLiteral("--interval"), QStringLiteral("10")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(result.out.count(QStringLiteral("\npower              321 ‰\n")), 3);
    QCOMPARE(result.out.count(QStringLiteral("address            200\n")), 3);
    QCOMPARE(rig->settledFrames().size(), 3);
}

// Controllers at 1, 3 and 200 on a line running at 57600 baud; the one at 1
// answers with a bad CRC: it is told, not listed.
void TestCtlStatus::scanFindsTheControllersOfALine()
{
    rig->line.setPacingBaud(57600);
    rig->line.setBaud(57600);
    rig->at(1).setFault(SimController::FaultBadCrc);
    rig->at(200).setFirmwareVersion(0x0207);
    const CtlResult result = rig->run({QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("300"),
        QStringLiteral("scan"), QStringLiteral("--bauds"), QStringLiteral("57600"), QStringLiteral("--addresses"),
        QStringLiteral("1-5,196-204")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(result.outLines(),
        (QStringList{QStringLiteral("{\"address\":3,\"baud\":57600,\"firmware\":\"1.10\"}"),
            QStringLiteral("{\"address\":200,\"baud\":57600,\"firmware\":\"2.7\"}")}));
    QVERIFY2(result.err.contains(QStringLiteral("scan: address 1 at 57600 baud: a reply, but a bad one (bad CRC)")),
        qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("scan: 2 controllers found (14 requests")), qPrintable(result.err));
    QVERIFY(!result.err.contains(QLatin1Char('\r'))); // no progress: standard error is no terminal here
}

// Without --addresses every address 1..254 is asked, in order; without
// --bauds every rate, and a controller is found at its own rate only.
void TestCtlStatus::scanAsksEveryAddressAtEveryRate()
{
    const CtlResult all = rig->run({QStringLiteral("--timeout"), QStringLiteral("1"), QStringLiteral("scan"),
        QStringLiteral("--bauds"), QStringLiteral("115200")});
    QVERIFY(all.finished);
    QStringList expected;
    for (int address = 1; address <= 254; ++address)
        expected << hexFrame(statusRead(quint8(address)));
    QCOMPARE(hexFrames(rig->settledFrames()), expected);

    for (int lineBaud : {115200, 19200}) {
        rig->line.setBaud(lineBaud);
        const CtlResult rates = rig->run({QStringLiteral("--timeout"), QStringLiteral("300"), QStringLiteral("scan"),
            QStringLiteral("--addresses"), QStringLiteral("3")});
        QVERIFY2(rates.exitCode == Ok, qPrintable(rates.describe()));
        QCOMPARE(rates.outLines(), QStringList{QStringLiteral("address 3  %1 baud  firmware 1.10").arg(lineBaud)});
        QVERIFY2(rates.err.contains(QStringLiteral("scan: 1 controller found (4 requests")), qPrintable(rates.err));
    }
}

// Two controllers on a line: a scan of every rate finds two, not one at each rate.
void TestCtlStatus::scanOfATwoControllerLineFindsTwo()
{
    const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("300"), QStringLiteral("scan"),
        QStringLiteral("--addresses"), QStringLiteral("2-3,199-200")});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(result.outLines(),
        (QStringList{QStringLiteral("address 3  115200 baud  firmware 1.10"),
            QStringLiteral("address 200  115200 baud  firmware 1.10")}));
    QVERIFY2(result.err.contains(QStringLiteral("scan: 2 controllers found (16 requests")), qPrintable(result.err));
}

void TestCtlStatus::scanOfAnEmptyLine()
{
    const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("20"), QStringLiteral("scan"),
        QStringLiteral("--bauds"), QStringLiteral("9600"), QStringLiteral("--addresses"), QStringLiteral("50-52")});
    QVERIFY2(result.exitCode == NoReply, qPrintable(result.describe()));
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(QStringLiteral("scan: 0 controllers found (3 requests")), qPrintable(result.err));
}

QTEST_GUILESS_MAIN(TestCtlStatus)
#include "tst_ctlstatus.moc"
