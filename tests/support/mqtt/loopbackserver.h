#ifndef LOOPBACKSERVER_H
#define LOOPBACKSERVER_H

#include <atomic>
#include <functional>
#include <thread>

// A port on 127.0.0.1 served on a thread of its own, for a test that waits
// for its client (a program run as a process) meanwhile: one connection at a
// time, each handed to `serve` and closed once it returns. `serve` ends when
// its client goes, or soon after stopping() turns true (at destruction).
// Declared after whatever `serve` uses, it is stopped before that goes.
class LoopbackServer
{
public:
    // How long a wait of `serve` may last before it looks at stopping().
    static constexpr int PollMs = 100;

    explicit LoopbackServer(std::function<void(int client)> serve);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    int port() const { return listenPort; } // 0 when it could not listen
    bool stopping() const { return stop; }
    // True once `fd` has bytes (or its end) to read; false after PollMs without.
    static bool readable(int fd);

private:
    std::function<void(int)> serve;
    int listener = -1;
    int listenPort = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

#endif // LOOPBACKSERVER_H
