// A plant of several gateway boards, set up from the package's examples
// (packaging/examples) with only addresses and ports changed: two boards,
// each with its own Mosquitto bridged to a central broker and its own
// vortanix-bridge with the same line and controller ids, and one Prometheus
// that finds both in a targets file. The central broker carries both boards'
// states and discovery, with distinct Home Assistant ids; a command published
// there reaches its board's controller and no other; Prometheus scrapes both.

#include "bridgerig.h"
#include "prometheusserver.h"
#include "registers.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

class TestBridgePlant : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void centralBrokerCarriesBothBoards();
    void commandsReachTheirBoardOnly();
    void prometheusScrapesEveryBoard();

private:
    QTemporaryDir centralFolder;
    TestBroker central{centralFolder.path()};
    std::unique_ptr<MqttProbe> centralProbe;
    BridgeRig boards[2];
    int metricsPorts[2] = {};
};

namespace {

const QString boardNames[] = {QStringLiteral("board1"), QStringLiteral("board2")};

QString example(const QString &name)
{
    QFile file(QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/examples/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Replaces what `pattern` matches (at least once) with `with`; false when it matches nowhere.
bool substitute(QString *text, const QString &pattern, const QString &with)
{
    const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
    if (!expression.match(*text).hasMatch())
        return false;
    text->replace(expression, with);
    return true;
}

} // namespace

void TestBridgePlant::initTestCase()
{
    QVERIFY(central.start());
    centralProbe = std::make_unique<MqttProbe>(central.port());
    QVERIFY(centralProbe->connectAndSubscribe(QStringLiteral("#")));
    for (int i = 0; i < 2; ++i) {
        BridgeRig &board = boards[i];
        TestBroker::Options options;
        options.more = example(QStringLiteral("board-mosquitto.conf")).replace(QStringLiteral("board1"), boardNames[i]);
        QVERIFY(substitute(&options.more, QStringLiteral("^address central\\.plant\\.example:1883$"),
            QStringLiteral("address 127.0.0.1:%1").arg(central.port())));
        QVERIFY(board.broker().start(options));
        board.addLine(QStringLiteral("hall1"), {1, 2}).setBaud(19200); // the example's line

        QString config = example(QStringLiteral("board-bridge.ini")).replace(QStringLiteral("board1"), boardNames[i]);
        QVERIFY(
            substitute(&config, QStringLiteral("^port=1883$"), QStringLiteral("port=%1").arg(board.broker().port())));
        QVERIFY(substitute(&config, QStringLiteral("^port=/dev/\\S+$"),
            QStringLiteral("port=") + board.linePath(QStringLiteral("hall1"))));
        QVERIFY(substitute(&config, QStringLiteral("^listen=.*$"), QStringLiteral("listen=127.0.0.1:0")));
        board.bridge().writeConfig(config + QStringLiteral("\n[bridge]\npoll_interval_ms=100\n"));
        QVERIFY(board.bridge().start());
        metricsPorts[i] = board.bridge().metricsPort();
        QVERIFY2(metricsPorts[i] != 0, qPrintable(board.bridge().log()));
    }
}

void TestBridgePlant::centralBrokerCarriesBothBoards()
{
    QSet<QString> uniqueIds;
    for (const QString &board : boardNames) {
        for (const char *id : {"hall1-1", "hall1-2"}) {
            const QString state = QStringLiteral("vortanix/%1/%2/state").arg(board, QLatin1String(id));
            QVERIFY2(centralProbe->waitFor(state, BridgeRig::WaitMs), qPrintable(state));
        }
        // Home Assistant at the central broker: the discovery names the topics it has there.
        const QString discovery = QStringLiteral("homeassistant/sensor/%1/hall1-1_temperature/config").arg(board);
        MqttProbe::Message message;
        QVERIFY2(centralProbe->waitFor(discovery, BridgeRig::WaitMs, &message), qPrintable(discovery));
        const QJsonObject config = message.json();
        QCOMPARE(config.value(QStringLiteral("state_topic")).toString(),
            QStringLiteral("vortanix/%1/hall1-1/state").arg(board));
        uniqueIds.insert(config.value(QStringLiteral("unique_id")).toString());
        uniqueIds.insert(config.value(QStringLiteral("device"))
                             .toObject()
                             .value(QStringLiteral("identifiers"))
                             .toArray()[0]
                             .toString());
    }
    QCOMPARE(uniqueIds.size(), 4); // two entities, two devices
}

void TestBridgePlant::commandsReachTheirBoardOnly()
{
    auto second = boards[1].probe(QStringLiteral("vortanix/#"));
    QVERIFY(second);
    // As Home Assistant sends it: to the command topic the discovery names. The
    // discovery came through the board's link, which subscribes to the commands first.
    MqttProbe::Message number;
    QVERIFY(centralProbe->waitFor(
        QStringLiteral("homeassistant/number/board1/hall1-1_power_setting/config"), BridgeRig::WaitMs, &number));
    const QString command = number.json().value(QStringLiteral("command_topic")).toString();
    QCOMPARE(command, QStringLiteral("vortanix/board1/hall1-1/set/power"));
    const auto power = [](int permille) {
        return [permille](const QJsonObject &state) { return state.value("power_permille") == permille; };
    };
    QVERIFY(centralProbe->publish(command, "321"));
    QVERIFY(BridgeRig::waitForState(*centralProbe, QStringLiteral("board1/hall1-1"), power(321)));
    // Then one to the second board (its link is up once its state has come): once it is carried out, the first
    // would have come before it.
    QVERIFY(BridgeRig::waitForState(*centralProbe, QStringLiteral("board2/hall1-1")));
    QVERIFY(centralProbe->publish(QStringLiteral("vortanix/board2/hall1-1/set/power"), "654"));
    QVERIFY(BridgeRig::waitForState(*centralProbe, QStringLiteral("board2/hall1-1"), power(654)));
    QVERIFY(second->waitFor(QStringLiteral("vortanix/board2/hall1-1/set/power"), "654", BridgeRig::WaitMs));
    for (const MqttProbe::Message &m : second->messages())
        QVERIFY2(!m.topic.contains(QLatin1String("/set/")) || m.payload == "654", qPrintable(m.topic));
    QCOMPARE(boards[0].controller(QStringLiteral("hall1"), 1).holdingRegister(RegPowerPermille), quint16(321));
    QCOMPARE(boards[1].controller(QStringLiteral("hall1"), 1).holdingRegister(RegPowerPermille), quint16(654));
    // Each command once at the central broker: the boards do not send them back.
    QCOMPARE(centralProbe->messages(command).size(), 1);
    MqttProbe::Message result;
    QVERIFY(centralProbe->waitFor(QStringLiteral("vortanix/board1/hall1-1/result"), BridgeRig::WaitMs, &result));
    QCOMPARE(result.json().value("ok"), QJsonValue(true));
}

void TestBridgePlant::prometheusScrapesEveryBoard()
{
    const QString folder = boards[0].folder();
    QString targets = example(QStringLiteral("prometheus-targets.yml"));
    for (int i = 0; i < 2; ++i)
        QVERIFY(substitute(&targets, QStringLiteral("%1\\.plant\\.example:9848").arg(boardNames[i]),
            QStringLiteral("127.0.0.1:%1").arg(metricsPorts[i])));
    QFile file(folder + QStringLiteral("/vortanix-targets.yml"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(targets.toUtf8()) == targets.toUtf8().size());
    file.close();
    QString config = example(QStringLiteral("prometheus-scrape.yml"));
    QVERIFY(substitute(&config, QStringLiteral("/etc/prometheus/vortanix-targets\\.yml"), file.fileName()));
    QVERIFY(substitute(&config, QStringLiteral("/usr/share/vortanix/monitoring/"),
        QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/monitoring/")));
    QVERIFY(substitute(&config, QStringLiteral("scrape_interval: 15s"), QStringLiteral("scrape_interval: 1s")));

    PrometheusServer prometheus(folder);
    QVERIFY2(prometheus.start(config), qPrintable(prometheus.log()));
    // The same controller id on both boards, told apart by the targets file's label.
    QVERIFY2(
        prometheus.waitForValue(
            QStringLiteral("count(vortanix_controller_online{job=\"vortanix\",id=\"hall1-1\",board=~\"board1|board2\"} "
                           "== 1)"),
            [](double count) { return count == 2; }),
        qPrintable(prometheus.log()));
    QVERIFY(!prometheus.api("/api/v1/rules").value("data").toObject().value("groups").toArray().isEmpty());
}

QTEST_GUILESS_MAIN(TestBridgePlant)
#include "tst_bridgeplant.moc"
