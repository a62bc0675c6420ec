// The line hub and its lines in this thread, on fake lines and a fake clock
// (HubRig): who goes next on a line, the five-failure rule and the back-off
// of a silent controller, the queue limits, and the reads answered from what
// the hub holds, its age boundary, shared reads and what writes do to it.

#include "hubrig.h"
#include "linefacts.h"
#include "linescheduler.h"
#include "metricspage.h"
#include "modbusframes.h"
#include "registers.h"

#include <QtTest>

namespace {

// The completions a test waits for, in the order they came.
struct Results
{
    Completion add(const QString &name)
    {
        return [this, name](const HubResult &result) { done.append({name, result}); };
    }
    QList<QPair<QString, HubResult>> done;
};

HubRequest readPower(Source source = Source::ModbusTcp)
{
    return HubRequest::read(source, RegPowerPermille, 1);
}

// A line of controllers whose reads always go on the line (max_age_ms=0).
BridgeConfig onTheLine(const QList<int> &addresses, int pollIntervalMs = 1000)
{
    LineConfig line = HubRig::line(QStringLiteral("a"), addresses);
    line.maxAgeMs = 0;
    return HubRig::config({line}, pollIntervalMs);
}

} // namespace

class TestLineHub : public QObject
{
    Q_OBJECT

private slots:
    void writesThenDuePollsThenReads();
    void aReadWaitsOneRoundOfPollsAtMost();
    void queueLimitsBySource();
    void offlineAfterFiveFailedPolls();
    void onlineReadsTheConfigurationBlock();
    void offlineControllerBacksOff_data();
    void offlineControllerBacksOff();
    void silentControllerSlowsNoOther();
    void readsServedYoungerThanMaxAge();
    void sharedReadsOneExchange();
    void writesUpdateOrDropWhatIsHeld_data();
    void writesUpdateOrDropWhatIsHeld();
    void blockWriteHoldsWhatFollowsIt();
    void writesReadBack_data();
    void writesReadBack();
    void moduleSwitchChangesOneBitOfTheMask();
    void lostPortCountsWhatCouldNotGo();
    void cancelledRequestsNeverGoOut();
    void stoppingAnswersTheUnsent();
    void reconfiguredKeepsWhatDidNotChange();
};

void TestLineHub::writesThenDuePollsThenReads()
{
    HubRig rig(onTheLine({1, 2}));
    rig.run(); // the first polls
    rig.advance(rig.engine(0).scheduler().dueMs(0) - rig.now() - 1);
    rig.line(0).clearRequests();
    Results results;
    LineHub &hub = rig.hub();
    QVERIFY(hub.submit(0, HubRequest::read(Source::Mqtt, RegMaxPowerDac, 1), results.add("read")));
    QVERIFY(hub.submit(1, HubRequest::write(Source::ModbusTcp, RegPowerPermille, 300), results.add("write")));
    rig.skip(1); // both controllers are due now, with the requests waiting
    rig.run();
    QCOMPARE(hexFrames(rig.line(0).requests()),
        hexFrames({writeRequest(2, RegPowerPermille, 300), readRequest(2, RegPowerPermille, 1), statusRead(1),
            statusRead(2), readRequest(1, RegMaxPowerDac, 1)}));
    QCOMPARE(results.done.size(), 2);
    QCOMPARE(results.done.at(0).first, QStringLiteral("write"));
}

void TestLineHub::aReadWaitsOneRoundOfPollsAtMost()
{
    // Both controllers always due (the line cannot keep up): a read goes after one poll of each.
    LineScheduler schedule(2, 100, 1000);
    const qint64 late = 100000;
    QCOMPARE(int(schedule.next(late, false, true).kind), int(LineScheduler::Kind::Poll));
    schedule.polled(0, true, late, true);
    QCOMPARE(int(schedule.next(late, false, true).kind), int(LineScheduler::Kind::Poll));
    schedule.polled(1, true, late, true);
    QCOMPARE(int(schedule.next(late, false, true).kind), int(LineScheduler::Kind::Read));
    // A write goes before the read's turn too; after the read, polls come first again.
    QCOMPARE(int(schedule.next(late, true, true).kind), int(LineScheduler::Kind::Write));
    schedule.read();
    QCOMPARE(int(schedule.next(late, false, true).kind), int(LineScheduler::Kind::Poll));
}

void TestLineHub::queueLimitsBySource()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1}), HubRig::line(QStringLiteral("b"), {1})}));
    LineHub &hub = rig.hub();
    Results results;
    const int mqttLimit = sourceRow(Source::Mqtt).queueLimit;
    for (int i = 0; i < mqttLimit; ++i)
        QVERIFY(hub.submit(0, HubRequest::write(Source::Mqtt, RegPowerPermille, quint16(i)), results.add("mqtt")));
    QVERIFY(!hub.submit(0, HubRequest::write(Source::Mqtt, RegPowerPermille, 1), results.add("refused")));
    // Another source, or another line, has room of its own.
    QVERIFY(hub.submit(0, HubRequest::write(Source::ModbusTcp, RegPowerPermille, 1), results.add("gateway")));
    QVERIFY(hub.submit(1, HubRequest::write(Source::Mqtt, RegPowerPermille, 1), results.add("other line")));
    rig.run();
    QCOMPARE(results.done.size(), mqttLimit + 2);
    // Done, they make room again.
    QVERIFY(hub.submit(0, HubRequest::write(Source::Mqtt, RegPowerPermille, 1), results.add("again")));
}

void TestLineHub::offlineAfterFiveFailedPolls()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 100));
    QSignalSpy changes(&rig.hub(), &LineHub::availabilityChanged);
    rig.line(0).setFault(1, ControllerFaults::FaultNoReply);
    const ControllerState &controller = rig.hub().controller(0);
    rig.run();
    for (int failed = 1; failed < LineFacts::FailuresForOffline; ++failed) {
        QCOMPARE(controller.failures, failed);
        QCOMPARE(int(controller.availability), int(ControllerState::Availability::Unknown));
        rig.advance(100);
    }
    QCOMPARE(controller.failures, LineFacts::FailuresForOffline);
    QCOMPARE(int(controller.availability), int(ControllerState::Availability::Offline));
    QCOMPARE(controller.link, QStringLiteral("time-out"));
    QCOMPARE(changes.count(), 1);
    rig.line(0).setFault(1, ControllerFaults::FaultNone);
    rig.advance(rig.engine(0).scheduler().dueMs(0) - rig.now());
    QVERIFY(controller.online());
    QCOMPARE(changes.count(), 2);
}

void TestLineHub::onlineReadsTheConfigurationBlock()
{
    // No poll reads it; its alarm temperature is a metric.
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 1000));
    rig.line(0).bank(1).setValue(RegCfgLdAlarmTemperature, 455);
    rig.run();
    QCOMPARE(hexFrames(rig.line(0).requests()),
        hexFrames({statusRead(1), readRequest(1, ConfigBlockFirst, ConfigBlockCount)}));
    // Both blocks are held, and not a register past either.
    const ControllerState &held = rig.hub().controller(0);
    for (const quint16 last : {StatusBlockFirst + StatusBlockCount - 1, ConfigBlockFirst + ConfigBlockCount - 1}) {
        QVERIFY(held.ageOf(last, rig.now()) >= 0);
        QCOMPARE(held.ageOf(quint16(last + 1), rig.now()), qint64(-1));
    }
    const MetricsPage page(rig.hub(), {});
    QVERIFY(
        page.exposition().contains("vortanix_temperature_alarm_celsius{line=\"a\",address=\"1\",id=\"a-1\"} 45.5\n"));
    // Offline and back: read again.
    rig.line(0).clearRequests();
    rig.line(0).setFault(1, ControllerFaults::FaultNoReply, 0, LineFacts::FailuresForOffline);
    rig.advance(LineFacts::FailuresForOffline * 1000);
    QVERIFY(!rig.hub().controller(0).online());
    rig.advance(rig.engine(0).scheduler().dueMs(0) - rig.now());
    QVERIFY(rig.hub().controller(0).online());
    rig.run();
    QCOMPARE(rig.line(0).requests().last(), readRequest(1, ConfigBlockFirst, ConfigBlockCount));
}

void TestLineHub::offlineControllerBacksOff_data()
{
    // Waits after each failed poll: the interval until offline, then doubling up to the longest.
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("longestMs");
    QTest::addColumn<QList<int>>("waits");
    QTest::newRow("200 ms, up to 1 s") << 200 << 1000 << QList<int>{200, 200, 200, 200, 200, 400, 800, 1000, 1000};
    QTest::newRow("500 ms, up to 10 s") << 500 << 10000
                                        << QList<int>{500, 500, 500, 500, 500, 1000, 2000, 4000, 8000, 10000, 10000};
    QTest::newRow("longest below the interval") << 500 << 100 << QList<int>{500, 500, 500, 500, 500, 500};
}

void TestLineHub::offlineControllerBacksOff()
{
    QFETCH(int, intervalMs);
    QFETCH(int, longestMs);
    QFETCH(QList<int>, waits);
    LineScheduler schedule(1, intervalMs, longestMs);
    qint64 now = 0;
    schedule.start(now);
    for (int wait : waits) {
        schedule.polled(0, false, now);
        QCOMPARE(schedule.dueMs(0) - now, qint64(wait));
        now = schedule.dueMs(0);
    }
    QVERIFY(schedule.offline(0));
    // It answers again: back on the beat at once.
    schedule.polled(0, true, now);
    QVERIFY(!schedule.offline(0));
    QCOMPARE(schedule.dueMs(0) - now, qint64(intervalMs));
}

void TestLineHub::silentControllerSlowsNoOther()
{
    // Ten controllers on a 9600-baud line polled every 200 ms: more than the
    // line carries. Three of them switched off cost their whole wait on each
    // poll: backed off, they leave the seven live ones as many polls as when
    // all ten answer (without the back-off: 17 % fewer).
    const auto livePolls = [](const QList<int> &silent) {
        QList<int> addresses;
        for (int a = 1; a <= 10; ++a)
            addresses << a;
        LineConfig line = HubRig::line(QStringLiteral("a"), addresses);
        line.baud = 9600;
        HubRig rig(HubRig::config({line}, 200));
        for (int a : silent)
            rig.line(0).setFault(a, ControllerFaults::FaultNoReply);
        rig.advance(20000);
        QMap<int, int> polls;
        for (const QByteArray &frame : rig.line(0).requests())
            ++polls[quint8(frame.at(0))];
        int live = 0;
        for (int a = 1; a <= 10; ++a)
            live += silent.contains(a) ? 0 : polls.value(a);
        return qMakePair(live, polls.value(silent.value(0)));
    };
    const int allAnswer = livePolls({}).first;
    const QPair<int, int> threeSilent = livePolls({3, 6, 9});
    const int sevenOfTen = allAnswer * 7 / 10;
    QVERIFY2(threeSilent.first * 100 >= sevenOfTen * 97,
        qPrintable(
            QStringLiteral("%1 polls of the live seven, %2 when all answer").arg(threeSilent.first).arg(sevenOfTen)));
    // The silent one: five polls to go offline, then the doubling waits up to 10 s.
    QVERIFY2(threeSilent.second <= 5 + 7, qPrintable(QString::number(threeSilent.second)));
}

void TestLineHub::readsServedYoungerThanMaxAge()
{
    LineConfig line = HubRig::line(QStringLiteral("a"), {1});
    line.maxAgeMs = 300;
    HubRig rig(HubRig::config({line}, 1000));
    rig.line(0).bank(1).setValue(RegPowerPermille, 650);
    rig.run(); // a poll at the start: the status block is held
    rig.line(0).clearRequests();
    Results results;
    rig.skip(rig.hub().controller(0).statusAtMs + 299 - rig.now());
    QVERIFY(rig.hub().submit(0, readPower(), results.add("young")));
    QCOMPARE(results.done.size(), 1); // at once, from the hub
    QVERIFY(results.done.at(0).second.fromHub);
    QCOMPARE(results.done.at(0).second.ageMs, qint64(299));
    QCOMPARE(results.done.at(0).second.words, QVector<quint16>{650});
    rig.skip(1);
    QVERIFY(rig.hub().submit(0, readPower(), results.add("old")));
    QCOMPARE(results.done.size(), 1);
    rig.run();
    QCOMPARE(results.done.size(), 2);
    QVERIFY(!results.done.at(1).second.fromHub);
    QCOMPARE(hexFrames(rig.line(0).requests()), hexFrames({readRequest(1, RegPowerPermille, 1)}));
    // A read on the line is held too; 0 asks the line whatever is held.
    QVERIFY(rig.hub().submit(0, readPower(), results.add("read again")));
    QVERIFY(results.done.last().second.fromHub);
    HubRequest always = readPower();
    always.maxAgeMs = 0;
    QVERIFY(rig.hub().submit(0, always, results.add("on the line")));
    rig.run();
    QCOMPARE(rig.line(0).requests().size(), 2);
}

void TestLineHub::sharedReadsOneExchange()
{
    HubRig rig(onTheLine({1}));
    rig.run();
    rig.line(0).clearRequests();
    rig.line(0).bank(1).setValue(RegMaxPowerDac, 3100);
    Results results;
    for (const char *name : {"first", "second"})
        QVERIFY(rig.hub().submit(0, HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 1), results.add(name)));
    // Another range is another exchange.
    QVERIFY(rig.hub().submit(0, HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 2), results.add("other")));
    rig.run();
    QCOMPARE(rig.line(0).requests().size(), 2);
    QCOMPARE(results.done.size(), 3);
    QCOMPARE(results.done.at(0).second.words, QVector<quint16>{3100});
    QCOMPARE(results.done.at(1).second.words, QVector<quint16>{3100});
}

void TestLineHub::writesUpdateOrDropWhatIsHeld_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("held");
    QTest::newRow("acknowledged") << int(ControllerFaults::FaultNone) << true;
    QTest::newRow("not answered") << int(ControllerFaults::FaultNoReply) << false;
    QTest::newRow("acknowledged for another register") << int(ControllerFaults::FaultWrongRegister) << false;
}

void TestLineHub::writesUpdateOrDropWhatIsHeld()
{
    // The DAC limit is no part of the status block: only reads and writes tell the hub of it.
    QFETCH(int, fault);
    QFETCH(bool, held);
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 1000));
    rig.run();
    Results results;
    const HubRequest readDac = HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 1);
    QVERIFY(rig.hub().submit(0, readDac, results.add("read before")));
    rig.run();
    rig.line(0).setFault(1, ControllerFaults::FaultKind(fault), 0x3333, 1);
    QVERIFY(rig.hub().submit(0, HubRequest::write(Source::Mqtt, RegMaxPowerDac, 3100), results.add("write")));
    rig.run();
    rig.line(0).bank(1).setValue(RegMaxPowerDac, 2900); // the device's own value since
    QVERIFY(rig.hub().submit(0, readDac, results.add("read after")));
    rig.run();
    const HubResult &after = results.done.last().second;
    QCOMPARE(after.fromHub, held);
    QCOMPARE(after.words, QVector<quint16>{quint16(held ? 3100 : 2900)});
}

void TestLineHub::blockWriteHoldsWhatFollowsIt()
{
    // The controller applies its configuration at once: the enable mask and
    // the DAC limit follow the block, as the register table says.
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 1000));
    rig.run();
    rig.line(0).clearRequests();
    Results results;
    const QVector<quint16> block = {0, 0x0FF0, 3500, 0, 3600, 450, 0x000F};
    QVERIFY(
        rig.hub().submit(0, HubRequest::writeBlock(Source::ModbusTcp, ConfigBlockFirst, block), results.add("block")));
    rig.run(); // the block, its read-back and the poll it makes due
    QCOMPARE(rig.line(0).requests().size(), 3);
    QVERIFY(rig.hub().submit(0, HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 1), results.add("DAC")));
    QVERIFY(rig.hub().submit(0, HubRequest::read(Source::ModbusTcp, ConfigBlockFirst, 7), results.add("block read")));
    QCOMPARE(results.done.size(), 3); // from the hub, at once
    QCOMPARE(results.done.at(1).second.words, QVector<quint16>{3500});
    QCOMPARE(results.done.at(2).second.words, block);
    QCOMPARE(rig.line(0).requests().size(), 3);
}

void TestLineHub::lostPortCountsWhatCouldNotGo()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 100));
    rig.run();
    QVERIFY(rig.hub().line(0).open);
    rig.line(0).setPresent(false);
    Results results;
    QVERIFY(rig.hub().submit(0, HubRequest::write(Source::Mqtt, RegPowerPermille, 1), results.add("write")));
    rig.advance(100);
    const ControllerState &controller = rig.hub().controller(0);
    QCOMPARE(controller.outcomes.at(Outcome::PortLost), quint64(2)); // the write and the poll
    QCOMPARE(controller.link, QStringLiteral("port lost"));
    QVERIFY(!rig.hub().line(0).open);
    QVERIFY(!results.done.at(0).second.sent);
    rig.line(0).setPresent(true);
    rig.advance(100);
    QVERIFY(rig.hub().line(0).open);
}

void TestLineHub::writesReadBack_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("heldDac"); // what the hub holds after it; -1: nothing
    QTest::newRow("taken") << int(ControllerFaults::FaultNone) << int(Outcome::Ok) << "ok" << 3100;
    QTest::newRow("acknowledged, not taken") << int(ControllerFaults::FaultNotApplied) << int(Outcome::NotApplied)
                                             << "not applied: register 1001 holds 3980, not 3100" << 3980;
    QTest::newRow("acknowledged, the read-back refused")
        << int(ControllerFaults::FaultException) << int(Outcome::Exception)
        << "acknowledged, but reading it back failed: exception 04" << -1;
}

void TestLineHub::writesReadBack()
{
    QFETCH(int, fault);
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(int, heldDac);
    LineConfig line = HubRig::line(QStringLiteral("a"), {1});
    line.verify = true;
    HubRig rig(HubRig::config({line}, 1000));
    rig.run();
    rig.line(0).clearRequests();
    rig.line(0).setFault(1, ControllerFaults::FaultKind(fault), 0, 1);
    Results results;
    QVERIFY(rig.hub().submit(0, HubRequest::write(Source::Mqtt, RegMaxPowerDac, 3100), results.add("write")));
    rig.run();
    const HubResult &written = results.done.at(0).second;
    QCOMPARE(int(written.outcome.kind), kind);
    QCOMPARE(written.text, text);
    QCOMPARE(hexFrames(rig.line(0).requests().mid(0, 2)),
        hexFrames({writeRequest(1, RegMaxPowerDac, 3100), readRequest(1, RegMaxPowerDac, 1)}));
    const ControllerState &controller = rig.hub().controller(0);
    QCOMPARE(controller.outcomes.at(Outcome::NotApplied), quint64(kind == Outcome::NotApplied ? 1 : 0));
    QCOMPARE(rig.hub().commandCount(Source::Mqtt, LineHub::Failed), quint64(kind == Outcome::Ok ? 0 : 1));
    QCOMPARE(controller.ageOf(RegMaxPowerDac, rig.now()) >= 0, heldDac >= 0);
    QVERIFY(rig.hub().submit(0, HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 1), results.add("read")));
    if (heldDac >= 0)
        QCOMPARE(results.done.last().second.words, QVector<quint16>{quint16(heldDac)});
}

void TestLineHub::moduleSwitchChangesOneBitOfTheMask()
{
    HubRig rig(onTheLine({1}));
    rig.line(0).bank(1).setValue(RegLdSwitchMask, 0x0801);
    rig.run();
    rig.line(0).clearRequests();
    Results results;
    QVERIFY(rig.hub().submit(0, HubRequest::switchModule(Source::Mqtt, 2, true), results.add("on")));
    rig.run();
    QVERIFY(results.done.at(0).second.ok());
    QCOMPARE(hexFrames(rig.line(0).requests().mid(0, 2)),
        hexFrames({statusRead(1), writeRequest(1, RegLdSwitchMask, 0x0803)}));
}

void TestLineHub::cancelledRequestsNeverGoOut()
{
    HubRig rig(onTheLine({1}));
    rig.run();
    rig.line(0).clearRequests();
    LineHub &hub = rig.hub();
    const quint64 gone = hub.newClient();
    const quint64 stays = hub.newClient();
    Results results;
    HubRequest request = HubRequest::read(Source::ModbusTcp, RegMaxPowerDac, 1);
    request.client = gone;
    QVERIFY(hub.submit(0, request, results.add("gone")));
    request.client = stays;
    QVERIFY(hub.submit(0, request, results.add("shared, stays")));
    HubRequest write = HubRequest::write(Source::ModbusTcp, RegPowerPermille, 5);
    write.client = gone;
    QVERIFY(hub.submit(0, write, results.add("write of the one gone")));
    hub.cancel(gone);
    rig.run();
    QCOMPARE(hexFrames(rig.line(0).requests()), hexFrames({readRequest(1, RegMaxPowerDac, 1)}));
    QCOMPARE(results.done.size(), 1);
    QCOMPARE(results.done.at(0).first, QStringLiteral("shared, stays"));
}

void TestLineHub::stoppingAnswersTheUnsent()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}, 1000));
    Results results;
    QVERIFY(rig.hub().submit(0, HubRequest::write(Source::ModbusTcp, RegPowerPermille, 5), results.add("write")));
    rig.hub().stop();
    QCOMPARE(results.done.size(), 1);
    QCOMPARE(int(results.done.at(0).second.outcome.kind), int(Outcome::PortLost));
    QVERIFY(!results.done.at(0).second.sent);
    QVERIFY(!rig.hub().submit(0, readPower(), results.add("after")));
}

void TestLineHub::reconfiguredKeepsWhatDidNotChange()
{
    BridgeConfig config
        = HubRig::config({HubRig::line(QStringLiteral("a"), {1}), HubRig::line(QStringLiteral("b"), {2})});
    HubRig rig(config);
    rig.run();
    LineHub &hub = rig.hub();
    QVERIFY(hub.controller(0).online());
    QVERIFY(hub.controller(1).online());
    const quint64 polledA = hub.controller(0).outcomes.at(Outcome::Ok);
    Results results;
    QVERIFY(hub.submit(1, HubRequest::write(Source::Mqtt, RegPowerPermille, 5), results.add("on b")));
    QVERIFY(hub.submit(0, HubRequest::write(Source::Mqtt, RegMaxPowerDac, 3100), results.add("on a")));
    HubRequest leaving = readPower();
    leaving.maxAgeMs = 0;
    leaving.client = hub.newClient();
    QVERIFY(hub.submit(0, leaving, results.add("of a client that leaves after the reload")));
    // Line b at another rate, a line c added before a: a keeps its engine,
    // its port and its state, and what waits on it follows it to its new place.
    BridgeConfig next = config;
    next.lines[1].baud = 9600;
    next.lines.insert(0, HubRig::line(QStringLiteral("c"), {3}));
    QSignalSpy reconfigured(&hub, &LineHub::reconfigured);
    QCOMPARE(hub.reconfigure(next, {QStringLiteral("a")}), QString());
    QCOMPARE(reconfigured.count(), 1);
    // The request that waited on b never went out; the one on a goes on.
    QCOMPARE(results.done.size(), 1);
    QCOMPARE(results.done.at(0).first, QStringLiteral("on b"));
    QCOMPARE(int(results.done.at(0).second.outcome.kind), int(Outcome::PortLost));
    QCOMPARE(hub.controllerCount(), 3);
    QCOMPARE(hub.find(QStringLiteral("c-3")), 0);
    QCOMPARE(hub.find(QStringLiteral("b-2")), 2);
    QVERIFY(hub.controller(1).online());
    QCOMPARE(hub.controller(1).outcomes.at(Outcome::Ok), polledA);
    QCOMPARE(int(hub.controller(2).availability), int(ControllerState::Availability::Unknown));
    QCOMPARE(hub.line(2).config.baud, 9600);
    hub.cancel(leaving.client);
    rig.line(0).clearRequests();
    rig.run();
    QVERIFY(!hexFrames(rig.line(0).requests()).contains(hexFrame(readRequest(1, RegPowerPermille, 1))));
    QCOMPARE(results.done.size(), 2);
    QVERIFY(results.done.at(1).second.ok());
    quint16 dacOfA = 0;
    QVERIFY(hub.controller(1).word(RegMaxPowerDac, &dacOfA));
    QCOMPARE(dacOfA, quint16(3100));
    QVERIFY(hub.controller(0).online());
    QVERIFY(hub.controller(2).online());
    // Reports of a line that went are no one's.
    PollDone late;
    late.kind = Outcome::Timeout;
    hub.polled(1, late); // b's first key
    QVERIFY(hub.controller(2).online());
}

QTEST_GUILESS_MAIN(TestLineHub)
#include "tst_linehub.moc"
