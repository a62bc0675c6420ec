#include "panelrig.h"

#include "bustrace.h"
#include "mainwindowform.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>
#include <QtTest>

PanelRig::PanelRig() = default;

PanelRig::~PanelRig()
{
    window.reset();
    sim.stop();
}

bool PanelRig::start()
{
    if (!dir.isValid())
        return false;
    if (!sim.start(dir.filePath(QStringLiteral("ttyVIRT0"))))
        return false;
    window = std::make_unique<MainWindow>();
    MainWindowTestAccess::pollTimer(*window)->stop();
    return true;
}

bool PanelRig::openLink(const QString &address, const QString &baud)
{
    ui()->lineEditRs485Id->setText(address);
    ui()->serialName->insertItem(0, sim.portPath());
    ui()->serialName->setCurrentIndex(0);
    ui()->baudRate->setCurrentIndex(ui()->baudRate->findText(baud));
    ui()->switchSerial->click();
    return MainWindowTestAccess::spComm(*window)->isOpen() && ui()->switchSerial->text() == QStringLiteral("关闭串口");
}

void PanelRig::closeLink()
{
    ui()->switchSerial->click();
}

void PanelRig::poll()
{
    MainWindowTestAccess::queryDevInfo(*window);
}

bool PanelRig::untilAnswered(
    const std::function<void()> &exchange, Retry retry, const std::function<void()> &beforeEach)
{
    BusExchange last;
    if (untilReplied(exchange, retry, beforeEach, &last) == QStringLiteral("ok"))
        return true;
    qWarning() << "the exchange failed:" << (last.outcome.isEmpty() ? QStringLiteral("nothing sent") : last.outcome)
               << last.reply.toHex(' ');
    return false;
}

QString PanelRig::untilReplied(
    const std::function<void()> &exchange, Retry retry, const std::function<void()> &beforeEach, BusExchange *last)
{
    BusTrace bus;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (beforeEach)
            beforeEach();
        bus.clear();
        const int boxes = modals.boxCount();
        const int requestsBefore = sim.requests().size();
        exchange();
        if (last)
            *last = bus.last();
        const QString outcome = bus.last().outcome;
        const bool late = outcome == QStringLiteral("time-out")
            || (retry == Retry::TimeOutOrCut && outcome == QStringLiteral("short"));
        if (!late || attempt == 4)
            return outcome;
        repeatedBoxes += modals.boxCount() - boxes; // a failed block read shows its box
        untilQuiet(requestsBefore + 1);
    }
    return QString();
}

bool PanelRig::untilQuiet(int requests)
{
    QDeadlineTimer deadline(5000);
    while (sim.requests().size() < requests || sim.finishedReplyCount() < sim.replyCount()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

QList<QByteArray> PanelRig::frames() const
{
    return framesOf(sim.requests());
}

QList<QByteArray> PanelRig::settledFrames()
{
    if (!MainWindowTestAccess::spComm(*window)->isOpen())
        return frames(); // a closed link has nothing on the way
    quint8 request[8];
    const quint16 length
        = Protocol().buildReadHoldingRegisters(MainWindowTestAccess::slaveAddress(*window), RegMaxPowerDac, 1, request);
    const QByteArray marker(reinterpret_cast<const char *>(request), length);
    quint8 reply[16];
    quint16 received = 0;
    MainWindowTestAccess::readRegisters(*window, RegMaxPowerDac, 1, reply, received);
    QDeadlineTimer deadline(5000);
    QList<QByteArray> all = frames();
    while ((all.isEmpty() || all.last() != marker) && !deadline.hasExpired()) {
        QThread::msleep(2);
        all = frames();
    }
    if (!all.isEmpty() && all.last() == marker)
        all.removeLast();
    return all;
}

void RigTestCase::init()
{
    rig = std::make_unique<PanelRig>();
    QVERIFY(rig->start());
}

void RigTestCase::cleanup()
{
    rig.reset();
}
