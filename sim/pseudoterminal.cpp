#include "pseudoterminal.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool isSymlink(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The rates a serial adapter runs at, and their terminal codes.
const struct
{
    speed_t code;
    int rate;
} rates[] = {{B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::open()
{
    close();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        closeFd(master);
        return false;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        closeFd(master);
        return false;
    }
    // A new terminal echoes and gathers lines until someone configures it.
    makeRaw(slave, 115200);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    const QString path = QFile::decodeName(name);
    if (!m_linkPath.isEmpty() && !pointLink(path)) {
        const int saved = errno;
        closeFd(slave);
        closeFd(master);
        errno = saved;
        return false;
    }
    m_master = master;
    m_keptSlave = slave;
    m_ptsPath = path;
    return true;
}

// Points the link at the terminal, replacing an older link in one step.
bool PseudoTerminal::pointLink(const QString &target)
{
    const QByteArray link = QFile::encodeName(m_linkPath);
    struct stat st;
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        errno = EEXIST; // never replace a real file
        return false;
    }
    const QByteArray temp = link + ".tmp-" + QByteArray::number(::getpid());
    ::unlink(temp.constData());
    if (::symlink(QFile::encodeName(target).constData(), temp.constData()) != 0)
        return false;
    if (::rename(temp.constData(), link.constData()) != 0) {
        const int saved = errno;
        ::unlink(temp.constData());
        errno = saved;
        return false;
    }
    return true;
}

bool PseudoTerminal::makeRaw(int fd, int baud)
{
    struct termios tio;
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    for (const auto &entry : rates) {
        if (entry.rate == baud) {
            ::cfsetispeed(&tio, entry.code);
            ::cfsetospeed(&tio, entry.code);
        }
    }
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

int PseudoTerminal::baudRate() const
{
    struct termios tio;
    if (m_master < 0 || ::tcgetattr(m_master, &tio) != 0)
        return -1;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const auto &entry : rates) {
        if (entry.code == speed)
            return entry.rate;
    }
    return -1;
}

void PseudoTerminal::close()
{
    if (m_master < 0)
        return;
    closeFd(m_master);
    closeFd(m_keptSlave);
    if (!m_linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(m_linkPath);
        if (isSymlink(link))
            ::unlink(link.constData());
    }
}
