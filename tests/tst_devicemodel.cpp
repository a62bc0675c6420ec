// Every setting of the device model, walked row by row: vortanix-ctl and the
// bridge (the real programs, each on a virtual line of its own) write the
// frame the row says for a value in range, and send nothing for a value out
// of it. A new row is tested here without a new test.

#include "bridgerig.h"
#include "ctlrig.h"
#include "devicemodel.h"
#include "modbusframes.h"
#include "registermap.h"
#include "registers.h"
#include "verifyempty.h"

#include <QtTest>

namespace {

const QString bridgeId = QStringLiteral("model");

// A value of the row's own kind that it takes, as typed.
QString goodText(const SettingRow &row)
{
    switch (row.kind) {
    case SettingRow::Number:
        return QString::number(row.high);
    case SettingRow::OnOff:
        return QStringLiteral("on");
    case SettingRow::Modules:
        return QStringLiteral("1,3,12");
    }
    return QString();
}

// The word that value puts in the register, worked out apart from the model.
quint16 goodWord(const SettingRow &row)
{
    switch (row.kind) {
    case SettingRow::Number:
        return row.toRegister ? row.toRegister(quint16(row.high)) : quint16(row.high);
    case SettingRow::OnOff:
        return 1;
    case SettingRow::Modules:
        return 0x0805;
    }
    return 0;
}

// Values the row must refuse: just outside its range, and of another kind.
QStringList badTexts(const SettingRow &row)
{
    switch (row.kind) {
    case SettingRow::Number:
        return {QString::number(row.high + 1), row.low > 0 ? QString::number(row.low - 1) : QStringLiteral("-1"),
            QStringLiteral("on")};
    case SettingRow::OnOff:
        return {QStringLiteral("2"), QStringLiteral("maybe")};
    case SettingRow::Modules:
        return {QStringLiteral("0"), QString::number(ModuleCount + 1), QStringLiteral("on")};
    }
    return {};
}

// ctl's words for a row: the command and value, or the command it is an option of.
QStringList ctlWords(const SettingRow &row, const QString &value)
{
    if (row.ctlOption.isEmpty())
        return {row.name, value};
    for (const SettingRow &command : DeviceModel::settings()) {
        if (DeviceModel::ctlOptions(command).contains(&row))
            return {command.name, QStringLiteral("--") + row.ctlOption, value};
    }
    return {};
}

QList<QByteArray> writesOf(const QList<SimController::Request> &requests)
{
    QList<QByteArray> writes;
    for (const QByteArray &frame : framesOf(requests)) {
        if (frame.size() > 1 && quint8(frame.at(1)) != FuncReadHoldingRegisters)
            writes << frame;
    }
    return writes;
}

} // namespace

class TestDeviceModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void rowsAreWritten_data();
    void rowsAreWritten();
    void outOfRangeSendsNothing_data();
    void outOfRangeSendsNothing();
    void statusFieldsReachEveryProgram();
    void manualPagesTellEveryRow_data();
    void manualPagesTellEveryRow();
    void manualPagesNameEveryStatusField_data();
    void manualPagesNameEveryStatusField();
    void everyRegisterInThePagesAndTheModel();

private:
    CtlRig ctl;
    BridgeRig bridge;
    std::unique_ptr<MqttProbe> probe;
};

void TestDeviceModel::initTestCase()
{
    QVERIFY(!DeviceModel::settings().isEmpty());
    QVERIFY(ctl.start({1}));
    QVERIFY(bridge.broker().start());
    bridge.addLine(QStringLiteral("a"), {1});
    probe = bridge.probe();
    QVERIFY(probe);
    bridge.bridge().writeConfig(bridge.mqttSection(QStringLiteral("model-test"))
        + QStringLiteral("[bridge]\npoll_interval_ms=200\n")
        + bridge.lineSection(
            QStringLiteral("a"), QStringLiteral("1"), QStringLiteral("id.1=%1\ntimeout_ms=1000").arg(bridgeId)));
    QVERIFY(bridge.bridge().start());
    QVERIFY2(BridgeRig::waitForState(*probe, bridgeId), qPrintable(bridge.bridge().log()));
}

void TestDeviceModel::cleanupTestCase()
{
    if (bridge.bridge().pid() > 0)
        QCOMPARE(bridge.bridge().terminate(), 0);
}

void TestDeviceModel::rowsAreWritten_data()
{
    QTest::addColumn<QString>("name");
    for (const SettingRow &row : DeviceModel::settings())
        QTest::newRow(qPrintable(row.name)) << row.name;
}

void TestDeviceModel::rowsAreWritten()
{
    QFETCH(QString, name);
    const SettingRow &row = *DeviceModel::setting(name);
    const quint16 word = goodWord(row);
    const QString expected = writeFrame(1, row.reg, word);

    SimController atCtl = ctl.at(1);
    atCtl.setHoldingRegister(row.reg, quint16(~word & 0x0FFF)); // so that the write shows
    ctl.clearRequests();
    const CtlResult result = ctl.run(CtlRig::withReplyWait(ctlWords(row, goodText(row))));
    QVERIFY2(result.finished && result.exitCode == Ok, qPrintable(result.describe()));
    QCOMPARE(hexFrames(ctl.settledFrames()), QStringList{expected});
    QCOMPARE(atCtl.holdingRegister(row.reg), word);

    SimController atBridge = bridge.controller(QStringLiteral("a"), 1);
    atBridge.setHoldingRegister(row.reg, quint16(~word & 0x0FFF));
    atBridge.clearRequests();
    probe->clear();
    const QString resultTopic = QStringLiteral("vortanix/%1/result").arg(bridgeId);
    QVERIFY(probe->publish(QStringLiteral("vortanix/%1/set/%2").arg(bridgeId, row.name), goodText(row).toUtf8()));
    MqttProbe::Message done;
    QVERIFY2(probe->waitFor(resultTopic, BridgeRig::WaitMs, &done), qPrintable(bridge.bridge().log()));
    QCOMPARE(done.json().value(QStringLiteral("ok")), QJsonValue(true));
    QCOMPARE(hexFrames(writesOf(atBridge.requests())), QStringList{expected});
    QCOMPARE(atBridge.holdingRegister(row.reg), word);
}

void TestDeviceModel::outOfRangeSendsNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    for (const SettingRow &row : DeviceModel::settings()) {
        for (const QString &bad : badTexts(row))
            QTest::newRow(qPrintable(row.name + QLatin1Char(' ') + bad)) << row.name << bad;
    }
}

void TestDeviceModel::outOfRangeSendsNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const SettingRow &row = *DeviceModel::setting(name);

    ctl.clearRequests();
    const CtlResult result = ctl.run(CtlRig::withReplyWait(ctlWords(row, value)));
    VERIFY_EMPTY(result.mismatch(Usage, QStringLiteral("nothing was sent")));
    QVERIFY2(result.err.contains(QStringLiteral("'%1'").arg(value)) || result.err.contains(value + QLatin1Char(' ')),
        qPrintable(result.err)); // the error names the value
    QCOMPARE(ctl.settledFrames(), QList<QByteArray>());

    SimController atBridge = bridge.controller(QStringLiteral("a"), 1);
    atBridge.clearRequests();
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/%1/set/%2").arg(bridgeId, name), value.toUtf8()));
    MqttProbe::Message refused;
    QVERIFY2(probe->waitFor(QStringLiteral("vortanix/%1/error").arg(bridgeId), BridgeRig::WaitMs, &refused),
        qPrintable(bridge.bridge().log()));
    QCOMPARE(refused.json().value(QStringLiteral("command")).toString(), name);
    // Commands run in order: once a later read is done, a refused one cannot be waiting.
    probe->clear();
    QVERIFY(probe->publish(QStringLiteral("vortanix/%1/set/config").arg(bridgeId), "read"));
    QVERIFY(probe->waitFor(QStringLiteral("vortanix/%1/result").arg(bridgeId), BridgeRig::WaitMs));
    QCOMPARE(writesOf(atBridge.requests()), QList<QByteArray>());
}

// Every status field is in ctl's JSON and CSV, on a line of its text when it
// has a label, in the bridge's state, and announced as the sensor it names.
void TestDeviceModel::statusFieldsReachEveryProgram()
{
    const CtlResult json = ctl.run(CtlRig::withReplyWait({QStringLiteral("--json"), QStringLiteral("status")}));
    QVERIFY2(json.exitCode == Ok, qPrintable(json.describe()));
    const QJsonObject reading = QJsonDocument::fromJson(json.out.toUtf8()).object();
    const CtlResult text = ctl.run(CtlRig::withReplyWait({QStringLiteral("status")}));
    QVERIFY2(text.exitCode == Ok, qPrintable(text.describe()));
    const QString csv = ctl.filePath(QStringLiteral("status.csv"));
    const CtlResult logged = ctl.run(CtlRig::withReplyWait({QStringLiteral("status"), QStringLiteral("--csv"), csv}));
    QVERIFY2(logged.exitCode == Ok, qPrintable(logged.describe()));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList columns = QString::fromUtf8(file.readLine()).trimmed().split(QLatin1Char(','));
    QJsonObject state;
    QVERIFY2(BridgeRig::waitForState(*probe, bridgeId, &state), qPrintable(bridge.bridge().log()));
    // The announcements are retained: a new subscription gets them all.
    const std::unique_ptr<MqttProbe> discovery = bridge.probe(QStringLiteral("homeassistant/#"));
    QVERIFY(discovery);

    for (const StatusField &field : DeviceModel::statusFields()) {
        const char *key = qPrintable(field.jsonKey);
        QVERIFY2(reading.contains(field.jsonKey), key);
        QVERIFY2(columns.contains(field.jsonKey), qPrintable(columns.join(QLatin1Char(','))));
        QVERIFY2(state.contains(field.jsonKey), key);
        if (!field.label.isEmpty())
            QVERIFY2(text.out.contains(QLatin1Char('\n') + field.label + QStringLiteral("  ")), qPrintable(text.out));
        if (field.entityKey.isEmpty())
            continue;
        const QString suffix = QStringLiteral("%1_%2/config").arg(bridgeId, field.entityKey);
        MqttProbe::Message announced;
        QVERIFY2(discovery->waitFor(
                     [&](const MqttProbe::Message &m) {
                         return m.topic.startsWith(QLatin1String("homeassistant/sensor/")) && m.topic.endsWith(suffix);
                     },
                     BridgeRig::WaitMs, &announced),
            qPrintable(suffix));
        QCOMPARE(announced.json().value(QStringLiteral("value_template")).toString(),
            QStringLiteral("{{ value_json.%1 }}").arg(field.jsonKey));
        QCOMPARE(announced.json().value(QStringLiteral("unit_of_measurement")).toString(), field.unit);
    }
}

void TestDeviceModel::manualPagesTellEveryRow_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("range");
    for (const SettingRow &row : DeviceModel::settings()) {
        const QString range
            = row.kind == SettingRow::Number ? QStringLiteral("%1 to %2").arg(row.low).arg(row.high) : QString();
        QStringList words = ctlWords(row, QString());
        words.removeLast();
        QTest::newRow(qPrintable(QStringLiteral("ctl ") + row.name))
            << "vortanix-ctl.1" << words.join(QLatin1Char(' ')).replace(QLatin1Char('-'), QStringLiteral("\\-"))
            << range;
        QTest::newRow(qPrintable(QStringLiteral("bridge ") + row.name)) << "vortanix-bridge.1" << row.name << range;
    }
}

// Each page has an entry for the row, a paragraph that starts with its
// command, and the entry gives the row's range.
void TestDeviceModel::manualPagesTellEveryRow()
{
    QFETCH(QString, page);
    QFETCH(QString, head);
    QFETCH(QString, range);
    QFile file(QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/man/") + page);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QRegularExpression start(QStringLiteral("^\\.B[IR]? \"?%1(\"| |\n)").arg(QRegularExpression::escape(head)));
    QString entry;
    for (const QString &paragraph : QString::fromUtf8(file.readAll()).split(QStringLiteral("\n.TP\n"))) {
        if (start.match(paragraph).hasMatch()) {
            entry = paragraph;
            break;
        }
    }
    QVERIFY2(!entry.isEmpty(), qPrintable(QStringLiteral("%1 has no entry for %2").arg(page, head)));
    QVERIFY2(entry.contains(range), qPrintable(entry));
}

void TestDeviceModel::manualPagesNameEveryStatusField_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("word");
    for (const StatusField &field : DeviceModel::statusFields()) {
        QTest::newRow(qPrintable(QStringLiteral("ctl ") + field.jsonKey)) << "vortanix-ctl.1" << field.jsonKey;
        QTest::newRow(qPrintable(QStringLiteral("bridge ") + field.jsonKey)) << "vortanix-bridge.1" << field.jsonKey;
        if (!field.entityKey.isEmpty())
            QTest::newRow(qPrintable(QStringLiteral("bridge sensor ") + field.entityKey))
                << "vortanix-bridge.1" << field.entityKey;
    }
}

// Each page names every key of the status reading (ctl's JSON and CSV, the
// bridge's state) and the bridge's page every sensor it announces.
void TestDeviceModel::manualPagesNameEveryStatusField()
{
    QFETCH(QString, page);
    QFETCH(QString, word);
    QFile file(QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/man/") + page);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QRegularExpression named(
        QStringLiteral("(^|[^a-z0-9_])%1([^a-z0-9_]|$)").arg(QRegularExpression::escape(word)));
    QVERIFY2(named.match(QString::fromUtf8(file.readAll())).hasMatch(),
        qPrintable(QStringLiteral("%1 does not name %2").arg(page, word)));
}

// The register table against the rest of the device's description: both
// manual pages list every register with its name, every status key it names
// is a key of the status reading, and the bridge's page names every metric.
void TestDeviceModel::everyRegisterInThePagesAndTheModel()
{
    QStringList keys;
    for (const StatusField &field : DeviceModel::statusFields())
        keys << field.jsonKey;
    QMap<QString, QString> pages;
    for (const char *page : {"vortanix-ctl.1", "vortanix-bridge.1"}) {
        QFile file(QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/man/") + QLatin1String(page));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        pages.insert(QLatin1String(page), QString::fromUtf8(file.readAll()));
    }
    for (const RegisterMap::Row &row : RegisterMap::rows()) {
        const QString entry = QStringLiteral(".B 0x%1\n%2:")
                                  .arg(QStringLiteral("%1").arg(row.reg, 4, 16, QLatin1Char('0')).toUpper(),
                                      QString::fromUtf8(row.name).replace(QLatin1Char('-'), QStringLiteral("\\-")));
        for (auto it = pages.cbegin(); it != pages.cend(); ++it)
            QVERIFY2(
                it.value().contains(entry), qPrintable(QStringLiteral("%1 does not list %2").arg(it.key(), entry)));
        if (*row.statusKey)
            QVERIFY2(keys.contains(QLatin1String(row.statusKey)), row.statusKey);
        if (row.metricName)
            QVERIFY2(pages.value(QStringLiteral("vortanix-bridge.1")).contains(QLatin1String(row.metricName)),
                row.metricName);
    }
}

QTEST_GUILESS_MAIN(TestDeviceModel)
#include "tst_devicemodel.moc"
