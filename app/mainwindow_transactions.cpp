// Register transactions: every poll and command reaches the controller here.
// Each exchange checks the link, takes its mutex for at most 100 ms, resets
// the port, sends one request and reads the reply with a per-wait time-out.
// A reply counts only when its CRC is good and it carries the request's
// address and function code.

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

// Another program probing serial ports (a second panel's scan, a modem
// manager) can hold the port for a moment just when it is reopened: the
// reopen is retried for this long before the port counts as lost.
constexpr int reopenRetryMs = 50;
constexpr int reopenRetryStepMs = 5;

// What came back for a request, judged in one place for the result and the trace.
enum class Reply { Ok, CrcOkShort, None, Short, BadCrc, Exception, WrongAddress, WrongFunction };

Reply judgeReply(const Protocol &protocol, const quint8 *request, const quint8 *reply, int got, int want)
{
    if (got == 0)
        return Reply::None;
    if (protocol.checkReply(reply, got) != Protocol::ReplyOk)
        return got < want ? Reply::Short : Reply::BadCrc;
    // A reply from another controller, or to another request, is no answer to this one.
    if (reply[0] != request[0])
        return Reply::WrongAddress;
    if (reply[1] == (request[1] | 0x80))
        return Reply::Exception;
    if (reply[1] != request[1])
        return Reply::WrongFunction;
    return got < want ? Reply::CrcOkShort : Reply::Ok;
}

QString describe(Reply verdict, const quint8 *reply)
{
    switch (verdict) {
    case Reply::Ok:
        return QStringLiteral("ok");
    case Reply::CrcOkShort:
        return QStringLiteral("short (CRC ok)");
    case Reply::None:
        return QStringLiteral("time-out");
    case Reply::Short:
        return QStringLiteral("short");
    case Reply::BadCrc:
        return QStringLiteral("bad CRC");
    case Reply::Exception:
        return QStringLiteral("exception ") + hex(reply + 2, 1);
    case Reply::WrongAddress:
        return QStringLiteral("wrong address ") + hex(reply, 1);
    case Reply::WrongFunction:
        return QStringLiteral("wrong function ") + hex(reply + 1, 1);
    }
    return QString();
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

bool MainWindow::reopenLink()
{
    if (spComm->reopenPort())
        return true;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < reopenRetryMs) {
        QThread::msleep(reopenRetryStepMs);
        if (spComm->openPort())
            return true;
    }
    return false;
}

int MainWindow::exchange(
    const char *what, const quint8 *request, int requestLength, quint8 *reply, int want, int waitMs)
{
    QElapsedTimer clock;
    clock.start();
    // Drains and clears what an earlier reply left behind. When the port
    // cannot be reopened (the adapter was pulled) the link is closed and
    // nothing can be written or read.
    const bool reopened = reopenLink();
    const qint64 reopenNs = clock.nsecsElapsed();
    int got = 0;
    if (reopened) {
        spComm->writeData(reinterpret_cast<const char *>(request), requestLength);
        if (want > 0)
            got = spComm->readData(reinterpret_cast<char *>(reply), want, waitMs);
    }
    const Reply verdict = judgeReply(*protocol, request, reply, got, want);

    if (lcBus().isDebugEnabled()) {
        QString outcome;
        if (!reopened)
            outcome = QStringLiteral("port lost");
        else if (want == 0)
            outcome = QStringLiteral("sent");
        else
            outcome = describe(verdict, reply);
        qCDebug(lcBus).noquote() << what << "req" << hex(request, requestLength) << "| rep" << hex(reply, got) << "|"
                                 << QString::number(clock.nsecsElapsed() / 1e6, 'f', 3) << "ms (reopen"
                                 << QString::number(reopenNs / 1e6, 'f', 3) << "ms) |" << outcome;
    }
    return verdict == Reply::Ok || verdict == Reply::CrcOkShort ? got : -1;
}

int MainWindow::writeRegister(quint16 reg, quint16 value)
{
    if (!acquireLink())
        return -1;

    quint8 request[8];
    const quint16 length = protocol->buildWriteSingleRegister(slaveAddress, reg, value, request);
    quint8 reply[WriteAckLength];
    // The controller acknowledges writes with six bytes: address, function, register, CRC.
    const int result
        = exchange("write", request, length, reply, WriteAckLength, writeAckWaitMs) == WriteAckLength ? 0 : -1;

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
    if (got >= 0) {
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
    const quint16 length
        = protocol->buildWriteMultipleRegisters(slaveAddress, ConfigBlockFirst, words, ConfigBlockCount, request);
    quint8 reply[WriteAckLength];
    const int result = exchange("write block", request, length, reply, WriteAckLength, 500) == WriteAckLength ? 0 : -1;

    spComm->mutex.unlock();
    return result;
}
