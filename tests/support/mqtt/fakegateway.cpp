#include "fakegateway.h"

#include <sys/socket.h>

namespace {

constexpr int mbapBytes = 7;

} // namespace

FakeGateway::FakeGateway(Answer answer) : answer(std::move(answer)), server([this](int client) { serve(client); }) { }

void FakeGateway::serve(int client)
{
    ++accepted;
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
        if (server.stopping())
            return false;
        if (!LoopbackServer::readable(client))
            continue;
        const ssize_t n = ::recv(client, buffer + got, size_t(count - got), 0);
        if (n <= 0)
            return false;
        got += int(n);
    }
    return true;
}
