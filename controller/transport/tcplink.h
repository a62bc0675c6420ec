#ifndef TCPLINK_H
#define TCPLINK_H

#include "link.h"

#include <QByteArray>
#include <QString>

struct _modbus;

// The line through a Modbus TCP gateway (the bridge's, or any standard one
// for reads): each RTU request the controller library builds goes out as a
// Modbus TCP request to unit `unit` (the request's own address when none is
// set), and the gateway's answer comes back as the RTU reply the controller
// would have sent. A standard gateway answers function 6 with the 8-byte
// echo and function 16 with start and count: both stand for the controller's
// 6-byte acknowledgement when they repeat the request. The gateway's own
// exceptions: 11 (the controller did not answer) is a silent line, 10 (its
// line is unavailable) a lost port; any other code is the controller's
// refusal, passed on as an exception reply. A reply is held to its request:
// the MBAP header (written here) with its transaction, protocol id 0, a
// length that matches what came, the unit asked; and a write's echo to what
// was written. One that is not (mismatch()) answers some other request; the
// connection, out of step, is made anew before the next.
class TcpLink : public Link
{
public:
    static constexpr int DefaultPort = 502;
    // A gateway waits for the controller itself; this is how long the
    // gateway may take on top of the per-byte wait.
    static constexpr int GatewayWaitMs = 3000;

    TcpLink();
    ~TcpLink() override;
    TcpLink(const TcpLink &) = delete;
    TcpLink &operator=(const TcpLink &) = delete;

    // HOST, HOST:PORT or [IPv6]:PORT; false, with a sentence, when it is none.
    static bool parseAddress(const QString &text, QString *host, int *port, QString *error);

    // Connects; false, with a sentence in openErrorText(), when it cannot.
    bool open(const QString &host, int port);
    void close();
    // -1: each request's own address.
    void setUnit(int unit) { unitId = unit; }
    QString target() const;
    QString openErrorText() const { return lastErrorText; }
    // The connection broke, or the gateway reported the line unavailable.
    bool isLost() const { return lost; }
    bool gatewayUnavailable() const { return unavailable; }

    const char *prepareName() const override { return "tcp"; }
    // Reconnects when an earlier exchange left the connection in doubt.
    bool prepare() override;
    bool send(const quint8 *data, int length) override;
    // The first call takes the gateway's answer, waiting GatewayWaitMs on
    // top of `waitMs`; the RTU reply is then handed out.
    int receive(quint8 *buffer, int count, int waitMs) override;
    QString mismatch() const override { return mismatchText; }

private:
    bool connectNow();
    void takeAnswer(int waitMs);
    // What in the answer's MBAP header is not this request's; empty when all is.
    QString headerMismatch(const quint8 *answer, int length) const;
    // The RTU reply the controller would have sent for this PDU.
    QByteArray translate(const QByteArray &pdu);
    quint8 unitAsked() const { return unitId >= 0 ? quint8(unitId) : quint8(request.at(0)); }

    _modbus *ctx = nullptr;
    QString hostName;
    int portNumber = DefaultPort;
    int unitId = -1;
    QString lastErrorText;
    bool lost = false;
    bool unavailable = false;
    bool outOfStep = false; // an answer to another request came: reconnect before the next
    quint16 transaction = 0; // the last request's
    QString mismatchText;
    QByteArray request; // the RTU request sent last
    bool answered = false; // its answer was taken
    QByteArray reply; // the RTU reply, handed out by receive()
    int handedOut = 0;
};

#endif // TCPLINK_H
