// vortanix-bridge when things go wrong around it, on a real Mosquitto broker
// and virtual RS-485 lines: the broker killed and restarted, an adapter
// missing at start, pulled and put back, a silent controller on one line
// while another line goes on, TLS with a test authority and a password file,
// SIGTERM and SIGKILL, and a port that another program holds.

#include "bridgerig.h"
#include "childprocess.h"
#include "deviceserver.h"
#include "registers.h"
#include "seriallink.h"
#include "testfiles.h"

#include <QtTest>

#include <csignal>
#include <sys/types.h>

#include <unistd.h>

#include <mutex>

class TestBridgeResilience : public QObject
{
    Q_OBJECT

private slots:
    void brokerKilledAndRestarted();
    void adapterMissingPulledAndPutBack();
    void twoLinesThreeControllers();
    void silentControllerDoesNotDelayTheOtherLine();
    void tlsWithPasswordFile();
    void sigtermPublishesOffline();
    void sigtermDuringADribblingReply();
    void killLeavesTheWill();
    void portHeldByAnotherProgram();
    void pacedSlowLineWithAShortTimeout();
    void sighupReloadsWhatChanged();
    void lineBehindADeviceServer();
};

namespace {

// Runs a program to the end; true on exit status 0.
bool run(const QString &program, const QStringList &arguments, const QString &folder)
{
    return ChildProcess::run(program, arguments, folder).code == 0;
}

} // namespace

void TestBridgeResilience::brokerKilledAndRestarted()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1});
    rig.controller(QStringLiteral("a"), 1).setPowerPermille(417);
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("restart"))
        + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    {
        auto probe = rig.probe();
        QVERIFY(probe);
        QVERIFY(rig.waitForState(*probe, QStringLiteral("a-1")));
    }
    for (int round = 0; round < 2; ++round) {
        rig.broker().kill();
        QVERIFY(rig.bridge().waitForLog(QStringLiteral("connection to the broker lost")));
        // The broker keeps nothing (no persistence): what the bridge had
        // published is gone, so whatever comes now was published again.
        QVERIFY(rig.broker().start());
        auto probe = rig.probe();
        QVERIFY(probe);
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/restart/availability"), "online", BridgeRig::WaitMs));
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/availability"), "online", BridgeRig::WaitMs));
        QVERIFY(
            probe->waitFor(QStringLiteral("homeassistant/sensor/restart/a-1_temperature/config"), BridgeRig::WaitMs));
        QJsonObject state;
        QVERIFY(rig.waitForState(*probe, QStringLiteral("a-1"), &state));
        QCOMPARE(state.value(QStringLiteral("power_permille")).toInt(), 417);
        // Commands work again.
        QVERIFY(probe->publish(QStringLiteral("vortanix/a-1/set/power"), QByteArray::number(500 + round)));
        QVERIFY(rig.waitForState(*probe, QStringLiteral("a-1"),
            [&](const QJsonObject &s) { return s.value(QStringLiteral("power_permille")) == 500 + round; }));
        rig.controller(QStringLiteral("a"), 1).setPowerPermille(417);
    }
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::adapterMissingPulledAndPutBack()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    VirtualLine &line = rig.addLine(QStringLiteral("a"), {1, 7});
    line.unplug(); // not there when the bridge starts
    auto probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("pull")) + QStringLiteral("[bridge]\npoll_interval_ms=50\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,7")));
    QVERIFY(rig.bridge().start());
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("no such port")));
    for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("a-7")}) {
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "offline", BridgeRig::WaitMs));
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/link").arg(id), "port lost", BridgeRig::WaitMs));
    }
    for (int round = 0; round < 2; ++round) {
        probe->clear();
        QVERIFY(line.replug());
        for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("a-7")}) {
            QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "online", BridgeRig::WaitMs));
            QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/link").arg(id), "ok", BridgeRig::WaitMs));
            QVERIFY(rig.waitForState(*probe, id));
        }
        probe->clear();
        line.unplug();
        for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("a-7")}) {
            QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/link").arg(id), "port lost", BridgeRig::WaitMs));
            QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "offline", BridgeRig::WaitMs));
        }
        // No state while it is gone: five failed polls passed between the loss and "offline".
        const QList<MqttProbe::Message> all = probe->messages();
        int lost = -1;
        for (int i = 0; i < all.size(); ++i) {
            if (all.at(i).topic == QLatin1String("vortanix/a-1/link") && all.at(i).payload == "port lost")
                lost = i;
            if (lost >= 0)
                QVERIFY2(all.at(i).topic != QLatin1String("vortanix/a-1/state"), "a state after the port was lost");
        }
    }
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::twoLinesThreeControllers()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1, 2});
    rig.addLine(QStringLiteral("b"), {1}).setBaud(9600); // the line the file says runs at 9600
    // The same address on two lines: two controllers, told apart by their lines.
    rig.controller(QStringLiteral("a"), 1).setPowerPermille(101);
    rig.controller(QStringLiteral("a"), 2).setPowerPermille(102);
    rig.controller(QStringLiteral("b"), 1).setPowerPermille(201);
    auto probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("two")) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,2"))
        + rig.lineSection(QStringLiteral("b"), QStringLiteral("1"), QStringLiteral("baud=9600")));
    QVERIFY(rig.bridge().start());
    for (const auto &expected : {qMakePair(QStringLiteral("a-1"), 101), qMakePair(QStringLiteral("a-2"), 102),
             qMakePair(QStringLiteral("b-1"), 201)}) {
        QVERIFY(rig.waitForState(*probe, expected.first,
            [&](const QJsonObject &s) { return s.value(QStringLiteral("power_permille")) == expected.second; }));
    }
    // A command reaches its controller only.
    QVERIFY(probe->publish(QStringLiteral("vortanix/b-1/set/power"), "250"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/b-1/result"), BridgeRig::WaitMs));
    QCOMPARE(rig.controller(QStringLiteral("b"), 1).holdingRegister(0x0004), quint16(250));
    QCOMPARE(rig.controller(QStringLiteral("a"), 1).holdingRegister(0x0004), quint16(101));
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::silentControllerDoesNotDelayTheOtherLine()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    VirtualLine &a = rig.addLine(QStringLiteral("a"), {1, 2});
    VirtualLine &b = rig.addLine(QStringLiteral("b"), {9});
    SimController silent = rig.controller(QStringLiteral("a"), 2);
    silent.setFault(SimController::FaultNoReply);
    // Both lines' requests in one list, in the order they reached the lines.
    auto order = std::make_shared<std::pair<std::mutex, QStringList>>();
    for (auto tagged : {qMakePair(&a, QStringLiteral("a")), qMakePair(&b, QStringLiteral("b"))}) {
        const QString tag = tagged.second;
        tagged.first->setTraceSink([order, tag](const QString &line) {
            const int rx = line.indexOf(QLatin1String(" rx "));
            if (rx < 0)
                return;
            std::lock_guard<std::mutex> lock(order->first);
            order->second.append(tag + line.mid(rx + 4, 2)); // "a02", "b09"
        });
    }
    auto probe = rig.probe();
    QVERIFY(probe);
    // Each poll of the silent controller keeps line a waiting a whole second.
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("silent"))
        + QStringLiteral("[bridge]\npoll_interval_ms=50\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,2"), QStringLiteral("timeout_ms=1000"))
        + rig.lineSection(QStringLiteral("b"), QStringLiteral("9")));
    QVERIFY(rig.bridge().start());
    // Every request heard on line a wakes this up; the trace may follow a request late.
    const auto tracedSilentPolls = [&order] {
        std::lock_guard<std::mutex> lock(order->first);
        return order->second.count(QStringLiteral("a02"));
    };
    for (int heard = 1; tracedSilentPolls() < 4; ++heard)
        QVERIFY(silent.waitForRequests(heard, BridgeRig::WaitMs));
    QStringList requests;
    {
        std::lock_guard<std::mutex> lock(order->first);
        requests = order->second;
    }
    // Between two polls of the silent controller, line b went on polling.
    int silentPolls = 0;
    int otherLine = 0;
    for (const QString &request : requests) {
        if (request == QLatin1String("a02")) {
            if (silentPolls++ > 0)
                QVERIFY2(otherLine >= 5,
                    qPrintable(QStringLiteral("%1 polls on line b: %2").arg(otherLine).arg(requests.join(' '))));
            otherLine = 0;
        } else if (request == QLatin1String("b09")) {
            ++otherLine;
        }
    }
    QVERIFY2(silentPolls >= 4, qPrintable(requests.join(QLatin1Char(' ')).left(3000)));
    // The silent one goes offline; the others stay online.
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-2/availability"), "offline", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-2/link"), "time-out", BridgeRig::WaitMs));
    for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("b-9")}) {
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "online", BridgeRig::WaitMs));
        QVERIFY(probe->messages(QStringLiteral("vortanix/%1/availability").arg(id)).size() == 1);
    }
    silent.clearFault();
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-2/availability"), "online", BridgeRig::WaitMs));
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::tlsWithPasswordFile()
{
    BridgeRig rig;
    const QString dir = rig.folder();
    // A certificate authority and a server certificate for 127.0.0.1, made here.
    QVERIFY(writeFile(dir + QStringLiteral("/server.ext"), "subjectAltName=IP:127.0.0.1,DNS:localhost\n"));
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QVERIFY(run(QStringLiteral("openssl"),
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
            + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                QStringLiteral("ca.crt"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                QStringLiteral("/CN=Plant test authority")},
        dir));
    QVERIFY(run(QStringLiteral("openssl"),
        QStringList{QStringLiteral("req")} + ec
            + QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                QStringLiteral("server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
        dir));
    QVERIFY(run(QStringLiteral("openssl"),
        {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("server.csr"),
            QStringLiteral("-CA"), QStringLiteral("ca.crt"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
            QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), QStringLiteral("server.crt"),
            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("server.ext")},
        dir));
    const QString password = QStringLiteral("Lamp-7f3c-secret");
    QVERIFY(TestBroker::makePasswordFile(dir + QStringLiteral("/broker.passwd"), QStringLiteral("plant"), password));
    TestBroker::Options tls;
    tls.caFile = dir + QStringLiteral("/ca.crt");
    tls.certFile = dir + QStringLiteral("/server.crt");
    tls.keyFile = dir + QStringLiteral("/server.key");
    tls.passwordFile = dir + QStringLiteral("/broker.passwd");
    QVERIFY(rig.broker().start(tls));

    rig.addLine(QStringLiteral("a"), {1});
    const QString secret = dir + QStringLiteral("/mqtt-password");
    QVERIFY(writeFile(secret, "wrong\n"));
    const QString config
        = rig.mqttSection(QStringLiteral("tls"),
              QStringLiteral("ca_file=%1/ca.crt\nusername=plant\npassword_file=%1/mqtt-password\n").arg(dir))
        + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"));
    // A wrong password: refused, said so, tried again.
    rig.bridge().writeConfig(config);
    QVERIFY(rig.bridge().start());
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("the broker refused the connection")));
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("trying again in 1 s")));
    QCOMPARE(rig.bridge().terminate(), 0);

    QVERIFY(writeFile(secret, password.toUtf8() + "\n"));
    QVERIFY(rig.bridge().start());
    MqttProbe::Tls client;
    client.caFile = tls.caFile;
    client.username = QStringLiteral("plant");
    client.password = password;
    auto probe = rig.probe(QStringLiteral("#"), client);
    QVERIFY(probe);
    QVERIFY(rig.waitForState(*probe, QStringLiteral("a-1")));
    QVERIFY(rig.bridge().log().contains(QLatin1String("(TLS)")));
    QVERIFY2(rig.bridge().terminate() == 0, qPrintable(rig.bridge().log()));
    QVERIFY(!rig.bridge().log().contains(password));
    QVERIFY(!rig.bridge().log().contains(QLatin1String("wrong")));
}

void TestBridgeResilience::sigtermPublishesOffline()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1, 2});
    auto probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(
        rig.mqttSection(QStringLiteral("term")) + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,2")));
    QVERIFY(rig.bridge().start());
    for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("a-2")})
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "online", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/term/availability"), "online", BridgeRig::WaitMs));
    probe->clear();
    QCOMPARE(rig.bridge().terminate(), 0);
    QVERIFY(rig.bridge().log().contains(QLatin1String("stopping on SIGTERM")));
    for (const QString &id : {QStringLiteral("a-1"), QStringLiteral("a-2")})
        QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/availability").arg(id), "offline", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/term/availability"), "offline", BridgeRig::WaitMs));
    // Retained: a client that comes later learns it too.
    auto later = rig.probe(QStringLiteral("vortanix/bridge/+/availability"));
    QVERIFY(later);
    QVERIFY(later->waitFor(QStringLiteral("vortanix/bridge/term/availability"), "offline", BridgeRig::WaitMs));
    // A clean disconnect: the broker had no will to send.
    QVERIFY(rig.broker().waitForLog(QStringLiteral("Client term disconnected")));
}

// A controller that sends its reply a byte at a time, each byte inside the
// line's wait, would hold a stopping bridge for the whole reply (here 29
// bytes 3 s apart): SIGTERM gives that reply up and still says goodbye.
void TestBridgeResilience::sigtermDuringADribblingReply()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1});
    SimController slow = rig.controller(QStringLiteral("a"), 1);
    auto probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("dribble"))
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"), QStringLiteral("timeout_ms=5000")));
    QVERIFY(rig.bridge().start());
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/availability"), "online", BridgeRig::WaitMs));
    slow.setFault(SimController::FaultGapPace, 3000);
    slow.clearRequests();
    QVERIFY(slow.waitForRequests(1, BridgeRig::WaitMs)); // its reply is coming in now, slowly
    probe->clear();
    const int status = rig.bridge().terminate(20000);
    QVERIFY2(status == 0, qPrintable(rig.bridge().log()));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/a-1/availability"), "offline", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/dribble/availability"), "offline", BridgeRig::WaitMs));
}

void TestBridgeResilience::killLeavesTheWill()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1});
    auto probe = rig.probe();
    QVERIFY(probe);
    rig.bridge().writeConfig(
        rig.mqttSection(QStringLiteral("will")) + rig.lineSection(QStringLiteral("a"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/will/availability"), "online", BridgeRig::WaitMs));
    probe->clear();
    rig.bridge().kill();
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/bridge/will/availability"), "offline", BridgeRig::WaitMs));
}

void TestBridgeResilience::portHeldByAnotherProgram()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1});
    rig.addLine(QStringLiteral("b"), {1});
    SerialLink other;
    QVERIFY2(other.open(rig.linePath(QStringLiteral("b")), 115200), qPrintable(other.openErrorText()));
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("busy"))
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"))
        + rig.lineSection(QStringLiteral("b"), QStringLiteral("1")));
    QVERIFY(rig.bridge().start());
    QCOMPARE(rig.bridge().waitForExit(), 3);
    QVERIFY2(rig.bridge().log().contains(
                 QStringLiteral("line b: %1: in use by PID %2").arg(rig.linePath(QStringLiteral("b"))).arg(::getpid())),
        qPrintable(rig.bridge().log()));
    // While the bridge runs, the port is its own.
    other.close();
    QVERIFY(rig.bridge().start());
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("line b: %1 open").arg(rig.linePath(QStringLiteral("b")))));
    SerialLink late;
    QVERIFY(!late.open(rig.linePath(QStringLiteral("b")), 115200));
    QCOMPARE(late.openError(), SerialLink::Busy);
    QCOMPARE(rig.bridge().terminate(), 0);
}

// At 9600 baud a status reply takes 30 ms on the wire. A time-out of 5 ms
// bounds each pause of the reply (plus the request's wire time), not the
// reply's whole length: polls, the configuration read and a write all
// succeed, and the link never reads as a time-out.
void TestBridgeResilience::pacedSlowLineWithAShortTimeout()
{
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    VirtualLine &line = rig.addLine(QStringLiteral("slow"), {3});
    line.setBaud(9600);
    line.setPacingBaud(9600);
    rig.controller(QStringLiteral("slow"), 3).setPowerPermille(417);
    auto probe = rig.probe();
    QVERIFY(probe);
    // 20 ms: less than a status reply takes on this line (29 bytes, 30 ms);
    // the wait is for each pause in the reply, not for all of it.
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("paced"))
        + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("slow"), QStringLiteral("3"), QStringLiteral("baud=9600\ntimeout_ms=20")));
    QVERIFY(rig.bridge().start());
    QVERIFY2(rig.waitForState(*probe, QStringLiteral("slow-3"),
                 [](const QJsonObject &s) { return s.value(QStringLiteral("power_permille")) == 417; }),
        qPrintable(rig.bridge().log()));

    // A command succeeds. A loaded machine may stall the paced line for
    // longer than a wait, so a failed exchange is tried again, twice at most.
    const auto command = [&](const char *name, const QByteArray &payload) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            probe->clear();
            if (!probe->publish(QStringLiteral("vortanix/slow-3/set/") + QLatin1String(name), payload))
                return false;
            MqttProbe::Message result;
            if (!probe->waitFor(QStringLiteral("vortanix/slow-3/result"), BridgeRig::WaitMs, &result))
                return false;
            if (result.json().value(QStringLiteral("ok")) == QJsonValue(true))
                return true;
        }
        return false;
    };
    QVERIFY2(command("config", "read"), qPrintable(rig.bridge().log()));
    QVERIFY2(command("power", "650"), qPrintable(rig.bridge().log()));
    QCOMPARE(rig.controller(QStringLiteral("slow"), 3).holdingRegister(RegPowerPermille), quint16(650));

    // Twenty more good polls, with at most five of them interrupted by a
    // failed one (a stalled line) and the controller never offline.
    probe->clear();
    QVERIFY(probe->waitForCount(
        20, [](const MqttProbe::Message &m) { return m.topic == QLatin1String("vortanix/slow-3/state"); },
        BridgeRig::WaitMs));
    int interruptions = 0;
    for (const MqttProbe::Message &m : probe->messages(QStringLiteral("vortanix/slow-3/link")))
        interruptions += m.payload == "ok" ? 0 : 1;
    QVERIFY2(interruptions <= 5, qPrintable(rig.bridge().log()));
    QVERIFY2(!rig.bridge().log().contains(QLatin1String("offline")), qPrintable(rig.bridge().log()));
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::sighupReloadsWhatChanged()
{
    // Two lines; the file read again drops controller 2 of line b: b restarts,
    // a goes on with its port and its polls, and Home Assistant loses b-2.
    BridgeRig rig;
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1});
    rig.addLine(QStringLiteral("b"), {1, 2});
    auto probe = rig.probe(QStringLiteral("#"));
    QVERIFY(probe);
    const QString head = rig.mqttSection(QStringLiteral("reload")) + QStringLiteral("[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1"));
    rig.bridge().writeConfig(head + rig.lineSection(QStringLiteral("b"), QStringLiteral("1,2")));
    QVERIFY(rig.bridge().start());
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/b-2/availability"), "online", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("homeassistant/sensor/reload/b-2_temperature/config"), BridgeRig::WaitMs));
    const QString before = rig.bridge().log();
    const qint64 pid = rig.bridge().pid();

    // A file the bridge would refuse: said, and nothing changes.
    rig.bridge().writeConfig(head + QStringLiteral("[line.b]\nbaud=300\n"));
    ::kill(pid_t(pid), SIGHUP);
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("the configuration is refused, the running one stays")));

    SimController a1 = rig.controller(QStringLiteral("a"), 1);
    a1.clearRequests();
    probe->clear();
    rig.bridge().writeConfig(head + rig.lineSection(QStringLiteral("b"), QStringLiteral("1")));
    ::kill(pid_t(pid), SIGHUP);
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("reloaded the configuration: line b restarted; kept: line a")));
    QVERIFY(
        probe->waitFor(QStringLiteral("homeassistant/sensor/reload/b-2_temperature/config"), "", BridgeRig::WaitMs));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/b-2/availability"), "offline", BridgeRig::WaitMs));
    // Line a kept its port (it was not opened again) and its polls went on; b is back.
    QVERIFY(a1.waitForRequests(a1.requests().size() + 5, BridgeRig::WaitMs));
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("line b: "), BridgeRig::WaitMs, before.size()));
    const QString after = rig.bridge().log().mid(before.size());
    QVERIFY2(!after.contains(QLatin1String("line a: ")), qPrintable(after));
    QVERIFY2(!after.contains(QLatin1String("a-1 (address 1): offline")), qPrintable(after));
    QCOMPARE(rig.bridge().terminate(), 0);
}

void TestBridgeResilience::lineBehindADeviceServer()
{
    // A line reached through a serial device server (the virtual line's own,
    // in TCP server mode): polled as a local one; when the server goes the
    // line is lost, and it is found again when the server is back.
    BridgeRig rig;
    rig.addLine(QStringLiteral("d"), {1});
    DeviceServer server;
    QString error;
    QVERIFY2(server.start(QStringLiteral("127.0.0.1:0"), rig.linePath(QStringLiteral("d")), 115200, &error),
        qPrintable(error));
    const QString url = server.url();
    rig.bridge().writeConfig(QStringLiteral("[mqtt]\nenabled=false\n[modbus_tcp]\nlisten=127.0.0.1:0\n"
                                            "[bridge]\npoll_interval_ms=100\n[line.d]\nport=%1\naddresses=1\n")
                                 .arg(url));
    QVERIFY(rig.bridge().start());
    QVERIFY2(rig.bridge().waitForLog(QStringLiteral("d-1 (address 1): online")), qPrintable(rig.bridge().log()));
    server.stop();
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("polling resumes when the port is back")));
    QVERIFY(rig.bridge().waitForLog(QStringLiteral("d-1 (address 1): offline")));
    const int from = rig.bridge().log().size();
    QVERIFY2(server.start(url.mid(6), rig.linePath(QStringLiteral("d")), 115200, &error), qPrintable(error));
    // The back-off between attempts grows while the server is away (up to 30 s).
    QVERIFY2(rig.bridge().waitForLog(QStringLiteral("d-1 (address 1): online"), 40000, from),
        qPrintable(rig.bridge().log()));
    QCOMPARE(rig.bridge().terminate(), 0);
}

QTEST_GUILESS_MAIN(TestBridgeResilience)
#include "tst_bridgeresilience.moc"
