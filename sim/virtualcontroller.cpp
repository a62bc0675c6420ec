#include "virtualcontroller.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The controller's register map.
constexpr quint16 regCommandWord = 0x0000;
constexpr quint16 statusFirst = 0x0001;
constexpr int statusCount = 12;
constexpr quint16 regEnableMask = 0x0001;
constexpr quint16 regSwitchMask = 0x0002;
constexpr quint16 regAdcEnable = 0x0003;
constexpr quint16 regPowerPermille = 0x0004;
constexpr quint16 regRs485Address = 0x0005;
constexpr quint16 regTemperature = 0x0007;
constexpr quint16 regSupply = 0x0009;
constexpr quint16 regRunSecondsHigh = 0x000A;
constexpr quint16 regRunSecondsLow = 0x000B;
constexpr quint16 regFirmwareVersion = 0x000C;
constexpr quint16 regMaxPowerDac = 0x1001;
constexpr quint16 configFirst = 0x2001;
constexpr int configCount = 7;

constexpr quint16 factoryStatus[statusCount] = {
    0x0FFF, // enable mask
    0,      // switch mask
    0,      // external analog input
    0,      // power setting
    1,      // RS-485 address
    0,      // status word 6
    253,    // temperature, 25.3 degrees
    0,      // status word 8
    24000,  // supply millivolts
    0, 0,   // running seconds, high and low word
    0x010A, // firmware 1.10
};
constexpr quint16 factoryMaxDac = 3980;
constexpr quint16 factoryConfig[configCount] = {0, 0x0FFF, 3980, 0x0225, 0x5100, 300, 0x0FFF};

// Modbus exception codes.
constexpr quint8 illegalFunction = 0x01;
constexpr quint8 illegalDataAddress = 0x02;
constexpr quint8 illegalDataValue = 0x03;
constexpr quint8 deviceFailure = 0x04;

// An incomplete request is dropped after this much silence on the line.
constexpr milliseconds frameSilence(20);
// After a hang-up on the terminal, look again this much later.
constexpr milliseconds hangupRetry(10);
// Chunks of an endless stream go out this often.
constexpr milliseconds streamPeriod(2);
// The byte an endless stream repeats; no run of it forms a frame with a valid CRC.
constexpr char streamByte = 0x55;
// A write that cannot get rid of its bytes gives up after this long.
constexpr milliseconds writeGiveUp(1000);
// The request log keeps at most this many frames (the oldest go first).
constexpr int requestLogLimit = 4096;

quint16 crc16(const char *data, int size)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < size; ++i) {
        crc ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

void appendCrc(QByteArray &frame)
{
    const quint16 crc = crc16(frame.constData(), frame.size());
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
}

bool crcMatches(const QByteArray &frame)
{
    if (frame.size() < 4)
        return false;
    const quint16 crc = crc16(frame.constData(), frame.size() - 2);
    return quint8(frame.at(frame.size() - 2)) == (crc & 0xFF)
        && quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

quint16 wordAt(const QByteArray &frame, int offset)
{
    return quint16((quint8(frame.at(offset)) << 8) | quint8(frame.at(offset + 1)));
}

void appendWord(QByteArray &frame, quint16 word)
{
    frame.append(char(word >> 8));
    frame.append(char(word & 0xFF));
}

// Bytes a request needs, judged from what has arrived so far: functions 3 and 6
// (and anything unknown) take 8 bytes, function 16 takes 9 plus its byte count.
int requestLength(const QByteArray &buffer)
{
    if (buffer.size() < 2)
        return 2;
    if (quint8(buffer.at(1)) == 0x10) {
        if (buffer.size() < 7)
            return 7;
        return 9 + quint8(buffer.at(6));
    }
    return 8;
}

QByteArray exceptionReply(quint8 unit, quint8 function, quint8 code)
{
    QByteArray reply;
    reply.append(char(unit));
    reply.append(char(function | 0x80));
    reply.append(char(code));
    appendCrc(reply);
    return reply;
}

// The controller's write acknowledgement: address, function, register, CRC of those four.
QByteArray writeAck(quint8 unit, quint8 function, quint16 reg)
{
    QByteArray reply;
    reply.append(char(unit));
    reply.append(char(function));
    appendWord(reply, reg);
    appendCrc(reply);
    return reply;
}

QString hexBytes(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size() * 3);
    for (int i = 0; i < bytes.size(); ++i) {
        if (i)
            text += QLatin1Char(' ');
        text += QStringLiteral("%1").arg(quint8(bytes.at(i)), 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

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

} // namespace

struct VirtualController::Private
{
    // A reply on its way out: the bytes and when each of them is due.
    struct Outgoing
    {
        QByteArray bytes;
        Clock::time_point start;
        nanoseconds byteTime{0}; // pacing: byte i is complete at start + (i + 1) * byteTime
        nanoseconds gap{0};      // gaps: byte i goes out at start + i * gap
        QString note;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::mutex commandMutex; // serialises start, stop, unplug and replug

    // Registers. The RS-485 address lives in status[4] (register 0x0005).
    quint16 status[statusCount] = {};
    quint16 maxDac = factoryMaxDac;
    quint16 config[configCount] = {};
    quint16 commandWord = 0;

    Fault fault;
    bool streaming = false;
    int pacingBaud = 0;
    int turnaroundUs = 0;
    bool drift = false;
    std::mt19937 random{0x5eed};
    quint32 garbageSeed = 0x12345678;

    QList<Request> requestLog;
    int loggedSinceClear = 0;
    int replies = 0;
    int repliesFinished = 0; // replies whose last byte has gone out (or was cut off)
    std::function<void(const QString &)> traceSink;

    // The terminal.
    bool running = false;
    bool plugged = false;
    QString linkPath;
    QString ptsPath;
    int masterFd = -1;
    int keptSlaveFd = -1;
    int wakeFd = -1;
    std::thread thread;
    Clock::time_point startTime = Clock::now();

    // Requests to the serving thread.
    bool stopRequested = false;
    bool unplugRequested = false;
    bool replugRequested = false;
    bool replugResult = false;

    // Owned by the serving thread.
    QByteArray rxBuffer;
    Clock::time_point lastRx;
    Clock::time_point masterRetryAt;
    Clock::time_point streamStart;
    qint64 streamSent = 0;
    bool streamTraced = false;

    Private() { resetRegistersLocked(); }

    void resetRegistersLocked()
    {
        std::copy(std::begin(factoryStatus), std::end(factoryStatus), status);
        std::copy(std::begin(factoryConfig), std::end(factoryConfig), config);
        maxDac = factoryMaxDac;
        commandWord = 0;
    }

    quint8 addressLocked() const { return quint8(status[regRs485Address - statusFirst]); }

    qint64 micros(Clock::time_point t) const
    {
        return std::chrono::duration_cast<microseconds>(t - startTime).count();
    }

    QString stamp(Clock::time_point t) const
    {
        const qint64 us = std::max<qint64>(0, micros(t));
        return QString::asprintf("%lld.%06lld", us / 1000000, us % 1000000);
    }

    void wake()
    {
        if (wakeFd >= 0) {
            const quint64 one = 1;
            ssize_t n = ::write(wakeFd, &one, sizeof one);
            (void)n;
        }
    }

    void drainWake()
    {
        quint64 value;
        ssize_t n = ::read(wakeFd, &value, sizeof value);
        (void)n;
    }

    bool commandPending()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stopRequested || unplugRequested || replugRequested;
    }

    void trace(const QStringList &lines)
    {
        std::function<void(const QString &)> sink;
        {
            std::lock_guard<std::mutex> lock(mutex);
            sink = traceSink;
        }
        if (!sink)
            return;
        for (const QString &line : lines)
            sink(line);
    }

    void trace(const QString &line) { trace(QStringList{line}); }

    // --- the terminal -----------------------------------------------------

    bool openTerminalLocked()
    {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0)
            return false;
        char name[128];
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0
            || ::ptsname_r(master, name, sizeof name) != 0) {
            ::close(master);
            return false;
        }
        // One descriptor of the panel's side stays open in here, so the master
        // does not see a hang-up while the panel has its side closed.
        int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) {
            ::close(master);
            return false;
        }
        struct termios tio;
        if (::tcgetattr(slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            tio.c_cflag |= CLOCAL | CREAD;
            ::cfsetispeed(&tio, B115200);
            ::cfsetospeed(&tio, B115200);
            ::tcsetattr(slave, TCSANOW, &tio);
        }
        const int flags = ::fcntl(master, F_GETFL);
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK);

        const QString path = QFile::decodeName(name);
        if (!linkPath.isEmpty() && !pointLink(path)) {
            ::close(slave);
            ::close(master);
            return false;
        }
        masterFd = master;
        keptSlaveFd = slave;
        ptsPath = path;
        plugged = true;
        masterRetryAt = Clock::time_point();
        return true;
    }

    // Points the link at the terminal, replacing an older link in one step.
    bool pointLink(const QString &target)
    {
        const QByteArray link = QFile::encodeName(linkPath);
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
            ::unlink(temp.constData());
            return false;
        }
        return true;
    }

    void closeTerminalLocked()
    {
        closeFd(masterFd);
        closeFd(keptSlaveFd);
        if (!linkPath.isEmpty()) {
            const QByteArray link = QFile::encodeName(linkPath);
            if (isSymlink(link))
                ::unlink(link.constData());
        }
        plugged = false;
        streaming = false;
        rxBuffer.clear();
    }

    // --- waiting ----------------------------------------------------------

    // Sleeps until the deadline; false when stop, unplug or replug cut it short.
    bool waitUntil(Clock::time_point deadline)
    {
        for (;;) {
            const auto now = Clock::now();
            if (now >= deadline)
                return true;
            const auto left = std::chrono::duration_cast<nanoseconds>(deadline - now);
            struct timespec ts;
            ts.tv_sec = time_t(left.count() / 1000000000);
            ts.tv_nsec = long(left.count() % 1000000000);
            struct pollfd pfd = {wakeFd, POLLIN, 0};
            const int rc = ::ppoll(&pfd, 1, &ts, nullptr);
            if (rc > 0 && (pfd.revents & POLLIN)) {
                drainWake();
                if (commandPending())
                    return false;
            }
        }
    }

    // Writes all bytes to the terminal; false when the write had to be abandoned.
    bool writeAll(int fd, const char *data, int size)
    {
        const auto giveUp = Clock::now() + writeGiveUp;
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size_t(size));
            if (n > 0) {
                data += n;
                size -= int(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            if (Clock::now() >= giveUp || !waitUntil(Clock::now() + milliseconds(1)))
                return false;
        }
        return true;
    }

    // --- registers --------------------------------------------------------

    bool readableLocked(quint16 reg, quint16 *value) const
    {
        if (reg >= statusFirst && reg < statusFirst + statusCount) {
            *value = status[reg - statusFirst];
            return true;
        }
        if (reg == regMaxPowerDac) {
            *value = maxDac;
            return true;
        }
        if (reg >= configFirst && reg < configFirst + configCount) {
            *value = config[reg - configFirst];
            return true;
        }
        return false;
    }

    // Function 6: 0 when written, otherwise the exception code.
    quint8 writeSingleLocked(quint16 reg, quint16 value)
    {
        if (reg == regCommandWord) {
            commandWord = value;
            return 0;
        }
        if (reg == regRs485Address) {
            if (value < 1 || value > 254)
                return illegalDataValue;
            status[reg - statusFirst] = value;
            return 0;
        }
        if (reg >= regEnableMask && reg <= regPowerPermille) {
            status[reg - statusFirst] = value;
            return 0;
        }
        if (reg == regMaxPowerDac) {
            maxDac = value;
            return 0;
        }
        return illegalDataAddress;
    }

    // Carries out a request and gives the reply the controller would send.
    QByteArray executeLocked(const QByteArray &frame)
    {
        const quint8 unit = quint8(frame.at(0));
        const quint8 function = quint8(frame.at(1));
        switch (function) {
        case 0x03: {
            const quint16 first = wordAt(frame, 2);
            const quint16 count = wordAt(frame, 4);
            if (count < 1 || count > 125)
                return exceptionReply(unit, function, illegalDataValue);
            QByteArray reply;
            reply.append(char(unit));
            reply.append(char(function));
            reply.append(char(count * 2));
            for (int i = 0; i < count; ++i) {
                quint16 value = 0;
                if (first + i > 0xFFFF || !readableLocked(quint16(first + i), &value))
                    return exceptionReply(unit, function, illegalDataAddress);
                appendWord(reply, value);
            }
            appendCrc(reply);
            return reply;
        }
        case 0x06: {
            const quint16 reg = wordAt(frame, 2);
            const quint8 code = writeSingleLocked(reg, wordAt(frame, 4));
            if (code)
                return exceptionReply(unit, function, code);
            return writeAck(unit, function, reg);
        }
        case 0x10: {
            const quint16 first = wordAt(frame, 2);
            const quint16 count = wordAt(frame, 4);
            const int byteCount = quint8(frame.at(6));
            if (count < 1 || count > 123 || byteCount != count * 2)
                return exceptionReply(unit, function, illegalDataValue);
            // The configuration block is only ever written whole.
            if (first != configFirst || count != configCount)
                return exceptionReply(unit, function, illegalDataAddress);
            for (int i = 0; i < configCount; ++i)
                config[i] = wordAt(frame, 7 + 2 * i);
            // The controller applies its new configuration at once.
            status[regEnableMask - statusFirst] = config[1];
            maxDac = config[2];
            return writeAck(unit, function, first);
        }
        default:
            return exceptionReply(unit, function, illegalFunction);
        }
    }

    void applyDriftLocked()
    {
        auto stepWithin = [this](int value, int step, int low, int high) {
            std::uniform_int_distribution<int> d(-step, step);
            return std::clamp(value + d(random), low, high);
        };
        quint16 &temperature = status[regTemperature - statusFirst];
        temperature = quint16(qint16(stepWithin(qint16(temperature), 1, 240, 260)));
        quint16 &supply = status[regSupply - statusFirst];
        supply = quint16(stepWithin(supply, 10, 23900, 24100));
        quint32 seconds = (quint32(status[regRunSecondsHigh - statusFirst]) << 16)
            | status[regRunSecondsLow - statusFirst];
        ++seconds;
        status[regRunSecondsHigh - statusFirst] = quint16(seconds >> 16);
        status[regRunSecondsLow - statusFirst] = quint16(seconds & 0xFFFF);
    }

    // --- requests ---------------------------------------------------------

    static bool faultFits(FaultKind kind, quint8 function, const QByteArray &reply)
    {
        switch (kind) {
        case FaultNone:
            return false;
        case FaultException:
            return function == 0x03;
        case FaultEcho8:
            return (function == 0x06 || function == 0x10) && quint8(reply.at(1)) == function;
        default:
            return true;
        }
    }

    QByteArray garbage(int count)
    {
        QByteArray bytes;
        for (int i = 0; i < count; ++i) {
            garbageSeed = garbageSeed * 1103515245u + 12345u;
            bytes.append(char(garbageSeed >> 16));
        }
        return bytes;
    }

    void handleFrame(const QByteArray &frame, Clock::time_point at)
    {
        QStringList lines;
        Outgoing out;
        bool unplugged = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            Request request;
            request.timeUs = micros(at);
            request.frame = frame;
            requestLog.append(request);
            if (requestLog.size() > requestLogLimit)
                requestLog.removeFirst();
            ++loggedSinceClear;
            changed.notify_all();

            const quint8 unit = quint8(frame.at(0));
            const quint8 function = quint8(frame.at(1));
            QString rx = stamp(at) + QStringLiteral(" rx ") + hexBytes(frame);
            if (unit != 0 && unit != addressLocked()) {
                lines << rx + QStringLiteral("  (for address %1, ignored)").arg(unit);
            } else if (unit == 0) {
                executeLocked(frame);
                lines << rx + QStringLiteral("  (broadcast, no reply)");
            } else if (streaming) {
                executeLocked(frame);
                lines << rx + QStringLiteral("  (stream running, no reply)");
            } else {
                lines << rx;
                Fault applied;
                if (fault.kind == FaultUnplugOnRequest && fault.count != 0) {
                    applied = fault;
                } else if (fault.kind == FaultException && fault.count != 0 && function == 0x03) {
                    applied = fault;
                    out.bytes = exceptionReply(unit, function,
                                               quint8(fault.param ? fault.param : deviceFailure));
                } else {
                    out.bytes = executeLocked(frame);
                    if (fault.count != 0 && faultFits(fault.kind, function, out.bytes))
                        applied = fault;
                }
                if (applied.kind != FaultNone && fault.count > 0 && --fault.count == 0)
                    fault = Fault();

                const QString now = stamp(Clock::now());
                switch (applied.kind) {
                case FaultNone:
                    break;
                case FaultNoReply:
                    out.bytes.clear();
                    lines << now + QStringLiteral(" -- fault: no reply");
                    break;
                case FaultBadCrc:
                    out.bytes[out.bytes.size() - 1] = char(~quint8(out.bytes.at(out.bytes.size() - 1)));
                    out.note = QStringLiteral("fault: bad CRC");
                    break;
                case FaultTruncate:
                    out.bytes.truncate(std::max(0, applied.param));
                    out.note = QStringLiteral("fault: cut to %1 bytes").arg(out.bytes.size());
                    if (out.bytes.isEmpty())
                        lines << now + QStringLiteral(" -- fault: cut to nothing");
                    break;
                case FaultDelay:
                    out.note = QStringLiteral("fault: delayed %1 ms").arg(applied.param);
                    break;
                case FaultGapPace:
                    out.gap = milliseconds(std::max(0, applied.param));
                    out.note = QStringLiteral("fault: %1 ms between bytes").arg(applied.param);
                    break;
                case FaultEcho8:
                    if (function == 0x06) {
                        out.bytes = frame.left(8);
                    } else {
                        out.bytes = frame.left(6);
                        appendCrc(out.bytes);
                    }
                    out.note = QStringLiteral("fault: standard 8-byte echo");
                    break;
                case FaultException:
                    out.note = QStringLiteral("fault: exception reply");
                    break;
                case FaultGarbageBefore:
                    out.bytes.prepend(garbage(std::max(0, applied.param)));
                    out.note = QStringLiteral("fault: %1 garbage bytes first").arg(applied.param);
                    break;
                case FaultWrongAddress:
                    out.bytes[0] = char(applied.param);
                    out.bytes.chop(2);
                    appendCrc(out.bytes);
                    out.note = QStringLiteral("fault: reply from address %1").arg(quint8(applied.param));
                    break;
                case FaultEndlessStream:
                    out.bytes.clear();
                    streaming = true;
                    streamStart = Clock::now();
                    streamSent = 0;
                    streamTraced = false;
                    lines << now + QStringLiteral(" -- fault: endless stream starts");
                    break;
                case FaultUnplugOnRequest:
                    out.bytes.clear();
                    closeTerminalLocked();
                    unplugged = true;
                    lines << now + QStringLiteral(" -- fault: unplugged");
                    break;
                }
                if (!out.bytes.isEmpty()) {
                    ++replies;
                    out.start = at + microseconds(turnaroundUs);
                    if (applied.kind == FaultDelay)
                        out.start += milliseconds(std::max(0, applied.param));
                    if (pacingBaud > 0)
                        out.byteTime = nanoseconds(10LL * 1000000000LL / pacingBaud);
                }
            }
        }
        if (unplugged)
            changed.notify_all();
        trace(lines);
        if (!out.bytes.isEmpty())
            sendReply(out);
    }

    void sendReply(const Outgoing &out)
    {
        // However the sending ends, it is counted as ended.
        struct Finished
        {
            Private *d;
            ~Finished()
            {
                std::lock_guard<std::mutex> lock(d->mutex);
                ++d->repliesFinished;
            }
        } finished{this};
        if (!waitUntil(out.start))
            return;
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!plugged)
                return;
            fd = masterFd;
        }
        auto due = [&out](int i) {
            if (out.gap.count() > 0)
                return out.start + out.gap * i;
            return out.start + out.byteTime * (i + 1);
        };
        const int total = out.bytes.size();
        int sent = 0;
        Clock::time_point first;
        bool cut = false;
        while (sent < total) {
            const auto now = Clock::now();
            int ready = sent;
            while (ready < total && due(ready) <= now)
                ++ready;
            if (ready == sent) {
                if (!waitUntil(due(sent))) {
                    cut = true;
                    break;
                }
                continue;
            }
            if (sent == 0)
                first = now;
            if (!writeAll(fd, out.bytes.constData() + sent, ready - sent)) {
                cut = true;
                break;
            }
            sent = ready;
        }
        if (sent == 0)
            first = Clock::now();
        QString line = stamp(first) + QStringLiteral(" tx ") + hexBytes(out.bytes.left(sent));
        QStringList notes;
        if (!out.note.isEmpty())
            notes << out.note;
        if (cut)
            notes << QStringLiteral("cut off after %1 of %2 bytes").arg(sent).arg(total);
        if (!notes.isEmpty())
            line += QStringLiteral("  (") + notes.join(QStringLiteral("; ")) + QLatin1Char(')');
        trace(line);
    }

    void parse(bool silenceExpired)
    {
        QByteArray dropped;
        while (!rxBuffer.isEmpty()) {
            const int need = requestLength(rxBuffer);
            if (rxBuffer.size() < need) {
                if (!silenceExpired)
                    break;
                // The line went quiet in the middle of a frame: give up its first byte
                // and look for a frame further on.
                dropped.append(rxBuffer.at(0));
                rxBuffer.remove(0, 1);
                continue;
            }
            const QByteArray candidate = rxBuffer.left(need);
            if (!crcMatches(candidate)) {
                dropped.append(rxBuffer.at(0));
                rxBuffer.remove(0, 1);
                continue;
            }
            if (!dropped.isEmpty()) {
                trace(stamp(Clock::now()) + QStringLiteral(" -- dropped ") + hexBytes(dropped));
                dropped.clear();
            }
            rxBuffer.remove(0, need);
            handleFrame(candidate, lastRx);
            std::lock_guard<std::mutex> lock(mutex);
            if (!plugged || stopRequested || unplugRequested || replugRequested)
                return;
        }
        if (!dropped.isEmpty())
            trace(stamp(Clock::now()) + QStringLiteral(" -- dropped ") + hexBytes(dropped));
    }

    void readAvailable(int fd)
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                rxBuffer.append(buffer, int(n));
                lastRx = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                masterRetryAt = Clock::now() + hangupRetry; // EIO: nobody on the other side
            return;
        }
    }

    // Pushes the endless stream forward; bytes the terminal cannot take are dropped.
    void streamSome()
    {
        QString note;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!streaming || !plugged) {
                if (streamTraced) {
                    note = stamp(Clock::now())
                        + QStringLiteral(" -- endless stream ends after %1 bytes").arg(streamSent);
                    streamTraced = false;
                }
            } else {
                streamTraced = true;
                const qint64 bytesPerSecond = pacingBaud > 0 ? pacingBaud / 10 : 11520;
                const qint64 elapsedUs =
                    std::chrono::duration_cast<microseconds>(Clock::now() - streamStart).count();
                const qint64 due = elapsedUs * bytesPerSecond / 1000000;
                const int count = int(std::min<qint64>(due - streamSent, 4096));
                if (count > 0) {
                    // Written under the lock, so nothing follows once clearFault() returns.
                    const QByteArray chunk(count, streamByte);
                    ssize_t n = ::write(masterFd, chunk.constData(), size_t(count));
                    (void)n;
                    streamSent += count;
                }
            }
        }
        if (!note.isEmpty())
            trace(note);
    }

    void serve()
    {
        // A device answers on its own time, whatever the host is doing: ask
        // for a better share of the processor when allowed (root), so that a
        // loaded machine does not make the controller miss the master's wait.
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), -10);

        Clock::time_point nextDrift;
        bool drifting = false;
        for (;;) {
            int fd = -1;
            bool streamingNow = false;
            bool driftOn = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopRequested)
                    break;
                if (unplugRequested) {
                    closeTerminalLocked();
                    unplugRequested = false;
                    changed.notify_all();
                }
                if (replugRequested) {
                    replugResult = plugged || openTerminalLocked();
                    replugRequested = false;
                    changed.notify_all();
                }
                if (plugged)
                    fd = masterFd;
                streamingNow = streaming && plugged;
                driftOn = drift;
            }
            if (!streamingNow && streamTraced)
                streamSome(); // notes the end of the stream

            auto now = Clock::now();
            Clock::time_point wakeAt = Clock::time_point::max();
            if (driftOn && !drifting)
                nextDrift = now + std::chrono::seconds(1); // the first step a second after switching on
            drifting = driftOn;
            if (driftOn) {
                if (now >= nextDrift) {
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        applyDriftLocked();
                    }
                    nextDrift += std::chrono::seconds(1);
                    if (nextDrift <= now)
                        nextDrift = now + std::chrono::seconds(1);
                }
                wakeAt = std::min(wakeAt, nextDrift);
            }
            const bool watchMaster = fd >= 0 && now >= masterRetryAt;
            if (fd >= 0 && !watchMaster)
                wakeAt = std::min(wakeAt, masterRetryAt);
            if (!rxBuffer.isEmpty())
                wakeAt = std::min(wakeAt, lastRx + frameSilence);
            if (streamingNow)
                wakeAt = std::min(wakeAt, now + streamPeriod);

            int timeoutMs = -1;
            if (wakeAt != Clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<microseconds>(wakeAt - now).count();
                timeoutMs = left <= 0 ? 0 : int((left + 999) / 1000);
            }
            struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
            const int rc = ::poll(fds, watchMaster ? 2 : 1, timeoutMs);
            if (rc > 0 && (fds[0].revents & POLLIN))
                drainWake();
            if (rc > 0 && watchMaster && fds[1].revents) {
                if (fds[1].revents & POLLIN)
                    readAvailable(fd);
                else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
                    masterRetryAt = Clock::now() + hangupRetry; // wait and look again
            }
            if (!rxBuffer.isEmpty())
                parse(Clock::now() - lastRx >= frameSilence);
            if (streamingNow)
                streamSome();
        }
    }
};

VirtualController::VirtualController()
    : d(new Private)
{
}

VirtualController::~VirtualController()
{
    stop();
}

bool VirtualController::start(const QString &linkPath)
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->running)
        return false;
    d->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->wakeFd < 0)
        return false;
    d->linkPath = linkPath;
    d->startTime = Clock::now();
    if (!d->openTerminalLocked()) {
        closeFd(d->wakeFd);
        return false;
    }
    d->stopRequested = false;
    d->unplugRequested = false;
    d->replugRequested = false;
    d->streaming = false;
    d->rxBuffer.clear();
    d->running = true;
    d->thread = std::thread([this] { d->serve(); });
    return true;
}

void VirtualController::stop()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->running)
            return;
        d->stopRequested = true;
        d->wake();
    }
    d->thread.join();
    std::lock_guard<std::mutex> lock(d->mutex);
    d->closeTerminalLocked();
    closeFd(d->wakeFd);
    d->running = false;
    d->stopRequested = false;
    d->changed.notify_all();
}

bool VirtualController::isRunning() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->running;
}

QString VirtualController::portPath() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->linkPath.isEmpty() ? d->ptsPath : d->linkPath;
}

QString VirtualController::terminalPath() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->ptsPath;
}

void VirtualController::unplug()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::unique_lock<std::mutex> lock(d->mutex);
    if (!d->running || !d->plugged)
        return;
    d->unplugRequested = true;
    d->wake();
    d->changed.wait(lock, [this] { return !d->unplugRequested; });
}

bool VirtualController::replug()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::unique_lock<std::mutex> lock(d->mutex);
    if (!d->running)
        return false;
    if (d->plugged)
        return true;
    d->replugRequested = true;
    d->wake();
    d->changed.wait(lock, [this] { return !d->replugRequested; });
    return d->replugResult;
}

bool VirtualController::isPlugged() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->running && d->plugged;
}

quint8 VirtualController::address() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->addressLocked();
}

void VirtualController::setAddress(quint8 address)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->status[regRs485Address - statusFirst] = address;
}

quint16 VirtualController::holdingRegister(quint16 reg) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (reg == regCommandWord)
        return d->commandWord;
    quint16 value = 0;
    d->readableLocked(reg, &value);
    return value;
}

void VirtualController::setHoldingRegister(quint16 reg, quint16 value)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (reg == regCommandWord)
        d->commandWord = value;
    else if (reg == regRs485Address)
        d->status[reg - statusFirst] = value & 0xFF;
    else if (reg >= statusFirst && reg < statusFirst + statusCount)
        d->status[reg - statusFirst] = value;
    else if (reg == regMaxPowerDac)
        d->maxDac = value;
    else if (reg >= configFirst && reg < configFirst + configCount)
        d->config[reg - configFirst] = value;
}

void VirtualController::resetRegisters()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->resetRegistersLocked();
}

void VirtualController::setTemperature(qint16 tenths)
{
    setHoldingRegister(regTemperature, quint16(tenths));
}

void VirtualController::setSupplyMillivolts(quint16 millivolts)
{
    setHoldingRegister(regSupply, millivolts);
}

void VirtualController::setRunSeconds(quint32 seconds)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->status[regRunSecondsHigh - statusFirst] = quint16(seconds >> 16);
    d->status[regRunSecondsLow - statusFirst] = quint16(seconds & 0xFFFF);
}

void VirtualController::setFirmwareVersion(quint16 version)
{
    setHoldingRegister(regFirmwareVersion, version);
}

void VirtualController::setSwitchMask(quint16 mask)
{
    setHoldingRegister(regSwitchMask, mask);
}

void VirtualController::setEnableMask(quint16 mask)
{
    setHoldingRegister(regEnableMask, mask);
}

void VirtualController::setAdcEnable(quint16 value)
{
    setHoldingRegister(regAdcEnable, value);
}

void VirtualController::setPowerPermille(quint16 value)
{
    setHoldingRegister(regPowerPermille, value);
}

void VirtualController::setFault(const Fault &fault)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->fault = fault;
    if (fault.kind == FaultNone || fault.count == 0)
        d->fault = Fault();
    d->wake();
}

void VirtualController::setFault(FaultKind kind, int param, int count)
{
    Fault fault;
    fault.kind = kind;
    fault.param = param;
    fault.count = count;
    setFault(fault);
}

void VirtualController::clearFault()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->fault = Fault();
    d->streaming = false;
    d->wake();
}

void VirtualController::setPacingBaud(int baud)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->pacingBaud = std::max(0, baud);
}

void VirtualController::setTurnaroundUs(int microseconds)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->turnaroundUs = std::max(0, microseconds);
}

void VirtualController::setDrift(bool on)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->drift = on;
    d->wake();
}

QList<VirtualController::Request> VirtualController::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requestLog;
}

void VirtualController::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->requestLog.clear();
    d->loggedSinceClear = 0;
    d->replies = 0;
    d->repliesFinished = 0;
}

bool VirtualController::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->mutex);
    return d->changed.wait_for(lock, milliseconds(std::max(0, timeoutMs)),
                               [this, count] { return d->loggedSinceClear >= count; });
}

int VirtualController::finishedReplyCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->repliesFinished;
}

int VirtualController::replyCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->replies;
}

void VirtualController::setTraceSink(std::function<void(const QString &line)> sink)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->traceSink = std::move(sink);
}
