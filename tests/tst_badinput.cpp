// The text of every line edit, as a number reaches the slots: plain values
// at and around every limit and conversion step, and bad input (letters,
// blanks, signs, decimals where integers are expected, foreign digits,
// numbers beyond 16 and 32 bits, very long texts). The validators only refuse keystrokes; text put in by the
// program (setText) passes them, and that is how such text reaches the slots
// here. For every field: the conversion and clamp the panel promises, no
// crash, and on the line exactly the frames due, or none.

#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "spcomm.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSettings>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

const QString tenThousandDigits = QString(10000, QLatin1Char('9'));
const QString tenThousandLetters = QString(10000, QLatin1Char('x'));
const QString arabicIndicDigits = QString::fromUtf8("١٢");
const QString fullwidthDigits = QString::fromUtf8("１２");

} // namespace

class TestBadInput : public RigTestCase
{
    Q_OBJECT

private slots:
    void addressFieldOnOpen_data();
    void addressFieldOnOpen();
    void powerField_data();
    void powerField();
    void analogPowerField_data();
    void analogPowerField();
    void powerLimitField_data();
    void powerLimitField();
    void newAddressField_data();
    void newAddressField();
    void configurationFields_data();
    void configurationFields();
    void configurationNameOnExport_data();
    void configurationNameOnExport();

private:
    // Sets the field's text as the program would, clicks the button and
    // returns the frames the controller received.
    QStringList clickWith(QLineEdit *field, const QString &text, QAbstractButton *button, int framesDue);
    // The same for a field whose button writes one register: the write due
    // (value < 0: none), the register, the kept value and the field's text,
    // which stays as the operator left it.
    void checkEntry(QLineEdit *field, QAbstractButton *button, quint16 reg, quint16 &kept, const QString &text,
                    int value);

};


QStringList TestBadInput::clickWith(QLineEdit *field, const QString &text, QAbstractButton *button, int framesDue)
{
    rig->sim.clearRequests();
    rig->modals.clear();
    field->setText(text);
    button->click();
    if (framesDue == 0)
        return hexFrames(rig->settledFrames()); // a stray frame would come before the last read
    rig->sim.waitForRequests(framesDue, 5000);
    return hexFrames(rig->frames());
}

void TestBadInput::checkEntry(QLineEdit *field, QAbstractButton *button, quint16 reg, quint16 &kept,
                              const QString &text, int value)
{
    QVERIFY(rig->openLink());
    kept = 4321;
    const QStringList frames = clickWith(field, text, button, value < 0 ? 0 : 1);
    if (value < 0) {
        QCOMPARE(frames, QStringList());
        QCOMPARE(kept, quint16(4321));
    } else {
        QCOMPARE(frames, QStringList{writeFrame(1, reg, quint16(value))});
        QCOMPARE(rig->sim.holdingRegister(reg), quint16(value));
        QCOMPARE(kept, quint16(value));
    }
    QCOMPARE(field->text(), text);
    QCOMPARE(rig->modals.boxCount(), 0);
}

// The address typed before opening: decimal (full-width digits too), low 8 bits, 0 when not a number or negative.
void TestBadInput::addressFieldOnOpen_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address");
    QTest::newRow("blank") << " " << 0;
    QTest::newRow("leading blank") << " 12" << 12;
    QTest::newRow("trailing blank") << "12 " << 12;
    QTest::newRow("leading tab") << "\t7" << 7;
    QTest::newRow("plus sign") << "+5" << 5;
    QTest::newRow("-1 counts as 0") << "-1" << 0;
    QTest::newRow("hex") << "0x10" << 0;
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << 0;
    QTest::newRow("fullwidth digits") << fullwidthDigits << 12;
    QTest::newRow("decimal") << "12.5" << 0;
    QTest::newRow("decimal comma") << "12,5" << 0;
    QTest::newRow("65537") << "65537" << 1;
    QTest::newRow("4294967296") << "4294967296" << 0;
    QTest::newRow("1e9") << "1e9" << 0;
    QTest::newRow("-2147483648") << "-2147483648" << 0;
    QTest::newRow("2147483647") << "2147483647" << 255;
    QTest::newRow("10000 digits") << tenThousandDigits << 0;
    QTest::newRow("10000 letters") << tenThousandLetters << 0;
}

void TestBadInput::addressFieldOnOpen()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    if (address != 0)
        rig->sim.setAddress(quint8(address));
    QVERIFY(rig->openLink(text));
    QCOMPARE(rig->ui()->lineEditRs485Id->text(), text);
    QCOMPARE(int(Access::slaveAddress(rig->w())), address);
    rig->sim.clearRequests();
    rig->poll();
    QVERIFY(rig->sim.waitForRequests(1, 5000));
    // The poll goes to that address; address 0 is the broadcast address,
    // which no controller answers.
    QCOMPARE(hexFrames(rig->frames()), QStringList{readFrame(quint8(address), StatusBlockFirst, StatusBlockCount)});
    if (address == 0)
        QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(rig->modals.boxCount(), 0);
}

// Power in per mille: decimal, negative counts as 0, low 16 bits, at most 1000; an empty field sends nothing.
void TestBadInput::powerField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: nothing sent
    QTest::newRow("1500") << "1500" << 1000;
    QTest::newRow("-1 counts as 0") << "-1" << 0;
    QTest::newRow("65537") << "65537" << 1;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("500") << "500" << 500;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("1000") << "1000" << 1000;
    QTest::newRow("1001") << "1001" << 1000;
    QTest::newRow("65536") << "65536" << 0;
    QTest::newRow("12.5") << "12.5" << 0;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << " " << 0;
    QTest::newRow("leading blank") << " 12" << 12;
    QTest::newRow("trailing blank") << "12 " << 12;
    QTest::newRow("leading tab") << "\t7" << 7;
    QTest::newRow("plus sign") << "+5" << 5;
    QTest::newRow("hex") << "0x10" << 0;
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << 0;
    QTest::newRow("fullwidth digits") << fullwidthDigits << 12;
    QTest::newRow("decimal comma") << "12,5" << 0;
    QTest::newRow("4294967296") << "4294967296" << 0;
    QTest::newRow("1e9") << "1e9" << 0;
    QTest::newRow("-65535 counts as 0") << "-65535" << 0;
    QTest::newRow("2147483647 (low 16 bits 65535)") << "2147483647" << 1000;
    QTest::newRow("-2147483648 counts as 0") << "-2147483648" << 0;
    QTest::newRow("2147483648 (beyond int)") << "2147483648" << 0;
    QTest::newRow("10000 digits") << tenThousandDigits << 0;
    QTest::newRow("10000 letters") << tenThousandLetters << 0;
}

void TestBadInput::powerField()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    checkEntry(rig->ui()->lineEditPower, rig->ui()->powerSet, RegPowerPermille,
               Access::powerPermille(rig->w()), text, value);
}

// Power from millivolts: decimal, negative counts as 0, low 16 bits, then the 300..3200 mV line.
void TestBadInput::analogPowerField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: nothing sent
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("300") << "300" << 0;
    QTest::newRow("301") << "301" << 0;
    QTest::newRow("302") << "302" << 0;
    QTest::newRow("303") << "303" << 1;
    QTest::newRow("310") << "310" << 3;
    QTest::newRow("735") << "735" << 149;
    QTest::newRow("1000") << "1000" << 241;
    QTest::newRow("2000") << "2000" << 586;
    QTest::newRow("3199") << "3199" << 999;
    QTest::newRow("3200") << "3200" << 1000;
    QTest::newRow("3201") << "3201" << 999;
    QTest::newRow("3300") << "3300" << 999;
    QTest::newRow("-5 counts as 0") << "-5" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("65535") << "65535" << 999;
    QTest::newRow("68736 (low 16 bits 3200)") << "68736" << 1000;
    QTest::newRow("65836 (low 16 bits 300)") << "65836" << 0;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << " " << 0;
    QTest::newRow("leading blank") << " 735" << 149;
    QTest::newRow("trailing blank") << "735 " << 149;
    QTest::newRow("leading tab") << "\t3200" << 1000;
    QTest::newRow("plus sign") << "+2000" << 586;
    QTest::newRow("hex") << "0x10" << 0;
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << 0;
    QTest::newRow("fullwidth digits") << QString::fromUtf8("７３５") << 149;
    QTest::newRow("decimal") << "735.9" << 0;
    QTest::newRow("65537 (1 mV)") << "65537" << 0;
    QTest::newRow("4294967296") << "4294967296" << 0;
    QTest::newRow("1e9") << "1e9" << 0;
    QTest::newRow("2147483647 (low 16 bits 65535)") << "2147483647" << 999;
    QTest::newRow("-62336 counts as 0") << "-62336" << 0;
    QTest::newRow("10000 digits") << tenThousandDigits << 0;
    QTest::newRow("10000 letters") << tenThousandLetters << 0;
}

void TestBadInput::analogPowerField()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    checkEntry(rig->ui()->lineEditAnalogPower, rig->ui()->analogPowerSet, RegPowerPermille,
               Access::powerPermille(rig->w()), text, value);
}

// The power limit: decimal, negative counts as 0, low 16 bits, clamped to 2800..3980.
void TestBadInput::powerLimitField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: nothing sent
    QTest::newRow("1000") << "1000" << 2800;
    QTest::newRow("5000") << "5000" << 3980;
    QTest::newRow("3000") << "3000" << 3000;
    QTest::newRow("2800") << "2800" << 2800;
    QTest::newRow("3980") << "3980" << 3980;
    QTest::newRow("2799") << "2799" << 2800;
    QTest::newRow("3981") << "3981" << 3980;
    QTest::newRow("65537 (low 16 bits 1)") << "65537" << 2800;
    QTest::newRow("68536 (low 16 bits 3000)") << "68536" << 3000;
    QTest::newRow("-1 counts as 0") << "-1" << 2800;
    QTest::newRow("letters") << "abc" << 2800;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << " " << 2800;
    QTest::newRow("leading blank") << " 3000" << 3000;
    QTest::newRow("trailing blank") << "3000 " << 3000;
    QTest::newRow("leading tab") << "\t3000" << 3000;
    QTest::newRow("plus sign") << "+3000" << 3000;
    QTest::newRow("hex") << "0x10" << 2800;
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << 2800;
    QTest::newRow("fullwidth digits") << QString::fromUtf8("３０００") << 3000;
    QTest::newRow("decimal") << "3000.5" << 2800;
    QTest::newRow("decimal comma") << "3000,5" << 2800;
    QTest::newRow("65536") << "65536" << 2800;
    QTest::newRow("-62536 counts as 0") << "-62536" << 2800;
    QTest::newRow("4294967296") << "4294967296" << 2800;
    QTest::newRow("1e9") << "1e9" << 2800;
    QTest::newRow("10000 digits") << tenThousandDigits << 2800;
    QTest::newRow("10000 letters") << tenThousandLetters << 2800;
}

void TestBadInput::powerLimitField()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    checkEntry(rig->ui()->lineLimitPower, rig->ui()->saveLimitPower, RegMaxPowerDac, Access::ldMaxDac(rig->w()),
               text, value);
}

// The new RS-485 address: decimal, negative counts as 0, low 16 bits; only 1..254 are broadcast.
void TestBadInput::newAddressField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address"); // -1: nothing sent
    QTest::newRow("0") << "0" << -1;
    QTest::newRow("255") << "255" << -1;
    QTest::newRow("300") << "300" << -1;
    QTest::newRow("65536 (low 16 bits 0)") << "65536" << -1;
    QTest::newRow("65791 (low 16 bits 255)") << "65791" << -1;
    QTest::newRow("-1") << "-1" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << " " << -1;
    QTest::newRow("letters") << "abc" << -1;
    QTest::newRow("leading blank") << " 12" << 12;
    QTest::newRow("trailing blank") << "12 " << 12;
    QTest::newRow("leading tab") << "\t7" << 7;
    QTest::newRow("plus sign") << "+5" << 5;
    QTest::newRow("hex") << "0x10" << -1;
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << -1;
    QTest::newRow("fullwidth digits") << fullwidthDigits << 12;
    QTest::newRow("decimal") << "12.5" << -1;
    QTest::newRow("decimal comma") << "12,5" << -1;
    QTest::newRow("-65535 counts as 0") << "-65535" << -1;
    QTest::newRow("-65282 counts as 0") << "-65282" << -1;
    QTest::newRow("4294967296") << "4294967296" << -1;
    QTest::newRow("1e9") << "1e9" << -1;
    QTest::newRow("10000 digits") << tenThousandDigits << -1;
    QTest::newRow("10000 letters") << tenThousandLetters << -1;
}

void TestBadInput::newAddressField()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    QVERIFY(rig->openLink());
    const QStringList frames = clickWith(rig->ui()->lineSet485_ID, text, rig->ui()->set485Id, address < 0 ? 0 : 3);
    if (address < 0) {
        QCOMPARE(frames, QStringList());
        QCOMPARE(rig->modals.boxCount(), 0);
        QCOMPARE(rig->sim.address(), quint8(1));
        QCOMPARE(Access::slaveAddress(rig->w()), quint8(1));
        // Nor with the port closed: the range check comes first.
        rig->closeLink();
        rig->ui()->set485Id->click();
        QCOMPARE(rig->modals.boxCount(), 0);
    } else {
        const QString change = writeFrame(0, RegRs485Address, quint16(address));
        QCOMPARE(frames, (QStringList{change, change, writeFrame(0, RegCommandWord, 1)}));
        QCOMPARE(rig->modals.boxCount(), 1);
        QCOMPARE(rig->modals.lastBox().text, QStringLiteral("命令已发送，请用新地址尝试连接！"));
        QCOMPARE(rig->sim.address(), quint8(address));
    }
    QCOMPARE(rig->ui()->lineSet485_ID->text(), text);
}

// The configuration tab, read by the block save (full-width digits read as
// ASCII): DAC as an unsigned decimal, low 16 bits, kept within 2800..3980 (the
// field then shows the value sent); alarm as tenths of the decimal text,
// truncated, a negative number as 0, saturating at the end of a 32-bit
// integer, low 16 bits, and nan or inf refused like an empty field; hours as
// an unsigned decimal, refused when hours x 3600 does not fit 32 bits.
void TestBadInput::configurationFields_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("value");     // the word (hours for the hours field); -1: refused, nothing sent
    QTest::addColumn<QString>("fieldAfter");

    const QString dac = QStringLiteral("lineEditMaxDac");
    QTest::newRow("DAC empty") << dac << "" << qint64(-1) << "";
    QTest::newRow("DAC blank") << dac << " " << qint64(2800) << "2800";
    QTest::newRow("DAC letters") << dac << "abc" << qint64(2800) << "2800";
    QTest::newRow("DAC leading blank") << dac << " 3000" << qint64(3000) << " 3000";
    QTest::newRow("DAC trailing blank") << dac << "3000 " << qint64(3000) << "3000 ";
    QTest::newRow("DAC plus sign") << dac << "+3000" << qint64(3000) << "+3000";
    QTest::newRow("DAC -1") << dac << "-1" << qint64(2800) << "2800";
    QTest::newRow("DAC hex") << dac << "0x10" << qint64(2800) << "2800";
    QTest::newRow("DAC Arabic-Indic digits") << dac << arabicIndicDigits << qint64(2800) << "2800";
    QTest::newRow("DAC fullwidth digits") << dac << QString::fromUtf8("３０００") << qint64(3000)
                                          << QString::fromUtf8("３０００");
    QTest::newRow("DAC decimal") << dac << "3000.5" << qint64(2800) << "2800";
    QTest::newRow("DAC 65536") << dac << "65536" << qint64(2800) << "2800";
    QTest::newRow("DAC 65537") << dac << "65537" << qint64(2800) << "2800";
    QTest::newRow("DAC 68536 (low 16 bits 3000)") << dac << "68536" << qint64(3000) << "68536";
    QTest::newRow("DAC 4294967295 (low 16 bits 65535)") << dac << "4294967295" << qint64(3980) << "3980";
    QTest::newRow("DAC 4294967296") << dac << "4294967296" << qint64(2800) << "2800";
    QTest::newRow("DAC 1e9") << dac << "1e9" << qint64(2800) << "2800";
    QTest::newRow("DAC 10000 digits") << dac << tenThousandDigits << qint64(2800) << "2800";
    QTest::newRow("DAC 10000 letters") << dac << tenThousandLetters << qint64(2800) << "2800";

    const QString alarm = QStringLiteral("lineEditAlarmTemperature");
    QTest::newRow("alarm empty") << alarm << "" << qint64(-1) << "";
    QTest::newRow("alarm blank") << alarm << " " << qint64(0) << " ";
    QTest::newRow("alarm letters") << alarm << "abc" << qint64(0) << "abc";
    QTest::newRow("alarm leading blank") << alarm << " 12" << qint64(120) << " 12";
    QTest::newRow("alarm trailing blank") << alarm << "12 " << qint64(120) << "12 ";
    QTest::newRow("alarm plus sign") << alarm << "+5" << qint64(50) << "+5";
    QTest::newRow("alarm -1 counts as 0") << alarm << "-1" << qint64(0) << "-1";
    QTest::newRow("alarm hex") << alarm << "0x10" << qint64(0) << "0x10";
    QTest::newRow("alarm Arabic-Indic digits") << alarm << arabicIndicDigits << qint64(0) << arabicIndicDigits;
    QTest::newRow("alarm fullwidth digits") << alarm << fullwidthDigits << qint64(120) << fullwidthDigits;
    QTest::newRow("alarm fullwidth 25.3") << alarm << QString::fromUtf8("２５．３") << qint64(253)
                                          << QString::fromUtf8("２５．３");
    QTest::newRow("alarm decimal comma") << alarm << "12,5" << qint64(0) << "12,5";
    QTest::newRow("alarm 6553.5") << alarm << "6553.5" << qint64(65535) << "6553.5";
    QTest::newRow("alarm 6553.6 (65536, low 16 bits 0)") << alarm << "6553.6" << qint64(0) << "6553.6";
    QTest::newRow("alarm 65536 (655360, low 16 bits 0)") << alarm << "65536" << qint64(0) << "65536";
    QTest::newRow("alarm 65537 (655370, low 16 bits 10)") << alarm << "65537" << qint64(10) << "65537";
    // Beyond a 32-bit integer the tenths saturate: the largest value's low
    // 16 bits are 0xFFFF, the smallest's 0.
    QTest::newRow("alarm 4294967296") << alarm << "4294967296" << qint64(65535) << "4294967296";
    QTest::newRow("alarm 1e9") << alarm << "1e9" << qint64(65535) << "1e9";
    QTest::newRow("alarm -1e9") << alarm << "-1e9" << qint64(0) << "-1e9";
    // nan and inf are no temperature: refused like an empty field, never sent as 0.
    QTest::newRow("alarm inf") << alarm << "inf" << qint64(-1) << "inf";
    QTest::newRow("alarm -inf") << alarm << "-inf" << qint64(-1) << "-inf";
    QTest::newRow("alarm nan") << alarm << "nan" << qint64(-1) << "nan";
    QTest::newRow("alarm fullwidth NaN") << alarm << QString::fromUtf8("ＮａＮ") << qint64(-1)
                                         << QString::fromUtf8("ＮａＮ");
    // Past the range of a float a number is still a number: it saturates.
    QTest::newRow("alarm 3.4e39") << alarm << "3.4e39" << qint64(65535) << "3.4e39";
    QTest::newRow("alarm 10000 digits") << alarm << tenThousandDigits << qint64(65535) << tenThousandDigits;
    QTest::newRow("alarm 10000 letters") << alarm << tenThousandLetters << qint64(0) << tenThousandLetters;
    QTest::newRow("alarm 1e-9") << alarm << "1e-9" << qint64(0) << "1e-9";

    const QString hours = QStringLiteral("lineEditCompensationHours");
    QTest::newRow("hours empty") << hours << "" << qint64(-1) << "";
    QTest::newRow("hours blank") << hours << " " << qint64(0) << " ";
    QTest::newRow("hours letters") << hours << "abc" << qint64(0) << "abc";
    QTest::newRow("hours leading blank") << hours << " 12" << qint64(12) << " 12";
    QTest::newRow("hours trailing blank") << hours << "12 " << qint64(12) << "12 ";
    QTest::newRow("hours plus sign") << hours << "+5" << qint64(5) << "+5";
    QTest::newRow("hours -1") << hours << "-1" << qint64(0) << "-1";
    QTest::newRow("hours hex") << hours << "0x10" << qint64(0) << "0x10";
    QTest::newRow("hours Arabic-Indic digits") << hours << arabicIndicDigits << qint64(0) << arabicIndicDigits;
    QTest::newRow("hours decimal") << hours << "12.5" << qint64(0) << "12.5";
    QTest::newRow("hours 65536") << hours << "65536" << qint64(65536) << "65536";
    QTest::newRow("hours 65537") << hours << "65537" << qint64(65537) << "65537";
    QTest::newRow("hours 1193046 (largest that fits)") << hours << "1193046" << qint64(1193046) << "1193046";
    QTest::newRow("hours 4294967296") << hours << "4294967296" << qint64(0) << "4294967296";
    QTest::newRow("hours 1e9") << hours << "1e9" << qint64(0) << "1e9";
    QTest::newRow("hours 10000 digits") << hours << tenThousandDigits << qint64(0) << tenThousandDigits;
}

void TestBadInput::configurationFields()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(qint64, value);
    QFETCH(QString, fieldAfter);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    // A tab the operator filled: modules 1 and 2 enabled, 11 and 12 low power,
    // DAC 3000, 30.0 degrees, 10 hours; then one field gets the bad text.
    Access::showConfig(w, QStringLiteral("bench"), 0x0003, 0x0C00, 3000, 300, 10);
    auto *edit = w.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    const QStringList frames = clickWith(edit, text, rig->ui()->btnSaveAllConfig, value < 0 ? 0 : 1);

    if (value < 0) {
        QCOMPARE(frames, QStringList());
        QCOMPARE(rig->modals.boxCount(), 1);
        QCOMPARE(rig->modals.lastBox().title, QStringLiteral("警告"));
        QCOMPARE(rig->modals.lastBox().text, QStringLiteral("数据填写不正确"));
    } else {
        QVector<quint16> words{0, 0x0003, 3000, 0, 36000, 300, 0x0C00};
        if (field == QStringLiteral("lineEditMaxDac")) {
            words[2] = quint16(value);
        } else if (field == QStringLiteral("lineEditAlarmTemperature")) {
            words[5] = quint16(value);
        } else {
            const quint32 seconds = quint32(value) * 3600u;
            words[3] = quint16(seconds >> 16);
            words[4] = quint16(seconds & 0xFFFF);
        }
        QCOMPARE(frames, QStringList{hexFrame(blockRequest(1, ConfigBlockFirst, words))});
        QCOMPARE(rig->modals.boxCount(), 1);
        QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    }
    QCOMPARE(edit->text(), fieldAfter);
}

// The configuration name goes to the INI file as it is (an empty one as
// "默认配置1") and comes back the same through an import; nothing reaches the line.
void TestBadInput::configurationNameOnExport_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("empty") << "" << "默认配置1";
    QTest::newRow("blank") << " " << " ";
    QTest::newRow("leading and trailing blanks") << " 12 " << " 12 ";
    QTest::newRow("plus sign") << "+5" << "+5";
    QTest::newRow("hex") << "0x10" << "0x10";
    QTest::newRow("Arabic-Indic digits") << arabicIndicDigits << arabicIndicDigits;
    QTest::newRow("comma") << "a,b" << "a,b";
    QTest::newRow("equals and semicolon") << "k=v;x" << "k=v;x";
    QTest::newRow("section header") << "[General]" << "[General]";
    QTest::newRow("at sign") << "@Invalid()" << "@Invalid()";
    QTest::newRow("quotes and backslash") << "\"a\\b\"" << "\"a\\b\"";
    QTest::newRow("hash") << "#1" << "#1";
    QTest::newRow("Chinese with digit") << "默认配置1" << "默认配置1";
    QTest::newRow("4294967296") << "4294967296" << "4294967296";
    QTest::newRow("10000 letters") << tenThousandLetters << tenThousandLetters;
}

void TestBadInput::configurationNameOnExport()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    Access::showConfig(w, name, 0x0003, 0x0C00, 3000, 300, 10);
    rig->sim.clearRequests();
    const QString path = rig->dir.filePath(QStringLiteral("name.ini"));

    rig->modals.answerNextFileDialog(path);
    rig->ui()->btnExportConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置文件已导出"));
    QCOMPARE(rig->ui()->lineEditConfigName->text(), name);
    {
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value(QStringLiteral("ConfigName")).toString(), stored);
        QCOMPARE(file.value(QStringLiteral("ConfigLdMaxDac")).toUInt(), 3000u);
    }

    // Back in through an import.
    rig->ui()->lineEditConfigName->setText(QStringLiteral("something else"));
    rig->modals.answerNextFileDialog(path);
    rig->ui()->btnExportConfig_2->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置文件已导入，点击保存配置下发命令！"));
    QCOMPARE(rig->ui()->lineEditConfigName->text(), stored);
    QCOMPARE(rig->ui()->lineEditMaxDac->text(), QStringLiteral("3000"));

    QCOMPARE(rig->settledFrames().size(), 0);
}

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
