#ifndef HELDLINK_H
#define HELDLINK_H

#include "framegap.h"
#include "link.h"
#include "rs485.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <memory>

// The line a program holds open for as long as it runs (a command-line tool,
// a service): a local serial port (SerialLink) or a serial device server on
// the network that carries the RTU bytes unchanged (RtuTcpLink, a port
// written tcp://HOST:PORT). Both clear stale input before each request, keep
// the frame gap (FrameGap) before each request goes out, and read the
// request's echo back when asked.
//
// How a service holds a line:
//
//     std::unique_ptr<HeldLink> link = HeldLink::create(port);
//     link->setEcho(...); link->setDirectionControl(...); link->abandonRepliesWhen(&stopping);
//     ...
//     // before each poll or command:
//     if (!link->isOpen() || link->isLost())
//         link->open(port, baud);   // false: the line is lost; tell openErrorText() when it changes
//
// open() paces its own attempts, so calling it before every poll is right
// for both kinds: a serial port is looked at each time (cheap: the adapter
// is back or not); a device server is connected to again at once after a
// connection that carried replies dropped, and after a failed attempt only
// once a back-off has passed (ReconnectBackoff: 1 s, doubling to 30 s);
// calls before then return false at once, with the same error and text, so
// the line stays "lost" without a new message. An attempt blocks the caller
// for at most RtuTcpLink::ConnectWaitMs (less once the abandon flag is set).
// openError() Missing (no adapter, a device server that cannot be reached
// or a name that does not resolve) is a line to wait for; Busy,
// NoPermission and NoDirectionControl are faults a person must mend.
class HeldLink : public Link
{
public:
    enum OpenError {
        NoError,
        Missing, // no such port (an adapter not plugged in, a wrong name), or a device server out of reach
        Busy, // another program holds it
        NoPermission, // this user may not open it
        OtherError,
        NoDirectionControl, // the port cannot switch direction as asked (Rs485)
    };

    // A device server's port: "tcp://HOST:PORT".
    static bool isNetworkPort(const QString &port);
    // The link for `port`: RtuTcpLink for tcp://HOST:PORT, SerialLink for a device path.
    static std::unique_ptr<HeldLink> create(const QString &port);

    HeldLink();
    ~HeldLink() override;
    HeldLink(const HeldLink &) = delete;
    HeldLink &operator=(const HeldLink &) = delete;

    // Opens `port` at `baudRate` (the line's rate: the frame gap and the
    // waits follow it); false, with openError() and openErrorText(), when it cannot.
    virtual bool open(const QString &port, int baudRate) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Once the port is gone (an adapter pulled, a connection dropped) every exchange reports it.
    virtual bool isLost() const = 0;

    QString path() const { return portPath; }
    int baudRate() const { return rate; }
    // Why the last open failed, and a sentence that says what to do.
    OpenError openError() const { return lastError; }
    QString openErrorText() const { return lastErrorText; }

    // Takes effect at the next open(). `option` is how the user asked for
    // the mode ("--rs485 kernel"), for the message when the port cannot.
    void setDirectionControl(Rs485::Mode mode, int delayUs, const QString &option);
    // Read back and check each request's echo (an adapter without echo cancellation).
    void setEcho(bool on) { echoOn = on; }
    bool echo() const { return echoOn; }
    // A reply being read is given up, before its next wait, once `flag` is
    // set: a service that stops need not wait out a controller that sends
    // its reply a byte at a time. Null (the default) never gives up.
    void abandonRepliesWhen(const std::atomic<bool> *flag) { abandon = flag; }

    // Reads the echo through receive().
    Echo takeEcho(const QByteArray &sent, int waitMs, QByteArray *echo) override;

protected:
    // A new open() of `port` at `baudRate`: no error yet, the frame gap at that rate.
    void beginOpen(const QString &port, int baudRate);
    void setOpenError(OpenError error, const QString &text);
    const std::atomic<bool> *abandonFlag() const { return abandon; }
    bool abandoned() const { return abandon && abandon->load(); }
    // Waits until the line has been quiet for a frame gap.
    void keepFrameGap();
    // A byte was on the line now, or `count` bytes were handed to it now.
    void lineActive() { gap.lineActiveAt(lineClock.nsecsElapsed()); }
    void sentNow(int count) { gap.sentAt(lineClock.nsecsElapsed(), count); }

    Rs485::Mode direction = Rs485::None;
    int directionDelayUs = 0;
    QString directionOption;

private:
    QString portPath;
    int rate = 0;
    OpenError lastError = NoError;
    QString lastErrorText;
    bool echoOn = false;
    const std::atomic<bool> *abandon = nullptr;
    FrameGap gap;
    QElapsedTimer lineClock; // the frame gap's time base
};

#endif // HELDLINK_H
