#ifndef FAKEGATEWAY_H
#define FAKEGATEWAY_H

#include "loopbackserver.h"

#include <QByteArray>

#include <atomic>
#include <functional>

// A Modbus TCP gateway of the test's own on 127.0.0.1, serving while the
// test waits for its client (vortanix-ctl as a process): each request, framed
// by its MBAP header, is answered with the bytes `answer` makes of its
// transaction, unit id and PDU, however wrong. One connection at a time; the
// next is taken once the client lets go.
class FakeGateway
{
public:
    using Answer = std::function<QByteArray(quint16 transaction, quint8 unit, const QByteArray &pdu)>;

    explicit FakeGateway(Answer answer);

    int port() const { return server.port(); } // 0 when it could not listen
    int connections() const { return accepted; } // taken so far

private:
    void serve(int client);
    // Reads exactly `count` bytes; false at the client's end or the gateway's.
    bool readAll(int client, char *buffer, int count);

    Answer answer;
    std::atomic<int> accepted{0};
    LoopbackServer server; // last: stopped before the answer goes
};

#endif // FAKEGATEWAY_H
