#ifndef RTUTCPLINK_H
#define RTUTCPLINK_H

#include "heldlink.h"
#include "reconnectbackoff.h"

#include <QElapsedTimer>

#include <functional>

// The line behind a serial device server in "TCP server" mode, which passes
// the bytes of a TCP connection to its serial port and back unchanged: the
// same RTU frames as on a local port (not Modbus TCP: that is TcpLink). The
// port is written tcp://HOST:PORT (an IPv6 address in brackets).
//
// As SerialLink does, each request is preceded by clearing whatever the
// connection still holds and by the frame gap of the line's rate, and its
// echo is read back when asked; the device server's own serial rate is set
// on the device server, the rate given to open() only times the gap and the
// waits. The device server adds its own latency (often a "packing" interval
// of some milliseconds) to every reply: a longer reply wait covers it.
//
// A connection the device server closes, or that stops carrying data
// (keep-alive probes, unacknowledged data), is lost; open() connects again
// at once after a connection that carried data, otherwise after the
// ReconnectBackoff's wait (calls before then fail at once with the last
// error). RS-485 direction control needs a local UART: asking for it fails
// the open with NoDirectionControl.
class RtuTcpLink : public HeldLink
{
public:
    // How long one connection attempt may take.
    static constexpr int ConnectWaitMs = 3000;

    RtuTcpLink();
    ~RtuTcpLink() override;

    // tcp://HOST:PORT (or tcp://[IPv6]:PORT): false, with a sentence, when it is none.
    static bool parsePort(const QString &port, QString *host, int *tcpPort, QString *error);
    // For tests: the clock (milliseconds, monotonic) the back-off is timed on.
    void setClock(std::function<qint64()> msClock) { clock = std::move(msClock); }

    bool open(const QString &port, int baudRate) override;
    void close() override;
    bool isOpen() const override { return fd >= 0; }
    bool isLost() const override;

    bool prepare() override;
    const char *prepareName() const override { return "clear"; }
    bool send(const quint8 *data, int length) override;
    int receive(quint8 *buffer, int count, int waitMs) override;

private:
    qint64 nowMs() const { return clock ? clock() : monotonic.elapsed(); }
    // Connects to one of the host's addresses; false with the reason in `error`.
    bool connectTo(const QString &host, int tcpPort, QString *error);
    // Waits until the socket has `events` or `waitMs` has passed.
    bool waitFor(short events, int waitMs) const;
    // Bytes came from the device server: the connection works.
    void heard();
    void markLost();

    int fd = -1;
    bool lost = false;
    bool carried = false; // the connection carried a byte from the device server
    ReconnectBackoff backoff;
    std::function<qint64()> clock;
    QElapsedTimer monotonic;
};

#endif // RTUTCPLINK_H
