#include "spcomm.h"

#include "linefacts.h"
#include "serialread.h"

#include <QSerialPort>

SPComm::SPComm(QObject *parent)
    : QObject(parent), portName(), linkBaudRate(115200), serialPort(new QSerialPort), opened(0), mutex()
{
}

SPComm::~SPComm()
{
    delete serialPort; // closes the port if it is open
    serialPort = nullptr;
}

void SPComm::setPortName(const QString &name)
{
    portName = name;
}

void SPComm::setBaudRate(int rate)
{
    linkBaudRate = rate;
}

bool SPComm::isOpen() const
{
    return opened == 1;
}

int SPComm::mapBaudRate(int rate)
{
    return LineFacts::portRates().contains(rate) ? rate : -1; // -1: QSerialPort::UnknownBaud
}

bool SPComm::openPort()
{
    if (serialPort->isOpen()) {
        opened = 1;
        return true;
    }
    // A reopen finds the device held already; a first open takes it.
    const bool held = portLock.holds(portName);
    if (!held && !portLock.acquire(portName))
        return false;
    serialPort->setPortName(portLock.openName(portName));
    serialPort->setBaudRate(mapBaudRate(linkBaudRate), QSerialPort::AllDirections);
    // The line format is fixed, whatever the operator picked for parity and stop bits.
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->setReadBufferSize(1024);
    if (serialPort->open(QIODevice::ReadWrite)) {
        opened = 1;
        return true;
    }
    if (!held)
        portLock.release();
    return false;
}

void SPComm::closePort()
{
    dropPort();
    portLock.release();
}

void SPComm::dropPort()
{
    if (serialPort->isOpen()) {
        serialPort->close();
        opened = 0;
    }
}

bool SPComm::reopenPort()
{
    if (!serialPort->isOpen())
        return false;
    // Whatever an earlier reply left behind must not reach the next one.
    serialPort->readAll();
    serialPort->clear(QSerialPort::AllDirections);
    // The device stays held between the close and the open.
    dropPort();
    return openPort();
}

int SPComm::readData(char *buffer, int count, int timeoutMs)
{
    bool deviceError = false;
    const int got = readWithPauses(*serialPort, buffer, count, timeoutMs, &deviceError);
    return deviceError ? 0 : got;
}

int SPComm::writeData(const char *buffer, int count)
{
    int total = 0;
    while (total < count) {
        const qint64 written = serialPort->write(buffer + total, count - total);
        if (written < 0)
            return -1;
        total += int(written);
        serialPort->flush();
    }
    return count;
}
