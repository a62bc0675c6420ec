#include "seriallink.h"

#include "serialread.h"

#include <QFileInfo>
#include <QSerialPort>

namespace {

// A write that cannot get its bytes out within this long has failed.
constexpr int writeGiveUpMs = 1000;

} // namespace

SerialLink::SerialLink() : port(std::make_unique<QSerialPort>()) { }

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
        const QString holder = lock.holder();
        lastErrorText = holder.isEmpty()
            ? QStringLiteral("%1: in use by another program (find it with: fuser -v %1)").arg(path)
            : QStringLiteral("%1: in use by %2; one program at a time may use a port, whatever name it is given")
                  .arg(path, holder);
        return false;
    }

    port->setPortName(path);
    port->setBaudRate(baudRate);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (port->open(QIODevice::ReadWrite))
        return true;

    switch (port->error()) {
    case QSerialPort::DeviceNotFoundError:
        lastError = Missing;
        lastErrorText = QStringLiteral("%1: no such port").arg(path);
        break;
    case QSerialPort::PermissionError:
        // Readable and writable by this user, yet refused: another program
        // holds it (its lock file, or the port opened exclusively).
        lastError = Busy;
        lastErrorText = QStringLiteral("%1: in use by another program (find it with: fuser -v %1)").arg(path);
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
    port->readAll();
    port->clear(QSerialPort::Input);
    return !isLost();
}

bool SerialLink::send(const quint8 *data, int length)
{
    if (port->write(reinterpret_cast<const char *>(data), length) != length)
        return false;
    while (port->bytesToWrite() > 0) {
        if (!port->waitForBytesWritten(writeGiveUpMs))
            return false;
    }
    // Every byte is with the line now: a port that vanishes from here on (the
    // controller may already be acting on the request) is a lost reply, not a
    // request that never left; receive() and isLost() tell it.
    return true;
}

int SerialLink::receive(quint8 *buffer, int count, int waitMs)
{
    bool deviceError = false;
    return readWithPauses(*port, reinterpret_cast<char *>(buffer), count, waitMs, &deviceError, abandon);
}
