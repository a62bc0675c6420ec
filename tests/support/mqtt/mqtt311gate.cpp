#include "mqtt311gate.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(port));
    return address;
}

// Reads until the CONNECT's protocol level is in (fixed header, length,
// "\0\4MQTT", level); false when the client went away first.
bool readConnectStart(int socket, QByteArray *bytes, int *level)
{
    for (;;) {
        int lengthBytes = 1;
        while (lengthBytes < 5 && bytes->size() > lengthBytes && (quint8(bytes->at(lengthBytes)) & 0x80))
            ++lengthBytes;
        const int at = 1 + lengthBytes + 6; // the level, after the protocol name
        if (bytes->size() > at) {
            *level = quint8(bytes->at(at));
            return true;
        }
        char buffer[512];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        bytes->append(buffer, int(got));
    }
}

} // namespace

// One connection at a time: the bridge makes one.
Mqtt311Gate::Mqtt311Gate(int brokerPort) : brokerPort(brokerPort), server([this](int client) { serve(client); }) { }

Mqtt311Gate::~Mqtt311Gate() = default;

void Mqtt311Gate::serve(int client)
{
    QByteArray first;
    int level = 0;
    if (!readConnectStart(client, &first, &level))
        return;
    if (level == 5) {
        const char refusal[] = {0x20, 0x02, 0x00, 0x01}; // CONNACK: unacceptable protocol version
        ::send(client, refusal, sizeof refusal, MSG_NOSIGNAL);
        ++refusals;
        return;
    }
    const int broker = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(brokerPort);
    if (broker < 0 || ::connect(broker, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::send(broker, first.constData(), size_t(first.size()), MSG_NOSIGNAL) != first.size()) {
        if (broker >= 0)
            ::close(broker);
        return;
    }
    pollfd ends[2] = {{client, POLLIN, 0}, {broker, POLLIN, 0}};
    bool open = true;
    while (open && !server.stopping()) {
        if (::poll(ends, 2, LoopbackServer::PollMs) <= 0)
            continue;
        for (int from = 0; from < 2 && open; ++from) {
            if (!ends[from].revents)
                continue;
            char buffer[4096];
            const ssize_t got = ::recv(ends[from].fd, buffer, sizeof buffer, 0);
            open = got > 0 && ::send(ends[1 - from].fd, buffer, size_t(got), MSG_NOSIGNAL) == got;
        }
    }
    ::close(broker);
}
