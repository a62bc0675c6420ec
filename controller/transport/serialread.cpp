#include "serialread.h"

#include <QSerialPort>

int readWithPauses(
    QSerialPort &port, char *buffer, int count, int waitMs, bool *deviceError, const std::atomic<bool> *abandon)
{
    *deviceError = false;
    int total = 0;
    while (total < count) {
        const qint64 got = port.read(buffer + total, count - total);
        if (got < 0) {
            *deviceError = true;
            return total;
        }
        if (got == 0) {
            if ((abandon && abandon->load()) || !port.waitForReadyRead(waitMs))
                return total;
            continue;
        }
        total += int(got);
    }
    return total;
}

Link::Echo readEcho(QSerialPort &port, const QByteArray &sent, int waitMs, QByteArray *echo, bool *deviceError,
    const std::atomic<bool> *abandon)
{
    echo->resize(sent.size());
    echo->resize(readWithPauses(port, echo->data(), sent.size(), waitMs, deviceError, abandon));
    if (echo->isEmpty())
        return Link::Echo::Missing;
    // Fewer bytes than were sent are a changed echo too: the line lost some.
    return *echo == sent ? Link::Echo::Same : Link::Echo::Different;
}
