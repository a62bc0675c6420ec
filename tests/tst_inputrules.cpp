// What the operator types is what the controller gets. Text is typed key by
// key into the real window, so every validator sees every keystroke, and the
// controller's request log is the witness of what was sent:
// - in every system locale the validated fields take exactly the numbers the
//   commands read (no group separators, a point as the decimal sign);
// - full-width digits, signs and points from a Chinese input method count as
//   their ASCII forms;
// - a negative entry counts as 0 before the command's clamp;
// - an alarm temperature read from the controller goes back as the same word;
// - the ADC indicator cannot be switched by the mouse or the keyboard.

#include "configtab.h"
#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "spcomm.h"

#include <QInputMethodEvent>
#include <QLineEdit>
#include <QLocale>
#include <QRadioButton>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

// The fields with a numeric entry and the command that reads each.
enum Field { LimitPower, BlockDac, BlockAlarm, BlockHours, Power, AnalogPower, NewAddress, OpenAddress };

// The tab before a block field gets its text: values none of the rows send.
const QString baseDac = QStringLiteral("2900");
const QString baseAlarm = QStringLiteral("11.1");
const QString baseHours = QStringLiteral("7");

QString fw(const char *text)
{
    return QString::fromUtf8(text);
}

// Types the text character by character: ASCII as key strokes, anything else
// as a Chinese input method delivers it, one committed character at a time.
void typeInto(QLineEdit *line, const QString &text)
{
    line->setFocus();
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(line, c.toLatin1());
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(c));
            QCoreApplication::sendEvent(line, &commit);
        }
    }
}

// Puts the default locale back however the test ends.
struct DefaultLocaleGuard
{
    const QLocale saved;
    ~DefaultLocaleGuard() { QLocale::setDefault(saved); }
};

} // namespace

Q_DECLARE_METATYPE(Field)

class TestInputRules : public RigTestCase
{
    Q_OBJECT

private slots:
    void validatedFieldsInEveryLocale_data();
    void validatedFieldsInEveryLocale();
    void fullWidthInput_data();
    void fullWidthInput();
    void negativeEntries_data();
    void negativeEntries();
    void alarmWordsSurviveTheTab();
    void alarmWordsSurviveReadSaveAndFiles_data();
    void alarmWordsSurviveReadSaveAndFiles();
    void adcIndicatorIgnoresMouseAndKeys();

private:
    QLineEdit *edit(Field field);
    // Puts the text into the field (typed key by key, or set as the program
    // does), runs the field's command and returns the value the controller
    // received for it: the register word, the block word, the hours, the new
    // address, the polled address; -1 when nothing went out.
    qint64 run(Field field, const QString &text, bool typed);
    // A window made under this default locale, its link open.
    void restartIn(const QLocale &locale);
};

QLineEdit *TestInputRules::edit(Field field)
{
    MainWindowForm *ui = rig->ui();
    switch (field) {
    case LimitPower:
        return ui->lineLimitPower;
    case BlockDac:
        return ui->lineEditMaxDac;
    case BlockAlarm:
        return ui->lineEditAlarmTemperature;
    case BlockHours:
        return ui->lineEditCompensationHours;
    case Power:
        return ui->lineEditPower;
    case AnalogPower:
        return ui->lineEditAnalogPower;
    case NewAddress:
        return ui->lineSet485_ID;
    case OpenAddress:
        return ui->lineEditRs485Id;
    }
    return nullptr;
}

void TestInputRules::restartIn(const QLocale &locale)
{
    rig.reset();
    QLocale::setDefault(locale); // the validators take the default locale when they are made
    rig = std::make_unique<PanelRig>();
    QVERIFY(rig->start());
}

qint64 TestInputRules::run(Field field, const QString &text, bool typed)
{
    MainWindowForm *ui = rig->ui();
    QLineEdit *line = edit(field);
    const bool block = field == BlockDac || field == BlockAlarm || field == BlockHours;
    if (block)
        fillTab(*rig, QStringLiteral("t"), 0x0003, 0x0C00, baseDac, baseAlarm, baseHours);
    line->clear();
    if (typed) {
        typeInto(line, text);
    } else {
        line->setText(text);
    }

    rig->sim.clearRequests();
    if (field == OpenAddress) {
        ui->serialName->insertItem(0, rig->sim.portPath());
        ui->serialName->setCurrentIndex(0);
        ui->switchSerial->click();
        rig->poll();
    } else {
        if (!Access::spComm(rig->w())->isOpen() && !rig->openLink())
            return -2;
        rig->sim.clearRequests();
        switch (field) {
        case LimitPower:
            ui->saveLimitPower->click();
            break;
        case Power:
            ui->powerSet->click();
            break;
        case AnalogPower:
            ui->analogPowerSet->click();
            break;
        case NewAddress:
            ui->set485Id->click();
            break;
        default:
            ui->btnSaveAllConfig->click();
            break;
        }
    }
    const QList<QByteArray> frames = rig->settledFrames();
    if (frames.isEmpty())
        return -1;
    const QByteArray &frame = frames.first();
    const auto word
        = [&frame](int offset) { return qint64(quint8(frame.at(offset)) << 8 | quint8(frame.at(offset + 1))); };
    switch (field) {
    case OpenAddress:
        return quint8(frame.at(0));
    case BlockDac:
        return word(7 + 2 * 2);
    case BlockAlarm:
        return word(7 + 2 * 5);
    case BlockHours:
        return (word(7 + 2 * 3) << 16 | word(7 + 2 * 4)) / 3600;
    default:
        return word(4);
    }
}

// Typed key by key: what stays in the field and what goes out, the same in every locale.
void TestInputRules::validatedFieldsInEveryLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<Field>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<qint64>("sent");
    const QList<QLocale> locales{QLocale::c(), QLocale(QStringLiteral("zh_CN")), QLocale(QStringLiteral("en_US")),
        QLocale(QStringLiteral("de_DE")), QLocale::system()};
    for (const QLocale &locale : locales) {
        const QString name = locale == QLocale::system() ? QStringLiteral("system ") + locale.name() : locale.name();
        auto row = [&](const char *what) -> QTestData & { return QTest::addRow("%s: %s", qPrintable(name), what); };
        row("DAC limit 3,500") << locale << LimitPower << "3,500"
                               << "3500" << qint64(3500);
        row("DAC limit 35,00") << locale << LimitPower << "35,00"
                               << "3500" << qint64(3500);
        row("DAC limit 3.500") << locale << LimitPower << "3.500"
                               << "3500" << qint64(3500);
        row("block DAC 3,500") << locale << BlockDac << "3,500"
                               << "3500" << qint64(3500);
        row("block DAC 3980") << locale << BlockDac << "3980"
                              << "3980" << qint64(3980);
        row("hours 10,000") << locale << BlockHours << "10,000"
                            << "10000" << qint64(10000);
        row("hours 10.000") << locale << BlockHours << "10.000"
                            << "10000" << qint64(10000);
        row("alarm 45,5") << locale << BlockAlarm << "45,5"
                          << "45" << qint64(450);
        row("alarm 45.5") << locale << BlockAlarm << "45.5"
                          << "45.5" << qint64(455);
        row("alarm 25.3") << locale << BlockAlarm << "25.3"
                          << "25.3" << qint64(253);
    }
}

void TestInputRules::validatedFieldsInEveryLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(Field, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(qint64, sent);
    const DefaultLocaleGuard guard{QLocale()};
    restartIn(locale);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run(field, typed, true), sent);
    QCOMPARE(edit(field)->text(), shown);
}

// A Chinese input method gives full-width digits, signs and points.
void TestInputRules::fullWidthInput_data()
{
    QTest::addColumn<Field>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<qint64>("sent");
    QTest::newRow("power 650") << Power << fw("６５０") << qint64(650);
    QTest::newRow("power 1500 clamped") << Power << fw("１５００") << qint64(1000);
    QTest::newRow("power +5") << Power << fw("＋５") << qint64(5);
    QTest::newRow("millivolts 735") << AnalogPower << fw("７３５") << qint64(149);
    QTest::newRow("millivolts 3200") << AnalogPower << fw("３２００") << qint64(1000);
    QTest::newRow("DAC limit 3500") << LimitPower << fw("３５００") << qint64(3500);
    QTest::newRow("new address 12") << NewAddress << fw("１２") << qint64(12);
    QTest::newRow("address to open 7") << OpenAddress << fw("７") << qint64(7);
    QTest::newRow("block DAC 3500") << BlockDac << fw("３５００") << qint64(3500);
    QTest::newRow("alarm 25.3") << BlockAlarm << fw("２５．３") << qint64(253);
    QTest::newRow("alarm 0.7") << BlockAlarm << fw("０．７") << qint64(7);
    QTest::newRow("hours 100") << BlockHours << fw("１００") << qint64(100);
    QTest::newRow("mixed with ASCII") << Power << fw("6５0") << qint64(650);
}

void TestInputRules::fullWidthInput()
{
    QFETCH(Field, field);
    QFETCH(QString, typed);
    QFETCH(qint64, sent);
    if (field == OpenAddress)
        rig->sim.setAddress(7);
    QCOMPARE(run(field, typed, true), sent);
    QCOMPARE(edit(field)->text(), typed); // the operator's text stays as typed
}

// Fields without a validator take a minus sign from the keyboard; the
// validated fields refuse it, so there only the program can put one.
void TestInputRules::negativeEntries_data()
{
    QTest::addColumn<Field>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("typed");
    QTest::addColumn<qint64>("sent");
    QTest::newRow("power -1") << Power << "-1" << true << qint64(0);
    QTest::newRow("power -999") << Power << "-999" << true << qint64(0);
    QTest::newRow("power full-width -1") << Power << fw("－１") << true << qint64(0);
    QTest::newRow("millivolts -5") << AnalogPower << "-5" << true << qint64(0);
    QTest::newRow("millivolts -3200") << AnalogPower << "-3200" << true << qint64(0);
    QTest::newRow("new address -1 sends nothing") << NewAddress << "-1" << true << qint64(-1);
    QTest::newRow("address to open -1 polls 0") << OpenAddress << "-1" << true << qint64(0);
    QTest::newRow("DAC limit -1 is raised to 2800") << LimitPower << "-1" << false << qint64(2800);
    QTest::newRow("block DAC -1 is raised to 2800") << BlockDac << "-1" << false << qint64(2800);
    QTest::newRow("alarm -2.5") << BlockAlarm << "-2.5" << false << qint64(0);
    QTest::newRow("hours -5") << BlockHours << "-5" << false << qint64(0);
}

void TestInputRules::negativeEntries()
{
    QFETCH(Field, field);
    QFETCH(QString, text);
    QFETCH(bool, typed);
    QFETCH(qint64, sent);
    QCOMPARE(run(field, text, typed), sent);
}

// Every word the tab can show (0.0 .. 6553.5) reads back as the same word.
void TestInputRules::alarmWordsSurviveTheTab()
{
    MainWindow &w = rig->w();
    int wrong = 0;
    QString first;
    for (int word = 0; word <= 0xFFFF; ++word) {
        Access::showConfig(w, QStringLiteral("p"), 0, 0, 3000, quint16(word), 1);
        QString name;
        quint16 ldMask = 0, lowPowerMask = 0, maxDac = 0, alarmTenths = 0;
        quint32 hours = 0;
        if (!Access::collectConfig(w, name, ldMask, lowPowerMask, maxDac, alarmTenths, hours) || alarmTenths != word) {
            if (wrong++ == 0)
                first = QStringLiteral("%1 shown as %2 reads back as %3")
                            .arg(word)
                            .arg(rig->ui()->lineEditAlarmTemperature->text())
                            .arg(alarmTenths);
        }
    }
    QVERIFY2(wrong == 0, qPrintable(QStringLiteral("%1 words changed; first: %2").arg(wrong).arg(first)));
    QCOMPARE(rig->modals.boxCount(), 0);
}

// End to end through the controller and through a file, for words where
// binary floating point would lose a tenth.
void TestInputRules::alarmWordsSurviveReadSaveAndFiles_data()
{
    QTest::addColumn<int>("word");
    for (int word : {0, 1, 7, 98, 99, 253, 299, 300, 1001, 2530, 6553, 32767, 65534, 65535})
        QTest::addRow("%d", word) << word;
}

void TestInputRules::alarmWordsSurviveReadSaveAndFiles()
{
    QFETCH(int, word);
    QVERIFY(rig->openLink());
    MainWindowForm *ui = rig->ui();
    rig->sim.setHoldingRegister(RegCfgLdAlarmTemperature, quint16(word));
    // A loaded machine may hold the controller up past the panel's wait: read until answered.
    QVERIFY(rig->untilAnswered([ui] { ui->btnGetAllConfig->click(); }));
    rig->sim.setHoldingRegister(RegCfgLdAlarmTemperature, 0xAAAA);
    ui->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    QCOMPARE(int(rig->sim.holdingRegister(RegCfgLdAlarmTemperature)), word);

    const QString file = rig->dir.filePath(QStringLiteral("alarm.ini"));
    rig->modals.answerNextFileDialog(file);
    ui->btnExportConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置文件已导出"));
    ui->lineEditAlarmTemperature->setText(QStringLiteral("1"));
    rig->modals.answerNextFileDialog(file);
    ui->btnExportConfig_2->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置文件已导入，点击保存配置下发命令！"));
    rig->sim.setHoldingRegister(RegCfgLdAlarmTemperature, 0xAAAA);
    ui->btnSaveAllConfig->click();
    QCOMPARE(rig->modals.lastBox().text, QStringLiteral("配置保存成功"));
    QCOMPARE(int(rig->sim.holdingRegister(RegCfgLdAlarmTemperature)), word);
}

void TestInputRules::adcIndicatorIgnoresMouseAndKeys()
{
    QVERIFY(rig->openLink());
    MainWindowForm *ui = rig->ui();
    QRadioButton *indicator = ui->radioButtonAdcEnableStat;
    rig->w().show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->w()));

    for (bool state : {false, true}) {
        indicator->setChecked(state);
        QTest::mouseClick(indicator, Qt::LeftButton);
        QTest::mouseDClick(indicator, Qt::LeftButton);
        QTest::keyClick(indicator, Qt::Key_Space);
        QCOMPARE(indicator->isChecked(), state);
    }
    // It still looks like the control it shows and keeps its tip.
    QVERIFY(indicator->isEnabled());
    QCOMPARE(indicator->toolTip(), QStringLiteral(" 数字控制需要先屏蔽外部ADC控制"));
    QCOMPARE(indicator->focusPolicy(), Qt::NoFocus);

    // The poll and the two ADC buttons still set it.
    rig->sim.setAdcEnable(0);
    rig->poll();
    QVERIFY(!indicator->isChecked());
    ui->ldAdcOn->click();
    QVERIFY(indicator->isChecked());
    QCOMPARE(rig->sim.holdingRegister(RegAdcEnable), quint16(1));
    ui->ldAdcOff->click();
    QVERIFY(!indicator->isChecked());
    rig->sim.setAdcEnable(1);
    rig->poll();
    QVERIFY(indicator->isChecked());
    QCOMPARE(rig->modals.boxCount(), 0);
}

QTEST_MAIN(TestInputRules)
#include "tst_inputrules.moc"
