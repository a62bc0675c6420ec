#ifndef MASTERPORT_H
#define MASTERPORT_H

#include <QByteArray>
#include <QString>

// Waits generous enough for a loaded machine; used where an answer is expected.
constexpr int replyTimeoutMs = 3000;
// How long the line must stay quiet to count as "no reply".
constexpr int quietMs = 300;

// The master's end of a virtual line, opened with plain POSIX calls like a
// serial adapter (raw, 115200 baud unless told: 9600, 19200, 57600), to send
// requests and read what comes back as the panel or any Modbus master would.
class MasterPort
{
public:
    explicit MasterPort(const QString &path, int baud = 115200);
    ~MasterPort();
    MasterPort(const MasterPort &) = delete;
    MasterPort &operator=(const MasterPort &) = delete;

    bool isOpen() const { return fd >= 0; }
    void close();

    bool send(const QByteArray &data);
    // Reads until `count` bytes are in or `timeoutMs` has passed; a hang-up ends it early.
    QByteArray read(int count, int timeoutMs);
    // Sends a request and reads the reply it should get.
    QByteArray exchange(const QByteArray &request, int replyLength, int timeoutMs = replyTimeoutMs);
    // Reads whatever comes within `ms`.
    QByteArray readAll(int ms) { return read(1 << 20, ms); }
    void flushInput();

    int fd = -1;
    bool hungUp = false; // the last read ended in a hang-up
};

// open() on a path: the errno it fails with, 0 when it opens.
int openErrno(const QString &path);

#endif // MASTERPORT_H
