#include "masterport.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

MasterPort::MasterPort(const QString &path, int baud)
{
    const speed_t speed = baud == 9600 ? B9600 : baud == 19200 ? B19200 : baud == 57600 ? B57600 : B115200;
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct termios tio;
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

MasterPort::~MasterPort()
{
    close();
}

void MasterPort::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool MasterPort::send(const QByteArray &data)
{
    const ssize_t n = ::write(fd, data.constData(), size_t(data.size()));
    return n == data.size();
}

QByteArray MasterPort::read(int count, int timeoutMs)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    hungUp = false;
    while (data.size() < count) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, size_t(std::min<int>(count - data.size(), sizeof buffer)));
        if (n > 0) {
            data.append(buffer, int(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            hungUp = true;
            break;
        }
    }
    return data;
}

QByteArray MasterPort::exchange(const QByteArray &request, int replyLength, int timeoutMs)
{
    if (!send(request))
        return QByteArray();
    return read(replyLength, timeoutMs);
}

void MasterPort::flushInput()
{
    ::tcflush(fd, TCIFLUSH);
}

int openErrno(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}
