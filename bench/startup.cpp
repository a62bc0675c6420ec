// Start-up probe. Builds the window the way the panel's main() does (or, as
// vortanix-bare, a bare QMainWindow of the panel's size), shows it, and once
// the window's first paint is through prints CLOCK_MONOTONIC in nanoseconds
// and exits. The benchmark takes its own reading of the same clock right
// before it starts the process; the difference is the time from process start
// to the window shown.

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <ctime>

#ifndef VORTANIX_BARE_WINDOW
#include "mainwindow.h"
#endif

namespace {

long long monotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Waits for the window's first paint event, then reports once the event
// loop is back (the paint and the flush to the backing store are done).
class ShownProbe : public QObject
{
public:
    explicit ShownProbe(QWidget *window) : window(window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window && event->type() == QEvent::Paint && !painted) {
            painted = true;
            QTimer::singleShot(0, this, [] {
                std::printf("%lld\n", monotonicNs());
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    QWidget *window;
    bool painted = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
#ifdef VORTANIX_BARE_WINDOW
    QMainWindow window;
    window.resize(1089, 604);
#else
    MainWindow window;
#endif
    ShownProbe probe(&window);
    window.show();
    // A window that never paints is a failed run, not a hang.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    return application.exec();
}
