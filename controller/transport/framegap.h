#ifndef FRAMEGAP_H
#define FRAMEGAP_H

#include <QtGlobal>

// The silence a Modbus RTU line keeps before each request: at least 3.5
// character times (of 11 bits, as Modbus counts them) since the last byte
// on the line, and 1.75 ms at rates above 19200 baud, where 3.5 characters
// are shorter than a UART's timing can be trusted. A controller takes bytes
// that follow its reply sooner for part of the frame before.
//
// Times are nanoseconds on any monotonic clock the caller keeps.
class FrameGap
{
public:
    explicit FrameGap(int baud = 115200) { setBaud(baud); }

    void setBaud(int baud);
    qint64 gapNs() const { return gap; }
    // Nanoseconds `count` bytes take on the line at this rate (10 bits a byte).
    qint64 wireNs(int count) const;

    // A byte was on the line at `nowNs` (one received, say).
    void lineActiveAt(qint64 nowNs);
    // `count` bytes were handed to the port at `nowNs`: they are on the
    // line until their wire time has passed.
    void sentAt(qint64 nowNs, int count);
    // How long to wait at `nowNs` before a request may go out (0: at once).
    qint64 waitNs(qint64 nowNs) const;

private:
    int rate = 115200;
    qint64 gap = 0;
    qint64 quietFromNs = 0;
    bool anyActivity = false;
};

#endif // FRAMEGAP_H
