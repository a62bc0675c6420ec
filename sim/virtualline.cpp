#include "virtualline.h"

#include "lineserver.h"

#include <algorithm>

#include <sys/eventfd.h>
#include <unistd.h>

VirtualLine::VirtualLine() : d(new LineServer) { }

VirtualLine::~VirtualLine()
{
    stop();
}

SimController VirtualLine::addController(quint8 address)
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->core.controllers.push_back(std::make_unique<ControllerState>());
    ControllerState *state = d->core.controllers.back().get();
    state->bank.setAddress(address);
    return SimController(&d->core, state);
}

QList<SimController> VirtualLine::controllers() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    QList<SimController> list;
    for (const auto &state : d->core.controllers)
        list.append(SimController(&d->core, state.get()));
    return list;
}

bool VirtualLine::start(const QString &linkPath)
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::lock_guard<std::mutex> lock(d->core.mutex);
    if (d->running)
        return false;
    d->core.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->core.wakeFd < 0)
        return false;
    d->terminal.setLinkPath(linkPath);
    d->core.startTime = LineCore::Clock::now();
    if (!d->terminal.open()) {
        ::close(d->core.wakeFd);
        d->core.wakeFd = -1;
        return false;
    }
    d->stopRequested = false;
    d->unplugRequested = false;
    d->replugRequested = false;
    d->running = true;
    d->thread = std::thread([this] { d->serve(); });
    return true;
}

void VirtualLine::stop()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    {
        std::lock_guard<std::mutex> lock(d->core.mutex);
        if (!d->running)
            return;
        d->stopRequested = true;
        d->core.wake();
    }
    d->thread.join();
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->shutDown();
    ::close(d->core.wakeFd);
    d->core.wakeFd = -1;
    d->running = false;
    d->stopRequested = false;
    d->core.changed.notify_all();
}

bool VirtualLine::isRunning() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    return d->running;
}

QString VirtualLine::portPath() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    return d->terminal.portPath();
}

QString VirtualLine::terminalPath() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    return d->terminal.terminalPath();
}

void VirtualLine::unplug()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::unique_lock<std::mutex> lock(d->core.mutex);
    if (!d->running || !d->terminal.isOpen())
        return;
    d->unplugRequested = true;
    d->core.wake();
    d->core.changed.wait(lock, [this] { return !d->unplugRequested; });
}

bool VirtualLine::replug()
{
    std::lock_guard<std::mutex> command(d->commandMutex);
    std::unique_lock<std::mutex> lock(d->core.mutex);
    if (!d->running)
        return false;
    if (d->terminal.isOpen())
        return true;
    d->replugRequested = true;
    d->core.wake();
    d->core.changed.wait(lock, [this] { return !d->replugRequested; });
    return d->replugResult;
}

bool VirtualLine::isPlugged() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    return d->running && d->terminal.isOpen();
}

void VirtualLine::setPacingBaud(int baud)
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->core.pacingBaud = std::max(0, baud);
}

void VirtualLine::setBaud(int baud)
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->core.lineBaud = std::max(0, baud);
}

int VirtualLine::baud() const
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    return d->core.lineBaud;
}

void VirtualLine::setEcho(Echo mode, int count)
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->core.echo = mode;
    d->core.collisionsLeft = count;
}

void VirtualLine::setTraceSink(std::function<void(const QString &line)> sink)
{
    std::lock_guard<std::mutex> lock(d->core.mutex);
    d->core.traceSink = std::move(sink);
}
