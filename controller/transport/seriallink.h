#ifndef SERIALLINK_H
#define SERIALLINK_H

#include "framegap.h"
#include "link.h"
#include "portlock.h"
#include "rs485.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <memory>

class QSerialPort;

// A serial port held open for as long as the program runs (a command-line
// tool, a bridge service): 8 data bits, no parity, one stop bit, no flow
// control, held exclusively: one holder of the device whatever its name
// (PortLock). Before each request the input is cleared, so bytes left over
// from an earlier reply never reach the next one, and the line is left quiet
// for a frame gap (FrameGap) before each request goes out.
// For 2-wire lines: the request's echo can be read back and checked, and
// the transceiver's direction switched by the kernel or by RTS (Rs485).
class SerialLink : public Link
{
public:
    enum OpenError {
        NoError,
        Missing, // no such port (an adapter not plugged in, a wrong name)
        Busy, // another program holds it
        NoPermission, // this user may not open it
        OtherError,
        NoDirectionControl, // the port's driver cannot switch direction as asked (Rs485)
    };

    SerialLink();
    ~SerialLink() override;
    SerialLink(const SerialLink &) = delete;
    SerialLink &operator=(const SerialLink &) = delete;

    // Takes effect at the next open(). `option` is how the user asked for
    // the mode ("--rs485 kernel"), for the message when the driver cannot.
    void setDirectionControl(Rs485::Mode mode, int delayUs, const QString &option);
    // Read back and check each request's echo (an adapter without echo cancellation).
    void setEcho(bool on) { echoOn = on; }
    bool echo() const { return echoOn; }

    bool open(const QString &path, int baudRate);
    void close();
    bool isOpen() const;
    QString path() const { return portPath; }
    int baudRate() const { return rate; }
    // Why the last open failed, and a sentence that says what to do.
    OpenError openError() const { return lastError; }
    QString openErrorText() const { return lastErrorText; }
    // Once the port is gone (an adapter pulled) every exchange reports it.
    bool isLost() const;
    // A reply being read is given up, before its next wait, once `flag` is
    // set: a service that stops need not wait out a controller that sends
    // its reply a byte at a time. Null (the default) never gives up.
    void abandonRepliesWhen(const std::atomic<bool> *flag) { abandon = flag; }

    bool prepare() override;
    const char *prepareName() const override { return "clear"; }
    bool send(const quint8 *data, int length) override;
    int receive(quint8 *buffer, int count, int waitMs) override;
    Echo takeEcho(const QByteArray &sent, int waitMs, QByteArray *echo) override;

private:
    // The port is open: sets up direction control; false (closed again) when the driver cannot.
    bool startLine();
    void keepFrameGap();

    std::unique_ptr<QSerialPort> port;
    PortLock lock;
    QString portPath;
    int rate = 0;
    const std::atomic<bool> *abandon = nullptr;
    OpenError lastError = NoError;
    QString lastErrorText;
    Rs485::Mode direction = Rs485::None;
    int directionDelayUs = 0;
    QString directionOption;
    bool echoOn = false;
    FrameGap gap;
    QElapsedTimer lineClock; // the frame gap's time base
};

#endif // SERIALLINK_H
