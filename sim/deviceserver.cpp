#include "deviceserver.h"

#include "pseudoterminal.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// While the line's port is gone (the line unplugged), look for it this often.
constexpr int lineRetryMs = 100;

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DeviceServer::~DeviceServer()
{
    stop();
}

bool DeviceServer::start(const QString &address, const QString &portPath, int baud, QString *error)
{
    stop();
    linePath = portPath;
    lineBaud = baud;
    // A terminal's own path may be another program's terminal once it is
    // closed: only a link (VirtualLine's) is looked for again.
    lineReopens = QFileInfo(portPath).isSymLink();
    if (!listenOn(address, error))
        return false;
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0 || !openLine()) {
        *error = QStringLiteral("cannot open the line's port %1: %2").arg(portPath, systemError());
        stop();
        return false;
    }
    thread = std::thread([this] { serve(); });
    return true;
}

void DeviceServer::stop()
{
    if (thread.joinable()) {
        const quint64 one = 1;
        const ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
        thread.join();
    }
    for (int &connection : connections)
        closeFd(connection);
    connections.clear();
    closeFd(listenFd);
    closeFd(wakeFd);
    closeFd(lineFd);
}

bool DeviceServer::listenOn(const QString &address, QString *error)
{
    // HOST:PORT, the host of an IPv6 address in brackets.
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    QString host = address.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool isNumber = false;
    const int port = address.mid(colon + 1).toInt(&isNumber);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (colon < 1 || !isNumber || port < 0 || port > 65535
        || ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found) != 0) {
        *error = QStringLiteral("'%1' is not ADDRESS:PORT to listen on (e.g. 127.0.0.1:0, port 0 for a free one, "
                                "or [::1]:4001)")
                     .arg(address);
        return false;
    }
    for (const addrinfo *at = found; at && listenFd < 0; at = at->ai_next) {
        listenFd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        const int on = 1;
        if (listenFd >= 0
            && (::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
                || ::bind(listenFd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(listenFd, 8) != 0)) {
            *error = QStringLiteral("cannot listen on %1: %2").arg(address, systemError());
            closeFd(listenFd);
        }
    }
    ::freeaddrinfo(found);
    if (listenFd < 0)
        return false;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    char name[NI_MAXHOST];
    char service[NI_MAXSERV];
    ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&bound), &length);
    ::getnameinfo(reinterpret_cast<sockaddr *>(&bound), length, name, sizeof name, service, sizeof service,
        NI_NUMERICHOST | NI_NUMERICSERV);
    const QString shown = QString::fromLatin1(name);
    listenUrl = QStringLiteral("tcp://%1:%2")
                    .arg(shown.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(shown) : shown,
                        QString::fromLatin1(service));
    return true;
}

bool DeviceServer::openLine()
{
    lineFd = ::open(QFile::encodeName(linePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (lineFd >= 0 && !PseudoTerminal::makeRaw(lineFd, lineBaud))
        closeFd(lineFd);
    return lineFd >= 0;
}

void DeviceServer::serve()
{
    for (;;) {
        std::vector<pollfd> watched = {{wakeFd, POLLIN, 0}, {listenFd, POLLIN, 0}, {lineFd, POLLIN, 0}};
        for (int connection : connections)
            watched.push_back({connection, POLLIN, 0});
        // A closed line (-1) is skipped by poll(); it is looked for again after lineRetryMs.
        const int ready = ::poll(watched.data(), nfds_t(watched.size()), lineFd < 0 && lineReopens ? lineRetryMs : -1);
        if (ready < 0 && errno != EINTR)
            return;
        if (watched[0].revents)
            return; // stop()
        if (watched[1].revents & POLLIN)
            acceptConnection();
        if (lineFd < 0 && lineReopens)
            openLine();
        else if (watched[2].revents)
            passLineBytes();
        for (size_t i = 3; i < watched.size(); ++i) {
            if (watched[i].revents && !passConnectionBytes(watched[i].fd)) {
                ::close(watched[i].fd);
                connections.erase(std::find(connections.begin(), connections.end(), watched[i].fd));
            }
        }
    }
}

void DeviceServer::acceptConnection()
{
    const int connection = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0)
        return;
    if (int(connections.size()) >= MaxConnections) {
        ::close(connection);
        return;
    }
    const int on = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections.push_back(connection);
}

void DeviceServer::passLineBytes()
{
    char buffer[4096];
    const ssize_t got = ::read(lineFd, buffer, sizeof buffer);
    if (got > 0) {
        // A connection that does not take the bytes loses them, as on a real device server.
        for (int connection : connections) {
            const ssize_t sent = ::send(connection, buffer, size_t(got), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)sent;
        }
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeFd(lineFd); // the line was unplugged: a hang-up
    }
}

bool DeviceServer::passConnectionBytes(int connection)
{
    char buffer[4096];
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0 && lineFd >= 0) {
        const ssize_t written = ::write(lineFd, buffer, size_t(got));
        (void)written; // a line that cannot take them loses them
    }
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}
