// The bus trace: off by default, and with it on one line per exchange with
// request, reply, time and outcome.

#include "mainwindowform.h"
#include "panelrig.h"
#include "registers.h"

#include <QLoggingCategory>
#include <QtTest>

using Access = MainWindowTestAccess;

namespace {

QStringList captured;

void captureMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(type)
    const QString category = QString::fromLatin1(context.category ? context.category : "");
    // Qt's own platform chatter is not the panel's output.
    if (category.startsWith(QLatin1String("qt.")) || message.contains(QLatin1String("propagateSizeHints")))
        return;
    captured << category + QLatin1Char('|') + message;
}

} // namespace

class TestBusTrace : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultOutputIsTheTwoLinesOnly();
    void traceShowsEachExchangeAndItsOutcome();
};

void TestBusTrace::init()
{
    captured.clear();
    qInstallMessageHandler(captureMessages);
}

void TestBusTrace::cleanup()
{
    qInstallMessageHandler(nullptr);
    QLoggingCategory::setFilterRules(QString());
}

void TestBusTrace::defaultOutputIsTheTwoLinesOnly()
{
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    rig.poll();
    QCOMPARE(Access::writeRegister(rig.w(), RegPowerPermille, 10), 0);
    rig.sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig.poll();
    rig.closeLink();
    QCOMPARE(captured, QStringList({QStringLiteral("default|打开串口成功"), QStringLiteral("default|关闭串口成功")}));
}

void TestBusTrace::traceShowsEachExchangeAndItsOutcome()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vortanix.bus.debug=true"));
    PanelRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.openLink());
    captured.clear();

    rig.poll();
    QCOMPARE(captured.size(), 1);
    QVERIFY2(captured.last().startsWith(
                 QStringLiteral("vortanix.bus|read req ") + statusReadHex + QStringLiteral(" | rep 01 03 18")),
        qPrintable(captured.last()));
    QVERIFY2(captured.last().endsWith(QLatin1String("| ok")), qPrintable(captured.last()));
    QVERIFY(captured.last().contains(QLatin1String(" ms")));

    rig.sim.setFault(VirtualController::FaultNoReply, 0, 1);
    rig.poll();
    QVERIFY2(captured.last().endsWith(QLatin1String("| time-out")), qPrintable(captured.last()));

    rig.sim.setFault(VirtualController::FaultBadCrc, 0, 1);
    QCOMPARE(Access::writeRegister(rig.w(), RegPowerPermille, 10), -1);
    QVERIFY2(captured.last().startsWith(QLatin1String("vortanix.bus|write req 01 06 00 04 00 0A")),
             qPrintable(captured.last()));
    QVERIFY2(captured.last().endsWith(QLatin1String("| bad CRC")), qPrintable(captured.last()));

    rig.sim.setFault(VirtualController::FaultTruncate, 10, 1);
    rig.poll();
    QVERIFY2(captured.last().endsWith(QLatin1String("| short")), qPrintable(captured.last()));

    rig.sim.setFault(VirtualController::FaultException, 2, 1);
    rig.poll();
    QVERIFY2(captured.last().endsWith(QLatin1String("| exception 02")), qPrintable(captured.last()));
    QCOMPARE(captured.size(), 5);
}

QTEST_MAIN(TestBusTrace)
#include "tst_bustrace.moc"
