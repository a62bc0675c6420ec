#ifndef VIRTUALCONTROLLER_H
#define VIRTUALCONTROLLER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

// A virtual light-source controller: a Modbus RTU slave with the controller's
// register map, serving the master side of a pseudo-terminal on a thread of
// its own. The panel opens portPath() as if it were a serial adapter.
//
// Replies: function 3 gets the standard reply (address, 3, byte count, words,
// CRC); functions 6 and 16 get the controller's six-byte acknowledgement
// (address, function, register high, register low, then the CRC of those four,
// low byte first); an unknown register or function gets a Modbus exception
// reply (address, function | 0x80, code, CRC). Requests to another address are
// ignored; broadcasts (address 0) are applied without a reply.
//
// All public operations are thread-safe.
class VirtualController
{
public:
    enum FaultKind {
        FaultNone,
        FaultNoReply,         // the request is taken, nothing is answered (a write is still applied)
        FaultBadCrc,          // the reply's last CRC byte is inverted
        FaultTruncate,        // only the first `param` bytes of the reply are sent
        FaultDelay,           // the reply is sent `param` ms after the request
        FaultGapPace,         // the reply's bytes are sent one by one, `param` ms apart
        FaultEcho8,           // writes (functions 6 and 16) are answered with the standard 8-byte reply
        FaultException,       // reads (function 3) get a 5-byte exception reply, code `param` (default 4)
        FaultGarbageBefore,   // `param` garbage bytes are sent before the reply
        FaultWrongAddress,    // the reply carries address `param` (CRC recomputed)
        FaultEndlessStream,   // on a request, a stream of bytes starts and goes on until cleared
        FaultUnplugOnRequest, // the request unplugs the controller (not applied, no reply)
    };

    struct Fault
    {
        FaultKind kind = FaultNone;
        int param = 0;
        int count = -1; // requests it applies to; -1 = until cleared
    };

    struct Request
    {
        qint64 timeUs = 0; // monotonic microseconds since the controller started
        QByteArray frame;  // the request as received, CRC included
    };

    VirtualController();
    ~VirtualController();
    VirtualController(const VirtualController &) = delete;
    VirtualController &operator=(const VirtualController &) = delete;

    // Opens the pseudo-terminal and starts serving. With a link path, a
    // symbolic link there points at the terminal and portPath() is the link,
    // so the path stays the same across unplug() and replug().
    bool start(const QString &linkPath = QString());
    void stop();
    bool isRunning() const;
    QString portPath() const;     // the path the panel opens
    QString terminalPath() const; // the /dev/pts/N behind it

    // Unplugging closes the terminal: the path vanishes and the panel's next
    // open fails. Replugging opens a new terminal (and re-points the link).
    void unplug();
    bool replug();
    bool isPlugged() const;

    quint8 address() const;
    void setAddress(quint8 address);

    // Any holding register; registers outside the map read as an exception.
    quint16 holdingRegister(quint16 reg) const;
    void setHoldingRegister(quint16 reg, quint16 value);
    void resetRegisters(); // factory configuration and default status

    // Convenience setters of the status block.
    void setTemperature(qint16 tenths);
    void setSupplyMillivolts(quint16 millivolts);
    void setRunSeconds(quint32 seconds);
    void setFirmwareVersion(quint16 version);
    void setSwitchMask(quint16 mask);
    void setEnableMask(quint16 mask);
    void setAdcEnable(quint16 value);
    void setPowerPermille(quint16 value);

    // A fault applies to the next `count` requests at this controller's address
    // that would get a reply; FaultEcho8 and FaultException count only the
    // requests they change. Requests that come while an endless stream runs are
    // applied but not answered. clearFault() also ends a running stream.
    void setFault(const Fault &fault);
    void setFault(FaultKind kind, int param = 0, int count = -1);
    void clearFault();

    // Paces every reply at the given baud rate (10 bits per byte); 0 = as fast as possible.
    void setPacingBaud(int baud);
    // Time between the end of a request and the start of its reply.
    void setTurnaroundUs(int microseconds);
    // Lets temperature, supply voltage and running time drift like a live device.
    void setDrift(bool on);

    // Every complete request frame with a good CRC, to any address, oldest first
    // (the latest 4096 are kept).
    QList<Request> requests() const;
    // Empties the log and sets the reply count back to 0.
    void clearRequests();
    // Waits until at least `count` requests have been logged since the last
    // clearRequests(); false on time-out.
    bool waitForRequests(int count, int timeoutMs) const;
    // Replies put on the line (faulty ones included) since the last clearRequests().
    int replyCount() const;
    // Replies whose sending has ended (all bytes out, or cut off); equals
    // replyCount() once the line has gone quiet.
    int finishedReplyCount() const;

    // Trace lines ("<time> rx 01 03 ..." / "<time> tx ...") go to this sink, from the controller's thread.
    // The sink must not call stop(), unplug() or replug().
    void setTraceSink(std::function<void(const QString &line)> sink);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // VIRTUALCONTROLLER_H
