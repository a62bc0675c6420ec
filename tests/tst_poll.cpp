// The status poll against the virtual controller: decoding and display of the
// twelve status words, the kept members, the adopted slave address and the
// link-health rule over sequences of good and failed polls.

#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"
#include "spcomm.h"

#include <QAtomicInt>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMap>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

const QString styleRed = QStringLiteral("color:red;font:仿宋;font-size:14px;");
const QString styleBlack = QStringLiteral("color:black;font:仿宋;font-size:14px;");

// Everything the poll may write, to compare before and after.
struct Screen
{
    QMap<QString, QString> texts;  // every label of the status group, by object name
    QMap<QString, QString> styles; // and its style sheet
    bool adcChecked = false;
    quint8 slaveAddress = 0;
    quint16 ldEnableMask = 0;
    quint16 ldSwitchMask = 0;
    quint16 powerPermille = 0;
    qint16 ldTemperature = 0;
    quint16 supplyMillivolts = 0;
    quint32 runSeconds = 0;
    quint16 firmwareVersion = 0;

    bool operator==(const Screen &o) const
    {
        return texts == o.texts && styles == o.styles && adcChecked == o.adcChecked
               && slaveAddress == o.slaveAddress && ldEnableMask == o.ldEnableMask
               && ldSwitchMask == o.ldSwitchMask && powerPermille == o.powerPermille
               && ldTemperature == o.ldTemperature && supplyMillivolts == o.supplyMillivolts
               && runSeconds == o.runSeconds && firmwareVersion == o.firmwareVersion;
    }
};

Screen screenOf(PanelRig &rig, bool withCommStat)
{
    Screen s;
    for (QLabel *label : rig.ui()->devStatus->findChildren<QLabel *>()) {
        if (!withCommStat && label == rig.ui()->labelCommStat)
            continue;
        s.texts.insert(label->objectName(), label->text());
        s.styles.insert(label->objectName(), label->styleSheet());
    }
    s.adcChecked = rig.ui()->radioButtonAdcEnableStat->isChecked();
    MainWindow &w = rig.w();
    s.slaveAddress = Access::slaveAddress(w);
    s.ldEnableMask = Access::ldEnableMask(w);
    s.ldSwitchMask = Access::ldSwitchMask(w);
    s.powerPermille = Access::powerPermille(w);
    s.ldTemperature = Access::ldTemperature(w);
    s.supplyMillivolts = Access::supplyMillivolts(w);
    s.runSeconds = Access::runSeconds(w);
    s.firmwareVersion = Access::firmwareVersion(w);
    return s;
}

// Records, for every style change of a label, the text the label held at that moment.
class StyleChangeRecorder : public QObject
{
public:
    explicit StyleChangeRecorder(QLabel *label) : m_label(label) { label->installEventFilter(this); }
    ~StyleChangeRecorder() override { m_label->removeEventFilter(this); }
    QStringList textsSeen;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_label && event->type() == QEvent::StyleChange)
            textsSeen.append(m_label->text());
        return false;
    }

private:
    QLabel *m_label;
};

} // namespace

class TestPoll : public RigTestCase
{
    Q_OBJECT

private slots:
    void pollAsksForTheTwelveStatusRegisters();
    void keptMembersFollowEveryPoll();
    void temperatureTextAndStyle_data();
    void temperatureTextAndStyle();
    void statusWordsShownInTheirUnits_data();
    void statusWordsShownInTheirUnits();
    void runningHours_data();
    void runningHours();
    void switchStateLabels_data();
    void switchStateLabels();
    void missingStateLabelIsSkipped();
    void adcRadioFollowsLowByteOfWordThree_data();
    void adcRadioFollowsLowByteOfWordThree();
    void reportedAddressIsUsedByLaterRequests();
    void reportedAddressTakesTheLowByte();

    void healthBeforeAnyGoodRead();
    void healthAfterAGoodRead();
    void failedPollChangesNothingElse_data();
    void failedPollChangesNothingElse();
    void closedLinkChangesNothingAndSendsNothing();
    void linkToAnAddressNobodyAnswersIsNeverGood();
    void pollTimerDrivesThePoll();

private:
    bool goodPoll();
    void failedPoll();

};

// One poll that the controller answers.
bool TestPoll::goodPoll()
{
    return rig->pollUntilAnswered();
}

// One poll that the controller leaves unanswered.
void TestPoll::failedPoll()
{
    rig->sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig->poll();
    rig->sim.clearFault();
}

void TestPoll::pollAsksForTheTwelveStatusRegisters()
{
    QVERIFY(rig->openLink());
    rig->poll();
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(hexFrame(rig->frames().first()), statusReadHex);
    QCOMPARE(rig->modals.boxCount(), 0);
}

void TestPoll::keptMembersFollowEveryPoll()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    // The enable boxes are not the poll's business: they show the mask only on request.
    rig->ui()->checkBoxLd_2->setChecked(true);

    // The kept members hold the controller's words.
    const auto checkKept = [&w](const StatusValues &v) {
        QCOMPARE(Access::ldEnableMask(w), v.enableMask);
        QCOMPARE(Access::ldSwitchMask(w), v.switchMask);
        QCOMPARE(Access::powerPermille(w), v.power);
        QCOMPARE(Access::ldTemperature(w), v.temperature);
        QCOMPARE(Access::supplyMillivolts(w), v.supply);
        QCOMPARE(Access::runSeconds(w), v.seconds);
        QCOMPARE(Access::firmwareVersion(w), v.version);
    };
    StatusValues a;
    a.enableMask = 0x0A5A;
    a.switchMask = 0x0123;
    a.adc = 1;
    a.power = 765;
    a.word6 = 0xBEEF;
    a.temperature = -123;
    a.word8 = 0xCAFE;
    a.supply = 23456;
    a.seconds = 0x00012345;
    a.version = 0x0307;
    a.applyTo(rig->sim);
    QVERIFY(goodPoll());
    checkKept(a);
    QCOMPARE(Access::slaveAddress(w), quint8(1));
    QVERIFY(Access::commOk(w));
    QVERIFY(rig->ui()->radioButtonAdcEnableStat->isChecked());
    QCOMPARE(rig->ui()->labelLdTemperature->text(), QStringLiteral("-12.3℃"));
    QCOMPARE(rig->ui()->labelPowerPercent->text(), QStringLiteral("765"));
    QCOMPARE(rig->ui()->labelSupplyVoltage->text(), QStringLiteral("23.456"));
    QCOMPARE(rig->ui()->labelWorkHours->text(), QStringLiteral("20H")); // 74565 s
    QCOMPARE(rig->ui()->labelVersion->text(), QStringLiteral("V3.7"));

    // Every value follows the controller within the next poll.
    StatusValues b;
    b.enableMask = 0x0003;
    b.switchMask = 0x0800;
    b.adc = 0;
    b.power = 12;
    b.temperature = 400;
    b.supply = 12000;
    b.seconds = 0xFFFFFFFF;
    b.version = 0x0110;
    b.applyTo(rig->sim);
    QVERIFY(goodPoll());
    checkKept(b);
    QVERIFY(!rig->ui()->radioButtonAdcEnableStat->isChecked());
    QCOMPARE(rig->ui()->labelLdTemperature->text(), QStringLiteral("40℃"));
    QCOMPARE(rig->ui()->labelPowerPercent->text(), QStringLiteral("12"));
    QCOMPARE(rig->ui()->labelSupplyVoltage->text(), QStringLiteral("12"));
    QCOMPARE(rig->ui()->labelWorkHours->text(), QStringLiteral("1193046H"));
    QCOMPARE(rig->ui()->labelVersion->text(), QStringLiteral("V1.16"));
    QCOMPARE(rig->ui()->ldStatLd_12->text(), QStringLiteral("开"));
    QCOMPARE(rig->ui()->ldStatLd_1->text(), QStringLiteral("关"));

    for (int n = 1; n <= 12; ++n) {
        auto *box = rig->w().findChild<QCheckBox *>(QStringLiteral("checkBoxLd_%1").arg(n));
        QVERIFY(box);
        QCOMPARE(box->isChecked(), n == 2);
    }
    QCOMPARE(rig->modals.boxCount(), 0);
}

void TestPoll::temperatureTextAndStyle_data()
{
    QTest::addColumn<quint16>("word");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("red");

    QTest::newRow("0xFDA8 open circuit") << quint16(0xFDA8) << QStringLiteral("开路") << true;
    QTest::newRow("0x04B0 short circuit") << quint16(0x04B0) << QStringLiteral("短路") << true;
    QTest::newRow("253") << quint16(253) << QStringLiteral("25.3℃") << false;
    QTest::newRow("-100") << quint16(0xFF9C) << QStringLiteral("-10℃") << false;
    QTest::newRow("250") << quint16(250) << QStringLiteral("25℃") << false;
    QTest::newRow("-15") << quint16(0xFFF1) << QStringLiteral("-1.5℃") << false;
    QTest::newRow("0") << quint16(0) << QStringLiteral("0℃") << false;
    QTest::newRow("-601") << quint16(0xFDA7) << QStringLiteral("-60.1℃") << false;
    QTest::newRow("-599") << quint16(0xFDA9) << QStringLiteral("-59.9℃") << false;
    QTest::newRow("1199") << quint16(1199) << QStringLiteral("119.9℃") << false;
    QTest::newRow("1201") << quint16(1201) << QStringLiteral("120.1℃") << false;
    QTest::newRow("600") << quint16(600) << QStringLiteral("60℃") << false;
    QTest::newRow("-1200") << quint16(0xFB50) << QStringLiteral("-120℃") << false;
    QTest::newRow("-32768") << quint16(0x8000) << QStringLiteral("-3276.8℃") << false;
    QTest::newRow("32767") << quint16(0x7FFF) << QStringLiteral("3276.7℃") << false;
}

void TestPoll::temperatureTextAndStyle()
{
    QFETCH(quint16, word);
    QFETCH(QString, text);
    QFETCH(bool, red);

    // Shown and polished, so that every style sheet change reaches the label at once.
    rig->w().show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->w()));
    QVERIFY(rig->openLink());
    QLabel *label = rig->ui()->labelLdTemperature;

    // Start from the other colour.
    rig->sim.setTemperature(red ? 253 : -600);
    QVERIFY(goodPoll());
    const QString before = label->text();
    QCOMPARE(before, red ? QStringLiteral("25.3℃") : QStringLiteral("开路"));
    QCOMPARE(label->styleSheet(), red ? styleBlack : styleRed);

    rig->sim.setHoldingRegister(RegLdTemperature, word);
    StyleChangeRecorder recorder(label);
    QVERIFY(goodPoll());
    QCOMPARE(label->text(), text);
    QCOMPARE(label->styleSheet(), red ? styleRed : styleBlack);
    QCOMPARE(Access::ldTemperature(rig->w()), qint16(word));

    // The style sheet is set first, then the text: when the style changed the
    // label still held the old text.
    QVERIFY(!recorder.textsSeen.isEmpty());
    for (const QString &seen : recorder.textsSeen)
        QCOMPARE(seen, before);

    // No other label's style is touched.
    for (QLabel *other : rig->ui()->devStatus->findChildren<QLabel *>()) {
        if (other != label)
            QVERIFY2(other->styleSheet().isEmpty(), qPrintable(other->objectName()));
    }
}

void TestPoll::statusWordsShownInTheirUnits_data()
{
    QTest::addColumn<quint16>("reg");
    QTest::addColumn<quint16>("word");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("text");

    // Power as received: per mille, no scaling, no unit, no clamp.
    QTest::newRow("power 500") << RegPowerPermille << quint16(500) << "labelPowerPercent" << "500";
    QTest::newRow("power 0") << RegPowerPermille << quint16(0) << "labelPowerPercent" << "0";
    QTest::newRow("power 1000") << RegPowerPermille << quint16(1000) << "labelPowerPercent" << "1000";
    QTest::newRow("power 65535") << RegPowerPermille << quint16(65535) << "labelPowerPercent" << "65535";
    // Supply in volts, shortest form, no unit.
    QTest::newRow("supply 24000") << RegSupplyVoltage << quint16(24000) << "labelSupplyVoltage" << "24";
    QTest::newRow("supply 24150") << RegSupplyVoltage << quint16(24150) << "labelSupplyVoltage" << "24.15";
    QTest::newRow("supply 65535") << RegSupplyVoltage << quint16(65535) << "labelSupplyVoltage" << "65.535";
    QTest::newRow("supply 1") << RegSupplyVoltage << quint16(1) << "labelSupplyVoltage" << "0.001";
    QTest::newRow("supply 0") << RegSupplyVoltage << quint16(0) << "labelSupplyVoltage" << "0";
    // Version: high byte, a point, low byte, both decimal.
    QTest::newRow("version 0x0203") << RegFirmwareVersion << quint16(0x0203) << "labelVersion" << "V2.3";
    QTest::newRow("version 0x010A") << RegFirmwareVersion << quint16(0x010A) << "labelVersion" << "V1.10";
    QTest::newRow("version 0xFF00") << RegFirmwareVersion << quint16(0xFF00) << "labelVersion" << "V255.0";
    QTest::newRow("version 0x00FF") << RegFirmwareVersion << quint16(0x00FF) << "labelVersion" << "V0.255";
}

void TestPoll::statusWordsShownInTheirUnits()
{
    QFETCH(quint16, reg);
    QFETCH(quint16, word);
    QFETCH(QString, label);
    QFETCH(QString, text);

    QVERIFY(rig->openLink());
    auto *shown = rig->w().findChild<QLabel *>(label);
    QVERIFY(shown);
    shown->setText(QStringLiteral("?"));
    rig->sim.setHoldingRegister(reg, word);
    QVERIFY(goodPoll());
    QCOMPARE(shown->text(), text);
    QVERIFY(shown->styleSheet().isEmpty());
}

void TestPoll::runningHours_data()
{
    QTest::addColumn<quint32>("seconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("65536 s: words 0x0001 0x0000") << quint32(65536) << "18H";
    QTest::newRow("7199 s") << quint32(7199) << "1H";
    QTest::newRow("7200 s") << quint32(7200) << "2H";
    QTest::newRow("3599 s") << quint32(3599) << "0H";
    QTest::newRow("0 s") << quint32(0) << "0H";
    QTest::newRow("0x0000FFFF s") << quint32(0xFFFF) << "18H";
    QTest::newRow("0xFFFFFFFF s") << quint32(0xFFFFFFFF) << "1193046H";
}

void TestPoll::runningHours()
{
    QFETCH(quint32, seconds);
    QFETCH(QString, text);

    QVERIFY(rig->openLink());
    rig->ui()->labelWorkHours->setText(QStringLiteral("?"));
    rig->sim.setRunSeconds(seconds);
    QVERIFY(goodPoll());
    QCOMPARE(rig->ui()->labelWorkHours->text(), text);
    QCOMPARE(Access::runSeconds(rig->w()), seconds);
}

void TestPoll::switchStateLabels_data()
{
    QTest::addColumn<quint16>("mask");
    QTest::addColumn<QList<int>>("on");

    QTest::newRow("0x0005") << quint16(0x0005) << QList<int>{1, 3};
    QTest::newRow("0x0803") << quint16(0x0803) << QList<int>{1, 2, 12};
    QTest::newRow("0x0FFF") << quint16(0x0FFF) << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    QTest::newRow("bits 12..15 only") << quint16(0xF000) << QList<int>{};
    QTest::newRow("0xF200") << quint16(0xF200) << QList<int>{10};
    QTest::newRow("0") << quint16(0) << QList<int>{};
}

void TestPoll::switchStateLabels()
{
    QFETCH(quint16, mask);
    QFETCH(QList<int>, on);

    QVERIFY(rig->openLink());
    // Start from the opposite of every expected label.
    rig->sim.setSwitchMask(quint16(~mask & 0x0FFF));
    QVERIFY(goodPoll());
    rig->sim.setSwitchMask(mask);
    QVERIFY(goodPoll());
    QCOMPARE(Access::ldSwitchMask(rig->w()), mask);
    for (int n = 1; n <= 12; ++n) {
        auto *state = rig->w().findChild<QLabel *>(QStringLiteral("ldStatLd_%1").arg(n));
        auto *caption = rig->w().findChild<QLabel *>(QStringLiteral("ldStat_%1").arg(n));
        QVERIFY(state && caption);
        QCOMPARE(state->text(), on.contains(n) ? QStringLiteral("开") : QStringLiteral("关"));
        QCOMPARE(caption->text(), QStringLiteral("%1#").arg(n)); // captions never change
    }
}

void TestPoll::missingStateLabelIsSkipped()
{
    QVERIFY(rig->openLink());
    // A label that cannot be found by its composed name is left alone; the others are set.
    rig->ui()->ldStatLd_2->setObjectName(QStringLiteral("renamed"));
    rig->sim.setSwitchMask(0x0007);
    QVERIFY(goodPoll());
    QCOMPARE(rig->ui()->ldStatLd_1->text(), QStringLiteral("开"));
    QCOMPARE(rig->ui()->ldStatLd_2->text(), QStringLiteral("关"));
    QCOMPARE(rig->ui()->ldStatLd_3->text(), QStringLiteral("开"));
    QCOMPARE(rig->ui()->labelVersion->text(), QStringLiteral("V1.10")); // the poll went on to the end
}

void TestPoll::adcRadioFollowsLowByteOfWordThree_data()
{
    QTest::addColumn<quint16>("word");
    QTest::addColumn<bool>("checked");

    QTest::newRow("0x0101") << quint16(0x0101) << true;
    QTest::newRow("0x0001") << quint16(0x0001) << true;
    QTest::newRow("0x0002") << quint16(0x0002) << false;
    QTest::newRow("0x0100") << quint16(0x0100) << false;
    QTest::newRow("0x0000") << quint16(0x0000) << false;
    QTest::newRow("0xFF01") << quint16(0xFF01) << true;
}

void TestPoll::adcRadioFollowsLowByteOfWordThree()
{
    QFETCH(quint16, word);
    QFETCH(bool, checked);

    QVERIFY(rig->openLink());
    QRadioButton *radio = rig->ui()->radioButtonAdcEnableStat;
    radio->setChecked(!checked);
    rig->sim.setAdcEnable(word);
    QVERIFY(goodPoll());
    QCOMPARE(radio->isChecked(), checked);
}

void TestPoll::reportedAddressIsUsedByLaterRequests()
{
    // The controller answers at 7 and reports 7 in word 5. Its reply is built
    // as soon as the request arrives; before it goes out, the panel's address
    // is put back to 1, as if the link had been opened with 1. A panel that
    // takes the address from the reply talks to 7 afterwards; one that does
    // not keeps talking to 1.
    rig->sim.setAddress(7);
    QVERIFY(rig->openLink(QStringLiteral("7")));
    MainWindow *w = &rig->w();
    auto armed = std::make_shared<QAtomicInt>(0);
    rig->sim.setTraceSink([w, armed](const QString &line) {
        if (armed->loadAcquire() == 1 && line.contains(QStringLiteral(" rx 07 03 00 01 00 0C"))) {
            // The GUI thread waits for this reply, or, when the controller
            // is late, for `armed` below.
            Access::slaveAddress(*w) = 1;
            armed->storeRelease(0);
        }
    });
    bool answered = false;
    for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
        Access::slaveAddress(*w) = 7;
        armed->storeRelease(1);
        const int requestsBefore = rig->sim.requests().size();
        rig->poll();
        // A controller late under load handles the request after the poll gave up.
        QTRY_COMPARE_WITH_TIMEOUT(armed->loadAcquire(), 0, 5000);
        answered = Access::commFailCount(*w) == 0;
        if (!answered)
            QVERIFY(rig->untilQuiet(requestsBefore + 1));
    }
    rig->sim.setTraceSink(nullptr);
    QVERIFY(answered);
    QCOMPARE(Access::slaveAddress(rig->w()), quint8(7));

    // The next requests go to slave 7, whatever the address field says.
    rig->ui()->lineEditRs485Id->setText(QStringLiteral("3"));
    rig->sim.clearRequests();
    rig->ui()->checkBoxLdSwitch_4->setChecked(true);
    rig->ui()->btnLdOn->click();
    QVERIFY(goodPoll());
    QVERIFY(rig->frames().size() >= 2);
    QCOMPARE(hexFrame(rig->frames().first()), QStringLiteral("07 06 00 02 00 08 29 AA"));
    for (const QByteArray &frame : rig->frames())
        QCOMPARE(quint8(frame.at(0)), quint8(7));
    QCOMPARE(rig->sim.holdingRegister(RegLdSwitchMask), quint16(0x0008));

    // Until the link is opened again, which takes the field's address.
    rig->closeLink();
    rig->ui()->lineEditRs485Id->setText(QStringLiteral("1"));
    QVERIFY(rig->openLink(QStringLiteral("1")));
    QCOMPARE(Access::slaveAddress(rig->w()), quint8(1));
    rig->sim.clearRequests();
    rig->poll();
    QVERIFY(rig->sim.waitForRequests(1, 5000)); // unanswered: may be logged after the wait
    QCOMPARE(rig->frames().size(), 1);
    QCOMPARE(quint8(rig->frames().first().at(0)), quint8(1));
    QCOMPARE(Access::commFailCount(rig->w()), quint32(1)); // nobody answers at 1
}

void TestPoll::reportedAddressTakesTheLowByte()
{
    // Only the low byte of word 5 is the address.
    rig->sim.setHoldingRegister(RegRs485Address, 0x0307);
    QVERIFY(rig->openLink(QStringLiteral("7")));
    QVERIFY(goodPoll());
    QCOMPARE(Access::slaveAddress(rig->w()), quint8(7));
    QVERIFY(goodPoll());
    QCOMPARE(quint8(rig->frames().last().at(0)), quint8(7));
}

void TestPoll::healthBeforeAnyGoodRead()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QVERIFY(!Access::commOk(w));

    // Before the first good read every failure writes the fault word again,
    // whatever the label held.
    for (quint32 n = 1; n <= 6; ++n) {
        rig->ui()->labelCommStat->setText(QStringLiteral("-"));
        if (n == 3) {
            // An exception reply passes the CRC check but holds no status: a failed read too.
            rig->sim.setFault(VirtualController::FaultException, 4, 1);
            rig->poll();
            rig->sim.clearFault();
        } else {
            failedPoll();
        }
        QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
        QCOMPARE(Access::commFailCount(w), n);
        QVERIFY(!Access::commOk(w));
    }
    QVERIFY(rig->sim.waitForRequests(6, 5000));
    QCOMPARE(rig->frames().size(), 6);

    QVERIFY(goodPoll());
    QVERIFY(Access::commOk(w));
    QCOMPARE(rig->modals.boxCount(), 0);
}

void TestPoll::healthAfterAGoodRead()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    QVERIFY(goodPoll());
    QVERIFY(Access::commOk(w));

    for (int round = 0; round < 2; ++round) {
        // Four failures in a row keep the link judged good.
        for (quint32 n = 1; n <= 4; ++n) {
            failedPoll();
            QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
            QCOMPARE(Access::commFailCount(w), n);
            QVERIFY(Access::commOk(w));
        }
        // The fifth shows the fault.
        failedPoll();
        QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
        QCOMPARE(Access::commFailCount(w), quint32(5));
        QVERIFY(!Access::commOk(w));
        // Every further failure writes it again.
        rig->ui()->labelCommStat->setText(QStringLiteral("-"));
        failedPoll();
        QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
        QCOMPARE(Access::commFailCount(w), quint32(6));
        // One good read restores it and starts the count afresh.
        QVERIFY(goodPoll());
        QVERIFY(Access::commOk(w));
    }

    // A good read in between resets the count: 3 + good + 4 failures stay good.
    for (int n = 0; n < 3; ++n)
        failedPoll();
    QVERIFY(goodPoll());
    for (int n = 0; n < 4; ++n)
        failedPoll();
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(rig->modals.boxCount(), 0);
}

void TestPoll::failedPollChangesNothingElse_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("param");

    QTest::newRow("no reply") << int(VirtualController::FaultNoReply) << 0;
    QTest::newRow("bad CRC") << int(VirtualController::FaultBadCrc) << 0;
    QTest::newRow("cut short") << int(VirtualController::FaultTruncate) << 20;
    QTest::newRow("exception reply") << int(VirtualController::FaultException) << 2;
    QTest::newRow("garbage first") << int(VirtualController::FaultGarbageBefore) << 3;
    QTest::newRow("link busy") << -1 << 0;
}

void TestPoll::failedPollChangesNothingElse()
{
    QFETCH(int, fault);
    QFETCH(int, param);

    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    StatusValues a;
    a.switchMask = 0x0005;
    a.adc = 1;
    a.power = 321;
    a.temperature = -600;
    a.supply = 24150;
    a.seconds = 65536;
    a.version = 0x0203;
    a.applyTo(rig->sim);
    QVERIFY(goodPoll());
    const Screen before = screenOf(*rig, true);

    // The controller's values change, but the next read fails.
    StatusValues b;
    b.enableMask = 0x0001;
    b.switchMask = 0x0FF0;
    b.adc = 0;
    b.power = 999;
    b.temperature = 111;
    b.supply = 5000;
    b.seconds = 3600 * 7;
    b.version = 0x0909;
    b.applyTo(rig->sim);
    rig->sim.clearRequests();
    if (fault < 0) {
        QVERIFY(Access::spComm(w)->mutex.tryLock());
        rig->poll();
        Access::spComm(w)->mutex.unlock();
        QCOMPARE(rig->frames().size(), 0);
    } else {
        rig->sim.setFault(VirtualController::FaultKind(fault), param, 1);
        rig->poll();
        // On a loaded machine the poll may give up before the controller
        // has even read the request: wait for it to arrive.
        QVERIFY(rig->sim.waitForRequests(1, 5000));
        rig->sim.clearFault();
        QCOMPARE(rig->frames().size(), 1);
    }

    QCOMPARE(Access::commFailCount(w), quint32(1));
    QVERIFY(Access::commOk(w));
    const Screen after = screenOf(*rig, true);
    QVERIFY(after == before);
    QCOMPARE(rig->modals.boxCount(), 0);

    // The next good read shows the new values.
    QVERIFY(goodPoll());
    QCOMPARE(rig->ui()->labelPowerPercent->text(), QStringLiteral("999"));
    QCOMPARE(rig->ui()->labelLdTemperature->text(), QStringLiteral("11.1℃"));
}

void TestPoll::closedLinkChangesNothingAndSendsNothing()
{
    QVERIFY(rig->openLink());
    MainWindow &w = rig->w();
    rig->sim.setSwitchMask(0x0003);
    rig->sim.setPowerPermille(250);
    QVERIFY(goodPoll());
    failedPoll();
    failedPoll();
    QCOMPARE(Access::commFailCount(w), quint32(2));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));

    // Closed, the link has no health of its own: "故障", nothing counted; the
    // value labels keep the last readings.
    const Screen open = screenOf(*rig, false);
    rig->closeLink();
    QCOMPARE(rig->ui()->switchSerial->text(), QStringLiteral("打开串口"));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QVERIFY(!Access::commOk(w));
    QCOMPARE(Access::commFailCount(w), quint32(0));
    QVERIFY(screenOf(*rig, false) == open);
    const Screen before = screenOf(*rig, true);
    rig->sim.setSwitchMask(0x0F00);
    rig->sim.setPowerPermille(900);
    rig->sim.setTemperature(1200);
    rig->sim.clearRequests();

    for (int n = 0; n < 3; ++n)
        rig->poll();
    // The timer as well: it fires twice.
    QTimer *timer = Access::pollTimer(w);
    QSignalSpy fired(timer, &QTimer::timeout);
    timer->start();
    QTRY_VERIFY_WITH_TIMEOUT(fired.count() >= 2, 20 * timer->interval());
    timer->stop();

    QVERIFY(screenOf(*rig, true) == before);
    QCOMPARE(Access::commFailCount(w), quint32(0));
    QVERIFY(!Access::commOk(w));
    QCOMPARE(rig->sim.requests().size(), 0);
    QCOMPARE(rig->modals.boxCount(), 0);

    // Opened again, the health starts afresh: "故障" until the first good read
    // on this link, and failures counted from 0.
    QVERIFY(rig->openLink());
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(Access::commFailCount(w), quint32(0));
    QVERIFY(!Access::commOk(w));
    failedPoll();
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QCOMPARE(Access::commFailCount(w), quint32(1));
    QVERIFY(goodPoll());
    QCOMPARE(rig->ui()->labelPowerPercent->text(), QStringLiteral("900"));
}

// The health shown belongs to the link that is open: after a good link to
// address 1, a link to an address nobody answers shows "故障" from the start.
void TestPoll::linkToAnAddressNobodyAnswersIsNeverGood()
{
    QVERIFY(rig->openLink());
    QVERIFY(goodPoll());
    rig->closeLink();
    QVERIFY(rig->openLink(QStringLiteral("9")));
    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
    QVERIFY(!Access::commOk(rig->w()));
    for (int n = 1; n <= 3; ++n) {
        rig->poll();
        QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("故障"));
        QCOMPARE(Access::commFailCount(rig->w()), quint32(n));
    }
    // The value labels keep the last readings.
    QCOMPARE(rig->ui()->labelVersion->text(), QStringLiteral("V1.10"));
}

void TestPoll::pollTimerDrivesThePoll()
{
    QVERIFY(rig->openLink());
    rig->sim.setTemperature(-100);
    rig->sim.setPowerPermille(500);
    rig->sim.setSwitchMask(0x0005);
    rig->sim.clearRequests();

    QTimer *timer = Access::pollTimer(rig->w());
    QElapsedTimer clock;
    clock.start();
    timer->start();
    // The timer fires on the GUI thread: keep its event loop running while waiting.
    QTRY_VERIFY_WITH_TIMEOUT(rig->sim.requests().size() >= 3
                                 && rig->ui()->labelLdTemperature->text() == QStringLiteral("-10℃"),
                             15000);
    const qint64 elapsed = clock.elapsed();
    timer->stop();

    QCOMPARE(rig->ui()->labelCommStat->text(), QStringLiteral("正常"));
    QCOMPARE(rig->ui()->labelLdTemperature->text(), QStringLiteral("-10℃"));
    QCOMPARE(rig->ui()->labelPowerPercent->text(), QStringLiteral("500"));
    QCOMPARE(rig->ui()->ldStatLd_3->text(), QStringLiteral("开"));
    const QList<VirtualController::Request> requests = rig->sim.requests();
    for (const VirtualController::Request &request : requests)
        QCOMPARE(hexFrame(request.frame), statusReadHex);
    // The first poll comes one interval after the start, the third three
    // intervals after it: a timer may fire late, never much early.
    QVERIFY2(elapsed >= 3 * 500 * 9 / 10, qPrintable(QString::number(elapsed)));
}

QTEST_MAIN(TestPoll)
#include "tst_poll.moc"
