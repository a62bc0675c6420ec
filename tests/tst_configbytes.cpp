// The bytes of an exported configuration file do not depend on the Qt the
// panel is built with: Qt 5's QSettings writes non-ASCII characters as \x
// escapes, Qt 6's as raw UTF-8, and the panel keeps the first form. This
// suite runs in the Qt 5 and in the Qt 6 build and compares each export with
// the bytes the Qt 5 build wrote; a file in Qt 6's form is read as well.

#include "configfile.h"
#include "iniescapes.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "testfiles.h"

#include <QFile>
#include <QMessageBox>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

// The six keys after the name as the export below writes them, in QSettings' order.
const QByteArray fixedKeys("[General]\nConfigLdAlarmTemperature=253\nConfigLdCompensationHours=10000\n"
                           "ConfigLdLowPowerMask=1\nConfigLdMask=4095\nConfigLdMaxDac=3980\n");

} // namespace

class TestConfigBytes : public RigTestCase
{
    Q_OBJECT

private slots:
    void exportWritesTheQt5Bytes_data();
    void exportWritesTheQt5Bytes();
    void bothFormsImportAlike_data();
    void bothFormsImportAlike();
    void escapesFromUtf8_data();
    void escapesFromUtf8();
};

// Measured: QSettings of Qt 5.15.8 (Debian 12), IniFormat without a codec,
// writing these names and the values below; the panel's export of Qt 5 wrote
// the same bytes.
void TestConfigBytes::exportWritesTheQt5Bytes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("nameLine");
    QTest::newRow("default name") << QString::fromUtf8("默认配置1")
                                  << QByteArray(R"(ConfigName=\x9ed8\x8ba4\x914d\x7f6e\x31)");
    QTest::newRow("hex letters and digits after Chinese") << QString::fromUtf8(
        "光源配置ABC12") << QByteArray(R"(ConfigName=\x5149\x6e90\x914d\x7f6e\x41\x42\x43\x31\x32)");
    QTest::newRow("blanks around: quoted") << QString::fromUtf8(" 线 A ") << QByteArray(R"(ConfigName=" \x7ebf A ")");
    QTest::newRow("INI punctuation") << QStringLiteral("a,b;c=d\"e\\f") << QByteArray(R"(ConfigName="a,b;c=d\"e\\f")");
    QTest::newRow("Latin letters: a non-hex letter ends the run")
        << QString::fromUtf8("Ünïcødé g1") << QByteArray(R"(ConfigName=\xdcn\xef\x63\xf8\x64\xe9 g1)");
    QTest::newRow("outside the BMP: two escapes")
        << QString::fromUtf8("𝄞x7") << QByteArray(R"(ConfigName=\xd834\xdd1ex7)");
    QTest::newRow("control characters and DEL") << QStringLiteral("tab\there") + QChar(0x7f) + QLatin1Char('5')
                                                << QByteArray(R"(ConfigName=tab\there\x7f\x35)");
    QTest::newRow("plain ASCII") << QStringLiteral("LineA") << QByteArray("ConfigName=LineA");
}

void TestConfigBytes::exportWritesTheQt5Bytes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, nameLine);
    Access::showConfig(rig->w(), name, 0x0FFF, 0x0001, 3980, 253, 10000);
    const QString file = rig->dir.filePath(QStringLiteral("export.ini"));
    // Fresh, then written over a file of the other form: the same bytes both times.
    for (int exports = 1; exports <= 2; ++exports) {
        rig->modals.answerNextFileDialog(file);
        rig->ui()->btnExportConfig->click();
        QCOMPARE(rig->modals.boxCount(), exports);
        QVERIFY2(rig->modals.lastBox().isInformation(), qPrintable(rig->modals.lastBox().text));
        QCOMPARE(fileBytes(file), fixedKeys + nameLine + '\n');
        QVERIFY(writeFile(file, fixedKeys + "ConfigName=" + name.toUtf8() + '\n'));
    }
}

// A file the panel wrote with escapes, one a Qt 6 program or an editor wrote
// in UTF-8, and one from a Chinese Windows editor in GB18030 give one name.
void TestConfigBytes::bothFormsImportAlike_data()
{
    QTest::addColumn<QByteArray>("nameBytes");
    const QByteArray escapes(R"(\x5149\x6e90\x914d\x7f6e\x41)");
    QTest::newRow("escapes") << escapes;
    QTest::newRow("escapes, quoted") << QByteArray("\"" + escapes + "\"");
    QTest::newRow("UTF-8") << QString::fromUtf8("光源配置A").toUtf8();
    QTest::newRow("UTF-8, quoted") << QByteArray("\"" + QString::fromUtf8("光源配置A").toUtf8() + "\"");
    QTest::newRow("GB18030") << QByteArray::fromHex("b9e2d4b4c5e4d6c341");
    QTest::newRow("UTF-8 and escapes mixed") << QByteArray("\xe5\x85\x89\xe6\xba\x90\\x914d\\x7f6e\\x41");
}

void TestConfigBytes::bothFormsImportAlike()
{
    QFETCH(QByteArray, nameBytes);
    const QString file = rig->dir.filePath(QStringLiteral("import.ini"));
    const QByteArray bytes = "[General]\nConfigName=" + nameBytes + "\nConfigLdMaxDac=3001\n";
    QVERIFY(writeFile(file, bytes));
    ConfigValues values;
    QCOMPARE(ConfigFile::read(file, &values), ConfigFile::ReadOk);
    QCOMPARE(values.name, QString::fromUtf8("光源配置A"));
    QCOMPARE(values.maxDac, quint16(3001));
    // And the file is left as it was.
    QCOMPARE(fileBytes(file), bytes);
}

void TestConfigBytes::escapesFromUtf8_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("ASCII stays") << QByteArray("[General]\nA=b\\x41 1\n") << QByteArray("[General]\nA=b\\x41 1\n");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("two-byte character, then a hex digit")
        << QByteArray("A=\xc3\xa9") + '1' << QByteArray(R"(A=\xe9\x31)");
    QTest::newRow("a run of hex digits is escaped to its end")
        << QByteArray("A=\xe7\xba\xbf") + "Fab9z" << QByteArray(R"(A=\x7ebf\x46\x61\x62\x39z)");
    QTest::newRow("a line break ends the run") << QByteArray("A=\xe7\xba\xbf\nB=1\n") << QByteArray("A=\\x7ebf\nB=1\n");
    QTest::newRow("a blank ends the run") << QByteArray("A=\xe7\xba\xbf 1") << QByteArray(R"(A=\x7ebf 1)");
    QTest::newRow("four-byte character: both UTF-16 codes")
        << QByteArray("A=\xf0\x9d\x84\x9e") << QByteArray(R"(A=\xd834\xdd1e)");
    QTest::newRow("DEL") << QByteArray("A=\x7f") + 'c' << QByteArray(R"(A=\x7f\x63)");
    QTest::newRow("inside quotes") << QByteArray("A=\" \xe7\xba\xbf \"") << QByteArray(R"(A=" \x7ebf ")");
    QTest::newRow("not UTF-8: left alone") << QByteArray("A=\xb9\xe2\xd4\xb4") << QByteArray("A=\xb9\xe2\xd4\xb4");
    QTest::newRow("UTF-8 cut short: left alone") << QByteArray("A=\xe7\xba") << QByteArray("A=\xe7\xba");
}

void TestConfigBytes::escapesFromUtf8()
{
    QFETCH(QByteArray, utf8);
    QFETCH(QByteArray, escaped);
    QCOMPARE(IniEscapes::fromUtf8(utf8), escaped);
}

QTEST_MAIN(TestConfigBytes)
#include "tst_configbytes.moc"
