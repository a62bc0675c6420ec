#include "loopbackserver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackServer::LoopbackServer(std::function<void(int client)> serve) : serve(std::move(serve))
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
    thread = std::thread([this] {
        while (!stop) {
            if (!readable(listener))
                continue;
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            this->serve(client);
            ::close(client);
        }
    });
}

LoopbackServer::~LoopbackServer()
{
    stop = true;
    if (thread.joinable())
        thread.join();
    if (listener >= 0)
        ::close(listener);
}

bool LoopbackServer::readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, PollMs) > 0;
}
