#ifndef RS485_H
#define RS485_H

#include <QString>

#include <functional>

// How the transceiver of a 2-wire RS-485 line is switched between sending
// and receiving. Adapters that do it themselves (most USB adapters) need
// nothing; a UART on a gateway board (an RS-485 HAT) needs the kernel's
// RS-485 mode, or RTS raised around each request by the program.
//
// Every ioctl goes through one function, which tests replace to see the
// flags, the delays and the RTS edges without a real UART.
class Rs485
{
public:
    enum Mode {
        None, // the adapter switches direction itself
        Kernel, // the driver raises RTS for each request (TIOCSRS485)
        Rts, // RTS raised before each request and dropped after its last byte, by us
    };

    using Ioctl = std::function<int(int fd, unsigned long request, void *argument)>;

    // "none", "kernel", "rts"; false for any other word.
    static bool parseMode(const QString &word, Mode *mode);
    static QString modeName(Mode mode);
    // The largest delay before and after sending, in microseconds.
    static constexpr int MaxDelayUs = 100000;

    // The function every ioctl goes through; an empty one restores ::ioctl.
    static void setIoctl(Ioctl function);

    // Sets the port up for `mode`. False, with a sentence in `error` naming
    // the port and `option` (how the user asked for it: "--rs485 kernel",
    // "rs485=kernel"), when the port's driver cannot do it.
    static bool apply(int fd, Mode mode, int delayUs, const QString &port, const QString &option, QString *error);
    // Software direction control around one request (Mode Rts): raise RTS and
    // wait `delayUs`; after the write, wait until the last byte has left the
    // UART, wait `delayUs`, drop RTS. False when an ioctl fails.
    static bool raiseRts(int fd, int delayUs);
    static bool dropRtsAfterDrain(int fd, int delayUs);
};

#endif // RS485_H
