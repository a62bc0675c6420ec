// vortanix-bridge's metrics as Prometheus sees them: the real bridge as a
// process on a virtual line, without a broker (metrics are its only
// front-end), scraped over HTTP by the test and by a real Prometheus server;
// then a bridge with both front-ends, whose MQTT commands and connection are
// counted.

#include "bridgerig.h"
#include "controllervalues.h"
#include "httpclient.h"
#include "httpserver.h"
#include "mqttclient.h"
#include "prometheusserver.h"
#include "verifyempty.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QtTest>

class TestBridgeScrape : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void scrapeIsPrometheusText();
    void gzipWhenAsked();
    void otherRequestsAreAnswered_data();
    void otherRequestsAreAnswered();
    void clientsOutsideAllowAreRefused();
    void idleClientsDoNotBlockScrapes();
    void prometheusScrapesTheBridge();
    void mqttCommandsAndConnectionsAreCounted();
    // Last: it leaves the line busy with a reply that takes most of a minute.
    void scrapeAnswersWhileALineWaits();

private:
    BridgeRig rig;
    quint16 port = 0;
};

namespace {

const QByteArray a1 = "{line=\"a\",address=\"1\",id=\"a-1\"}";

// Scrapes until the page holds every one of `lines` (whole sample lines).
bool waitForScrape(quint16 port, const QList<QByteArray> &lines, int timeoutMs = BridgeRig::WaitMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray body;
    do {
        body = "\n" + HttpClient::get(port, "/metrics").body;
        if (std::all_of(
                lines.begin(), lines.end(), [&body](const QByteArray &l) { return body.contains("\n" + l + "\n"); })) {
            return true;
        }
        QThread::msleep(50); // the next poll is 100 ms away
    } while (!deadline.hasExpired());
    qWarning("last scrape:\n%s", body.constData());
    return false;
}

} // namespace

void TestBridgeScrape::initTestCase()
{
    rig.addLine(QStringLiteral("a"), {1, 7, 9});
    StatusValues first;
    first.temperature = 253;
    first.supply = 23950;
    first.power = 650;
    first.switchMask = 0x005;
    first.version = 0x010A;
    SimController one = rig.controller(QStringLiteral("a"), 1);
    first.applyTo(one);
    // No broker: the metrics are the bridge's one front-end. timeout_ms lets a
    // reply pause up to 5 s (see scrapeAnswersWhileALineWaits).
    rig.bridge().writeConfig(QStringLiteral("[mqtt]\nenabled=false\n[http]\nlisten=127.0.0.1:0\nallow=127.0.0.1/32\n"
                                            "[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,7,9"), QStringLiteral("timeout_ms=5000")));
    QVERIFY(rig.bridge().start());
    port = quint16(rig.bridge().metricsPort());
    QVERIFY2(port != 0, qPrintable(rig.bridge().log()));
    QVERIFY(waitForScrape(port, {"vortanix_controller_online" + a1 + " 1"}));
}

void TestBridgeScrape::cleanupTestCase()
{
    if (rig.bridge().pid() > 0)
        QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeScrape::scrapeIsPrometheusText()
{
    const HttpReply reply = HttpClient::get(port, "/metrics");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("content-type"), QByteArray("text/plain; version=0.0.4; charset=utf-8"));
    QCOMPARE(reply.headers.value("content-length").toInt(), reply.body.size());
    for (const QByteArray &line : {"vortanix_temperature_celsius" + a1 + " 25.3",
             "vortanix_supply_volts" + a1 + " 23.95", "vortanix_power_permille" + a1 + " 650",
             "vortanix_modules_on" + a1 + " 2", QByteArray("# TYPE vortanix_exchanges_total counter")})
        QVERIFY2(reply.body.contains("\n" + line + "\n"), line.constData());
    VERIFY_EMPTY(PrometheusServer::lint(reply.body));
    // Without a broker configured, none is looked for.
    QVERIFY(!rig.bridge().log().contains(QLatin1String("broker")));
    QVERIFY(!reply.body.contains("vortanix_mqtt_connected"));

    const HttpReply head = HttpClient::send(port, "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(head.status, 200);
    QVERIFY(head.headers.value("content-length").toInt() > 0);
    QCOMPARE(head.body, QByteArray());
}

void TestBridgeScrape::gzipWhenAsked()
{
    // As Prometheus asks; gzip(1) unpacks the body to a page that promtool takes.
    const HttpReply reply = HttpClient::send(port, "GET /metrics HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("content-encoding"), QByteArray("gzip"));
    QCOMPARE(reply.headers.value("content-length").toInt(), reply.body.size());
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-d")});
    gzip.write(reply.body);
    gzip.closeWriteChannel();
    QVERIFY(gzip.waitForFinished(HttpClient::WaitMs));
    QCOMPARE(gzip.exitCode(), 0);
    const QByteArray page = gzip.readAllStandardOutput();
    QVERIFY2(page.size() > 3 * reply.body.size(), qPrintable(QString::number(page.size())));
    QVERIFY(page.contains("\nvortanix_temperature_celsius" + a1 + " 25.3\n"));
    VERIFY_EMPTY(PrometheusServer::lint(page));
    // Not asked, or refused: plain.
    for (const QByteArray &field : {QByteArray(), QByteArray("Accept-Encoding: gzip;q=0\r\n")}) {
        const HttpReply plain = HttpClient::send(port, "GET /metrics HTTP/1.1\r\n" + field + "\r\n");
        QVERIFY(!plain.headers.contains("content-encoding"));
        QVERIFY(plain.body.startsWith("# HELP "));
    }
}

void TestBridgeScrape::otherRequestsAreAnswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("root: the status page") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 200;
    QTest::newRow("elsewhere") << QByteArray("GET /favicon.ico HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("below /metrics") << QByteArray("GET /metrics/x HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("longer name") << QByteArray("GET /metricsx HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("query string") << QByteArray("GET /metrics?name[]=x HTTP/1.1\r\n\r\n") << 200;
    QTest::newRow("HTTP/1.0") << QByteArray("GET /metrics HTTP/1.0\r\n\r\n") << 200;
    QTest::newRow("bare LF line ends") << QByteArray("GET /metrics HTTP/1.1\nHost: x\n\n") << 200;
    QTest::newRow("empty lines, bare LF") << QByteArray("\n\n") << 400;
    QTest::newRow("POST") << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n") << 405;
    QTest::newRow("DELETE elsewhere") << QByteArray("DELETE /x HTTP/1.1\r\n\r\n") << 405;
    QTest::newRow("not HTTP") << QByteArray("hello there\r\n\r\n") << 400;
    QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
    QTest::newRow("head too large") << "GET /metrics HTTP/1.1\r\nX-Pad: " + QByteArray(9000, 'x') + "\r\n\r\n" << 431;
}

void TestBridgeScrape::otherRequestsAreAnswered()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const HttpReply reply = HttpClient::send(port, request);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("connection"), QByteArray("close"));
    if (status == 405)
        QCOMPARE(reply.headers.value("allow"), QByteArray("GET, HEAD"));
    if (status != 200)
        QVERIFY2(!reply.body.contains("vortanix_"), reply.body.constData());
    // The bridge serves on.
    QCOMPARE(HttpClient::get(port, "/metrics").status, 200);
}

void TestBridgeScrape::clientsOutsideAllowAreRefused()
{
    // allow=127.0.0.1/32: another loopback address is another client.
    const HttpReply refused
        = HttpClient::send(port, "GET /metrics HTTP/1.1\r\n\r\n", QHostAddress(QStringLiteral("127.0.0.2")));
    QCOMPARE(refused.status, 403);
    QCOMPARE(refused.body, QByteArray("127.0.0.2 is not among the networks of [http] allow\n"));
    // The status page and its state alike.
    QCOMPARE(HttpClient::send(port, "GET / HTTP/1.1\r\n\r\n", QHostAddress(QStringLiteral("127.0.0.2"))).status, 403);
    QCOMPARE(HttpClient::send(port, "GET /metrics HTTP/1.1\r\n\r\n", QHostAddress::LocalHost).status, 200);
}

void TestBridgeScrape::idleClientsDoNotBlockScrapes()
{
    // Clients that connect and send half a request, as many as are served at once.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < HttpServer::MaxClients; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(idle.back()->waitForConnected(HttpClient::WaitMs));
        idle.back()->write("GET /metr");
        QVERIFY(idle.back()->waitForBytesWritten(HttpClient::WaitMs));
    }
    // One more is told to come back, unless (on a slow machine) the first of
    // them were let go for sending nothing within RequestTimeoutMs: either
    // way the scrape is answered, the bridge waits for none of them.
    const HttpReply busy = HttpClient::get(port, "/metrics");
    if (busy.status == 200) {
        const bool dropped = std::any_of(idle.begin(), idle.end(), [](const std::unique_ptr<QTcpSocket> &s) {
            s->waitForReadyRead(0); // lets the socket see a close
            return s->state() != QAbstractSocket::ConnectedState;
        });
        QVERIFY2(dropped, "a client beyond MaxClients was served while every idle client was still held");
    } else {
        QCOMPARE(busy.status, 503);
        QCOMPARE(busy.body, QByteArray("too many clients at once; try again\n"));
    }
    idle.clear();
    const QDeadlineTimer deadline(BridgeRig::WaitMs);
    int status = 0;
    while ((status = HttpClient::get(port, "/metrics").status) != 200 && !deadline.hasExpired())
        QThread::msleep(50); // the bridge sees the idle clients go as its event loop comes round
    QCOMPARE(status, 200);
}

void TestBridgeScrape::prometheusScrapesTheBridge()
{
    PrometheusServer prometheus(rig.folder());
    QVERIFY2(prometheus.start(port), qPrintable(prometheus.log()));
    double value = 0;
    QVERIFY2(prometheus.waitForValue(
                 QStringLiteral("vortanix_temperature_celsius{id=\"a-1\",line=\"a\"}"),
                 [](double v) { return v == 25.3; }, &value),
        qPrintable(prometheus.log()));

    // Three replies with a bad CRC from the controller at 7: counted as such.
    SimController seven = rig.controller(QStringLiteral("a"), 7);
    seven.setFault(SimController::FaultBadCrc, 0, 3);
    QVERIFY(prometheus.waitForValue(
        QStringLiteral("vortanix_exchanges_total{id=\"a-7\",outcome=\"bad_crc\"}"), [](double v) { return v == 3; }));
    QVERIFY(prometheus.waitForValue(
        QStringLiteral("vortanix_controller_online{id=\"a-7\"}"), [](double v) { return v == 1; })); // 3 < 5 failures
}

void TestBridgeScrape::mqttCommandsAndConnectionsAreCounted()
{
    BridgeRig plant;
    QVERIFY(plant.broker().start());
    plant.addLine(QStringLiteral("b"), {1});
    auto probe = plant.probe();
    QVERIFY(probe);
    plant.bridge().writeConfig(plant.mqttSection(QStringLiteral("scraped"))
        + QStringLiteral("[metrics]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=100\n")
        + plant.lineSection(QStringLiteral("b"), QStringLiteral("1")));
    QVERIFY(plant.bridge().start());
    const quint16 plantPort = quint16(plant.bridge().metricsPort());
    QVERIFY2(plantPort != 0, qPrintable(plant.bridge().log()));
    QVERIFY2(BridgeRig::waitForState(*probe, QStringLiteral("b-1")), qPrintable(plant.bridge().log()));
    QVERIFY(waitForScrape(plantPort,
        {"vortanix_mqtt_connected 1", "vortanix_mqtt_reconnects_total 0",
            "vortanix_commands_total{source=\"mqtt\",result=\"ok\"} 0"}));

    QVERIFY(probe->publish(QStringLiteral("vortanix/b-1/set/power"), "500"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/b-1/result"), BridgeRig::WaitMs));
    QVERIFY(probe->publish(QStringLiteral("vortanix/b-1/set/power"), "lots"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/b-1/error"), BridgeRig::WaitMs));
    QVERIFY(waitForScrape(plantPort,
        {"vortanix_commands_total{source=\"mqtt\",result=\"ok\"} 1",
            "vortanix_commands_total{source=\"mqtt\",result=\"failed\"} 0",
            "vortanix_commands_total{source=\"mqtt\",result=\"refused\"} 1"}));

    plant.broker().kill();
    QVERIFY(waitForScrape(plantPort, {"vortanix_mqtt_connected 0"}));
    QVERIFY(plant.broker().start());
    // The bridge's back-off between attempts grows while the broker is away (up to 30 s).
    QVERIFY(waitForScrape(plantPort, {"vortanix_mqtt_connected 1", "vortanix_mqtt_reconnects_total 1"},
        MqttClient::BackoffMaxMs + BridgeRig::WaitMs));
    QCOMPARE(plant.bridge().terminate(), 0);
}

void TestBridgeScrape::scrapeAnswersWhileALineWaits()
{
    // The controller at 9 sends its next reply a byte every 1.5 s, which the
    // bridge (timeout_ms=5000) waits out: the line is busy for most of a minute.
    SimController nine = rig.controller(QStringLiteral("a"), 9);
    nine.setFault(SimController::FaultGapPace, 1500, 1);
    // Its reply has started and not ended: the line waits for it now.
    QTRY_VERIFY_WITH_TIMEOUT(nine.replyCount() > nine.finishedReplyCount(), BridgeRig::WaitMs);
    const int started = nine.replyCount();
    const int finished = nine.finishedReplyCount();

    const HttpReply reply = HttpClient::get(port, "/metrics");
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains("vortanix_temperature_celsius" + a1 + " 25.3\n"));
    // The answer came while the same reply was still on its way.
    QCOMPARE(nine.replyCount(), started);
    QCOMPARE(nine.finishedReplyCount(), finished);
}

QTEST_GUILESS_MAIN(TestBridgeScrape)
#include "tst_bridgescrape.moc"
