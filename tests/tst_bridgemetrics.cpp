// The bridge's metrics as text: the exposition format (numbers, escaped label
// values), and what the page makes of the hub's polls and commands and of
// the gateway's requests, checked line by line and by Prometheus' own promtool.

#include "exposition.h"
#include "hubrig.h"
#include "linejob.h"
#include "metricspage.h"
#include "modbusgateway.h"
#include "prometheusserver.h"
#include "registers.h"

#include <QtTest>

#include <cmath>
#include <limits>

class TestBridgeMetrics : public QObject
{
    Q_OBJECT

private slots:
    void numbers_data();
    void numbers();
    void labelValuesAreEscaped_data();
    void labelValuesAreEscaped();
    void readingsOfAGoodPoll();
    void sensorFaultsHideTheTemperature_data();
    void sensorFaultsHideTheTemperature();
    void offlineControllersShowNoReadings();
    void outcomesAndExceptionsAreCounted();
    void durationsFillTheHistogram();
    void commandsAndConnectionsAreCounted();
    void oddIdsPassPromtool();
};

namespace {

// One line "a" with the given controllers (address, id), its hub and its page.
struct Metrics
{
    explicit Metrics(const QList<LineConfig> &lines, const QList<const FrontEnd *> &frontEnds = {})
        : rig(HubRig::config(lines)), page(rig.hub(), frontEnds)
    {
    }
    QByteArray exposition() const { return page.exposition(); }
    // A poll of controller `index` of line `line` ended as `done` says.
    void polled(int index, PollDone done, int line = 0)
    {
        done.controller = index;
        rig.hub().polled(line, done);
    }
    // Requests a command took on the line.
    void exchanged(int index, const QVector<Exchange> &exchanges)
    {
        JobDone done;
        done.controller = index;
        done.exchanges = exchanges;
        rig.hub().jobDone(0, done);
    }

    HubRig rig;
    MetricsPage page;
};

LineConfig line(const QString &name, std::initializer_list<std::pair<int, QString>> controllers)
{
    LineConfig config;
    config.name = name;
    for (const auto &c : controllers)
        config.controllers.append(ControllerConfig{c.second, quint8(c.first)});
    return config;
}

PollDone goodPoll(qint16 tenths = 253)
{
    PollDone result;
    result.kind = Outcome::Ok;
    result.text = QStringLiteral("ok");
    result.status.setWord(RegLdTemperature, quint16(tenths));
    result.status.setWord(RegPowerPermille, 650);
    result.status.setWord(RegSupplyVoltage, 23950);
    result.status.setWord(RegRunSecondsHigh, quint16(7205u >> 16));
    result.status.setWord(RegRunSecondsLow, 7205);
    result.status.setWord(RegLdSwitchMask, 0x005);
    result.status.setWord(RegLdEnableMask, 0xFF0);
    result.status.setWord(RegAdcEnable, 1);
    result.status.setWord(RegFirmwareVersion, 0x010A);
    result.time = QDateTime::fromMSecsSinceEpoch(1796716489662);
    result.exchanges = {Exchange{Outcome::Ok, 0, 2000000}};
    return result;
}

// A failed poll; `offline`: the hub counts the controller offline after it.
PollDone failedPoll(Outcome::Kind kind, quint8 code = 0, qint64 ns = 50000000, bool offline = false)
{
    PollDone result;
    result.kind = kind;
    result.text = QStringLiteral("failed");
    result.failures = offline ? 5 : 1;
    result.offline = offline;
    result.exchanges = {Exchange{kind, code, ns}};
    return result;
}

QStringList samples(const Metrics &metrics)
{
    QStringList lines = QString::fromUtf8(metrics.exposition()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.erase(
        std::remove_if(lines.begin(), lines.end(), [](const QString &l) { return l.startsWith('#'); }), lines.end());
    return lines;
}

QStringList samplesOf(const Metrics &metrics, const QString &family)
{
    return samples(metrics).filter(QRegularExpression(QStringLiteral("^%1[{ ]").arg(family)));
}

const QString a1 = QStringLiteral("line=\"a\",address=\"1\",id=\"a-1\"");

// One sample a row: `pattern`'s two lowest placeholders take the row's label value and its value.
QStringList sampleLines(const QString &pattern, std::initializer_list<std::pair<const char *, int>> rows)
{
    QStringList lines;
    for (const auto &row : rows)
        lines << pattern.arg(QLatin1String(row.first)).arg(row.second);
    return lines;
}

} // namespace

void TestBridgeMetrics::numbers_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("tenths") << 25.3 << QByteArray("25.3");
    QTest::newRow("whole") << 24.0 << QByteArray("24");
    QTest::newRow("negative") << -12.5 << QByteArray("-12.5");
    QTest::newRow("millivolts") << 23.95 << QByteArray("23.95");
    QTest::newRow("small") << 0.0025 << QByteArray("0.0025");
    QTest::newRow("time stamp") << 1796716489.662 << QByteArray("1796716489.662");
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << QByteArray("NaN");
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << QByteArray("+Inf");
    QTest::newRow("minus infinite") << -std::numeric_limits<double>::infinity() << QByteArray("-Inf");
}

void TestBridgeMetrics::numbers()
{
    QFETCH(double, value);
    QFETCH(QByteArray, text);
    QCOMPARE(Exposition::number(value), text);
}

void TestBridgeMetrics::labelValuesAreEscaped_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain") << "hall1-7" << QByteArray("hall1-7");
    QTest::newRow("quote") << "press \"left\"" << QByteArray("press \\\"left\\\"");
    QTest::newRow("backslash") << "C:\\line" << QByteArray("C:\\\\line");
    QTest::newRow("line feed") << "a\nb" << QByteArray("a\\nb");
    QTest::newRow("all, backslash before quote") << "\\\"\n" << QByteArray("\\\\\\\"\\n");
    QTest::newRow("UTF-8 stays") << QString::fromUtf8("炉 1") << QByteArray("\xe7\x82\x89 1");
}

void TestBridgeMetrics::labelValuesAreEscaped()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, written);
    QCOMPARE(Exposition::escapeLabelValue(value), written);
    QCOMPARE(Exposition::labels({{"id", value}, {"line", QStringLiteral("a")}}), "id=\"" + written + "\",line=\"a\"");
}

void TestBridgeMetrics::readingsOfAGoodPoll()
{
    Metrics metrics({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}})});
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_controller_online")),
        QStringList{QStringLiteral("vortanix_controller_online{%1} 0").arg(a1)}); // before the first poll
    QVERIFY(samplesOf(metrics, QStringLiteral("vortanix_temperature_celsius")).isEmpty());

    PollDone poll = goodPoll();
    poll.atMs = metrics.rig.now() - 1500;
    metrics.polled(0, poll);
    const char *const expected[]
        = {"vortanix_controller_online{%1} 1", "vortanix_last_good_poll_timestamp_seconds{%1} 1796716489.662",
            "vortanix_reading_age_seconds{%1} 1.5", "vortanix_controller_info{%1,firmware=\"1.10\"} 1",
            "vortanix_temperature_celsius{%1} 25.3", "vortanix_temperature_sensor_state{%1,state=\"ok\"} 1",
            "vortanix_temperature_sensor_state{%1,state=\"open\"} 0", "vortanix_power_permille{%1} 650",
            "vortanix_supply_volts{%1} 23.95", "vortanix_running_time_seconds{%1} 7205",
            "vortanix_analog_input_enabled{%1} 1", "vortanix_modules_on{%1} 2", "vortanix_module_on{%1,module=\"1\"} 1",
            "vortanix_module_on{%1,module=\"2\"} 0", "vortanix_module_on{%1,module=\"3\"} 1",
            "vortanix_module_on{%1,module=\"12\"} 0", "vortanix_module_enabled{%1,module=\"4\"} 0",
            "vortanix_module_enabled{%1,module=\"5\"} 1", "vortanix_module_enabled{%1,module=\"12\"} 1",
            "vortanix_exchanges_total{%1,outcome=\"ok\"} 1", "vortanix_exchanges_total{%1,outcome=\"timeout\"} 0"};
    const QStringList all = samples(metrics);
    for (const char *line : expected)
        QVERIFY2(all.contains(QString::fromUtf8(line).arg(a1)), line);
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_module_on")).size(), 12);
}

void TestBridgeMetrics::sensorFaultsHideTheTemperature_data()
{
    QTest::addColumn<int>("tenths");
    QTest::addColumn<QString>("state");
    QTest::newRow("open circuit") << int(TemperatureOpenCircuit) << "open";
    QTest::newRow("short circuit") << int(TemperatureShortCircuit) << "short";
}

void TestBridgeMetrics::sensorFaultsHideTheTemperature()
{
    QFETCH(int, tenths);
    QFETCH(QString, state);
    Metrics metrics({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}})});
    metrics.polled(0, goodPoll(qint16(tenths)));
    QVERIFY(samplesOf(metrics, QStringLiteral("vortanix_temperature_celsius")).isEmpty());
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_temperature_sensor_state")).filter(QStringLiteral("} 1")),
        QStringList{QStringLiteral("vortanix_temperature_sensor_state{%1,state=\"%2\"} 1").arg(a1, state)});
    // Back to a reading.
    metrics.polled(0, goodPoll(-125));
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_temperature_celsius")),
        QStringList{QStringLiteral("vortanix_temperature_celsius{%1} -12.5").arg(a1)});
}

void TestBridgeMetrics::offlineControllersShowNoReadings()
{
    Metrics metrics({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}, {7, QStringLiteral("press")}})});
    metrics.polled(0, goodPoll());
    metrics.polled(1, goodPoll(300));
    metrics.polled(1, failedPoll(Outcome::Timeout)); // a failed poll; still online
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_temperature_celsius")).size(), 2);
    metrics.polled(1, failedPoll(Outcome::Timeout, 0, 50000000, true)); // the hub counts it offline now
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_temperature_celsius")),
        QStringList{QStringLiteral("vortanix_temperature_celsius{%1} 25.3").arg(a1)});
    const QString press = QStringLiteral("line=\"a\",address=\"7\",id=\"press\"");
    const QStringList all = samples(metrics);
    QVERIFY(all.contains(QStringLiteral("vortanix_controller_online{%1} 0").arg(press)));
    QVERIFY(all.contains(QStringLiteral("vortanix_last_good_poll_timestamp_seconds{%1} 1796716489.662").arg(press)));
    QCOMPARE(all.filter(press).filter(QStringLiteral("power_permille")), QStringList());
    QVERIFY(all.contains(QStringLiteral("vortanix_exchanges_total{%1,outcome=\"timeout\"} 2").arg(press)));
}

void TestBridgeMetrics::outcomesAndExceptionsAreCounted()
{
    Metrics metrics({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}})});
    const struct
    {
        Outcome::Kind kind;
        quint8 code;
    } polls[] = {{Outcome::BadCrc, 0}, {Outcome::BadCrc, 0}, {Outcome::WrongAddress, 0}, {Outcome::Exception, 2},
        {Outcome::Exception, 2}, {Outcome::Exception, 0x0B}, {Outcome::PortLost, 0}, {Outcome::Short, 0}};
    for (const auto &poll : polls)
        metrics.polled(0, failedPoll(poll.kind, poll.code, 50000000, true));
    // A command of two requests: the read of the switch mask, then the write.
    metrics.exchanged(0, {Exchange{Outcome::Ok, 0, 1000000}, Exchange{Outcome::NotAcknowledged, 0, 1000000}});
    // Another master's acknowledgement taken for ours.
    metrics.exchanged(0, {Exchange{Outcome::WrongRegister, 0, 1000000}});
    // A request's echo changed on a 2-wire line.
    metrics.exchanged(0, {Exchange{Outcome::BusCollision, 0, 1000000}, Exchange{Outcome::BusCollision, 0, 1000000}});
    // Every outcome shows, 0 too, but "sent" (a broadcast is no poll).
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_exchanges_total")),
        sampleLines(QStringLiteral("vortanix_exchanges_total{%1,outcome=\"%2\"} %3").arg(a1),
            {{"ok", 1}, {"timeout", 0}, {"short_reply", 1}, {"incomplete_reply", 0}, {"bad_crc", 2}, {"exception", 3},
                {"wrong_address", 1}, {"wrong_function", 0}, {"not_acknowledged", 1}, {"port_lost", 1},
                {"wrong_register", 1}, {"bus_collision", 2}, {"not_applied", 0}, {"mismatched_reply", 0}}));
    // The family's HELP names every label it shows.
    const QString help = QString::fromUtf8(metrics.exposition())
                             .section(QStringLiteral("# HELP vortanix_exchanges_total"), 1)
                             .section(QLatin1Char('\n'), 0, 0);
    for (const QString &sample : samplesOf(metrics, QStringLiteral("vortanix_exchanges_total")))
        QVERIFY2(help.contains(sample.section(QLatin1Char('"'), -2, -2)), qPrintable(sample));
    QCOMPARE(samplesOf(metrics, QStringLiteral("vortanix_exchange_exceptions_total")),
        (QStringList{QStringLiteral("vortanix_exchange_exceptions_total{%1,code=\"02\"} 2").arg(a1),
            QStringLiteral("vortanix_exchange_exceptions_total{%1,code=\"0B\"} 1").arg(a1)}));
}

void TestBridgeMetrics::durationsFillTheHistogram()
{
    Metrics metrics({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}}),
        line(QStringLiteral("b"), {{1, QStringLiteral("b-1")}})});
    // 0.5 ms, exactly 1 ms (counted under le="0.001"), 31 ms, 3 s (above every bound).
    for (qint64 ns : {500000LL, 1000000LL, 31000000LL, 3000000000LL})
        metrics.polled(0, failedPoll(Outcome::Timeout, 0, ns, true));
    const QStringList lineA = samples(metrics).filter(
        QRegularExpression(QStringLiteral("^vortanix_exchange_duration_seconds.*line=\"a\"")));
    // Each bound's cumulative count, the sum (its value below), the count.
    QStringList expected
        = sampleLines(QStringLiteral("vortanix_exchange_duration_seconds_bucket{line=\"a\",le=\"%1\"} %2"),
            {{"0.001", 2}, {"0.0025", 2}, {"0.005", 2}, {"0.01", 2}, {"0.025", 2}, {"0.05", 3}, {"0.1", 3}, {"0.25", 3},
                {"0.5", 3}, {"1", 3}, {"2.5", 3}, {"+Inf", 4}});
    expected << QStringLiteral("vortanix_exchange_duration_seconds_count{line=\"a\"} 4");
    QCOMPARE(lineA.size(), expected.size() + 1);
    QVERIFY2(lineA.at(12).startsWith(QStringLiteral("vortanix_exchange_duration_seconds_sum{line=\"a\"} ")),
        qPrintable(lineA.at(12)));
    const double sum = lineA.at(12).section(QLatin1Char(' '), 1).toDouble();
    QVERIFY2(std::fabs(sum - 3.0325) < 1e-9, qPrintable(lineA.at(12)));
    QCOMPARE(lineA.mid(0, 12) + lineA.mid(13), expected);
    QVERIFY(samples(metrics).contains(QStringLiteral("vortanix_exchange_duration_seconds_count{line=\"b\"} 0")));
}

void TestBridgeMetrics::commandsAndConnectionsAreCounted()
{
    Metrics plain({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}})});
    // Nothing configured: no families of the front-ends.
    for (const char *family : {"vortanix_commands_total", "vortanix_modbus_tcp_requests_total"})
        QVERIFY2(!plain.exposition().contains(family), family);

    BridgeConfig config = HubRig::config({line(QStringLiteral("a"), {{1, QStringLiteral("a-1")}})});
    HubRig rig(config);
    ModbusGateway gateway(rig.hub());
    MetricsPage page(rig.hub(), {&gateway});
    const auto sampled = [&page](const QString &family) {
        return QString::fromUtf8(page.exposition())
            .split(QLatin1Char('\n'))
            .filter(QRegularExpression(QStringLiteral("^%1[{ ]").arg(family)));
    };
    LineHub &hub = rig.hub();
    hub.enableSource(Source::Mqtt);
    const QString commands = QStringLiteral("vortanix_commands_total{source=\"%1\",result=\"%2\"} %3");
    const QString mqtt = commands.arg(QLatin1String("mqtt"));
    QCOMPARE(sampled(QStringLiteral("vortanix_commands_total")),
        sampleLines(mqtt, {{"ok", 0}, {"failed", 0}, {"refused", 0}}));
    // Each command counts under the source that sent it: two from MQTT taken,
    // one refused; one from the gateway the controller did not answer.
    for (int i = 0; i < 2; ++i)
        QVERIFY(hub.submit(0, HubRequest::write(Source::Mqtt, RegPowerPermille, 600), [](const HubResult &) {}));
    hub.countRefused(Source::Mqtt);
    rig.run();
    rig.line(0).setFault(1, ControllerFaults::FaultNoReply);
    QVERIFY(hub.submit(0, HubRequest::write(Source::ModbusTcp, RegPowerPermille, 600), [](const HubResult &) {}));
    // Reads are no commands.
    QVERIFY(hub.submit(0, HubRequest::read(Source::ModbusTcp, RegPowerPermille, 1), [](const HubResult &) {}));
    rig.run();
    QCOMPARE(sampled(QStringLiteral("vortanix_commands_total")),
        sampleLines(mqtt, {{"ok", 2}, {"failed", 0}, {"refused", 1}})
            + sampleLines(commands.arg(QLatin1String("modbus_tcp")), {{"ok", 0}, {"failed", 1}, {"refused", 0}}));

    gateway.count(3, 0, true);
    gateway.count(3, 0, true);
    gateway.count(6, 2, false); // refused by the gateway: a command refused
    QCOMPARE(sampled(QStringLiteral("vortanix_modbus_tcp_requests_total")),
        (QStringList{QStringLiteral("vortanix_modbus_tcp_requests_total{function=\"3\",exception=\"none\"} 2"),
            QStringLiteral("vortanix_modbus_tcp_requests_total{function=\"6\",exception=\"02\"} 1")}));
    QCOMPARE(hub.commandCount(Source::ModbusTcp, LineHub::Refused), quint64(1));
}

void TestBridgeMetrics::oddIdsPassPromtool()
{
    // Names the configuration would refuse, to see the text stays well formed whatever the labels hold.
    Metrics metrics({line(QStringLiteral("hall \"1\""), {{1, QStringLiteral("a\\b")}, {2, QStringLiteral("q\"x")}}),
        line(QStringLiteral("new\nline"), {{3, QString::fromUtf8("炉")}})});
    metrics.polled(0, goodPoll());
    metrics.polled(1, goodPoll());
    metrics.polled(0, goodPoll(), 1);
    metrics.polled(1, failedPoll(Outcome::Exception, 4));
    const QByteArray text = metrics.exposition();
    QVERIFY(text.contains("vortanix_temperature_celsius{line=\"hall \\\"1\\\"\",address=\"1\",id=\"a\\\\b\"} 25.3\n"));
    QVERIFY(text.contains("vortanix_controller_online{line=\"new\\nline\",address=\"3\",id=\"\xe7\x82\x89\"} 1\n"));
    const QString problems = PrometheusServer::lint(text);
    QVERIFY2(problems.isEmpty(), qPrintable(problems + QLatin1Char('\n') + QString::fromUtf8(text)));
}

QTEST_GUILESS_MAIN(TestBridgeMetrics)
#include "tst_bridgemetrics.moc"
