#ifndef SPCOMM_H
#define SPCOMM_H

#include "portlock.h"

#include <QMutex>
#include <QObject>
#include <QString>

class QSerialPort;

// The one serial link of the panel: a QSerialPort opened with the fixed line
// format 8N1, blocking byte-exact reads with a per-wait time-out, complete
// writes, and the mutex with which exchanges serialise their use of the line.
class SPComm : public QObject
{
    Q_OBJECT

public:
    explicit SPComm(QObject *parent = nullptr);
    ~SPComm() override;

    void setPortName(const QString &name);
    void setBaudRate(int rate);
    bool isOpen() const;

    virtual bool openPort();
    virtual void closePort();
    virtual bool reopenPort();

    // Reads exactly `count` bytes unless a wait of `timeoutMs` passes with no
    // byte arriving; returns the bytes read, or 0 on a device error.
    int readData(char *buffer, int count, int timeoutMs);
    // Writes all `count` bytes; returns count, or -1 on error.
    int writeData(const char *buffer, int count);

    // Closes the port but keeps the device held, for a reopen.
    void dropPort();

    QString portName;
    int linkBaudRate;
    QSerialPort *serialPort;
    int opened;
    QMutex mutex;

    // The device held from openPort() to closePort(), across the reopens
    // between: no other program of ours takes it meanwhile.
    PortLock portLock;

    // Maps an operator's baud rate onto the serial library's value; -1 when unknown.
    static int mapBaudRate(int rate);
};

#endif // SPCOMM_H
