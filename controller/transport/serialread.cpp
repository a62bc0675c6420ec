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
