#include "rs485.h"

#include <QThread>

#include <cerrno>
#include <cstring>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

Rs485::Ioctl &ioctlFunction()
{
    static Rs485::Ioctl function;
    return function;
}

int callIoctl(int fd, unsigned long request, void *argument)
{
    const Rs485::Ioctl &function = ioctlFunction();
    return function ? function(fd, request, argument) : ::ioctl(fd, request, argument);
}

// Why a driver refused, in words; the errno's own name too, for searching.
// 0: it took the settings without an error but left RS-485 mode off.
QString refusal(int error, Rs485::Mode mode)
{
    switch (error) {
    case 0:
        return QStringLiteral("its driver takes the settings but leaves RS-485 mode off");
    case ENOTTY:
        return mode == Rs485::Kernel ? QStringLiteral("its driver has no RS-485 mode (ENOTTY)")
                                     : QStringLiteral("its driver cannot switch RTS (ENOTTY)");
    case ENOSYS:
        return QStringLiteral("the system does not carry out the request (ENOSYS; an emulator?)");
    case EINVAL:
        return QStringLiteral("its driver refuses the settings (EINVAL)");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

void pause(int us)
{
    if (us > 0)
        QThread::usleep(ulong(us));
}

} // namespace

bool Rs485::parseMode(const QString &word, Mode *mode)
{
    for (Mode candidate : {None, Kernel, Rts}) {
        if (word == modeName(candidate)) {
            *mode = candidate;
            return true;
        }
    }
    return false;
}

QString Rs485::modeName(Mode mode)
{
    switch (mode) {
    case None:
        return QStringLiteral("none");
    case Kernel:
        return QStringLiteral("kernel");
    case Rts:
        return QStringLiteral("rts");
    }
    return QString();
}

void Rs485::setIoctl(Ioctl function)
{
    ioctlFunction() = std::move(function);
}

bool Rs485::apply(int fd, Mode mode, int delayUs, const QString &port, const QString &option, QString *error)
{
    if (mode == None)
        return true;
    // The driver's answer (`why`: errno as the failed ioctl left it), in words, and what to do instead.
    const auto refused = [&](int why) {
        const QString fix = mode == Kernel
            ? QStringLiteral("try rts (RTS switched by this program), or an adapter that switches direction itself")
            : QStringLiteral("use an adapter that switches direction itself, with rs485 none");
        *error = QStringLiteral("%1: cannot use %2: %3; %4").arg(port, option, refusal(why, mode), fix);
        return false;
    };
    if (mode == Kernel) {
        // Read the driver's settings first so that fields we do not set stay as they are.
        struct serial_rs485 settings;
        std::memset(&settings, 0, sizeof settings);
        if (callIoctl(fd, TIOCGRS485, &settings) == 0) {
            settings.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            settings.flags &= ~__u32(SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX);
            // The kernel counts these delays in whole milliseconds: never shorter than asked.
            const __u32 delayMs = __u32((delayUs + 999) / 1000);
            settings.delay_rts_before_send = delayMs;
            settings.delay_rts_after_send = delayMs;
            if (callIoctl(fd, TIOCSRS485, &settings) != 0)
                return refused(errno);
            return (settings.flags & SER_RS485_ENABLED) != 0 || refused(0);
        }
        return refused(errno);
    }
    // Software RTS: RTS low (receiving) between requests.
    int rts = TIOCM_RTS;
    return callIoctl(fd, TIOCMBIC, &rts) == 0 || refused(errno);
}

bool Rs485::raiseRts(int fd, int delayUs)
{
    int rts = TIOCM_RTS;
    if (callIoctl(fd, TIOCMBIS, &rts) != 0)
        return false;
    pause(delayUs);
    return true;
}

bool Rs485::dropRtsAfterDrain(int fd, int delayUs)
{
    // tcdrain(): until the UART has sent its last bit. Dropping RTS earlier cuts the request's end off.
    const bool drained = callIoctl(fd, TCSBRK, reinterpret_cast<void *>(1)) == 0;
    pause(delayUs);
    int rts = TIOCM_RTS;
    return callIoctl(fd, TIOCMBIC, &rts) == 0 && drained;
}
