#ifndef SERIALLINK_H
#define SERIALLINK_H

#include "heldlink.h"
#include "portlock.h"

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
class SerialLink : public HeldLink
{
public:
    SerialLink();
    ~SerialLink() override;

    bool open(const QString &path, int baudRate) override;
    void close() override;
    bool isOpen() const override;
    bool isLost() const override;

    bool prepare() override;
    const char *prepareName() const override { return "clear"; }
    bool send(const quint8 *data, int length) override;
    int receive(quint8 *buffer, int count, int waitMs) override;

private:
    // The port is open: sets up direction control; false (closed again) when the driver cannot.
    bool startLine();

    std::unique_ptr<QSerialPort> port;
    PortLock lock;
};

#endif // SERIALLINK_H
