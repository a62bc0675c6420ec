#ifndef FAKEGATEWAY_H
#define FAKEGATEWAY_H

#include <QByteArray>

#include <atomic>
#include <functional>
#include <thread>

// A Modbus TCP gateway of the test's own on 127.0.0.1, serving on a thread of
// its own while the test waits for its client (vortanix-ctl as a process):
// each request, framed by its MBAP header, is answered with the bytes
// `answer` makes of its transaction, unit id and PDU, however wrong. One
// connection at a time; the next is taken once the client lets go.
class FakeGateway
{
public:
    using Answer = std::function<QByteArray(quint16 transaction, quint8 unit, const QByteArray &pdu)>;

    explicit FakeGateway(Answer answer);
    ~FakeGateway();
    FakeGateway(const FakeGateway &) = delete;
    FakeGateway &operator=(const FakeGateway &) = delete;

    // The port it listens on; 0 when it could not listen.
    int port() const { return listenPort; }

private:
    void serve();
    void serveClient(int client);
    // Reads exactly `count` bytes; false at the client's end or the gateway's.
    bool readAll(int client, char *buffer, int count);

    Answer answer;
    int listener = -1;
    int listenPort = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

#endif // FAKEGATEWAY_H
