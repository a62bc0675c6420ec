#ifndef SERIALREAD_H
#define SERIALREAD_H

#include <QtGlobal>

#include <atomic>

class QSerialPort;

// Reads up to `count` bytes from the port, waiting at most `waitMs` each time
// no byte is available: a reply ends when it pauses that long. Returns the
// bytes read; `deviceError` tells whether a read failed on the way. Once
// `abandon` is set the read ends before its next wait, with what it has.
int readWithPauses(QSerialPort &port, char *buffer, int count, int waitMs, bool *deviceError,
    const std::atomic<bool> *abandon = nullptr);

#endif // SERIALREAD_H
