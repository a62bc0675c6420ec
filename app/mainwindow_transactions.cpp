// Register transactions: every poll and command reaches the controller here.
// Each exchange checks the link, takes its mutex for at most 100 ms, resets
// the port, sends one request and reads the reply with a per-wait time-out.

#include "mainwindow.h"

#include "buslog.h"
#include "protocol.h"
#include "registers.h"
#include "spcomm.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>

Q_LOGGING_CATEGORY(lcBus, "vortanix.bus", QtInfoMsg)

namespace {

constexpr int mutexTryMs = 100;
constexpr int readWaitMs = 50;
constexpr int writeAckWaitMs = 200;
constexpr int broadcastPauseMs = 20;

QString hex(const quint8 *data, int length)
{
    return QByteArray(reinterpret_cast<const char *>(data), qMax(length, 0)).toHex(' ').toUpper();
}

// The controller acknowledges writes with six bytes: four bytes and their CRC.
bool isAcknowledged(const Protocol &protocol, const quint8 *reply, int got)
{
    return got == WriteAckLength && protocol.checkReply(reply, got) == Protocol::ReplyOk;
}

} // namespace

void MainWindow::warnPortNotOpen()
{
    QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("串口未打开"));
}

bool MainWindow::acquireLink()
{
    if (!spComm->isOpen()) {
        warnPortNotOpen();
        return false;
    }
    // A busy link is given up on quietly; the caller decides what to tell.
    return spComm->mutex.tryLock(mutexTryMs);
}

int MainWindow::exchange(const char *what, const quint8 *request, int requestLength, quint8 *reply, int want,
                         int waitMs)
{
    QElapsedTimer clock;
    clock.start();
    // Drains and clears what an earlier reply left behind. When the port
    // cannot be reopened (the adapter was pulled) the link is closed and
    // nothing can be written or read.
    const bool reopened = spComm->reopenPort();
    const qint64 reopenNs = clock.nsecsElapsed();
    int got = 0;
    if (reopened) {
        spComm->writeData(reinterpret_cast<const char *>(request), requestLength);
        if (want > 0)
            got = spComm->readData(reinterpret_cast<char *>(reply), want, waitMs);
    }

    if (lcBus().isDebugEnabled()) {
        QString outcome;
        if (!reopened)
            outcome = QStringLiteral("port lost");
        else if (want == 0)
            outcome = QStringLiteral("sent");
        else if (got == 0)
            outcome = QStringLiteral("time-out");
        else if (protocol->checkReply(reply, got) != Protocol::ReplyOk)
            outcome = got < want ? QStringLiteral("short") : QStringLiteral("bad CRC");
        else
            outcome = got < want ? QStringLiteral("short (CRC ok)") : QStringLiteral("ok");
        qCDebug(lcBus).noquote() << what << "req" << hex(request, requestLength) << "| rep" << hex(reply, got)
                                 << "|" << QString::number(clock.nsecsElapsed() / 1e6, 'f', 3) << "ms (reopen"
                                 << QString::number(reopenNs / 1e6, 'f', 3) << "ms) |" << outcome;
    }
    return got;
}

int MainWindow::writeRegister(quint16 reg, quint16 value)
{
    if (!acquireLink())
        return -1;

    quint8 request[8];
    const quint16 length = protocol->buildWriteSingleRegister(slaveAddress, reg, value, request);
    quint8 reply[WriteAckLength];
    const int got = exchange("write", request, length, reply, WriteAckLength, writeAckWaitMs);
    const int result = isAcknowledged(*protocol, reply, got) ? 0 : -1;

    spComm->mutex.unlock();
    return result;
}

int MainWindow::readRegisters(quint16 first, quint16 count, quint8 *reply, quint16 &received)
{
    if (!acquireLink())
        return -1;

    quint8 request[8];
    const quint16 length = protocol->buildReadHoldingRegisters(slaveAddress, first, count, request);
    const quint16 want = quint16(5 + 2 * count);
    const int got = exchange("read", request, length, reply, want, readWaitMs);
    int result = -1;
    if (protocol->checkReply(reply, got) == Protocol::ReplyOk) {
        received = quint16(got);
        result = 0;
    }

    spComm->mutex.unlock();
    return result;
}

void MainWindow::broadcastWriteRegister(quint8 slave, quint16 reg, quint16 value)
{
    if (!acquireLink())
        return;

    quint8 request[8];
    const quint16 length = protocol->buildWriteSingleRegister(slave, reg, value, request);
    exchange("broadcast", request, length, nullptr, 0, 0);
    // A broadcast gets no reply; give the controllers time to act on it.
    QThread::msleep(broadcastPauseMs);

    spComm->mutex.unlock();
}

int MainWindow::writeConfigBlock(const quint16 *words)
{
    if (!spComm->mutex.tryLock(mutexTryMs))
        return 1;

    quint8 request[9 + 2 * ConfigBlockCount];
    const quint16 length =
        protocol->buildWriteMultipleRegisters(slaveAddress, ConfigBlockFirst, words, ConfigBlockCount, request);
    quint8 reply[WriteAckLength];
    const int got = exchange("write block", request, length, reply, WriteAckLength, 500);
    const int result = isAcknowledged(*protocol, reply, got) ? 0 : -1;

    spComm->mutex.unlock();
    return result;
}
