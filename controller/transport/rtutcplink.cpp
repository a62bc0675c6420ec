#include "rtutcplink.h"

#include "tcplink.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A write that cannot get its bytes out within this long has failed.
constexpr int writeGiveUpMs = 1000;
// Waits are cut into slices this long, to see a stop between them.
constexpr int sliceMs = 100;
// A connection whose sent bytes stay unacknowledged this long, or that stays
// silent through the keep-alive probes (after 10 s, then every 5 s, three
// times), is dead: the device server lost power or its network.
constexpr int userTimeoutMs = 10000;
constexpr int keepIdleS = 10;
constexpr int keepIntervalS = 5;
constexpr int keepCount = 3;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void setOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

RtuTcpLink::RtuTcpLink()
{
    monotonic.start();
}

RtuTcpLink::~RtuTcpLink()
{
    close();
}

bool RtuTcpLink::parsePort(const QString &port, QString *host, int *tcpPort, QString *error)
{
    // The port is not optional: device servers have no standard one.
    static const QRegularExpression withPort(
        QStringLiteral("^tcp://(\\[[^\\]]*\\]|[^:\\[\\]]+):[0-9]+$"), QRegularExpression::CaseInsensitiveOption);
    QString why;
    if (!withPort.match(port).hasMatch() || !TcpLink::parseAddress(port.mid(6), host, tcpPort, &why)) {
        *error = QStringLiteral("'%1' is not tcp://HOST:PORT, the device server's address and TCP port "
                                "(port 1..65535; an IPv6 address in brackets: tcp://[fd00::5]:4001)")
                     .arg(port);
        return false;
    }
    return true;
}

bool RtuTcpLink::open(const QString &port, int baudRate)
{
    const OpenError earlierError = openError();
    const QString earlierText = openErrorText();
    if (fd >= 0 && isLost())
        markLost(); // noticed only now: it counts as it would have during an exchange
    close();
    beginOpen(port, baudRate);
    QString host;
    int tcpPort = 0;
    QString error;
    if (!parsePort(port, &host, &tcpPort, &error)) {
        setOpenError(OtherError, error);
        return false;
    }
    if (direction != Rs485::None) {
        setOpenError(NoDirectionControl,
            QStringLiteral("%1: %2 needs a serial port of this machine; a device server switches its "
                           "transceiver itself (see its own settings)")
                .arg(port, directionOption));
        return false;
    }
    // Within the back-off the line stays as the last attempt left it.
    if (!backoff.mayTry(nowMs())) {
        if (earlierError == NoError) // the last attempt connected: the connection dropped before a reply
            setOpenError(Missing,
                QStringLiteral("%1: the device server closed the connection before any reply (does it serve "
                               "another client?); it is asked again after a pause")
                    .arg(port));
        else
            setOpenError(earlierError, earlierText);
        return false;
    }
    if (!connectTo(host, tcpPort, &error)) {
        backoff.failed(nowMs());
        setOpenError(Missing, QStringLiteral("%1: %2").arg(port, error));
        return false;
    }
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1); // a request goes out whole, at once
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, keepIdleS);
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, keepIntervalS);
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, keepCount);
    setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, userTimeoutMs);
    return true;
}

bool RtuTcpLink::connectTo(const QString &host, int tcpPort, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int resolved
        = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(tcpPort).constData(), &hints, &found);
    if (resolved != 0) {
        *error
            = QStringLiteral("cannot find the host %1: %2").arg(host, QString::fromLocal8Bit(gai_strerror(resolved)));
        return false;
    }
    int code = 0;
    for (const addrinfo *address = found; address && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            code = errno;
            continue;
        }
        code = ::connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (code == EINPROGRESS) {
            socklen_t length = sizeof code;
            if (!waitFor(POLLOUT, ConnectWaitMs))
                code = ETIMEDOUT;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0)
                code = errno;
        }
        if (code != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0)
        return true;
    *error = QStringLiteral("cannot reach the device server: %1 (is it on, and does it serve its serial port "
                            "in TCP server mode on this port?)")
                 .arg(code == ETIMEDOUT ? QStringLiteral("no answer within %1 s").arg(ConnectWaitMs / 1000)
                                        : systemError(code));
    return false;
}

bool RtuTcpLink::waitFor(short events, int waitMs) const
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int left = int(waitMs - waited.elapsed());
        if (left <= 0 || abandoned())
            return false;
        pollfd watched{fd, events, 0};
        const int ready = ::poll(&watched, 1, qMin(left, sliceMs));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void RtuTcpLink::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    lost = false;
    carried = false;
}

bool RtuTcpLink::isLost() const
{
    if (fd < 0 || lost)
        return true;
    // The device server closed the connection, or it broke: seen without reading.
    pollfd watched{fd, POLLRDHUP, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void RtuTcpLink::heard()
{
    lineActive();
    if (!carried)
        backoff.succeeded();
    carried = true;
}

void RtuTcpLink::markLost()
{
    // A connection that dropped before it carried anything counts as a
    // failed attempt: a device server that takes connections and closes them
    // (one that serves another client, say) is not asked again at once.
    if (!lost && !carried)
        backoff.failed(nowMs());
    lost = true;
}

bool RtuTcpLink::prepare()
{
    if (isLost()) {
        markLost();
        return false;
    }
    char stale[256];
    for (;;) {
        const ssize_t got = ::recv(fd, stale, sizeof stale, MSG_DONTWAIT);
        if (got > 0) {
            heard();
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            markLost();
        return !lost;
    }
}

bool RtuTcpLink::send(const quint8 *data, int length)
{
    keepFrameGap();
    int sent = 0;
    while (sent < length && !lost) {
        const ssize_t n = ::send(fd, data + sent, size_t(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += int(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, writeGiveUpMs))
            markLost();
    }
    if (lost)
        return false;
    sentNow(length);
    return true;
}

int RtuTcpLink::receive(quint8 *buffer, int count, int waitMs)
{
    int total = 0;
    while (total < count && !lost && fd >= 0) {
        const ssize_t got = ::recv(fd, buffer + total, size_t(count - total), MSG_DONTWAIT);
        if (got > 0) {
            total += int(got);
            heard();
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            markLost();
        } else if (errno != EINTR && !waitFor(POLLIN, waitMs)) {
            break;
        }
    }
    return total;
}
