// The configuration block through vortanix-ctl and INI files, both ways with
// the panel: a file the program writes imports in the panel (its file reader
// and its real window) to the same values; a file the panel exports (its file
// writer and its real window's export button) goes to the controller frame
// for frame. A file with a value the block cannot hold sends nothing. And
// the library's reading of the keys' texts that the program checks.

#include "configfile.h"
#include "configjson.h"
#include "configtab.h"
#include "ctlrig.h"
#include "mainwindowform.h"
#include "modbusframes.h"
#include "panelrig.h"
#include "registers.h"
#include "testfiles.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLockFile>
#include <QTextCodec>
#include <QtTest>

namespace {

// A configuration unlike the factory one: modules 1, 3, 9, 11 enabled, 5 and 6
// low-power, DAC 3500, 5000 h, 41.7 °C.
const QVector<quint16> someBlock{0, 0x0A05, 3500, 0x0112, 0xA880, 417, 0x0030};
const QString panelName = QStringLiteral("默认配置1");

const QString importedText = QStringLiteral("配置文件已导入，点击保存配置下发命令！");
const QString exportedText = QStringLiteral("配置文件已导出");

void setBlock(SimController controller, const QVector<quint16> &words)
{
    for (int k = 0; k < words.size(); ++k)
        controller.setHoldingRegister(quint16(ConfigBlockFirst + k), words.at(k));
}

QVector<quint16> blockOf(const SimController &controller)
{
    QVector<quint16> words;
    for (int k = 0; k < ConfigBlockCount; ++k)
        words << controller.holdingRegister(quint16(ConfigBlockFirst + k));
    return words;
}

// A panel's export with one line replaced (or, with an empty replacement, left out).
QByteArray panelFileWith(const QByteArray &key, const QByteArray &line)
{
    QList<QByteArray> lines{"[General]", "ConfigLdAlarmTemperature=417", "ConfigLdCompensationHours=5000",
        "ConfigLdLowPowerMask=48", "ConfigLdMask=2565", "ConfigLdMaxDac=3500",
        "ConfigName=\\x9ed8\\x8ba4\\x914d\\x7f6e\\x31"};
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(key + '=')) {
            if (line.isEmpty())
                lines.removeAt(i);
            else
                lines[i] = line;
            break;
        }
    }
    return lines.join('\n') + '\n';
}

} // namespace

class TestCtlConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fileOfTheProgramImportsInThePanel_data();
    void fileOfTheProgramImportsInThePanel();
    void fileOfThePanelGoesToTheController_data();
    void fileOfThePanelGoesToTheController();
    void backupAndRestore();
    void compensationOfPartHoursIsTold();
    void fileWithAWrongValueSendsNothing_data();
    void fileWithAWrongValueSendsNothing();
    void fileAndPayloadAgreeAtEveryLimit_data();
    void fileAndPayloadAgreeAtEveryLimit();
    void keysTextsAsTheFileHoldsThem_data();
    void keysTextsAsTheFileHoldsThem();
    void lockedFileIsNamedAsLocked();

private:
    std::unique_ptr<CtlRig> rig;
};

void TestCtlConfig::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1}));
}

void TestCtlConfig::cleanup()
{
    rig.reset();
}

// --name given or not → the name in the file.
void TestCtlConfig::fileOfTheProgramImportsInThePanel_data()
{
    QTest::addColumn<QStringList>("nameOption");
    QTest::addColumn<QString>("name");
    QTest::newRow("the panel's name") << QStringList() << panelName;
    QTest::newRow("a name of its own") << QStringList{"--name", "Line 3 备份, A"} << "Line 3 备份, A";
}

void TestCtlConfig::fileOfTheProgramImportsInThePanel()
{
    QFETCH(QStringList, nameOption);
    QFETCH(QString, name);
    setBlock(rig->at(1), someBlock);
    const QString path = rig->filePath(QStringLiteral("backup.ini"));
    const CtlResult result
        = rig->run(QStringList{QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("config"),
                       QStringLiteral("get"), QStringLiteral("--ini"), path}
            + nameOption);
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QVERIFY2(result.out.contains(QStringLiteral("written to ") + path), qPrintable(result.out));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList{blockReadHex});

    // The panel's reader.
    ConfigValues values;
    QCOMPARE(ConfigFile::read(path, &values), ConfigFile::ReadOk);
    QCOMPARE(values.name, name);
    QCOMPARE(values.ldMask, quint16(0x0A05));
    QCOMPARE(values.lowPowerMask, quint16(0x0030));
    QCOMPARE(values.maxDac, quint16(3500));
    QCOMPARE(values.alarmTenths, quint16(417));
    QCOMPARE(values.hours, quint32(5000));

    // The panel's window, through its import button and file dialog.
    PanelRig panel;
    QVERIFY(panel.start());
    panel.modals.answerNextFileDialog(path);
    panel.ui()->btnExportConfig_2->click();
    QCOMPARE(panel.modals.lastBox().text, importedText);
    QCOMPARE(tabState(panel), expectedTab(name, 0x0A05, 0x0030, "3500", "41.7", "5000"));
}

// How the panel made the file: its writer, or its window's export button.
void TestCtlConfig::fileOfThePanelGoesToTheController_data()
{
    QTest::addColumn<bool>("throughWindow");
    QTest::newRow("ConfigFile::write") << false;
    QTest::newRow("the window's export") << true;
}

void TestCtlConfig::fileOfThePanelGoesToTheController()
{
    QFETCH(bool, throughWindow);
    const QString path = rig->filePath(QStringLiteral("panel.ini"));
    if (throughWindow) {
        PanelRig panel;
        QVERIFY(panel.start());
        fillTab(panel, QStringLiteral("产线 2"), 0x0A05, 0x0030, "3500", "41.7", "5000");
        panel.modals.answerNextFileDialog(path);
        panel.ui()->btnExportConfig->click();
        QCOMPARE(panel.modals.lastBox().text, exportedText);
    } else {
        ConfigValues values;
        values.name = QStringLiteral("产线 2");
        values.ldMask = 0x0A05;
        values.lowPowerMask = 0x0030;
        values.maxDac = 3500;
        values.alarmTenths = 417;
        values.hours = 5000;
        QVERIFY(ConfigFile::write(path, values));
    }

    const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("config"),
        QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QVERIFY2(result.out.contains(QStringLiteral("configuration \"产线 2\" from %1 written").arg(path)),
        qPrintable(result.out));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList{hexFrame(blockRequest(1, ConfigBlockFirst, someBlock))});
    QCOMPARE(blockOf(rig->at(1)), someBlock);
}

// A backup of one controller restored to another, as a script does it.
void TestCtlConfig::backupAndRestore()
{
    CtlRig second;
    QVERIFY(second.start({5}));
    setBlock(rig->at(1), someBlock);
    const QString path = rig->filePath(QStringLiteral("backup.ini"));
    QCOMPARE(rig->run({QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("config"),
                          QStringLiteral("get"), QStringLiteral("--ini"), path})
                 .exitCode,
        int(Ok));
    const CtlResult restore
        = second.run({QStringLiteral("-a"), QStringLiteral("5"), QStringLiteral("--json"), QStringLiteral("--timeout"),
            QStringLiteral("3000"), QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(restore.exitCode == Ok, qPrintable(restore.describe()));
    QCOMPARE(blockOf(second.at(5)), someBlock);
    QVERIFY2(restore.out.contains(QStringLiteral("\"compensation_hours\":5000")), qPrintable(restore.out));
}

// The file holds whole hours: a block of 3601 s is saved as 1 h, and said so.
void TestCtlConfig::compensationOfPartHoursIsTold()
{
    setBlock(rig->at(1), {0, 0x0FFF, 3980, 0, 3601, 300, 0x0FFF});
    const QString path = rig->filePath(QStringLiteral("part.ini"));
    const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("config"),
        QStringLiteral("get"), QStringLiteral("--ini"), path});
    QVERIFY2(result.exitCode == Ok, qPrintable(result.describe()));
    QVERIFY2(
        result.err.contains(QStringLiteral("the compensation time is 3601 s, not whole hours; %1 holds 1 h").arg(path)),
        qPrintable(result.err));
    ConfigValues values;
    QCOMPARE(ConfigFile::read(path, &values), ConfigFile::ReadOk);
    QCOMPARE(values.hours, quint32(1));
}

// The file's bytes → the exit status and a word of the message; nothing is sent.
void TestCtlConfig::fileWithAWrongValueSendsNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    auto with = [](const char *key, const char *line) { return panelFileWith(key, line); };
    QTest::newRow("DAC below") << with("ConfigLdMaxDac", "ConfigLdMaxDac=2799") << int(Usage)
                               << "ConfigLdMaxDac: 2799 is out of range 2800..3980: nothing was sent";
    QTest::newRow("DAC above") << with("ConfigLdMaxDac", "ConfigLdMaxDac=3981") << int(Usage)
                               << "ConfigLdMaxDac: 3981 is out of range 2800..3980";
    QTest::newRow("DAC not a number") << with("ConfigLdMaxDac", "ConfigLdMaxDac=abc") << int(Usage)
                                      << "ConfigLdMaxDac: 'abc' is not a whole number 2800..3980";
    QTest::newRow("alarm beyond 16 bits") << with("ConfigLdAlarmTemperature", "ConfigLdAlarmTemperature=65536")
                                          << int(Usage) << "ConfigLdAlarmTemperature: 65536 is out of range 0..65535";
    QTest::newRow("alarm with a point") << with("ConfigLdAlarmTemperature", "ConfigLdAlarmTemperature=41.7")
                                        << int(Usage) << "ConfigLdAlarmTemperature: '41.7' is not a whole number";
    QTest::newRow("hours beyond 32-bit seconds")
        << with("ConfigLdCompensationHours", "ConfigLdCompensationHours=1193047") << int(Usage)
        << "ConfigLdCompensationHours: 1193047 is out of range 0..1193046";
    QTest::newRow("hours negative") << with("ConfigLdCompensationHours", "ConfigLdCompensationHours=-1") << int(Usage)
                                    << "ConfigLdCompensationHours: '-1' is not a whole number";
    QTest::newRow("a thirteenth module") << with("ConfigLdMask", "ConfigLdMask=4096") << int(Usage)
                                         << "ConfigLdMask: 4096 is out of range 0..4095";
    QTest::newRow("mask as a list") << with("ConfigLdLowPowerMask", "ConfigLdLowPowerMask=1, 2") << int(Usage)
                                    << "ConfigLdLowPowerMask: '1, 2' is not a whole number";
    QTest::newRow("mask in hex") << with("ConfigLdLowPowerMask", "ConfigLdLowPowerMask=0x30") << int(Usage)
                                 << "ConfigLdLowPowerMask: '0x30' is not a whole number";
    QTest::newRow("full-width digits") << with("ConfigLdMaxDac", "ConfigLdMaxDac=３５００") << int(Usage)
                                       << "(digits 0-9 only)";
    QTest::newRow("a key missing") << with("ConfigLdMaxDac", "") << int(Usage) << "ConfigLdMaxDac is missing";
    QTest::newRow("no configuration") << QByteArray("[General]\nColour=blue\n") << int(Usage)
                                      << "holds no configuration (none of the keys ConfigName, ConfigLdMask";
    QTest::newRow("no file") << QByteArray() << int(FileError) << "wrong.ini: no such file (or not a regular file)";
    QTest::newRow("too large") << panelFileWith("ConfigName", "ConfigName=" + QByteArray(256 * 1024, 'a'))
                               << int(FileError) << "wrong.ini: larger than 256 KiB, not a configuration file";
    // Digits only, one meaning: QSettings' escapes, types and merging are refused.
    QTest::newRow("a key twice") << with("ConfigLdMaxDac", "ConfigLdMaxDac=3500\nConfigLdMaxDac=3000") << int(Usage)
                                 << "wrong.ini: line 7: [General] ConfigLdMaxDac is given twice (first on line 6)";
    QTest::newRow("a key before and in [General]") << "ConfigLdMask=1\n" + panelFileWith("", "") << int(Usage)
                                                   << "line 6: [General] ConfigLdMask is given twice (first on line 1)";
    QTest::newRow("[General] twice") << panelFileWith("", "") + "[General]\nConfigLdMaxDac=3000\n"
                                     << int(Usage) << "line 8: [General] is given twice (first on line 1)";
    QTest::newRow("escapes as digits") << with("ConfigLdMaxDac", "ConfigLdMaxDac=\\x33\\x35\\x30\\x30") << int(Usage)
                                       << "line 6: [General] ConfigLdMaxDac: '\\x33\\x35\\x30\\x30': a backslash";
    QTest::newRow("@Variant") << with("ConfigLdMaxDac", "ConfigLdMaxDac=@Variant(\\0\\0\\0\\x2\\0\\0\\r\\xac)")
                              << int(Usage) << "line 6: [General] ConfigLdMaxDac: a value starting with '@'";
    QTest::newRow("continued line") << with("ConfigLdMaxDac", "ConfigLdMaxDac=35\\\n00") << int(Usage)
                                    << "line 6: [General] ConfigLdMaxDac: a line continued by a trailing backslash";
}

void TestCtlConfig::fileWithAWrongValueSendsNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QString, message);
    const QString path = rig->filePath(QStringLiteral("wrong.ini"));
    if (!bytes.isEmpty())
        QVERIFY(writeFile(path, bytes));
    const CtlResult result = rig->run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(result.finished && result.exitCode == status, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
    QCOMPARE(blockOf(rig->at(1)), factoryConfigWords);
}

// One value of the block at and just past its limits, given as an INI file
// to vortanix-ctl and as a JSON payload to the bridge's parser: both take it
// or both refuse it, and what they take is the same block, on the line.
void TestCtlConfig::fileAndPayloadAgreeAtEveryLimit_data()
{
    QTest::addColumn<QByteArray>("key"); // the INI key; the others as in someBlock
    QTest::addColumn<qint64>("value"); // as the file holds it (masks, DAC, 0.1 °C, hours)
    QTest::addColumn<bool>("taken");

    struct Limit
    {
        const char *key;
        qint64 value;
        bool taken;
    } limits[] = {
        {"ConfigLdMask", 0, true},
        {"ConfigLdMask", 4095, true},
        {"ConfigLdMask", 4096, false},
        {"ConfigLdLowPowerMask", 0, true},
        {"ConfigLdLowPowerMask", 4095, true},
        {"ConfigLdLowPowerMask", 0x8000, false},
        {"ConfigLdMaxDac", 2799, false},
        {"ConfigLdMaxDac", 2800, true},
        {"ConfigLdMaxDac", 3980, true},
        {"ConfigLdMaxDac", 3981, false},
        {"ConfigLdAlarmTemperature", 0, true},
        {"ConfigLdAlarmTemperature", 65535, true},
        {"ConfigLdAlarmTemperature", 65536, false},
        {"ConfigLdCompensationHours", 0, true},
        {"ConfigLdCompensationHours", 1193046, true}, // 4294965600 s, the most 32 bits hold in whole hours
        {"ConfigLdCompensationHours", 1193047, false},
    };
    for (const Limit &limit : limits)
        QTest::addRow("%s=%lld", limit.key, limit.value) << QByteArray(limit.key) << limit.value << limit.taken;
}

void TestCtlConfig::fileAndPayloadAgreeAtEveryLimit()
{
    QFETCH(QByteArray, key);
    QFETCH(qint64, value);
    QFETCH(bool, taken);

    // The file: the panel's export with this one value.
    const QString path = rig->filePath(QStringLiteral("limit.ini"));
    QVERIFY(writeFile(path, panelFileWith(key, key + '=' + QByteArray::number(value))));
    const CtlResult result = rig->run({QStringLiteral("--timeout"), QStringLiteral("3000"), QStringLiteral("config"),
        QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(result.finished && result.exitCode == (taken ? Ok : Usage), qPrintable(result.describe()));

    // The payload: the same block in the bridge's JSON words.
    auto modules = [](qint64 mask) {
        QJsonArray list;
        for (int bit = 0; bit < 16; ++bit) {
            if (mask & (qint64(1) << bit))
                list.append(bit + 1);
        }
        return list;
    };
    QJsonObject json{{"modules_enabled", modules(0x0A05)}, {"modules_low_power", modules(0x0030)}, {"max_dac", 3500},
        {"compensation_hours", 5000}, {"alarm_c", 41.7}};
    if (key == "ConfigLdMask")
        json["modules_enabled"] = modules(value);
    else if (key == "ConfigLdLowPowerMask")
        json["modules_low_power"] = modules(value);
    else if (key == "ConfigLdMaxDac")
        json["max_dac"] = double(value);
    else if (key == "ConfigLdAlarmTemperature")
        json["alarm_c"] = double(value) / 10;
    else
        json["compensation_hours"] = double(value);
    ConfigBlock fromPayload;
    QString why;
    QCOMPARE(ConfigJson::fromJson(json, &fromPayload, &why), taken);

    if (!taken) {
        QCOMPARE(hexFrames(rig->settledFrames()), QStringList());
        QCOMPARE(blockOf(rig->at(1)), factoryConfigWords);
        return;
    }
    const auto words = fromPayload.toWords();
    const QVector<quint16> expected(words.begin(), words.end());
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList{hexFrame(blockRequest(1, ConfigBlockFirst, expected))});
    QCOMPARE(blockOf(rig->at(1)), expected);
}

// File bytes → the texts of the keys it holds, name first.
void TestCtlConfig::keysTextsAsTheFileHoldsThem_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("the panel's export") << panelFileWith("ConfigName", "ConfigName=\\x9ed8\\x8ba4\\x914d\\x7f6e\\x31")
                                        << QStringList{panelName, "2565", "48", "3500", "417", "5000"};
    QTest::newRow("a name in UTF-8") << panelFileWith("ConfigName", "ConfigName=第二条线")
                                     << QStringList{"第二条线", "2565", "48", "3500", "417", "5000"};
    QTest::newRow("a name in GB18030") << panelFileWith(
        "ConfigName", "ConfigName=" + QTextCodec::codecForName("GB18030")->fromUnicode("第二条线"))
                                       << QStringList{"第二条线", "2565", "48", "3500", "417", "5000"};
    QTest::newRow("texts as written") << panelFileWith("ConfigLdMaxDac", "ConfigLdMaxDac= 03500 ")
                                      << QStringList{panelName, "2565", "48", "03500", "417", "5000"};
    QTest::newRow("a key missing") << panelFileWith("ConfigLdMask", "")
                                   << QStringList{panelName, "<none>", "48", "3500", "417", "5000"};
}

void TestCtlConfig::keysTextsAsTheFileHoldsThem()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, texts);
    const QString path = rig->filePath(QStringLiteral("texts.ini"));
    QVERIFY(writeFile(path, bytes));
    QMap<QString, QString> read;
    QCOMPARE(ConfigFile::readTexts(path, &read), ConfigFile::ReadOk);
    QStringList got;
    for (const char *key : {"ConfigName", "ConfigLdMask", "ConfigLdLowPowerMask", "ConfigLdMaxDac",
             "ConfigLdAlarmTemperature", "ConfigLdCompensationHours"})
        got << read.value(QString::fromLatin1(key), QStringLiteral("<none>"));
    QCOMPARE(got, texts);
}

// The panel holds the file's lock while it saves: config set waits for it,
// then says that the file is locked, not that it is missing.
void TestCtlConfig::lockedFileIsNamedAsLocked()
{
    const QString path = rig->filePath(QStringLiteral("held.ini"));
    QVERIFY(writeFile(path, panelFileWith("", "")));
    QLockFile lock(path + QStringLiteral(".lock"));
    QVERIFY(lock.tryLock(0));
    const CtlResult result = rig->run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(result.finished && result.exitCode == FileError, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(path + QStringLiteral(": locked: another program holds ") + path + ".lock"),
        qPrintable(result.err));
    QCOMPARE(hexFrames(rig->settledFrames()), QStringList());

    lock.unlock(); // free again: the same file goes out
    const CtlResult again = rig->run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("--ini"), path});
    QVERIFY2(again.finished && again.exitCode == 0, qPrintable(again.describe()));
    QCOMPARE(blockOf(rig->at(1)), someBlock);
}

QTEST_MAIN(TestCtlConfig)
#include "tst_ctlconfig.moc"
