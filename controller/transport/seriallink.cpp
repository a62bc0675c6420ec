#include "seriallink.h"

#include "serialread.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QThread>

namespace {

// A write that cannot get its bytes out within this long has failed.
constexpr int writeGiveUpMs = 1000;

// The port held, yet refused: another program opened it exclusively, or the
// serial library's own lock file is in the way (left by another user's run).
QString busyText(const QString &path, const QString &libraryLockFile)
{
    if (QFileInfo::exists(libraryLockFile))
        return QStringLiteral("%1: the serial library's lock file %2 is in the way; if no program uses the port, "
                              "remove it: sudo rm %2")
            .arg(path, libraryLockFile);
    return QStringLiteral("%1: in use by another program (find it with: fuser -v %1)").arg(path);
}

} // namespace

SerialLink::SerialLink() : port(std::make_unique<QSerialPort>())
{
    lineClock.start();
}

void SerialLink::setDirectionControl(Rs485::Mode mode, int delayUs, const QString &option)
{
    direction = mode;
    directionDelayUs = delayUs;
    directionOption = option;
}

bool SerialLink::startLine()
{
    gap = FrameGap(rate);
    QString error;
    if (Rs485::apply(int(port->handle()), direction, directionDelayUs, portPath, directionOption, &error))
        return true;
    // Never on without it: a transceiver left receiving sends nothing at all.
    close();
    lastError = NoDirectionControl;
    lastErrorText = error;
    return false;
}

void SerialLink::keepFrameGap()
{
    const qint64 waitNs = gap.waitNs(lineClock.nsecsElapsed());
    if (waitNs > 0)
        QThread::usleep(ulong((waitNs + 999) / 1000));
}

SerialLink::~SerialLink() = default;

bool SerialLink::open(const QString &path, int baudRate)
{
    close();
    portPath = path;
    rate = baudRate;
    lastError = NoError;
    lastErrorText.clear();

    const QFileInfo info(path);
    if (!info.exists()) {
        lastError = Missing;
        lastErrorText = QStringLiteral("%1: no such port (is the adapter plugged in? see /dev/serial/by-id)").arg(path);
        return false;
    }
    // A port a user may not use belongs to a group (dialout on Debian).
    if (!info.isReadable() || !info.isWritable()) {
        lastError = NoPermission;
        if (info.permission(QFile::ReadGroup | QFile::WriteGroup) || info.group().isEmpty()) {
            lastErrorText = QStringLiteral("%1: permission denied; the port belongs to group %2: "
                                           "sudo adduser $USER %2, then log out and in again")
                                .arg(path, info.group().isEmpty() ? QStringLiteral("dialout") : info.group());
        } else {
            // Joining its group would not help: the group may not use it either.
            lastErrorText
                = QStringLiteral("%1: permission denied; only its owner %2 may open it").arg(path, info.owner());
        }
        return false;
    }

    if (!lock.acquire(path)) {
        lastError = Busy;
        lastErrorText = QStringLiteral("%1: %2").arg(path, lock.refusal());
        return false;
    }

    port->setPortName(lock.openName(path));
    port->setBaudRate(baudRate);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (port->open(QIODevice::ReadWrite))
        return startLine();

    switch (port->error()) {
    case QSerialPort::DeviceNotFoundError:
        lastError = Missing;
        lastErrorText = QStringLiteral("%1: no such port").arg(path);
        break;
    case QSerialPort::PermissionError:
        // Readable and writable by this user, yet refused: another program
        // holds it (its lock file, or the port opened exclusively).
        lastError = Busy;
        lastErrorText = busyText(path, lock.libraryLockFile());
        break;
    default:
        lastError = OtherError;
        lastErrorText = QStringLiteral("%1: cannot be opened: %2").arg(path, port->errorString());
        break;
    }
    lock.release();
    return false;
}

void SerialLink::close()
{
    if (port->isOpen())
        port->close();
    port->clearError();
    lock.release();
}

bool SerialLink::isOpen() const
{
    return port->isOpen();
}

bool SerialLink::isLost() const
{
    return !port->isOpen() || port->error() == QSerialPort::ResourceError || !QFileInfo::exists(portPath);
}

bool SerialLink::prepare()
{
    if (isLost())
        return false;
    if (!port->readAll().isEmpty())
        gap.lineActiveAt(lineClock.nsecsElapsed());
    port->clear(QSerialPort::Input);
    return !isLost();
}

bool SerialLink::send(const quint8 *data, int length)
{
    keepFrameGap();
    const int fd = int(port->handle());
    if (direction == Rs485::Rts && !Rs485::raiseRts(fd, directionDelayUs))
        return false;
    if (port->write(reinterpret_cast<const char *>(data), length) != length)
        return false;
    while (port->bytesToWrite() > 0) {
        if (!port->waitForBytesWritten(writeGiveUpMs))
            return false;
    }
    gap.sentAt(lineClock.nsecsElapsed(), length);
    if (direction == Rs485::Rts && !Rs485::dropRtsAfterDrain(fd, directionDelayUs))
        return false;
    // Every byte is with the line now: a port that vanishes from here on (the
    // controller may already be acting on the request) is a lost reply, not a
    // request that never left; receive() and isLost() tell it.
    return true;
}

int SerialLink::receive(quint8 *buffer, int count, int waitMs)
{
    bool deviceError = false;
    const int got = readWithPauses(*port, reinterpret_cast<char *>(buffer), count, waitMs, &deviceError, abandon);
    if (got > 0)
        gap.lineActiveAt(lineClock.nsecsElapsed());
    return got;
}

Link::Echo SerialLink::takeEcho(const QByteArray &sent, int waitMs, QByteArray *echo)
{
    if (!echoOn)
        return Echo::NotExpected;
    bool deviceError = false;
    const Echo result = readEcho(*port, sent, waitMs, echo, &deviceError, abandon);
    if (!echo->isEmpty())
        gap.lineActiveAt(lineClock.nsecsElapsed());
    return result;
}
