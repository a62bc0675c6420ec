// vortanix-demo: the panel with a virtual controller built in.
//
// The controller serves a pseudo-terminal behind a link in a private folder
// and behaves like a live device: its temperature wanders around 25 degrees,
// its running time counts and its supply voltage stays near 24 V; the panel's
// commands change its registers. Its port is listed first in the port list at
// start-up and after every rescan, so opening the link with the default
// settings (address 1, 115200 baud) reaches it. The window itself is the
// unchanged panel.

#include "demosetup.h"
#include "highdpi.h"
#include "mainwindow.h"
#include "virtualcontroller.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalSockets[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalSockets[0], &byte, 1);
    Q_UNUSED(written)
}

// Ctrl-C and SIGTERM end the event loop, so the window closes its port and
// the controller removes its terminal and link before the process ends.
bool quitOnSignals(QApplication &application)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [&application, notifier] {
        notifier->setEnabled(false);
        char byte = 0;
        const ssize_t got = ::read(signalSockets[1], &byte, 1);
        Q_UNUSED(got)
        application.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication application(argc, argv);

    QTemporaryDir runtimeDir(QDir::tempPath() + QStringLiteral("/vortanix-demo-XXXXXX"));
    if (!runtimeDir.isValid()) {
        std::fprintf(stderr, "vortanix-demo: cannot create a folder for the virtual controller: %s\n",
                     qPrintable(runtimeDir.errorString()));
        return 1;
    }

    VirtualController controller;
    Demo::prepareController(controller);
    if (!controller.start(runtimeDir.filePath(Demo::linkName()))) {
        std::fprintf(stderr, "vortanix-demo: cannot start the virtual controller on a pseudo-terminal\n");
        return 1;
    }
    // The link is the controller's stable name for other Modbus tools.
    const QString port = Demo::listedPort(controller);
    std::fprintf(stderr, "vortanix-demo: virtual controller, address %d, on %s (%s)\n",
                 int(controller.address()), qPrintable(port), qPrintable(controller.portPath()));

    if (!quitOnSignals(application))
        std::fprintf(stderr, "vortanix-demo: Ctrl-C and SIGTERM will not close the window cleanly\n");

    int status = 0;
    {
        // The window goes before the controller: it closes its port first.
        auto window = std::make_unique<MainWindow>();
        if (!Demo::listPortFirst(*window, port)) {
            std::fprintf(stderr, "vortanix-demo: the window has no port list or rescan button\n");
            status = 1;
        } else {
            window->show();
            status = application.exec();
        }
    }
    controller.stop();
    return status;
}
