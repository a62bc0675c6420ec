#include "fakegateway.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int pollMs = 100; // how soon the thread sees that it is to stop
constexpr int mbapBytes = 7;

bool readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, pollMs) > 0;
}

} // namespace

FakeGateway::FakeGateway(Answer answer) : answer(std::move(answer))
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0
        || ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return;
    listenPort = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
}

FakeGateway::~FakeGateway()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    if (listener >= 0)
        ::close(listener);
}

void FakeGateway::serve()
{
    while (!stopping) {
        if (!readable(listener))
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            serveClient(client);
            ::close(client);
        }
    }
}

void FakeGateway::serveClient(int client)
{
    char header[mbapBytes];
    while (readAll(client, header, mbapBytes)) {
        const int length = (quint8(header[4]) << 8 | quint8(header[5])) - 1;
        QByteArray pdu(qMax(length, 0), '\0');
        if (!readAll(client, pdu.data(), pdu.size()))
            return;
        const QByteArray reply = answer(quint16(quint8(header[0]) << 8 | quint8(header[1])), quint8(header[6]), pdu);
        if (::send(client, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL) != reply.size())
            return;
    }
}

bool FakeGateway::readAll(int client, char *buffer, int count)
{
    int got = 0;
    while (got < count) {
        if (stopping)
            return false;
        if (!readable(client))
            continue;
        const ssize_t n = ::recv(client, buffer + got, size_t(count - got), 0);
        if (n <= 0)
            return false;
        got += int(n);
    }
    return true;
}
