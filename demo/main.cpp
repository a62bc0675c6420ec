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
#include "stoprequest.h"
#include "virtualcontroller.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // Ctrl-C and SIGTERM end the event loop, so the window closes its port and
    // the controller removes its terminal and link before the process ends.
    // Taken before QApplication starts its threads.
    StopRequest stop;
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
    std::fprintf(stderr, "vortanix-demo: virtual controller, address %d, on %s (%s)\n", int(controller.address()),
        qPrintable(port), qPrintable(controller.portPath()));

    if (!stop.isValid())
        std::fprintf(stderr, "vortanix-demo: Ctrl-C and SIGTERM will not close the window cleanly\n");
    stop.onRequest(&application, [] { QApplication::quit(); });

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
