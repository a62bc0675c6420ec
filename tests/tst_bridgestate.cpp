// The bridge's HTTP listener in this thread: /api/state made from the hub's
// state (HubRig: fake lines, a fake clock) as a controller goes through its
// states, what a request's head says and what its client takes (gzip, a
// language), and what each path answers.

#include "gzipencoder.h"
#include "httpfrontend.h"
#include "httprequest.h"
#include "httpserver.h"
#include "hubrig.h"
#include "linefacts.h"
#include "registers.h"
#include "statejson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

class TestBridgeState : public QObject
{
    Q_OBJECT

private slots:
    void controllerThroughItsStates();
    void sensorFaultShowsNoTemperature();
    void linesAndTheirCounters();
    void requestHeads_data();
    void requestHeads();
    void gzipIsTaken_data();
    void gzipIsTaken();
    void languageIsChosen_data();
    void languageIsChosen();
    void pathsAnswer_data();
    void pathsAnswer();
    void gzipReadsBack();
    void aClientThatResetsHoldsUpNoOther();
};

namespace {

QJsonObject stateOf(HubRig &rig)
{
    return QJsonDocument::fromJson(StateJson(rig.hub()).document()).object();
}

QJsonObject controllerOf(HubRig &rig, int index)
{
    return stateOf(rig).value(QStringLiteral("controllers")).toArray().at(index).toObject();
}

HttpRequest request(const QByteArray &head)
{
    HttpRequest parsed;
    return HttpRequest::parse(head, &parsed) ? parsed : HttpRequest();
}

} // namespace

void TestBridgeState::controllerThroughItsStates()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1, 7})}, 100));
    RegisterBank &bank = rig.line(0).bank(7);
    bank.setValue(RegLdTemperature, 253);
    bank.setValue(RegPowerPermille, 650);
    bank.setValue(RegSupplyVoltage, 23950);
    bank.setRunSeconds(7205);
    bank.setValue(RegLdSwitchMask, 0x005);
    bank.setValue(RegLdEnableMask, 0xFF0);
    QJsonObject seven = controllerOf(rig, 1);
    QCOMPARE(seven.value("id").toString(), QStringLiteral("a-7"));
    QCOMPARE(seven.value("address").toInt(), 7);
    QCOMPARE(seven.value("line").toString(), QStringLiteral("a"));
    QCOMPARE(seven.value("availability").toString(), QStringLiteral("unknown")); // before its first poll
    QVERIFY(seven.value("last_good_poll_age_ms").isNull());
    QVERIFY(seven.value("last_poll").isNull());
    QVERIFY(seven.value("status").isNull());

    rig.run();
    rig.skip(40);
    seven = controllerOf(rig, 1);
    QCOMPARE(seven.value("availability").toString(), QStringLiteral("online"));
    QCOMPARE(seven.value("last_poll").toString(), QStringLiteral("ok"));
    const double age = seven.value("last_good_poll_age_ms").toDouble();
    QVERIFY2(age >= 40 && age < 100, qPrintable(QString::number(age))); // 40 ms and the exchanges after its poll
    const QJsonObject status = seven.value("status").toObject();
    QCOMPARE(status.value("temperature_c").toDouble(), 25.3);
    QCOMPARE(status.value("sensor").toString(), QStringLiteral("ok"));
    QCOMPARE(status.value("power_permille").toInt(), 650);
    QCOMPARE(status.value("supply_v").toDouble(), 23.95);
    QCOMPARE(status.value("run_hours").toInt(), 2);
    QCOMPARE(status.value("modules_on").toArray(), QJsonArray({1, 3}));
    QCOMPARE(status.value("modules_enabled").toArray(), QJsonArray({5, 6, 7, 8, 9, 10, 11, 12}));
    QVERIFY(!status.value("firmware").toString().isEmpty());

    // Silent: still online, its polls failing, the last status kept, until the fifth failure.
    rig.line(0).setFault(7, ControllerFaults::FaultNoReply);
    for (int failed = 1; failed < LineFacts::FailuresForOffline; ++failed) {
        rig.advance(100);
        seven = controllerOf(rig, 1);
        QCOMPARE(seven.value("failed_polls").toInt(), failed);
        QCOMPARE(seven.value("availability").toString(), QStringLiteral("online"));
        QCOMPARE(seven.value("last_poll").toString(), QStringLiteral("time-out"));
        QCOMPARE(seven.value("status").toObject().value("power_permille").toInt(), 650);
    }
    rig.advance(100);
    seven = controllerOf(rig, 1);
    QCOMPARE(seven.value("availability").toString(), QStringLiteral("offline"));
    QCOMPARE(seven.value("failed_polls").toInt(), LineFacts::FailuresForOffline);
    QVERIFY(seven.value("status").isNull()); // a reading that is no longer true is not shown
    QVERIFY(seven.value("last_good_poll_age_ms").toDouble() >= 500);
    QCOMPARE(controllerOf(rig, 0).value("availability").toString(), QStringLiteral("online"));
}

void TestBridgeState::sensorFaultShowsNoTemperature()
{
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}));
    rig.line(0).bank(1).setValue(RegLdTemperature, quint16(TemperatureOpenCircuit));
    rig.run();
    const QJsonObject status = controllerOf(rig, 0).value("status").toObject();
    QVERIFY(status.value("temperature_c").isNull());
    QCOMPARE(status.value("sensor").toString(), QStringLiteral("open"));
}

void TestBridgeState::linesAndTheirCounters()
{
    LineConfig b = HubRig::line(QStringLiteral("b"), {2});
    b.baud = 9600;
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1}), b}, 100));
    rig.line(1).setFault(2, ControllerFaults::FaultBadCrc, 0, 1);
    rig.run();
    rig.advance(100);
    const QJsonObject state = stateOf(rig);
    QCOMPARE(state.value("bridge").toObject().value("poll_interval_ms").toInt(), 100);
    QCOMPARE(state.value("bridge").toObject().value("read_only").toBool(), false);
    const QJsonArray lines = state.value("lines").toArray();
    QCOMPARE(lines.size(), 2);
    QJsonObject line = lines.at(1).toObject();
    QCOMPARE(line.value("name").toString(), QStringLiteral("b"));
    QCOMPARE(line.value("port").toString(), QStringLiteral("fake:b"));
    QCOMPARE(line.value("baud").toInt(), 9600);
    QCOMPARE(line.value("open").toBool(), true);
    QCOMPARE(line.value("state").toString(), QStringLiteral("open"));
    QCOMPARE(line.value("exchanges_failed").toInt(), 1);
    QCOMPARE(line.value("exchanges_ok").toDouble(), rig.hub().line(1).exchangesOk);
    QVERIFY(line.value("exchanges_ok").toInt() >= 2); // the poll after the bad one, the configuration block
    QCOMPARE(line.value("last_error").toString(), QStringLiteral("b-2: ") + Outcome::row(Outcome::BadCrc).text);
    QVERIFY(lines.at(0).toObject().value("last_error").isNull());

    rig.line(1).setPresent(false);
    rig.advance(200);
    line = stateOf(rig).value("lines").toArray().at(1).toObject();
    QCOMPARE(line.value("open").toBool(), false);
    QCOMPARE(line.value("state").toString(), rig.hub().line(1).text);
    QVERIFY(line.value("state").toString() != QLatin1String("open"));
}

void TestBridgeState::requestHeads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("header"); // X-Test, as read
    QTest::newRow("plain") << QByteArray("GET /api/state HTTP/1.1\r\nX-Test: a\r\n\r\n") << true
                           << QByteArray("/api/state") << QByteArray("a");
    QTest::newRow("query left out") << QByteArray("GET /metrics?x=1 HTTP/1.0\r\n\r\n") << true << QByteArray("/metrics")
                                    << QByteArray();
    QTest::newRow("bare LF, blanks, name in any case")
        << QByteArray("HEAD / HTTP/1.1\nx-TEST:   b  \n\n") << true << QByteArray("/") << QByteArray("b");
    QTest::newRow("given twice") << QByteArray("GET / HTTP/1.1\r\nX-Test: a\r\nX-Test: b\r\n\r\n") << true
                                 << QByteArray("/") << QByteArray("a, b");
    QTest::newRow("after the empty line")
        << QByteArray("GET / HTTP/1.1\r\n\r\nX-Test: a\r\n\r\n") << true << QByteArray("/") << QByteArray();
    QTest::newRow("HTTP/2") << QByteArray("PRI * HTTP/2.0\r\n\r\n") << false << QByteArray() << QByteArray();
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << false << QByteArray() << QByteArray();
}

void TestBridgeState::requestHeads()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, parsed);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, header);
    HttpRequest request;
    QCOMPARE(HttpRequest::parse(head, &request), parsed);
    QCOMPARE(request.path(), path);
    QCOMPARE(request.header("x-test"), header);
}

void TestBridgeState::gzipIsTaken_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("gzip");
    QTest::newRow("none") << QByteArray() << false;
    QTest::newRow("Prometheus") << QByteArray("gzip") << true;
    QTest::newRow("curl --compressed") << QByteArray("deflate, gzip, br, zstd") << true;
    QTest::newRow("any case, x-gzip") << QByteArray("X-GZIP") << true;
    QTest::newRow("refused") << QByteArray("gzip;q=0, identity") << false;
    QTest::newRow("least weight") << QByteArray("gzip;q=0.001") << true;
    QTest::newRow("anything") << QByteArray("*") << true;
    QTest::newRow("anything but gzip") << QByteArray("*, gzip;q=0") << false;
    QTest::newRow("not a weight") << QByteArray("gzip;q=2") << false;
    QTest::newRow("another only") << QByteArray("br") << false;
}

void TestBridgeState::gzipIsTaken()
{
    QFETCH(QByteArray, field);
    QFETCH(bool, gzip);
    QCOMPARE(request("GET / HTTP/1.1\r\nAccept-Encoding: " + field + "\r\n\r\n").acceptsGzip(), gzip);
}

void TestBridgeState::languageIsChosen_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("language");
    QTest::newRow("none") << QByteArray() << QByteArray("en");
    QTest::newRow("Chinese browser") << QByteArray("zh-CN,zh;q=0.9,en;q=0.8") << QByteArray("zh");
    QTest::newRow("English first") << QByteArray("en-US,en;q=0.9,zh-CN;q=0.8") << QByteArray("en");
    QTest::newRow("weights over order") << QByteArray("en;q=0.5, zh-TW") << QByteArray("zh");
    QTest::newRow("neither: German, then Chinese") << QByteArray("de-DE, zh;q=0.3") << QByteArray("zh");
    QTest::newRow("refused") << QByteArray("zh;q=0, fr") << QByteArray("en");
    QTest::newRow("a longer name") << QByteArray("zhx") << QByteArray("en");
    QTest::newRow("any") << QByteArray("*") << QByteArray("en");
}

void TestBridgeState::languageIsChosen()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, language);
    const HttpRequest parsed = request("GET / HTTP/1.1\r\nAccept-Language: " + field + "\r\n\r\n");
    QCOMPARE(parsed.language({"en", "zh"}), language);
}

void TestBridgeState::pathsAnswer_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray html = "text/html; charset=utf-8";
    QTest::newRow("page") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray("200 OK") << html
                          << QByteArray("<html lang=\"en\">");
    QTest::newRow("page in Chinese") << QByteArray("GET / HTTP/1.1\r\nAccept-Language: zh-CN\r\n\r\n")
                                     << QByteArray("200 OK") << html << QByteArray("<html lang=\"zh-CN\">");
    QTest::newRow("style") << QByteArray("GET /status.css HTTP/1.1\r\n\r\n") << QByteArray("200 OK")
                           << QByteArray("text/css; charset=utf-8") << QByteArray(".lamp.on");
    QTest::newRow("script") << QByteArray("GET /status.js HTTP/1.1\r\n\r\n") << QByteArray("200 OK")
                            << QByteArray("text/javascript; charset=utf-8") << QByteArray("fetch('api/state'");
    QTest::newRow("state") << QByteArray("GET /api/state HTTP/1.1\r\n\r\n") << QByteArray("200 OK")
                           << QByteArray("application/json") << QByteArray("\"id\":\"a-1\"");
    QTest::newRow("metrics") << QByteArray("GET /metrics HTTP/1.1\r\n\r\n") << QByteArray("200 OK")
                             << QByteArray("text/plain; version=0.0.4; charset=utf-8")
                             << QByteArray("vortanix_controller_online{line=\"a\",address=\"1\",id=\"a-1\"} 1\n");
    QTest::newRow("elsewhere") << QByteArray("GET /api HTTP/1.1\r\n\r\n") << QByteArray("404 Not Found")
                               << QByteArray("text/plain; charset=utf-8") << QByteArray("/api/state");
    QTest::newRow("below the page") << QByteArray("GET /status.js/x HTTP/1.1\r\n\r\n") << QByteArray("404 Not Found")
                                    << QByteArray("text/plain; charset=utf-8") << QByteArray("not here");
}

void TestBridgeState::pathsAnswer()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, contains);
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1})}));
    rig.run();
    const HttpAnswer answer = HttpFrontEnd(rig.hub()).answer(request(head));
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.contentType, type);
    QVERIFY2(answer.body.contains(contains), answer.body.left(300).constData());
}

void TestBridgeState::gzipReadsBack()
{
    // A page of metrics, as gzip(1) unpacks it: one member, whole.
    HubRig rig(HubRig::config({HubRig::line(QStringLiteral("a"), {1, 2, 3})}));
    rig.run();
    const QByteArray page = HttpFrontEnd(rig.hub()).answer(request("GET /metrics HTTP/1.1\r\n\r\n")).body;
    GzipEncoder encoder;
    for (const QByteArray &body : {page, QByteArray("x"), page}) { // the encoder's memory, used again
        QProcess gzip;
        gzip.start(QStringLiteral("gzip"), {QStringLiteral("-d")});
        gzip.write(encoder.encode(body));
        gzip.closeWriteChannel();
        QVERIFY(gzip.waitForFinished(30000));
        QCOMPARE(gzip.exitCode(), 0);
        QCOMPARE(gzip.readAllStandardOutput(), body);
    }
}

void TestBridgeState::aClientThatResetsHoldsUpNoOther()
{
    // The first client resets its connection while its answer is made, so
    // that the kernel refuses the answer at once: the next client is served.
    QTcpSocket gone;
    int asked = 0;
    HttpServer server(NetAllow(), [&](const HttpRequest &) {
        if (++asked == 1) {
            const linger reset{1, 0};
            ::setsockopt(int(gone.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            gone.abort();
        }
        return HttpAnswer{"200 OK", "text/plain; charset=utf-8", "up\n", QByteArray()};
    });
    QString error;
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    const QByteArray get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    gone.connectToHost(QHostAddress::LocalHost, server.port());
    gone.write(get);
    QTRY_COMPARE_WITH_TIMEOUT(asked, 1, 10000);
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, server.port());
    next.write(get);
    QByteArray got;
    QVERIFY(QTest::qWaitFor([&] { return (got += next.readAll()).endsWith("up\n"); }, 10000));
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestBridgeState)
#include "tst_bridgestate.moc"
