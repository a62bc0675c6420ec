#ifndef DEVICESERVER_H
#define DEVICESERVER_H

#include <QString>

#include <thread>
#include <vector>

// A serial device server in "TCP server" mode, on a virtual line: it holds
// the line's port open at the line's rate, as the device server's own UART
// sits on a real line, and passes the bytes of its TCP connections to the
// line and the line's bytes to every connection, unchanged (raw RTU, no
// Modbus TCP). Up to MaxConnections at once; one more is closed at once, as
// a device server at its limit closes it. Serves on a thread of its own.
class DeviceServer
{
public:
    static constexpr int MaxConnections = 4;

    DeviceServer() = default;
    ~DeviceServer();
    DeviceServer(const DeviceServer &) = delete;
    DeviceServer &operator=(const DeviceServer &) = delete;

    // Listens on `address` (HOST:PORT: an IPv4 address, [an IPv6 address]
    // or a host name; port 0 takes a free one) and serves the port at
    // `portPath` at `baud`. False, with a sentence in `error`, when it cannot.
    bool start(const QString &address, const QString &portPath, int baud, QString *error);
    // Closes every connection and stops listening.
    void stop();
    bool isRunning() const { return thread.joinable(); }
    // Where it listens, as a master names it: tcp://127.0.0.1:41234.
    QString url() const { return listenUrl; }

private:
    bool listenOn(const QString &address, QString *error);
    bool openLine();
    void serve();
    void acceptConnection();
    // The line's bytes, to every connection.
    void passLineBytes();
    // A connection's bytes, to the line; false when the connection has ended.
    bool passConnectionBytes(int connection);

    int listenFd = -1;
    int wakeFd = -1;
    int lineFd = -1;
    QString linePath;
    int lineBaud = 0;
    bool lineReopens = false; // the line's port is a link, opened again after an unplug
    QString listenUrl;
    std::vector<int> connections;
    std::thread thread;
};

#endif // DEVICESERVER_H
