// Export and import of the configuration tab as INI files, driven through
// the tab's buttons and the file dialogs, with real files in a temporary
// folder; and the whole journey of a configuration from one controller
// through a file to a second panel.

#include "configfile.h"
#include "configtab.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "testfiles.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

const QString enablePrefix = QStringLiteral("configAllLdEn_");
const QString lowPowerPrefix = QStringLiteral("configAllLowPower_");
const QString exportedText = QStringLiteral("配置文件已导出");
const QString importedText = QStringLiteral("配置文件已导入，点击保存配置下发命令！");
const QString noFileText = QStringLiteral("文件名为空，请选择正确的文件");
const QStringList dialogFilters{QStringLiteral("Config files(*.ini)"), QStringLiteral("All files (*.*)")};

// The six keys as another QSettings reads them back, in the file's order of keys.
QStringList settingsValues(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    return {settings.value(QStringLiteral("ConfigName")).toString(),
        settings.value(QStringLiteral("ConfigLdMask")).toString(),
        settings.value(QStringLiteral("ConfigLdLowPowerMask")).toString(),
        settings.value(QStringLiteral("ConfigLdMaxDac")).toString(),
        settings.value(QStringLiteral("ConfigLdAlarmTemperature")).toString(),
        settings.value(QStringLiteral("ConfigLdCompensationHours")).toString()};
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines << QString::fromLatin1(trimmed);
    }
    return lines;
}

const QByteArray sixKeys("[General]\nConfigName=f\nConfigLdMask=5\nConfigLdLowPowerMask=6\nConfigLdMaxDac=3001\n"
                         "ConfigLdAlarmTemperature=205\nConfigLdCompensationHours=5\n");

// Bytes this process has read from files so far.
qint64 bytesReadByThisProcess()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n'))
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

} // namespace

class TestConfigFile : public RigTestCase
{
    Q_OBJECT

private slots:
    void factoryExportWritesSixKeys();
    void emptyNameExportsDefaultName();
    void exportReadsTabByTheSaveRules_data();
    void exportReadsTabByTheSaveRules();
    void emptyFieldStopsExportBeforeDialog_data();
    void emptyFieldStopsExportBeforeDialog();
    void exportKeepsForeignKeysAndSections();
    void nameRoundTrip_data();
    void nameRoundTrip();
    void alarmExportedExactlyShowsTheSameOnImport();
    void importReadsKeys_data();
    void importReadsKeys();
    void cancelledDialogWarns();
    void exportFailureIsTold();
    void configFileWriteReportsFailure();
    void importOfNoConfigurationIsToldAndLosesNothing_data();
    void importOfNoConfigurationIsToldAndLosesNothing();
    void configFileReadRefusesMissingFile();
    void importedDacOutsideLimitsIsClampedBySave_data();
    void importedDacOutsideLimitsIsClampedBySave();
    void importedHoursBeyondSecondsRangeRefusedBySaveButExported();
    void configurationTravelsToAFreshPanel();
    void lockNobodyCanTakeFailsWithinItsWait_data();
    void lockNobodyCanTakeFailsWithinItsWait();
    void staleLockOfACrashedPanelIsTakenOver();
    void fileSizeLimit_data();
    void fileSizeLimit();
    void hugeFileIsRefusedUnread();
    void handEditedNames_data();
    void handEditedNames();

private:
    QString path(const QString &name) const { return rig->dir.filePath(name); }
    // Clicks export with the dialog answered by `file`; the tab must pass.
    void exportTo(const QString &file);
    void importFrom(const QString &file);
};

void TestConfigFile::exportTo(const QString &file)
{
    const int boxes = rig->modals.boxCount();
    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig->click();
    QCOMPARE(rig->modals.boxCount(), boxes + 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, &rig->w(), QStringLiteral("提示"), exportedText);
}

void TestConfigFile::importFrom(const QString &file)
{
    const int boxes = rig->modals.boxCount();
    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig_2->click();
    QCOMPARE(rig->modals.boxCount(), boxes + 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, &rig->w(), QStringLiteral("提示"), importedText);
}

void TestConfigFile::factoryExportWritesSixKeys()
{
    QVERIFY(rig->openLink());
    rig->ui()->btnResetFactory->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("恢复出厂设置成功！"));
    rig->sim.clearRequests();
    const QString file = path(QStringLiteral("factory.ini"));

    exportTo(file);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(rig->modals.fileDialogs().size(), 1);
    const RecordedFileDialog dialog = rig->modals.fileDialogs().first();
    QCOMPARE(dialog.caption, QStringLiteral("选择导出文件路径"));
    QVERIFY(dialog.saving);
    QCOMPARE(dialog.nameFilters, dialogFilters);
    QCOMPARE(dialog.parent, &rig->w());
    QCOMPARE(QDir(dialog.directory).canonicalPath(), QDir::current().canonicalPath());

    QCOMPARE(settingsValues(file), (QStringList{QStringLiteral("默认配置1"), "4095", "4095", "3980", "300", "10000"}));
    // On disk: plain ASCII, the name as INI escapes, all in [General].
    const QStringList lines = fileLines(file);
    QCOMPARE(lines.value(0), QStringLiteral("[General]"));
    QVERIFY2(
        lines.contains(QStringLiteral("ConfigName=\\x9ed8\\x8ba4\\x914d\\x7f6e\\x31")), qPrintable(lines.join('|')));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdMask=4095")));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdLowPowerMask=4095")));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdMaxDac=3980")));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdAlarmTemperature=300")));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdCompensationHours=10000")));
    QCOMPARE(lines.size(), 7);
    // The export does not touch the link.
    QCOMPARE(rig->settledFrames().size(), 0);
}

void TestConfigFile::emptyNameExportsDefaultName()
{
    fillTab(*rig, QString(), 0x0003, 0x0C00, QStringLiteral("3000"), QStringLiteral("20"), QStringLiteral("12"));
    const QString file = path(QStringLiteral("noname.ini"));
    exportTo(file);
    QCOMPARE(settingsValues(file), (QStringList{QStringLiteral("默认配置1"), "3", "3072", "3000", "200", "12"}));
    QCOMPARE(rig->ui()->lineEditConfigName->text(), QString());
}

void TestConfigFile::exportReadsTabByTheSaveRules_data()
{
    QTest::addColumn<QString>("dac");
    QTest::addColumn<QString>("alarm");
    QTest::addColumn<QString>("hours");
    QTest::addColumn<QStringList>("stored"); // dac, alarm, hours
    QTest::addColumn<QString>("dacShown");
    QTest::newRow("dac 100 raised") << "100"
                                    << "30"
                                    << "1" << QStringList{"2800", "300", "1"} << "2800";
    QTest::newRow("dac 28 raised") << "28"
                                   << "30"
                                   << "1" << QStringList{"2800", "300", "1"} << "2800";
    QTest::newRow("dac 5000 lowered") << "5000"
                                      << "30"
                                      << "1" << QStringList{"3980", "300", "1"} << "3980";
    QTest::newRow("alarm 25.3") << "3000"
                                << "25.3"
                                << "1" << QStringList{"3000", "253", "1"} << "3000";
    QTest::newRow("alarm 25.35") << "3000"
                                 << "25.35"
                                 << "1" << QStringList{"3000", "253", "1"} << "3000";
    QTest::newRow("alarm -1 counts as 0") << "3000"
                                          << "-1"
                                          << "1" << QStringList{"3000", "0", "1"} << "3000";
    QTest::newRow("hours 100000") << "3000"
                                  << "30"
                                  << "100000" << QStringList{"3000", "300", "100000"} << "3000";
    QTest::newRow("hours stored as hours beyond 32-bit seconds")
        << "3000"
        << "30"
        << "4294967295" << QStringList{"3000", "300", "4294967295"} << "3000";
}

void TestConfigFile::exportReadsTabByTheSaveRules()
{
    QFETCH(QString, dac);
    QFETCH(QString, alarm);
    QFETCH(QString, hours);
    QFETCH(QStringList, stored);
    QFETCH(QString, dacShown);
    fillTab(*rig, QStringLiteral("n"), 0x0FFF, 0x0FFF, dac, alarm, hours);
    const QString file = path(QStringLiteral("rules.ini"));
    exportTo(file);
    const QStringList values = settingsValues(file);
    QCOMPARE(values.mid(3), stored);
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), dacShown);
    const QStringList lines = fileLines(file);
    QVERIFY(lines.contains(QStringLiteral("ConfigLdMaxDac=") + stored.at(0)));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdAlarmTemperature=") + stored.at(1)));
    QVERIFY(lines.contains(QStringLiteral("ConfigLdCompensationHours=") + stored.at(2)));
}

void TestConfigFile::emptyFieldStopsExportBeforeDialog_data()
{
    addEmptyFieldRows(false);
}

void TestConfigFile::emptyFieldStopsExportBeforeDialog()
{
    QFETCH(QString, dac);
    QFETCH(QString, alarm);
    QFETCH(QString, hours);
    fillTab(*rig, QStringLiteral("n"), 0x0001, 0x0002, dac, alarm, hours);
    const QStringList before = tabState(*rig);
    const QString file = path(QStringLiteral("never.ini"));
    rig->modals.answerNextFileDialog(file);

    rig->ui()->btnExportConfig->click();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("警告"),
        QStringLiteral("数据填写不正确"));
    QCOMPARE(rig->modals.fileDialogs().size(), 0);
    QVERIFY(!QFileInfo::exists(file));
    QCOMPARE(tabState(*rig), before);
}

void TestConfigFile::exportKeepsForeignKeysAndSections()
{
    const QString file = path(QStringLiteral("shared.ini"));
    QVERIFY(writeFile(file, "[General]\nOperator=li\nConfigLdMask=1\n\n[Line2]\nSpeed=9600\n"));
    Access::showConfig(rig->w(), QStringLiteral("线2"), 0x0070, 0x0001, 3100, 255, 77);

    exportTo(file);

    QSettings settings(file, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Operator")).toString(), QStringLiteral("li"));
    QCOMPARE(settings.value(QStringLiteral("Line2/Speed")).toString(), QStringLiteral("9600"));
    QCOMPARE(settingsValues(file), (QStringList{QStringLiteral("线2"), "112", "1", "3100", "255", "77"}));
}

void TestConfigFile::nameRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("default name") << QStringLiteral("默认配置1");
    QTest::newRow("hex digits after Chinese") << QStringLiteral("光源配置ABC12");
    QTest::newRow("blanks inside and around") << QStringLiteral(" 线 A ");
    QTest::newRow("INI punctuation") << QStringLiteral("a,b;c=d\"e\\f");
    QTest::newRow("plain ASCII") << QStringLiteral("LineA");
}

void TestConfigFile::nameRoundTrip()
{
    QFETCH(QString, name);
    Access::showConfig(rig->w(), name, 0x0FFF, 0x0FFF, 3980, 300, 10000);
    const QString file = path(QStringLiteral("name.ini"));
    exportTo(file);

    // The file itself is plain ASCII: non-ASCII characters are escaped.
    QFile raw(file);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    for (char c : bytes)
        QVERIFY2(quint8(c) < 0x80, bytes.constData());

    rig->ui()->lineEditConfigName->setText(QStringLiteral("something else"));
    importFrom(file);
    QCOMPARE(rig->ui()->lineEditConfigName->text(), name);
}

void TestConfigFile::alarmExportedExactlyShowsTheSameOnImport()
{
    fillTab(*rig, QStringLiteral("t"), 0x0FFF, 0x0FFF, QStringLiteral("3980"), QStringLiteral("25.3"),
        QStringLiteral("10000"));
    const QString file = path(QStringLiteral("alarm.ini"));
    exportTo(file);
    QCOMPARE(settingsValues(file).at(4), QStringLiteral("253"));
    QCOMPARE(rig->ui()->lineEditAlarmTemperature->text(), QStringLiteral("25.3"));

    rig->ui()->lineEditAlarmTemperature->setText(QStringLiteral("99"));
    importFrom(file);
    QCOMPARE(rig->ui()->lineEditAlarmTemperature->text(), QStringLiteral("25.3"));
}

void TestConfigFile::importReadsKeys_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("tab");
    QTest::newRow("only the name") << QByteArray("[General]\nConfigName=abc\n")
                                   << expectedTab("abc", 0, 0, "0", "0", "0");
    QTest::newRow("masks 70000 keep low 16 bits")
        << QByteArray("[General]\nConfigName=m\nConfigLdMask=70000\nConfigLdLowPowerMask=70000\n"
                      "ConfigLdMaxDac=3000\nConfigLdAlarmTemperature=300\nConfigLdCompensationHours=5\n")
        << expectedTab("m", 0x0170, 0x0170, "3000", "30", "5");
    QTest::newRow("hand-edited decimal alarm reads 0")
        << QByteArray("[General]\nConfigName=h\nConfigLdMask=1\nConfigLdLowPowerMask=2\n"
                      "ConfigLdMaxDac=3000\nConfigLdAlarmTemperature=25.3\nConfigLdCompensationHours=5\n")
        << expectedTab("h", 0x0001, 0x0002, "3000", "0", "5");
    QTest::newRow("values go in unchecked")
        << QByteArray("[General]\nConfigName=v\nConfigLdMask=4095\nConfigLdLowPowerMask=0\n"
                      "ConfigLdMaxDac=100\nConfigLdAlarmTemperature=65836\nConfigLdCompensationHours=4294967295\n")
        << expectedTab("v", 0x0FFF, 0, "100", "30", "4294967295");
    QTest::newRow("no section header, any order, text values read 0")
        << QByteArray("ConfigLdCompensationHours=12\nConfigLdMaxDac=abc\nConfigLdMask=-3\nConfigName=n\n")
        << expectedTab("n", 0, 0, "0", "0", "12");
    QTest::newRow("one numeric key, no name")
        << QByteArray("[General]\nConfigLdMaxDac=3000\n") << expectedTab("", 0, 0, "3000", "0", "0");
}

void TestConfigFile::importReadsKeys()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, tab);
    const QString file = path(QStringLiteral("hand.ini"));
    QVERIFY(writeFile(file, content));
    Access::showConfig(rig->w(), QStringLiteral("默认配置1"), 0x0FFF, 0x0FFF, 3980, 300, 10000);

    importFrom(file);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(tabState(*rig), tab);
    QCOMPARE(rig->modals.fileDialogs().size(), 1);
    const RecordedFileDialog dialog = rig->modals.fileDialogs().first();
    QCOMPARE(dialog.caption, QStringLiteral("选择配置文件路径"));
    QVERIFY(!dialog.saving);
    QCOMPARE(dialog.nameFilters, dialogFilters);
    QCOMPARE(dialog.parent, &rig->w());
    QCOMPARE(QDir(dialog.directory).canonicalPath(), QDir::current().canonicalPath());
}

void TestConfigFile::cancelledDialogWarns()
{
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
        QStringLiteral("5"));
    const QStringList before = tabState(*rig);
    const QStringList filesBefore = QDir(rig->dir.path()).entryList(QDir::Files);

    rig->modals.cancelNextFileDialog();
    rig->ui()->btnExportConfig->click();
    rig->modals.cancelNextFileDialog();
    rig->ui()->btnExportConfig_2->click();

    QCOMPARE(rig->modals.fileDialogs().size(), 2);
    QVERIFY(rig->modals.fileDialogs().at(0).saving);
    QVERIFY(!rig->modals.fileDialogs().at(1).saving);
    QCOMPARE(rig->modals.boxCount(), 2);
    for (const RecordedBox &box : rig->modals.boxes())
        verifyBox(box, QMessageBox::Warning, &rig->w(), QStringLiteral("警告"), noFileText);
    QCOMPARE(tabState(*rig), before);
    QCOMPARE(QDir(rig->dir.path()).entryList(QDir::Files), filesBefore);
}

void TestConfigFile::exportFailureIsTold()
{
    // Tests run as root, which permission bits do not stop; nothing can be
    // created at the top of /sys. (Qt's save dialog turns a path in a folder
    // that does not exist into one below the current folder, so a folder
    // under a regular file is tried on ConfigFile::write below. Not /proc:
    // Qt 6's dialog reads the files of the folder it was last in to learn
    // their types, and /proc/kmsg never ends; /sys holds only folders there.)
    const QString file = QStringLiteral("/sys/vortanix-export.ini");
    QVERIFY(!QFileInfo::exists(file));
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
        QStringLiteral("5"));
    const QStringList before = tabState(*rig);

    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig->click();

    QCOMPARE(rig->modals.fileDialogs().size(), 1);
    QVERIFY(rig->modals.fileDialogs().first().accepted);
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
        QStringLiteral("配置文件导出失败！"));
    QCOMPARE(tabState(*rig), before);
    QVERIFY(!QFileInfo::exists(file));
}

void TestConfigFile::configFileWriteReportsFailure()
{
    ConfigValues values;
    values.name = QStringLiteral("默认配置1");
    values.hours = 10000;

    // A folder that cannot be made even by root: its parent is a regular file.
    const QString blocker = path(QStringLiteral("a.ini"));
    QVERIFY(writeFile(blocker, "not a folder\n"));
    QVERIFY(!ConfigFile::write(blocker + QStringLiteral("/x.ini"), values));
    QVERIFY(QFileInfo(blocker).isFile());
    QFile check(blocker);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("not a folder\n"));

    QVERIFY(!ConfigFile::write(QStringLiteral("/proc/vortanix-write.ini"), values));

    // Missing folders of a good path are made.
    const QString nested = path(QStringLiteral("new/folder/ok.ini"));
    QVERIFY(ConfigFile::write(nested, values));
    QCOMPARE(settingsValues(nested), (QStringList{QStringLiteral("默认配置1"), "0", "0", "0", "0", "10000"}));
}

void TestConfigFile::importOfNoConfigurationIsToldAndLosesNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("foreign INI file") << QByteArray(
        "[Desktop Entry]\nName=Editor\nExec=edit\n\n[General]\nTheme=dark\n");
    QTest::newRow("keys in another section")
        << QByteArray("[Other]\nConfigName=x\nConfigLdMask=4095\nConfigLdMaxDac=3000\n");
    QTest::newRow("not an INI file") << QByteArray::fromHex("7f454c4602010100000062696e617279fffe0a");
}

void TestConfigFile::importOfNoConfigurationIsToldAndLosesNothing()
{
    QFETCH(QByteArray, content);
    const QString file = path(QStringLiteral("foreign.ini"));
    QVERIFY(writeFile(file, content));
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
        QStringLiteral("5"));
    const QStringList before = tabState(*rig);

    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig_2->click();

    QCOMPARE(rig->modals.fileDialogs().size(), 1);
    QVERIFY(rig->modals.fileDialogs().first().accepted);
    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
        QStringLiteral("配置文件读取失败！"));
    QCOMPARE(tabState(*rig), before);
    // The file is only read.
    QFile check(file);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), content);
}

void TestConfigFile::configFileReadRefusesMissingFile()
{
    const QString file = path(QStringLiteral("gone.ini"));
    QVERIFY(writeFile(file, "[General]\nConfigName=x\nConfigLdMaxDac=3000\n"));
    ConfigValues values;
    QCOMPARE(ConfigFile::read(file, &values), ConfigFile::ReadOk);
    QCOMPARE(values.name, QStringLiteral("x"));
    QCOMPARE(values.maxDac, quint16(3000));

    // Chosen, then removed before it was read.
    QVERIFY(QFile::remove(file));
    ConfigValues after;
    after.name = QStringLiteral("untouched");
    QCOMPARE(ConfigFile::read(file, &after), ConfigFile::ReadMissing);
    QCOMPARE(after.name, QStringLiteral("untouched"));
    // A folder is no file either.
    QCOMPARE(ConfigFile::read(rig->dir.path(), &after), ConfigFile::ReadMissing);
}

void TestConfigFile::importedDacOutsideLimitsIsClampedBySave_data()
{
    QTest::addColumn<int>("fileDac");
    QTest::addColumn<int>("sent");
    QTest::newRow("100 raised") << 100 << 2800;
    QTest::newRow("5000 lowered") << 5000 << 3980;
}

void TestConfigFile::importedDacOutsideLimitsIsClampedBySave()
{
    QFETCH(int, fileDac);
    QFETCH(int, sent);
    const QString file = path(QStringLiteral("dac.ini"));
    QVERIFY(writeFile(file,
        QStringLiteral("[General]\nConfigName=d\nConfigLdMask=4095\nConfigLdLowPowerMask=4095\n"
                       "ConfigLdMaxDac=%1\nConfigLdAlarmTemperature=300\n"
                       "ConfigLdCompensationHours=10000\n")
            .arg(fileDac)
            .toLatin1()));
    importFrom(file);
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), QString::number(fileDac)); // shown as it is

    // The export applies the limits too.
    const QString exported = path(QStringLiteral("dac-out.ini"));
    exportTo(exported);
    QCOMPARE(settingsValues(exported).at(3), QString::number(sent));
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), QString::number(sent));

    // And so does the save.
    rig->ui()->lineEditMaxDac->setText(QString::number(fileDac));
    QVERIFY(rig->openLink());
    rig->sim.clearRequests();
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->frames().size(), 1);
    const QByteArray frame = rig->frames().first();
    QCOMPARE(frame.size(), 23);
    QCOMPARE(int(quint8(frame.at(11))) << 8 | quint8(frame.at(12)), sent); // register 0x2003
    QCOMPARE(rig->sim.holdingRegister(RegCfgLdMaxDac), quint16(sent));
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), QString::number(sent));
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
}

void TestConfigFile::importedHoursBeyondSecondsRangeRefusedBySaveButExported()
{
    QVERIFY(rig->openLink());
    const QString file = path(QStringLiteral("hours.ini"));
    QVERIFY(writeFile(file,
        "[General]\nConfigName=h\nConfigLdMask=4095\nConfigLdLowPowerMask=4095\n"
        "ConfigLdMaxDac=3980\nConfigLdAlarmTemperature=300\nConfigLdCompensationHours=1193047\n"));
    importFrom(file);
    QCOMPARE(rig->ui()->lineEditCompensationHours->text(), QStringLiteral("1193047"));
    rig->sim.clearRequests();

    rig->ui()->btnSaveAllConfig->click();
    verifyBox(rig->modals.lastBox(), QMessageBox::Information, nullptr, QStringLiteral("警告"),
        QStringLiteral("数据填写不正确"));
    QCOMPARE(rig->settledFrames().size(), 0);
    rig->sim.clearRequests();

    // The file holds hours, which do not wrap: the export keeps them.
    const QString exported = path(QStringLiteral("hours-out.ini"));
    exportTo(exported);
    QCOMPARE(settingsValues(exported).at(5), QStringLiteral("1193047"));

    // One hour less fits in 32-bit seconds: 4294965600 s = 0xFFFF 0xF960.
    rig->ui()->lineEditCompensationHours->setText(QStringLiteral("1193046"));
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first().mid(13, 4)), QStringLiteral("FF FF F9 60"));
}

void TestConfigFile::configurationTravelsToAFreshPanel()
{
    QTemporaryDir shelf;
    QVERIFY(shelf.isValid());
    const QString file = shelf.filePath(QStringLiteral("line-a.ini"));
    const QList<quint16> block{0, 0x0A05, 3500, 0x0003, 0x4000, 417, 0x0030};
    QByteArray firstSave;
    QStringList firstTab;

    // Read from the first controller, edit, save, export.
    QVERIFY(rig->openLink());
    for (int i = 0; i < block.size(); ++i)
        rig->sim.setHoldingRegister(quint16(RegCfgReserved + i), block.at(i));
    rig->ui()->btnGetAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), 0);
    QCOMPARE(tabState(*rig),
        expectedTab(QStringLiteral("默认配置1"), 0x0A05, 0x0030, QStringLiteral("3500"), QStringLiteral("41.7"),
            QStringLiteral("59")));
    rig->ui()->lineEditConfigName->setText(QStringLiteral("产线A"));
    moduleBox(rig->w(), enablePrefix, 4)->setChecked(true);
    moduleBox(rig->w(), lowPowerPrefix, 5)->setChecked(false);
    rig->ui()->lineEditAlarmTemperature->setText(QStringLiteral("35.5"));
    rig->ui()->lineEditCompensationHours->setText(QStringLiteral("20000"));
    rig->sim.clearRequests();
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    QCOMPARE(rig->frames().size(), 1);
    firstSave = rig->frames().first();
    // 20000 h = 72000000 s = 0x044A 0xA200; 35.5 exactly 355.
    QCOMPARE(hexFrame(firstSave.mid(7, 14)), QStringLiteral("00 00 0A 0D 0D AC 04 4A A2 00 01 63 00 20"));
    exportTo(file);
    firstTab = tabState(*rig);
    rig.reset();

    // A fresh panel on another controller: import and save.
    rig = std::make_unique<PanelRig>();
    QVERIFY(rig->start());
    QVERIFY(rig->openLink());
    rig->sim.clearRequests();
    importFrom(file);
    QCOMPARE(tabState(*rig), firstTab);
    rig->ui()->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), hexFrame(firstSave));

    // The second controller now holds what the first one was given.
    rig->sim.clearRequests();
    rig->ui()->lineEditConfigName->clear();
    const int boxes = rig->modals.boxCount();
    rig->ui()->btnGetAllConfig->click();
    QCOMPARE(rig->modals.boxCount(), boxes);
    QCOMPARE(tabState(*rig).mid(1), firstTab.mid(1));
}

// QSettings itself would wait for ever on a lock it cannot take: the export
// and the import give up after 2 s with their failure box and leave the file
// as it was.
void TestConfigFile::lockNobodyCanTakeFailsWithinItsWait_data()
{
    QTest::addColumn<bool>("exporting");
    QTest::addColumn<bool>("heldByALiveProgram"); // else a directory stands where the lock would go
    QTest::newRow("export, lock is a directory") << true << false;
    QTest::newRow("export, lock held") << true << true;
    QTest::newRow("import, lock is a directory") << false << false;
    QTest::newRow("import, lock held") << false << true;
}

void TestConfigFile::lockNobodyCanTakeFailsWithinItsWait()
{
    QFETCH(bool, exporting);
    QFETCH(bool, heldByALiveProgram);
    const QString file = path(QStringLiteral("locked.ini"));
    QVERIFY(writeFile(file, sixKeys));
    QLockFile held(file + QStringLiteral(".lock"));
    if (heldByALiveProgram) {
        QVERIFY(held.tryLock(0));
    } else {
        QVERIFY(QDir().mkpath(file + QStringLiteral(".lock/inside")));
    }
    fillTab(*rig, QStringLiteral("keep"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
        QStringLiteral("5"));
    const QStringList before = tabState(*rig);

    rig->modals.answerNextFileDialog(file);
    QElapsedTimer clock;
    clock.start();
    (exporting ? rig->ui()->btnExportConfig : rig->ui()->btnExportConfig_2)->click();
    const qint64 waited = clock.elapsed();

    QCOMPARE(rig->modals.boxCount(), 1);
    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
        exporting ? QStringLiteral("配置文件导出失败！") : QStringLiteral("配置文件读取失败！"));
    QVERIFY2(waited >= 1900, qPrintable(QString::number(waited))); // it did wait for the lock
    QCOMPARE(fileBytes(file), sixKeys);
    QCOMPARE(tabState(*rig), before);

    // Once the lock is gone, both work.
    if (heldByALiveProgram)
        held.unlock();
    else
        QVERIFY(QDir(file + QStringLiteral(".lock")).removeRecursively());
    rig->ui()->lineEditConfigName->setText(QStringLiteral("now"));
    exportTo(file);
    importFrom(file);
    QCOMPARE(rig->ui()->lineEditConfigName->text(), QStringLiteral("now"));
}

// A panel that died while writing leaves its lock behind: the next one takes it over.
void TestConfigFile::staleLockOfACrashedPanelIsTakenOver()
{
    const QString file = path(QStringLiteral("stale.ini"));
    QProcess gone;
    gone.start(QStringLiteral("true"), QStringList());
    QVERIFY(gone.waitForFinished(10000));
    const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
    QVERIFY(writeFile(file + QStringLiteral(".lock"),
        QByteArray::number(deadPid) + "\nvortanix\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
    fillTab(*rig, QStringLiteral("after a crash"), 0x0005, 0x0006, QStringLiteral("3001"), QStringLiteral("20.5"),
        QStringLiteral("5"));
    exportTo(file);
    QCOMPARE(settingsValues(file).first(), QStringLiteral("after a crash"));
    QVERIFY(!QFileInfo::exists(file + QStringLiteral(".lock")));
}

void TestConfigFile::fileSizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("read");
    QTest::newRow("256 KiB") << 256 * 1024 << true;
    QTest::newRow("256 KiB and 1 byte") << 256 * 1024 + 1 << false;
    QTest::newRow("1 MiB") << 1024 * 1024 << false;
}

void TestConfigFile::fileSizeLimit()
{
    QFETCH(int, size);
    QFETCH(bool, read);
    // The six keys, then a comment up to the size.
    QByteArray content = sixKeys + ';';
    content += QByteArray(size - content.size() - 1, 'x') + '\n';
    QCOMPARE(content.size(), size);
    const QString file = path(QStringLiteral("sized.ini"));
    QVERIFY(writeFile(file, content));
    Access::showConfig(rig->w(), QStringLiteral("keep"), 0, 0, 2900, 11, 1);
    const QStringList before = tabState(*rig);

    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig_2->click();
    QCOMPARE(rig->modals.boxCount(), 1);
    if (read) {
        QCOMPARE(rig->modals.lastBox().text, importedText);
        QCOMPARE(tabState(*rig), expectedTab(QStringLiteral("f"), 5, 6, "3001", "20.5", "5"));
    } else {
        verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
            QStringLiteral("配置文件读取失败！"));
        QCOMPARE(tabState(*rig), before);
    }
}

void TestConfigFile::hugeFileIsRefusedUnread()
{
    const QString file = path(QStringLiteral("huge.ini"));
    QVERIFY(writeFile(file, sixKeys));
    QVERIFY(QFile::resize(file, qint64(1) << 30)); // 1 GiB, sparse
    const qint64 readBefore = bytesReadByThisProcess();
    QVERIFY(readBefore >= 0);

    rig->modals.answerNextFileDialog(file);
    rig->ui()->btnExportConfig_2->click();

    verifyBox(rig->modals.lastBox(), QMessageBox::Warning, &rig->w(), QStringLiteral("警告"),
        QStringLiteral("配置文件读取失败！"));
    QVERIFY2(bytesReadByThisProcess() - readBefore < 4 * 1024 * 1024,
        qPrintable(QString::number(bytesReadByThisProcess() - readBefore)));
}

// Names typed into the file by hand: raw UTF-8, GB18030 from a Chinese
// Windows editor, UTF-8 with a byte-order mark, and the panel's own escapes.
void TestConfigFile::handEditedNames_data()
{
    QTest::addColumn<QByteArray>("nameBytes");
    QTest::addColumn<QString>("name");
    const QString chinese = QString::fromUtf8("中文配置光源");
    QTest::newRow("UTF-8") << QByteArray("\xe4\xb8\xad\xe6\x96\x87\xe9\x85\x8d\xe7\xbd\xae\xe5\x85\x89\xe6\xba\x90")
                           << chinese;
    QTest::newRow("GB18030") << QByteArray::fromHex("d6d0cec4c5e4d6c3b9e2d4b4") << chinese;
    QTest::newRow("GB18030 with ASCII") << QByteArray::fromHex("4c696e6520d6d0cec43a2031")
                                        << QString::fromUtf8("Line 中文: 1");
    QTest::newRow("escapes the panel writes")
        << QByteArray("\\x9ed8\\x8ba4\\x914d\\x7f6e\\x31") << QString::fromUtf8("默认配置1");
    QTest::newRow("UTF-8 with escapes") << QByteArray("\xe4\xb8\xad-\\x6587") << QString::fromUtf8("中-文");
    QTest::newRow("ASCII") << QByteArray("plain 1") << QStringLiteral("plain 1");
}

void TestConfigFile::handEditedNames()
{
    QFETCH(QByteArray, nameBytes);
    QFETCH(QString, name);
    for (const bool byteOrderMark : {false, true}) {
        QByteArray content = "[General]\nConfigName=" + nameBytes + "\nConfigLdMaxDac=3000\n";
        if (byteOrderMark) {
            if (QString::fromUtf8(nameBytes).toUtf8() != nameBytes)
                continue; // a mark says UTF-8: only for names that are
            content.prepend("\xef\xbb\xbf");
        }
        const QString file = path(QStringLiteral("hand-%1.ini").arg(byteOrderMark));
        QVERIFY(writeFile(file, content));
        importFrom(file);
        QCOMPARE(rig->ui()->lineEditConfigName->text(), name);
        QCOMPARE(rig->ui()->lineEditMaxDac->text(), QStringLiteral("3000"));
    }

    // The export still writes escapes only, whatever came in.
    const QString out = path(QStringLiteral("out.ini"));
    exportTo(out);
    const QByteArray written = fileBytes(out);
    for (const char c : written)
        QVERIFY2(quint8(c) < 0x80, written.constData());
    QCOMPARE(settingsValues(out).first(), name);
}

QTEST_MAIN(TestConfigFile)
#include "tst_configfile.moc"
