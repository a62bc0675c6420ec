#ifndef MQTT311GATE_H
#define MQTT311GATE_H

#include "loopbackserver.h"

#include <atomic>

// A broker of MQTT 3.1.1 only, for a test: a loopback port in front of the
// real test broker that answers an MQTT 5 CONNECT as a 3.1.1 broker does
// ("unacceptable protocol version", then the connection closed) and passes
// every other connection through to the broker, byte for byte. Debian has
// no broker that speaks only 3.1.1; the refusal is all that differs.
class Mqtt311Gate
{
public:
    explicit Mqtt311Gate(int brokerPort);
    ~Mqtt311Gate();
    Mqtt311Gate(const Mqtt311Gate &) = delete;
    Mqtt311Gate &operator=(const Mqtt311Gate &) = delete;

    int port() const { return server.port(); } // 0 when it could not listen
    int refused() const { return refusals; } // MQTT 5 connections turned away

private:
    void serve(int client);

    int brokerPort;
    std::atomic<int> refusals{0};
    LoopbackServer server; // last: stopped before the rest goes
};

#endif // MQTT311GATE_H
