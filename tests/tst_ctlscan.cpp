// vortanix-ctl's scan against a virtual line whose controllers misbehave: one
// that refuses the status read is still found, and one whose reply comes
// after the wait is reported as there and late (with the advice to wait
// longer), never as a bad reply from the address asked next. Through the
// bridge's Modbus TCP gateway a scan names no baud rate it did not ask at.

#include "bridgerig.h"
#include "ctlrig.h"
#include "verifyempty.h"

#include <QtTest>

class TestCtlScan : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusingControllerIsFound_data();
    void refusingControllerIsFound();
    void lateReplyIsNotBlamedOnTheNextAddress();
    void scanThroughTheGateway();

private:
    std::unique_ptr<CtlRig> rig;
};

void TestCtlScan::init()
{
    rig = std::make_unique<CtlRig>();
    QVERIFY(rig->start({1, 4}));
}

void TestCtlScan::cleanup()
{
    rig.reset();
}

// Exception code → the line that tells the controller.
void TestCtlScan::refusingControllerIsFound_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("shown");
    QTest::newRow("illegal address") << 2 << "02";
    QTest::newRow("device failure") << 4 << "04";
    QTest::newRow("busy") << 6 << "06";
}

void TestCtlScan::refusingControllerIsFound()
{
    QFETCH(int, code);
    QFETCH(QString, shown);
    rig->at(4).setFault(SimController::FaultException, code);
    const CtlResult result = rig->run(CtlRig::withReplyWait({"scan", "--bauds", "115200", "--addresses", "1,3,4"}));
    VERIFY_EMPTY(result.mismatch(Ok, QStringLiteral("scan: 2 controllers found")));
    QCOMPARE(result.outLines(),
        (QStringList{"address 1  115200 baud  firmware 1.10",
            "address 4  115200 baud  refuses the status read (exception " + shown + ")"}));
    QVERIFY2(!result.err.contains(QStringLiteral("bad one")), qPrintable(result.err));
}

// The controller at 1 answers 300 ms late, the wait is 200 ms: its reply
// arrives while a later address is asked, or while the line is heard out
// after one (addresses 2 to 6 take at least 1 s, however loaded the machine).
void TestCtlScan::lateReplyIsNotBlamedOnTheNextAddress()
{
    rig->at(1).setFault(SimController::FaultDelay, 300);
    const CtlResult result = rig->run({"--timeout", "200", "scan", "--bauds", "115200", "--addresses", "1-6"});
    QStringList lines = result.outLines();
    lines.sort();
    QCOMPARE(lines, (QStringList{"address 1  115200 baud  answers late", "address 4  115200 baud  firmware 1.10"}));
    VERIFY_EMPTY(result.mismatch(Ok,
        "scan: address 1 at 115200 baud answers, but after the wait of 200 ms: "
        "try a longer --timeout"));
    VERIFY_EMPTY(result.mismatch(Ok, "scan again with a longer --timeout (e.g. --timeout 800)"));
    QVERIFY2(!result.err.contains(QStringLiteral("a reply, but a bad one")), qPrintable(result.err));
}

// The gateway's line runs at the rate of the bridge's configuration, which
// the scan does not know: one pass, the controller listed without a baud
// rate (null in JSON), and --bauds refused, not tried rate by rate; so is
// --unit.
void TestCtlScan::scanThroughTheGateway()
{
    BridgeRig bridge;
    bridge.addLine(QStringLiteral("a"), {7});
    const int port = bridge.startGateway(QStringLiteral("a"), 100);
    QVERIFY2(port > 0, qPrintable(bridge.bridge().log()));
    const struct
    {
        QStringList arguments;
        int exitCode;
        QStringList lines; // standard output
        QString message; // on standard error
    } cases[] = {
        {{"scan", "--addresses", "6-7"}, Ok, {"address 7  firmware 1.10"}, "scan: 1 controller found (2 requests"},
        {{"--json", "scan", "--addresses", "7"}, Ok, {R"({"address":7,"baud":null,"firmware":"1.10"})"},
            "scan: 1 controller found (1 requests"},
        {{"scan", "--bauds", "115200,9600", "--addresses", "7"}, Usage, {},
            "--bauds is for a serial port; through --tcp the bridge sets up the line (the baud key of its line)"},
        // One unit id for every address would make one controller answer as all of them.
        {{"--unit", "7", "scan", "--addresses", "6-7"}, Usage, {},
            "scan: --unit names one controller; a scan asks each address as its unit id: leave --unit out"},
    };
    for (const auto &c : cases) {
        const CtlResult result = CtlRig::runProgram(
            CtlRig::withReplyWait(QStringList{"--tcp", QStringLiteral("127.0.0.1:%1").arg(port)} + c.arguments));
        VERIFY_EMPTY(result.mismatch(c.exitCode, c.message));
        QCOMPARE(result.outLines(), c.lines);
    }
}

QTEST_GUILESS_MAIN(TestCtlScan)
#include "tst_ctlscan.moc"
