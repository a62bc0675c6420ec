// Register transactions: every poll and command reaches the controller here.
// Each checks the link, takes its mutex for at most 100 ms (a busy link is
// given up on quietly: the caller decides what to tell) and has the
// controller library do the exchange on the panel's link (the port reset
// before the request, the reply read with a per-wait time-out, and judged:
// a reply counts only with a good CRC, the request's address and function).

#include "mainwindow.h"

#include "buslog.h"
#include "controller.h"
#include "panellink.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"
#include "trylocker.h"

#include <QMessageBox>

#include <cstring>

Q_LOGGING_CATEGORY(lcBus, "vortanix.bus", QtInfoMsg)

namespace {

constexpr int mutexTryMs = 100;

// The controller at `unit` on the panel's link, each exchange traced on the bus category.
Controller onLink(PanelLink &link, const Protocol &protocol, quint8 unit)
{
    Controller controller(link, protocol, unit);
    if (lcBus().isDebugEnabled()) {
        controller.setObserver([&link](const char *what, const Outcome &outcome) {
            qCDebug(lcBus).noquote() << outcome.traceLine(what, link.prepareName());
        });
    }
    return controller;
}

} // namespace

void MainWindow::warnPortNotOpen()
{
    QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("串口未打开"));
}

bool MainWindow::linkIsOpen()
{
    if (spComm->isOpen())
        return true;
    warnPortNotOpen();
    return false;
}

int MainWindow::writeRegister(quint16 reg, quint16 value)
{
    if (!linkIsOpen())
        return -1;
    const TryLocker lock(spComm->mutex, mutexTryMs);
    if (!lock.isLocked())
        return -1;
    PanelLink link(*spComm);
    return onLink(link, *protocol, slaveAddress).writeRegister(reg, value).kind == Outcome::Ok ? 0 : -1;
}

int MainWindow::readRegisters(quint16 first, quint16 count, quint8 *reply, quint16 &received)
{
    if (!linkIsOpen())
        return -1;
    const TryLocker lock(spComm->mutex, mutexTryMs);
    if (!lock.isLocked())
        return -1;
    PanelLink link(*spComm);
    const Outcome outcome = onLink(link, *protocol, slaveAddress).read(first, count);
    // The caller's buffer gets what arrived; a reply with fewer words than
    // asked for still counts here, and its decoder refuses it.
    std::memcpy(reply, outcome.reply.constData(), size_t(outcome.reply.size()));
    if (!outcome.isAnswer())
        return -1;
    received = quint16(outcome.reply.size());
    return 0;
}

void MainWindow::broadcastWriteRegister(quint8 slave, quint16 reg, quint16 value)
{
    if (!linkIsOpen())
        return;
    const TryLocker lock(spComm->mutex, mutexTryMs);
    if (!lock.isLocked())
        return;
    PanelLink link(*spComm);
    // The pause after it (still holding the link) gives the controllers time to act.
    onLink(link, *protocol, slaveAddress).broadcastWrite(reg, value, slave);
}

int MainWindow::writeConfigBlock(const ConfigBlock &block)
{
    const TryLocker lock(spComm->mutex, mutexTryMs);
    if (!lock.isLocked())
        return 1;
    PanelLink link(*spComm);
    return onLink(link, *protocol, slaveAddress).writeConfig(block).kind == Outcome::Ok ? 0 : -1;
}
