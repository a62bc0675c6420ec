// What a command's payload turns into before anything goes on the line: the
// module lists people write (the library's ValueText, which vortanix-ctl
// shares), the configuration block as JSON, and every command of the bridge
// with its checks. Tables of accepted and refused
// payloads; the bridge's suites then show the same on a real broker.

#include "command.h"
#include "configjson.h"
#include "discovery.h"
#include "registers.h"
#include "statusjson.h"
#include "topics.h"
#include "valuetext.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestBridgePayloads : public QObject
{
    Q_OBJECT

private slots:
    void moduleLists_data();
    void moduleLists();
    void moduleListsRefused_data();
    void moduleListsRefused();
    void moduleRanges();
    void configJson_data();
    void configJson();
    void configJsonReadsWhatItWrites();
    void commands_data();
    void commands();
    void commandsRefused_data();
    void commandsRefused();
    void commandTopics();
    void discoveryIdsFollowThePrefix();
};

void TestBridgePayloads::moduleLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("mask");
    QTest::newRow("one") << "1" << 0x001;
    QTest::newRow("list and range") << "1,2,5-8" << 0x0F3;
    QTest::newRow("out of order") << "12,3" << 0x804;
    QTest::newRow("range of one") << "7-7" << 0x040;
    QTest::newRow("overlapping") << "1-3,2-4" << 0x00F;
    QTest::newRow("all") << "all" << 0xFFF;
    QTest::newRow("none") << "none" << 0;
}

void TestBridgePayloads::moduleLists()
{
    QFETCH(QString, text);
    QFETCH(int, mask);
    quint16 parsed = 0xFFFF;
    QString error;
    QVERIFY2(ValueText::modules(text, &parsed, &error), qPrintable(error));
    QCOMPARE(int(parsed), mask);
}

void TestBridgePayloads::moduleListsRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::newRow("empty") << ""
                           << "is not a list of numbers 1..12";
    QTest::newRow("zero") << "0"
                          << "0 is out of range 1..12";
    QTest::newRow("thirteen") << "1,13"
                              << "13 is out of range 1..12";
    QTest::newRow("descending") << "8-5"
                                << "the range 8-5 runs backwards";
    QTest::newRow("open range") << "5-"
                                << "is not a list of numbers";
    QTest::newRow("sign") << "+3"
                          << "'+3' is not a whole number";
    QTest::newRow("empty item") << "1,,2"
                                << "is not a list of numbers";
    QTest::newRow("word") << "some"
                          << "'some' is not a whole number";
    QTest::newRow("blank") << "1, 2"
                           << "' 2' is not a whole number";
    QTest::newRow("upper case") << "ALL"
                                << "'ALL' is not a whole number";
}

void TestBridgePayloads::moduleListsRefused()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    quint16 mask = 0x1234;
    QString why;
    QVERIFY(!ValueText::modules(text, &mask, &why));
    QVERIFY2(why.startsWith(QLatin1String("modules: ")) && why.contains(error), qPrintable(why));
    QVERIFY2(why.endsWith(QLatin1String(", or all, or none")), qPrintable(why));
    QCOMPARE(int(mask), 0x1234);
}

void TestBridgePayloads::moduleRanges()
{
    QCOMPARE(ValueText::ranges(StatusJson::modules(0x0F3)), QStringLiteral("1 2 5-8"));
    QCOMPARE(ValueText::ranges(StatusJson::modules(0xFFF)), QStringLiteral("1-12"));
    QCOMPARE(ValueText::ranges(StatusJson::modules(0x805)), QStringLiteral("1 3 12"));
    QCOMPARE(ValueText::ranges({}), QStringLiteral("none"));
}

void TestBridgePayloads::configJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error"); // empty: accepted
    const QByteArray good = R"({"modules_enabled":[1,2,3],"modules_low_power":[],"max_dac":3500,)"
                            R"("compensation_hours":100,"alarm_c":25.3})";
    QTest::newRow("good") << good << "";
    QTest::newRow("dac low") << QByteArray(good).replace("3500", "2799") << "max_dac";
    QTest::newRow("dac high") << QByteArray(good).replace("3500", "3981") << "max_dac";
    QTest::newRow("dac fraction") << QByteArray(good).replace("3500", "3500.5") << "max_dac";
    QTest::newRow("dac as text") << QByteArray(good).replace("3500", "\"3500\"") << "max_dac";
    QTest::newRow("hours over") << QByteArray(good).replace(":100,", ":1193047,") << "compensation_hours";
    QTest::newRow("hours negative") << QByteArray(good).replace(":100,", ":-1,") << "compensation_hours";
    QTest::newRow("two decimals") << QByteArray(good).replace("25.3", "25.35") << "alarm_c";
    QTest::newRow("alarm over") << QByteArray(good).replace("25.3", "6553.6") << "alarm_c";
    QTest::newRow("module 1e10") << QByteArray(good).replace("[1,2,3]", "[1e10]") << "modules_enabled";
    QTest::newRow("module 13") << QByteArray(good).replace("[1,2,3]", "[1,13]") << "modules_enabled";
    QTest::newRow("modules as text") << QByteArray(good).replace("[]", "\"1-3\"") << "modules_low_power";
    QTest::newRow("key missing") << QByteArray(good).replace("\"max_dac\":3500,", "")
                                 << "max_dac: missing, it is not a whole number";
    QTest::newRow("key misspelt") << QByteArray(good).replace("\"max_dac\"", "\"maxdac\"")
                                  << "unknown key 'maxdac' (keys: modules_enabled";
    QTest::newRow("key unknown") << QByteArray(good).replace("{", "{\"reset\":true,") << "unknown key 'reset'";
    QTest::newRow("seconds not the hours") << QByteArray(good).replace("}", ",\"compensation_seconds\":360001}")
                                           << "compensation_seconds: 360001 is not compensation_hours in seconds "
                                              "(360000)";
    QTest::newRow("seconds that are the hours")
        << QByteArray(good).replace("}", ",\"compensation_seconds\":360000}") << "";
    // Numbers as they were sent, never rounded to six digits.
    QTest::newRow("module 2^32-1") << QByteArray(good).replace("[1,2,3]", "[4294967295]")
                                   << "modules_enabled: a module number is 1..12; the list holds 4294967295";
    QTest::newRow("module next to 1") << QByteArray(good).replace("[1,2,3]", "[1.0000000000000002]")
                                      << "modules_enabled: a module number is 1..12; the list holds 1.0000000000000002";
    QTest::newRow("module as text") << QByteArray(good).replace("[1,2,3]", "[\"1\"]")
                                    << "modules_enabled: a module number is 1..12; the list holds \"1\"";
    QTest::newRow("hours 2^32-1") << QByteArray(good).replace(":100,", ":4294967295,")
                                  << "compensation_hours: 4294967295 is not a whole number from 0 to 1193046";
    QTest::newRow("dac 0.1") << QByteArray(good).replace("3500", "0.1")
                             << "max_dac: 0.1 is not a whole number from 2800 to 3980";
    QTest::newRow("alarm 1e300") << QByteArray(good).replace("25.3", "1e300")
                                 << "alarm_c: 1e+300 is not degrees from 0 to 6553.5";
}

void TestBridgePayloads::configJson()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    ConfigBlock block;
    block.ldMaxDac = 1;
    QString why;
    const bool ok = ConfigJson::fromJson(QJsonDocument::fromJson(json).object(), &block, &why);
    QCOMPARE(ok, error.isEmpty());
    if (!ok) {
        QVERIFY2(why.startsWith(error), qPrintable(why));
        QCOMPARE(int(block.ldMaxDac), 1);
        return;
    }
    QCOMPARE(int(block.ldMask), 0x007);
    QCOMPARE(int(block.lowPowerMask), 0);
    QCOMPARE(int(block.ldMaxDac), 3500);
    QCOMPARE(block.compensationSeconds, quint32(360000));
    QCOMPARE(int(block.alarmTenths), 253); // exactly, though 25.3 has no exact binary form
}

void TestBridgePayloads::configJsonReadsWhatItWrites()
{
    ConfigBlock block = ConfigBlock::factory();
    block.lowPowerMask = 0x0A5;
    block.alarmTenths = 7;
    block.compensationSeconds = 7200;
    const QJsonObject json = ConfigJson::toJson(block);
    QCOMPARE(json.value(QStringLiteral("compensation_seconds")).toInt(), 7200);
    QCOMPARE(json.value(QStringLiteral("alarm_c")).toDouble(), 0.7);
    ConfigBlock back;
    QString error;
    QVERIFY2(ConfigJson::fromJson(json, &back, &error), qPrintable(error));
    QVERIFY(back == block);
}

void TestBridgePayloads::commands_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("value");
    const int write = Command::WriteRegister;
    QTest::newRow("power") << "power" << QByteArray("650") << write << int(RegPowerPermille) << 650;
    QTest::newRow("power with zero fraction")
        << "power" << QByteArray(" 650.0\n") << write << int(RegPowerPermille) << 650;
    QTest::newRow("power 0") << "power" << QByteArray("0") << write << int(RegPowerPermille) << 0;
    QTest::newRow("power 1000") << "power" << QByteArray("1000") << write << int(RegPowerPermille) << 1000;
    QTest::newRow("millivolts 735") << "power_mv" << QByteArray("735") << write << int(RegPowerPermille) << 149;
    QTest::newRow("millivolts 3200") << "power_mv" << QByteArray("3200") << write << int(RegPowerPermille) << 1000;
    QTest::newRow("switch list") << "switch" << QByteArray("1,2,5-8") << write << int(RegLdSwitchMask) << 0x0F3;
    QTest::newRow("switch JSON") << "switch" << QByteArray("[2, 12]") << write << int(RegLdSwitchMask) << 0x802;
    QTest::newRow("switch none") << "switch" << QByteArray("none") << write << int(RegLdSwitchMask) << 0;
    QTest::newRow("enable all") << "enable" << QByteArray("all") << write << int(RegLdEnableMask) << 0xFFF;
    QTest::newRow("adc on") << "adc" << QByteArray("ON") << write << int(RegAdcEnable) << 1;
    QTest::newRow("adc false") << "adc" << QByteArray("false") << write << int(RegAdcEnable) << 0;
    QTest::newRow("adc yes") << "adc" << QByteArray("Yes") << write << int(RegAdcEnable) << 1;
    QTest::newRow("dac") << "dac" << QByteArray("2800") << write << int(RegMaxPowerDac) << 2800;
    QTest::newRow("module on") << "module_12" << QByteArray("on") << int(Command::SwitchModule) << 0 << 12;
    QTest::newRow("config read") << "config" << QByteArray("read") << int(Command::ReadConfig) << 0 << 0;
    QTest::newRow("config factory") << "config" << QByteArray("factory") << int(Command::WriteConfig) << 0 << 0;
}

void TestBridgePayloads::commands()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, payload);
    QFETCH(int, kind);
    QFETCH(int, reg);
    QFETCH(int, value);
    Command command;
    QString error;
    QVERIFY2(Command::parse(name, payload, &command, &error), qPrintable(error));
    QCOMPARE(int(command.kind), kind);
    QCOMPARE(command.name, name);
    QCOMPARE(command.payload, QString::fromUtf8(payload).trimmed());
    if (kind == Command::WriteRegister) {
        QCOMPARE(int(command.reg), reg);
        QCOMPARE(int(command.value), value);
    } else if (kind == Command::SwitchModule) {
        QCOMPARE(command.module, value);
        QVERIFY(command.on);
    } else if (kind == Command::WriteConfig) {
        QVERIFY(command.block == ConfigBlock::factory());
    }
}

void TestBridgePayloads::commandsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error");
    QTest::newRow("power over") << "power" << QByteArray("1001") << "power: 1001 is out of range 0..1000";
    QTest::newRow("power negative") << "power" << QByteArray("-1") << "'-1' is not a whole number 0..1000";
    QTest::newRow("power fraction") << "power" << QByteArray("650.5") << "whole number";
    QTest::newRow("power text") << "power" << QByteArray("half") << "whole number";
    QTest::newRow("power empty") << "power" << QByteArray("") << "whole number";
    QTest::newRow("power exponent") << "power" << QByteArray("6.5e2") << "whole number";
    QTest::newRow("millivolts over") << "power_mv" << QByteArray("3201") << "out of range 0..3200";
    QTest::newRow("dac under") << "dac" << QByteArray("2799") << "out of range 2800..3980";
    QTest::newRow("dac over") << "dac" << QByteArray("3981") << "out of range 2800..3980";
    QTest::newRow("switch 13") << "switch" << QByteArray("13") << "13 is out of range 1..12";
    QTest::newRow("switch JSON 0") << "switch" << QByteArray("[0]") << "1..12";
    QTest::newRow("switch broken JSON") << "switch" << QByteArray("[1,") << "JSON list";
    QTest::newRow("switch JSON with more after it") << "switch" << QByteArray(R"([1],"m":[12])") << "JSON list";
    QTest::newRow("switch JSON object") << "switch" << QByteArray(R"([{"a":[1],"a":[2]}])") << "JSON list";
    QTest::newRow("enable empty") << "enable" << QByteArray(" ") << "is not a list of numbers";
    QTest::newRow("adc maybe") << "adc" << QByteArray("maybe") << "neither on nor off";
    QTest::newRow("module 13") << "module_13" << QByteArray("ON") << "unknown command";
    QTest::newRow("module 01") << "module_01" << QByteArray("ON") << "unknown command";
    QTest::newRow("module 0") << "module_0" << QByteArray("ON") << "unknown command";
    QTest::newRow("module 2 level") << "module_2" << QByteArray("2") << "neither on nor off";
    QTest::newRow("config other") << "config" << QByteArray("write") << "not read, factory or a JSON object";
    QTest::newRow("config bad key") << "config" << QByteArray(R"({"max_dac":3000})") << "modules_enabled";
    // QJsonDocument would keep the last of two keys: the sender meant one of them.
    const QByteArray block = R"({"modules_enabled":[1],"modules_low_power":[],"max_dac":3500,)"
                             R"("compensation_hours":100,"alarm_c":25.3})";
    QTest::newRow("config key twice") << "config" << QByteArray(block).replace("}", R"(,"max_dac":2900})")
                                      << "the key 'max_dac' is given twice";
    QTest::newRow("config key twice, escaped")
        << "config" << QByteArray(block).replace("}", R"(,"max\u005fdac":2900})") << "the key 'max_dac' is given twice";
    QTest::newRow("config key twice inside")
        << "config" << QByteArray(block).replace("[1]", R"([{"a":1,"b":[{}],"a":2}])") << "the key 'a' is given twice";
    QTest::newRow("config keys alike up to a NUL")
        << "config" << QByteArray(block).replace("[1]", QByteArray("[{\"a\0b\":[1],\"a\0c\":2}]", 21)) << "NUL byte";
    QTest::newRow("NUL after a number") << "power" << QByteArray("5\0", 2) << "NUL byte";
    QTest::newRow("unknown") << "reset" << QByteArray("1") << "unknown command 'reset'";
    QTest::newRow("not UTF-8") << "power" << QByteArray("\xff\xfe") << "not UTF-8";
    QTest::newRow("too long") << "switch" << QByteArray(5000, '1') << "at most 4096 bytes";
}

void TestBridgePayloads::commandsRefused()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    Command command;
    command.value = 4321;
    QString why;
    QVERIFY(!Command::parse(name, payload, &command, &why));
    QVERIFY2(why.contains(error), qPrintable(why));
    QCOMPARE(int(command.value), 4321);
}

void TestBridgePayloads::commandTopics()
{
    const Topics topics(QStringLiteral("plant/uv"), QStringLiteral("ha"), QStringLiteral("bridge-1"));
    QString id;
    QString name;
    QVERIFY(topics.parseCommand(topics.command(QStringLiteral("hall1-7"), QStringLiteral("power")), &id, &name));
    QCOMPARE(id, QStringLiteral("hall1-7"));
    QCOMPARE(name, QStringLiteral("power"));
    for (const QString &other : {QStringLiteral("plant/uv/hall1-7/state"), QStringLiteral("plant/uv/hall1-7/set"),
             QStringLiteral("plant/uv/hall1-7/set/power/x"), QStringLiteral("plant/uvx/hall1-7/set/power"),
             QStringLiteral("other/hall1-7/set/power")})
        QVERIFY2(!topics.parseCommand(other, &id, &name), qPrintable(other));
    QVERIFY(topics.isDiscovery(topics.discovery(QStringLiteral("switch"), QStringLiteral("hall1-7_module_1"))));
    QVERIFY(!topics.isDiscovery(QStringLiteral("ha/switch/bridge-2/hall1-7_module_1/config")));
    QVERIFY(!topics.isDiscovery(QStringLiteral("ha/switch/hall1-7_module_1/config")));
    QVERIFY(!topics.isDiscovery(QStringLiteral("hax/switch/bridge-1/hall1-7_module_1/config")));
}

void TestBridgePayloads::discoveryIdsFollowThePrefix()
{
    // Two boards with the same controller id under prefixes of their own, as
    // on a central broker: Home Assistant must see two devices. The default
    // prefix keeps the ids every bridge has announced so far.
    const QString id = QStringLiteral("hall1-1");
    const QPair<QString, QString> boards[] = {{QStringLiteral("vortanix"), QStringLiteral("vortanix_hall1-1")},
        {QStringLiteral("vortanix/board1"), QStringLiteral("vortanix_board1_hall1-1")},
        {QStringLiteral("vortanix/board2"), QStringLiteral("vortanix_board2_hall1-1")}};
    QSet<QString> uniqueIds;
    for (const auto &board : boards) {
        const Topics topics(board.first, QStringLiteral("homeassistant"), QStringLiteral("plant"));
        const QList<Discovery::Message> messages = Discovery::forController(topics, id, 1, QString(), false);
        QCOMPARE(messages.size(), 20);
        for (const Discovery::Message &message : messages) {
            const QJsonObject config = QJsonDocument::fromJson(message.payload).object();
            const QString entity = message.topic.section(QLatin1Char('/'), 3, 3).mid(id.size() + 1);
            QCOMPARE(config.value(QStringLiteral("unique_id")).toString(), board.second + QLatin1Char('_') + entity);
            QCOMPARE(config.value(QStringLiteral("device")).toObject().value(QStringLiteral("identifiers")),
                QJsonValue(QJsonArray{board.second}));
            uniqueIds.insert(config.value(QStringLiteral("unique_id")).toString());
        }
    }
    QCOMPARE(uniqueIds.size(), 60);
}

QTEST_GUILESS_MAIN(TestBridgePayloads)
#include "tst_bridgepayloads.moc"
