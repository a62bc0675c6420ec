#include "stoprequest.h"

#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

StopRequest::StopRequest(bool hangUpToo)
{
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (hangUpToo)
        sigaddset(&stopSignals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask) != 0)
        return;
    descriptor = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (descriptor < 0)
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

StopRequest::~StopRequest()
{
    if (descriptor < 0)
        return;
    take(); // what came is answered here, not by the default action once unblocked
    ::close(descriptor);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

void StopRequest::take()
{
    if (descriptor < 0)
        return;
    signalfd_siginfo info;
    while (::read(descriptor, &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo == SIGHUP && hangUpHandler)
            ++hangUps;
        else if (first == 0)
            first = int(info.ssi_signo);
    }
}

bool StopRequest::requested()
{
    take();
    return first != 0;
}

bool StopRequest::wait(int ms)
{
    if (requested())
        return true;
    if (descriptor < 0) {
        // The signals were not taken: they end the program as usual; the wait is still a wait.
        if (ms < 0)
            for (;;)
                ::pause();
        QThread::msleep(ulong(ms));
        return false;
    }
    struct pollfd watched = {descriptor, POLLIN, 0};
    while (::poll(&watched, 1, ms) < 0 && errno == EINTR) { } // another signal's handler: wait on
    return requested();
}

QString StopRequest::signalName() const
{
    if (first == 0)
        return QString();
    const char *abbreviation = sigabbrev_np(first);
    return QStringLiteral("SIG") + QString::fromLatin1(abbreviation != nullptr ? abbreviation : "?");
}

void StopRequest::onRequest(QObject *context, const std::function<void()> &onStop)
{
    if (descriptor < 0)
        return;
    auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, context);
    const auto check = [this, notifier, onStop] {
        if (!notifier->isEnabled())
            return;
        take();
        if (hangUps > 0) {
            hangUps = 0;
            hangUpHandler();
        }
        if (first == 0)
            return;
        notifier->setEnabled(false);
        onStop();
    };
    QObject::connect(notifier, &QSocketNotifier::activated, context, check);
    QTimer::singleShot(0, context, check); // one that came before
}
