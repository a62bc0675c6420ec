// The bridge's configuration as a user meets it: real INI files and command
// lines given to the real vortanix-bridge with --check. A bad value stops
// the start with exit status 1 and a message that names the file, section
// and key (or the option) and what is wrong; a good file is summed up.

#include "bridgeprocess.h"
#include "configloader.h"
#include "httpclient.h"
#include "reloadplan.h"
#include "testfiles.h"

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

class TestBridgeConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badConfigurationNamesItsKey_data();
    void badConfigurationNamesItsKey();
    void goodConfigurationIsSummedUp();
    void frontEndsAreSummedUp_data();
    void frontEndsAreSummedUp();
    void takenMetricsAddressStopsTheStart();
    void listenAddressServesItsClients_data();
    void listenAddressServesItsClients();
    void twoNamesOfOneDeviceAreOnePort_data();
    void twoNamesOfOneDeviceAreOnePort();
    void passwordIsNeverShown();
    void sampleConfigurationChecks();
    void configurationIsUtf8();
    void passwordOthersMayReadIsWarnedOf();
    void reloadPlans_data();
    void reloadPlans();

private:
    BridgeConfig loaded(const QByteArray &text);
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir folder;
};

namespace {

const QString lineA = QStringLiteral("[line.a]\nport=/dev/ttyUSB0\naddresses=1,7\n");

// Runs --check; the exit code and everything it printed.
int check(BridgeProcess &bridge, const QStringList &arguments, QString *output)
{
    if (!bridge.start(QStringList{QStringLiteral("--check")} + arguments))
        return -2;
    const int code = bridge.waitForExit();
    *output = bridge.log();
    return code;
}

} // namespace

QString TestBridgeConfig::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = folder.filePath(name);
    if (!::writeFile(path, content))
        qWarning("cannot write %s", qPrintable(path));
    return path;
}

void TestBridgeConfig::initTestCase()
{
    QVERIFY(folder.isValid());
    writeFile(QStringLiteral("empty-password"), "\n");
}

void TestBridgeConfig::badConfigurationNamesItsKey_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message"); // "bridge.ini" stands for the file's path; %1 is the folder
    QTest::addColumn<int>("exitCode"); // 2: wrong; 1: the file cannot be read at all

    // A file the bridge refuses, and its one message after "<file>: ".
    const auto bad = [](const char *name, const QString &ini, const QString &message) {
        QTest::newRow(name) << ini << QStringList() << "bridge.ini: " + message << 2;
    };
    // A command line it refuses, with `ini` as its file, and its message.
    const auto badRun = [](const char *name, const QString &ini, const QStringList &arguments, const QString &message) {
        QTest::newRow(name) << ini << arguments << message << 2;
    };
    // A file it cannot read.
    const auto unreadable = [](const char *name, const QString &ini, const QStringList &arguments,
                                const QString &message) { QTest::newRow(name) << ini << arguments << message << 1; };
    bad("unknown section", "[mqt]\nhost=x\n" + lineA,
        "unknown section [mqt] (sections: [mqtt], [bridge], [modbus_tcp], [http], [line.NAME])");
    bad("outside a section", "host=x\n" + lineA, "'host' stands outside any section");
    bad("unknown key", "[mqtt]\nporte=1883\n" + lineA, "[mqtt] porte: unknown key");
    bad("port out of range", "[mqtt]\nport=70000\n" + lineA, "[mqtt] port: 70000 is out of range 1..65535");
    bad("port not a number", "[mqtt]\nport=18 83\n" + lineA, "[mqtt] port: '18 83' is not a whole number");
    bad("client id", "[mqtt]\nclient_id=a b\n" + lineA, "[mqtt] client_id: 'a b' is not a name");
    bad("topic prefix wildcard", "[mqtt]\ntopic_prefix=plant/+/uv\n" + lineA,
        "[mqtt] topic_prefix: 'plant/+/uv' is not a topic prefix");
    bad("topic prefix empty level", "[mqtt]\ntopic_prefix=plant//uv\n" + lineA,
        "[mqtt] topic_prefix: 'plant//uv' is not a topic prefix");
    bad("discovery word", "[mqtt]\ndiscovery=maybe\n" + lineA, "[mqtt] discovery: 'maybe' is neither on nor off");
    bad("CA file missing", "[mqtt]\nca_file=/nonexistent/ca.crt\n" + lineA,
        "[mqtt] ca_file: '/nonexistent/ca.crt' is not a readable file");
    bad("interval too short", "[bridge]\npoll_interval_ms=5\n" + lineA,
        "[bridge] poll_interval_ms: 5 is out of range 10..");
    bad("read-only word", "[bridge]\nread_only=sometimes\n" + lineA,
        "[bridge] read_only: 'sometimes' is neither on nor off");
    bad("baud", "[line.a]\nport=/dev/ttyUSB0\nbaud=38400\naddresses=1\n",
        "[line.a] baud: '38400' is not a rate the controller runs at");
    bad("address 0", "[line.a]\nport=/dev/ttyUSB0\naddresses=0,5\n",
        "[line.a] addresses: '0,5' is not a list of addresses 1..254 and ranges (e.g. 1,7,200 or 1-4): 0 is out of "
        "range 1..254");
    bad("address 255", "[line.a]\nport=/dev/ttyUSB0\naddresses=1-3,255\n",
        "[line.a] addresses: '1-3,255' is not a list of addresses 1..254 and ranges");
    bad("port missing", "[line.a]\naddresses=1\n", "[line.a] port: missing");
    bad("addresses missing", "[line.a]\nport=/dev/ttyUSB0\n", "[line.a] addresses: missing");
    bad("port not a path", "[line.a]\nport=ttyUSB0\naddresses=1\n", "[line.a] port: 'ttyUSB0' is not a device path");
    bad("line name", "[line.a b]\nport=/dev/ttyUSB0\naddresses=1\n",
        "[line.a b]: the line's name: 'a b' is not a name");
    bad("unknown line key", lineA + "speed=9600\n", "[line.a] speed: unknown key");
    bad("no line", "[mqtt]\nhost=broker\n", "no line configured");
    bad("id of another address", lineA + "id.9=left\n", "[line.a] id.9: address 9 is not among the line's addresses");
    bad("id of another address, leading zero", lineA + "id.09=left\n",
        "[line.a] id.09: address 9 is not among the line's addresses");
    bad("id twice, two spellings", lineA + "id.7=left\nid.07=right\n",
        "[line.a] id.07: address 7 is given an id twice");
    bad("id not a name", lineA + "id.7=left/right\n", "[line.a] id.7: 'left/right' is not a name");
    bad("id twice", lineA + "id.7=a-1\n", "[line.a] id.7: the controller id a-1 is taken twice");
    bad("id reserved", lineA + "id.7=bridge\n", "[line.a] id.7: the id 'bridge' is reserved");
    bad("one port, two lines", lineA + "[line.b]\nport=/dev/ttyUSB0\naddresses=3\n",
        "[line.b] port: /dev/ttyUSB0 is the port of another line");
    bad("certificate without key", "[mqtt]\nca_file=%1/bridge.ini\ncert_file=%1/bridge.ini\n" + lineA,
        "[mqtt] cert_file: a client certificate needs");
    bad("password without user", "[mqtt]\npassword_file=%1/empty-password\n" + lineA,
        "[mqtt] password_file: a password needs a username");
    bad("empty password", "[mqtt]\nusername=u\npassword_file=%1/empty-password\n" + lineA,
        "[mqtt] password_file: %1/empty-password holds no password");
    // One meaning for every file: what QSettings would merge or decode is refused.
    bad("line twice", lineA + "[mqtt]\nhost=x\n[line.a]\nport=/dev/ttyUSB1\naddresses=2\n",
        "line 6: [line.a] is given twice (first on line 1)");
    bad("key twice", "[mqtt]\nhost=a\nport=1883\nhost=b\n" + lineA,
        "line 4: [mqtt] host is given twice (first on line 2)");
    bad("@Variant", "[line.a]\nport=@Variant(\\0\\0\\0\\n)\naddresses=1\n",
        "line 2: [line.a] port: a value starting with '@' (@Variant(...)");
    bad("escapes", "[mqtt]\nport=\\x31\\x38\\x38\\x33\n" + lineA,
        "line 2: [mqtt] port: '\\x31\\x38\\x38\\x33': a backslash");
    bad("continued line", "[line.a]\nport=/dev/tty\\\nUSB0\naddresses=1\n",
        "line 2: [line.a] port: a line continued by a trailing backslash");
    bad("subsection", "[line.a/b]\nport=/dev/ttyUSB0\naddresses=1\n",
        "line 1: [line.a/b]: '/' and '\\' in a section name");
    bad("a non-ASCII id", lineA + "id.1=ünï\n", "[line.a] id.1: 'ünï' is not a name");
    unreadable("too large", lineA + QString(256 * 1024, QLatin1Char('#')), {}, "bridge.ini: larger than 256 KiB");
    unreadable(
        "missing", lineA, {"--config", "%1/missing.ini"}, "%1/missing.ini: no such file (or not a regular file)");
    badRun("unknown option", lineA, {"--frobnicate"}, "Unknown option 'frobnicate'");
    badRun("option port", lineA, {"--port", "0"}, "--port: 0 is out of range 1..65535");
    badRun("option interval", lineA, {"--poll-interval", "fast"}, "--poll-interval: 'fast' is not a whole number");
    badRun("option line form", "", {"--line", "a:9600:1"}, "--line a:9600:1: not NAME:BAUD:ADDRESSES:PORT");
    badRun(
        "option line baud", "", {"--line", "a:4800:1:/dev/ttyS0"}, "--line a:4800:1:/dev/ttyS0: '4800' is not a rate");
    bad("metrics: port only", "[metrics]\nlisten=9848\n" + lineA, "[metrics] listen: '9848' is not ADDRESS:PORT");
    bad("metrics: host name", "[metrics]\nlisten=metrics.plant:9848\n" + lineA,
        "[metrics] listen: 'metrics.plant:9848' is not ADDRESS:PORT");
    bad("metrics: short IPv4", "[metrics]\nlisten=10.1:9848\n" + lineA,
        "[metrics] listen: '10.1:9848' is not ADDRESS:PORT");
    bad("metrics: IPv6 unbracketed", "[metrics]\nlisten=::1:9848\n" + lineA,
        "[metrics] listen: '::1:9848' is not ADDRESS:PORT");
    bad("metrics: port too large", "[metrics]\nlisten=127.0.0.1:65536\n" + lineA,
        "[metrics] listen: '127.0.0.1:65536' is not ADDRESS:PORT");
    bad("metrics: allow", "[metrics]\nlisten=127.0.0.1:9848\nallow=10.0.0.0/33\n" + lineA,
        "[metrics] allow: '10.0.0.0/33' is not an address or a network");
    bad("metrics: unknown key", "[metrics]\nport=9848\n" + lineA,
        "[metrics] port: unknown key (keys of this section: listen, allow)");
    badRun("option metrics", lineA, {"--metrics", "localhost"}, "--metrics: 'localhost' is not ADDRESS:PORT");
    bad("http: unknown key", "[http]\nport=9848\n" + lineA,
        "[http] port: unknown key (keys of this section: listen, allow)");
    bad("http: the old name too", "[http]\nlisten=127.0.0.1:9848\n[metrics]\nallow=10.0.0.1\n" + lineA,
        "[metrics]: [metrics] is the old name of [http]: write the keys in one of the two");
    badRun("option http", lineA, {"--http", "127.0.0.1"}, "--http: '127.0.0.1' is not ADDRESS:PORT");
    bad("MQTT word", "[mqtt]\nenabled=perhaps\n" + lineA, "[mqtt] enabled: 'perhaps' is neither on nor off");
    bad("nothing to serve", "[mqtt]\nenabled=false\n" + lineA, "nothing serves the lines: MQTT is off");
    badRun("nothing to serve, options", lineA, {"--no-mqtt"}, "nothing serves the lines");
    bad("listen without port", "[modbus_tcp]\nlisten=127.0.0.1\n" + lineA,
        "[modbus_tcp] listen: '127.0.0.1' is not ADDRESS:PORT");
    bad("listen on a name", "[modbus_tcp]\nlisten=plc.plant:1502\n" + lineA,
        "[modbus_tcp] listen: 'plc.plant:1502' is not ADDRESS:PORT");
    bad("listen port", "[modbus_tcp]\nlisten=127.0.0.1:65536\n" + lineA,
        "[modbus_tcp] listen: '127.0.0.1:65536' is not ADDRESS:PORT");
    badRun("option listen", lineA, {"--modbus-tcp", "1502"}, "--modbus-tcp: '1502' is not ADDRESS:PORT");
    bad("allow network", "[modbus_tcp]\nallow=192.168.1.0/33\n" + lineA,
        "[modbus_tcp] allow: '192.168.1.0/33' is not an address or a network");
    bad("idle 0", "[modbus_tcp]\nidle_timeout_s=0\n" + lineA,
        "[modbus_tcp] idle_timeout_s: 0 is out of range 1..86400");
    bad("unit 0", "[modbus_tcp]\nunit.0=a:1\n" + lineA, "[modbus_tcp] unit.0: the unit id 0 is out of range 1..247");
    bad("unit 248", "[modbus_tcp]\nunit.248=a:1\n" + lineA,
        "[modbus_tcp] unit.248: the unit id 248 is out of range 1..247");
    bad("id 255", lineA + "id.255=x\n", "[line.a] id.255: the address 255 is out of range 1..254");
    bad("unit target form", "[modbus_tcp]\nunit.3=a-1\n" + lineA, "[modbus_tcp] unit.3: 'a-1' is not LINE:ADDRESS");
    bad("unit of no controller", "[modbus_tcp]\nlisten=127.0.0.1:1502\nunit.3=a:2\n" + lineA,
        "[modbus_tcp] unit.3: no controller at address 2 on a line named a");
    bad("one unit id twice",
        "[modbus_tcp]\nlisten=127.0.0.1:1502\n" + lineA + "[line.b]\nport=/dev/ttyUSB1\naddresses=1\n",
        "[modbus_tcp] listen: unit id 1 would be both a-1 and b-1");
    bad("one controller, two units",
        "[modbus_tcp]\nlisten=127.0.0.1:1502\nunit.10=a:1\nunit.11=a:7\nunit.12=a:7\n" + lineA,
        "[modbus_tcp] unit.12: a:7 is unit 11 already; a controller has one unit id");
    bad("unit of another line", "[modbus_tcp]\nlisten=127.0.0.1:1502\nunit.3=b:1\n" + lineA,
        "[modbus_tcp] unit.3: no controller at address 1 on a line named b");
    bad("unknown gateway key", "[modbus_tcp]\nport=502\n" + lineA,
        "[modbus_tcp] port: unknown key (keys of this section: listen, allow, idle_timeout_s, unit.N)");
    bad("echo word", lineA + "echo=maybe\n", "[line.a] echo: 'maybe' is neither on nor off");
    bad("rs485 mode", lineA + "rs485=auto\n", "[line.a] rs485: 'auto' is not none, kernel or rts");
    bad("rts delay too long", lineA + "rs485=rts\nrts_delay_us=100001\n",
        "[line.a] rts_delay_us: 100001 is out of range 0..");
    bad("rts delay without a mode", lineA + "rts_delay_us=50\n",
        "[line.a] rts_delay_us: rts_delay_us is for rs485=kernel");
    bad("max age over an hour", lineA + "max_age_ms=3600001\n",
        "[line.a] max_age_ms: 3600001 is out of range 0..3600000");
    bad("verify maybe", lineA + "verify=maybe\n", "[line.a] verify: ");
    bad("offline polls at 0 s", lineA + "offline_poll_s=0\n", "[line.a] offline_poll_s: 0 is out of range 1..3600");
    bad("offline polls over an hour", lineA + "offline_poll_s=3601\n",
        "[line.a] offline_poll_s: 3601 is out of range 1..3600");
    badRun("option line key before the port", "", {"--line", "a:9600:1:rs485=hat:/dev/ttyS0"},
        "--line a:9600:1:rs485=hat:/dev/ttyS0: rs485: 'hat' is not none, kernel or rts");
    badRun("option line field without a key", "", {"--line", "a:9600:1:echo:/dev/ttyS0"},
        "--line a:9600:1:echo:/dev/ttyS0: 'echo' is not KEY=VALUE of a line key");
    badRun("option line baud as a key", "", {"--line", "a:9600:1:baud=19200:/dev/ttyS0"},
        "--line a:9600:1:baud=19200:/dev/ttyS0: 'baud=19200' is not KEY=VALUE of a line key");
    bad("device server without its port", "[line.a]\nport=tcp://10.0.0.5\naddresses=1\n",
        "[line.a] port: 'tcp://10.0.0.5' is not tcp://HOST:PORT");
    badRun("option line rs485 at a device server", "", {"--line", "a:9600:1:rs485=rts:tcp://[fd00::5]:4001"},
        "--line a:9600:1:rs485=rts:tcp://[fd00::5]:4001: rs485=rts needs a serial port of this machine");
    badRun("stray argument", lineA, {"start"}, "unexpected argument 'start'");
}

void TestBridgeConfig::badConfigurationNamesItsKey()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QFETCH(int, exitCode);
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(QString(ini).replace(QLatin1String("%1"), folder.path()));
    for (QString &argument : arguments)
        argument.replace(QLatin1String("%1"), folder.path());
    QString output;
    QCOMPARE(check(bridge, arguments, &output), exitCode);
    // The file is named by its path.
    const QString expected = QString(message)
                                 .replace(QLatin1String("%1"), folder.path())
                                 .replace(QLatin1String("bridge.ini:"), folder.filePath(QStringLiteral("bridge.ini:")));
    QVERIFY2(output.contains(expected), qPrintable(QStringLiteral("expected: %1\noutput: %2").arg(expected, output)));
    QVERIFY2(output.count(QLatin1Char('\n')) == 1, qPrintable(output)); // one message, no summary
}

// Lines whose ports are two names of one device would both open it.
// %1 is the folder, which holds the links of linkDevices().
void TestBridgeConfig::twoNamesOfOneDeviceAreOnePort_data()
{
    QTest::addColumn<QString>("portA");
    QTest::addColumn<QString>("portB");
    QTest::addColumn<bool>("refused");
    QTest::newRow("a link and its device") << "%1/null"
                                           << "/dev/null" << true;
    QTest::newRow("two links to one device") << "%1/null"
                                             << "%1/null2" << true;
    QTest::newRow("the device through a dotted path") << "/dev/null"
                                                      << "/dev/../dev/./null" << true;
    QTest::newRow("links to two devices") << "%1/null"
                                          << "%1/zero" << false;
    QTest::newRow("two adapters not plugged in") << "/nonexistent/by-id/usb-A"
                                                 << "/nonexistent/by-id/usb-B" << false;
    QTest::newRow("one device server") << "tcp://Server:4001"
                                       << "tcp://server:4001" << true;
    QTest::newRow("two ports of a device server") << "tcp://server:4001"
                                                  << "tcp://server:4002" << false;
}

void TestBridgeConfig::twoNamesOfOneDeviceAreOnePort()
{
    QFETCH(QString, portA);
    QFETCH(QString, portB);
    QFETCH(bool, refused);
    QVERIFY(linkDevices(folder.path()));
    portA.replace(QLatin1String("%1"), folder.path());
    portB.replace(QLatin1String("%1"), folder.path());
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(
        QStringLiteral("[line.a]\nport=%1\naddresses=1\n[line.b]\nport=%2\naddresses=2\n").arg(portA, portB));
    QString output;
    QCOMPARE(check(bridge, {}, &output), refused ? 2 : 0);
    if (refused) {
        const QString expected
            = QStringLiteral("[line.b] port: %1 is the port of another line as well (named there %2: one device)")
                  .arg(portB, portA);
        QVERIFY2(output.contains(expected), qPrintable(output));
    }
}

void TestBridgeConfig::goodConfigurationIsSummedUp()
{
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(QStringLiteral("# a comment\n[mqtt]\nhost=broker.plant\nclient_id=hall\ntopic_prefix=plant/uv\n"
                                      "[bridge]\npoll_interval_ms=250\nread_only=yes\n"
                                      "[line.hall1]\nport=/dev/serial/by-id/usb-FTDI_X-if00-port0\nbaud=19200\n"
                                      "addresses=1, 7, 200\n#addresses=9\n; baud=9600\nid.200=press-left\n"
                                      "[line.hall2]\nport=/dev/ttyUSB1\naddresses=4, 3 - 4\ntimeout_ms=100\n"));
    QString output;
    QCOMPARE(check(bridge, {"--port", "8884"}, &output), 0);
    const QStringList expected{"broker broker.plant:8884 as hall", "topics plant/uv/<id>/..., discovery homeassistant",
        "poll every 250 ms, read-only", "line hall1: /dev/serial/by-id/usb-FTDI_X-if00-port0 at 19200 baud",
        "  hall1-1: address 1", "  hall1-7: address 7", "  press-left: address 200",
        "line hall2: /dev/ttyUSB1 at 115200 baud", "  hall2-3: address 3", "  hall2-4: address 4"};
    QCOMPARE(output.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);

    // Lines from the command line replace the file's.
    QCOMPARE(check(bridge, {"--line", "x:9600:5:/dev/serial/by-path/pci-0:1.0"}, &output), 0);
    QVERIFY2(output.contains(QLatin1String("line x: /dev/serial/by-path/pci-0:1.0 at 9600 baud\n  x-5: address 5\n")),
        qPrintable(output));
    QVERIFY2(!output.contains(QLatin1String("hall1")), qPrintable(output));

    // The RS-485 keys, in the file and before the port of --line.
    bridge.writeConfig(QStringLiteral("[line.hat]\nport=/dev/ttyAMA0\naddresses=1\necho=yes\nrs485=kernel\n"
                                      "rts_delay_us=250\n"));
    QCOMPARE(check(bridge, {}, &output), 0);
    QVERIFY2(output.contains(QLatin1String("line hat: /dev/ttyAMA0 at 115200 baud\n  echo checked and dropped, "
                                           "rs485 kernel, RTS delay 250 us\n")),
        qPrintable(output));
    QCOMPARE(check(bridge, {"--line", "b:19200:2:rs485=rts:echo=false:/dev/a:b"}, &output), 0);
    QVERIFY2(output.contains(QLatin1String("line b: /dev/a:b at 19200 baud\n  echo none, rs485 rts, RTS delay 0 us\n")),
        qPrintable(output));
}

// The front-ends other than MQTT, from the file and from the options: the
// whole summary, line by line.
void TestBridgeConfig::frontEndsAreSummedUp_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("summary");

    const QString lineSummary = "poll every 500 ms\nline a: /dev/ttyUSB0 at 115200 baud\n  a-1: address 1\n"
                                "  a-7: address 7\n";
    const QString lineB = "[line.b]\nport=/dev/ttyUSB1\naddresses=1\n";
    QTest::newRow("metrics alone")
        << "[mqtt]\nenabled=false\n[metrics]\nlisten=[::1]:9848\nallow=::1, 10.0.0.0/8\n" + lineA << QStringList()
        << "MQTT off\nstatus page http://[::1]:9848/, metrics http://[::1]:9848/metrics for clients from ::1/128, "
           "10.0.0.0/8\n"
            + lineSummary;
    QTest::newRow("http alone") << "[mqtt]\nenabled=false\n[http]\nlisten=127.0.0.1:80\n" + lineA << QStringList()
                                << "MQTT off\nstatus page http://127.0.0.1:80/, metrics http://127.0.0.1:80/metrics "
                                   "for clients from 127.0.0.0/8, ::1/128\n"
            + lineSummary;
    // Loopback only by default; no broker.
    QTest::newRow("metrics by option") << lineA << QStringList{"--no-mqtt", "--metrics", "0.0.0.0:9100"}
                                       << "MQTT off\nstatus page http://0.0.0.0:9100/, metrics "
                                          "http://0.0.0.0:9100/metrics for clients from 127.0.0.0/8, ::1/128\n"
            + lineSummary;
    QTest::newRow("gateway with units")
        << "[mqtt]\nenabled=no\n[modbus_tcp]\nlisten=0.0.0.0:502\nallow=192.168.10.0/24, 10.1.2.3\n"
           "idle_timeout_s=30\nunit.1=a:1\nunit.2=a:7\nunit.11=b:1\n"
            + lineA + lineB
        << QStringList()
        << "MQTT off\nModbus TCP on 0.0.0.0 port 502, clients from 192.168.10.0/24, 10.1.2.3/32, idle connections "
           "close after 30 s\n  unit 1: a-1\n  unit 2: a-7\n  unit 11: b-1\n"
            + lineSummary + "line b: /dev/ttyUSB1 at 115200 baud\n  b-1: address 1\n";
    // The option turns the gateway on beside MQTT; each controller is the unit of its address.
    QTest::newRow("gateway by option")
        << "[mqtt]\nclient_id=plant\n" + lineA + lineB
        << QStringList{"--line", "x:9600:5,9:/dev/ttyS0", "--modbus-tcp", "[::1]:1502"}
        << "broker localhost:1883 as plant\ntopics vortanix/<id>/..., discovery homeassistant\n"
           "Modbus TCP on ::1 port 1502, clients from 127.0.0.0/8, ::1/128, idle connections close after 60 s\n"
           "  unit 5: x-5\n  unit 9: x-9\npoll every 500 ms\nline x: /dev/ttyS0 at 9600 baud\n  x-5: address 5\n"
           "  x-9: address 9\n";
}

void TestBridgeConfig::frontEndsAreSummedUp()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, arguments);
    QFETCH(QString, summary);
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(ini);
    QString output;
    QCOMPARE(check(bridge, arguments, &output), 0);
    QCOMPARE(output, summary);
}

void TestBridgeConfig::takenMetricsAddressStopsTheStart()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(QStringLiteral("[metrics]\nlisten=127.0.0.1:%1\n").arg(taken.serverPort()) + lineA);
    QVERIFY(bridge.start());
    QCOMPARE(bridge.waitForExit(), 9);
    QVERIFY2(
        bridge.log().contains(QStringLiteral("http: cannot listen on 127.0.0.1 port %1: ").arg(taken.serverPort())),
        qPrintable(bridge.log()));
    QVERIFY2(!bridge.log().contains(QLatin1String("line a")), qPrintable(bridge.log())); // no port was opened
}

// What --check takes, a start serves: [::] is IPv6 and IPv4, as the
// system's own services listen; an IPv4 address written as IPv6 is that
// IPv4 address.
void TestBridgeConfig::listenAddressServesItsClients_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("client");
    QTest::newRow("[::], an IPv4 client") << "[::]:0"
                                          << "127.0.0.1";
    QTest::newRow("[::], an IPv6 client") << "[::]:0"
                                          << "::1";
    QTest::newRow("IPv4 written as IPv6") << "[::ffff:127.0.0.1]:0"
                                          << "127.0.0.1";
}

void TestBridgeConfig::listenAddressServesItsClients()
{
    QFETCH(QString, listen);
    QFETCH(QString, client);
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(lineA);
    QString output;
    QCOMPARE(check(bridge, {"--no-mqtt", "--metrics", listen}, &output), 0);
    QVERIFY(bridge.start({"--no-mqtt", "--metrics", listen}));
    const int port = bridge.metricsPort();
    QVERIFY2(port > 0, qPrintable(bridge.log()));
    QCOMPARE(HttpClient::send(quint16(port), "GET /metrics HTTP/1.1\r\n\r\n", QHostAddress(client)).status, 200);
    QCOMPARE(bridge.terminate(), 0);
}

void TestBridgeConfig::passwordIsNeverShown()
{
    const QString password = QStringLiteral("s3cret-Pa55");
    writeFile(QStringLiteral("password"), password.toUtf8() + "\n");
    BridgeProcess bridge(folder.path());
    const QString mqtt = QStringLiteral("[mqtt]\nusername=plant\npassword_file=%1/password\n").arg(folder.path());
    QString output;
    bridge.writeConfig(mqtt + lineA);
    QCOMPARE(check(bridge, {}, &output), 0);
    QVERIFY(!output.contains(password));
    bridge.writeConfig(mqtt + QStringLiteral("topic_prefix=a b\n") + lineA);
    QCOMPARE(check(bridge, {}, &output), 2);
    QVERIFY2(output.contains(QLatin1String("[mqtt] topic_prefix")), qPrintable(output));
    QVERIFY(!output.contains(password));
}

void TestBridgeConfig::sampleConfigurationChecks()
{
    BridgeProcess bridge(folder.path());
    QVERIFY(bridge.start({"--check", "--config", BridgeProcess::sampleConfig()}));
    QCOMPARE(bridge.waitForExit(), 0);
    QVERIFY2(bridge.log().contains(QLatin1String("line ")), qPrintable(bridge.log()));
}

// Names as written: a port with an umlaut is that port, not its Latin-1
// reading; a file in another encoding is refused by line.
void TestBridgeConfig::configurationIsUtf8()
{
    BridgeProcess bridge(folder.path());
    const QString ini
        = bridge.writeConfig(QStringLiteral("[mqtt]\nusername=André\n[line.a]\nport=/dev/ttyÜ\naddresses=1\n"));
    QString output;
    QCOMPARE(check(bridge, {}, &output), 0);
    QVERIFY2(output.contains(QStringLiteral("line a: /dev/ttyÜ at 115200 baud")), qPrintable(output));

    QVERIFY(::writeFile(ini, QByteArray("[line.a]\n# a comment\nport=/dev/tty\xDC\naddresses=1\n")));
    QCOMPARE(check(bridge, {}, &output), 2);
    QVERIFY2(
        output.contains(ini + QStringLiteral(": line 3: not UTF-8 text; save the file as UTF-8")), qPrintable(output));
}

void TestBridgeConfig::passwordOthersMayReadIsWarnedOf()
{
    const QString passwordFile = writeFile(QStringLiteral("shared-password"), "s3cret\n");
    BridgeProcess bridge(folder.path());
    bridge.writeConfig(QStringLiteral("[mqtt]\nusername=plant\npassword_file=%1\n").arg(passwordFile) + lineA);
    const struct
    {
        QFileDevice::Permissions mode;
        bool warned;
    } cases[]
        = {{QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther, true},
            {QFileDevice::ReadOwner | QFileDevice::ReadGroup, true},
            {QFileDevice::ReadOwner | QFileDevice::WriteOwner, false}};
    for (const auto &each : cases) {
        QVERIFY(QFile::setPermissions(passwordFile, each.mode));
        QString output;
        QCOMPARE(check(bridge, {}, &output), 0); // taken all the same
        const QString warning = QStringLiteral("warning: %1 may be read by other users than its owner; "
                                               "let only the bridge's user read it: chmod 600 %1")
                                    .arg(passwordFile);
        QVERIFY2(output.contains(warning) == each.warned, qPrintable(output));
        QVERIFY(!output.contains(QLatin1String("s3cret")));
    }
}

BridgeConfig TestBridgeConfig::loaded(const QByteArray &text)
{
    ConfigLoader loader;
    const bool ok = loader.readFile(writeFile(QStringLiteral("reload.ini"), text)) && loader.finish();
    if (!ok)
        qWarning("%s", qPrintable(loader.error()));
    return loader.config();
}

void TestBridgeConfig::reloadPlans_data()
{
    // What a file read again changes of the running one: each row names the
    // lines restarted, added, removed and kept, the controllers gone, and the
    // front-ends that restart (m: MQTT, g: Modbus TCP, p: metrics).
    QTest::addColumn<QByteArray>("running");
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("removedControllers");
    const QByteArray a = "[line.a]\nport=/dev/ttyUSB0\naddresses=1,7\n";
    const QByteArray b = "[line.b]\nport=/dev/ttyUSB1\naddresses=2\n";
    const QByteArray gateway = "[modbus_tcp]\nlisten=127.0.0.1:1502\n";
    QTest::newRow("the same") << a + b << b + a << "kept: line a, line b" << QStringList();
    QTest::newRow("a rate") << a + b << a + b + "baud=9600\n"
                            << "line b restarted; kept: line a" << QStringList();
    QTest::newRow("a controller added") << a + b << a + QByteArray(b).replace("addresses=2", "addresses=2,3")
                                        << "line b restarted; kept: line a" << QStringList();
    QTest::newRow("a controller's id") << a + b << a + b + "id.2=press\n"
                                       << "line b restarted; kept: line a" << QStringList{"b-2"};
    QTest::newRow("a line added") << a << a + b << "line b added; kept: line a" << QStringList();
    QTest::newRow("a line removed") << a + b << b << "line a removed; kept: line b" << QStringList{"a-1", "a-7"};
    QTest::newRow("the poll interval") << a + b << "[bridge]\npoll_interval_ms=250\n" + a + b
                                       << "line a restarted; line b restarted" << QStringList();
    QTest::newRow("read back off") << a << a + "verify=no\n"
                                   << "line a restarted" << QStringList();
    QTest::newRow("the broker") << a << "[mqtt]\nhost=broker.plant\n" + a << "MQTT restarted; kept: line a"
                                << QStringList();
    QTest::newRow("read-only") << gateway + a << gateway + "[bridge]\nread_only=true\n" + a
                               << "MQTT restarted; Modbus TCP restarted; kept: line a" << QStringList();
    QTest::newRow("the gateway's address") << gateway + a << "[modbus_tcp]\nlisten=127.0.0.1:1503\n" + a
                                           << "Modbus TCP restarted; kept: line a" << QStringList();
    QTest::newRow("a unit added") << gateway + a << gateway + a + b << "line b added; kept: line a" << QStringList();
    QTest::newRow("the metrics' allow") << "[metrics]\nlisten=127.0.0.1:9848\n" + a
                                        << "[metrics]\nlisten=127.0.0.1:9848\nallow=10.0.0.0/8\n" + a
                                        << "HTTP restarted; kept: line a" << QStringList();
}

void TestBridgeConfig::reloadPlans()
{
    QFETCH(QByteArray, running);
    QFETCH(QByteArray, next);
    QFETCH(QString, summary);
    QFETCH(QStringList, removedControllers);
    const ReloadPlan plan = ReloadPlan::between(loaded(running), loaded(next));
    QCOMPARE(plan.summary(), summary);
    QCOMPARE(plan.removedControllers, removedControllers);
    QCOMPARE(plan.changesAnything(), !summary.startsWith(QLatin1String("kept")));
}

QTEST_GUILESS_MAIN(TestBridgeConfig)
#include "tst_bridgeconfig.moc"
