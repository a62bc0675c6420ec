#include "stopsignal.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopFlag = 0;
int pipeEnds[2] = {-1, -1};
struct sigaction previousInt;
struct sigaction previousTerm;

void onSignal(int)
{
    const int saved = errno;
    stopFlag = 1;
    const char byte = 1;
    // The pipe is never read: once written, every later poll sees it.
    const ssize_t n = ::write(pipeEnds[1], &byte, 1);
    (void)n;
    errno = saved;
}

} // namespace

StopSignal::StopSignal()
{
    stopFlag = 0;
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        pipeEnds[0] = pipeEnds[1] = -1; // the flag alone still stops the loops
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

StopSignal::~StopSignal()
{
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    for (int &end : pipeEnds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

bool StopSignal::requested() const
{
    return stopFlag != 0;
}

bool StopSignal::wait(int ms) const
{
    if (requested())
        return true;
    if (pipeEnds[0] < 0) {
        ::usleep(useconds_t(ms) * 1000);
        return requested();
    }
    struct pollfd watched = {pipeEnds[0], POLLIN, 0};
    // A signal that interrupts poll() has written the byte: the loop sees it.
    ::poll(&watched, 1, ms);
    return requested();
}
