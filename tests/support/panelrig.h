#ifndef PANELRIG_H
#define PANELRIG_H

#include "bustrace.h"
#include "controllervalues.h"
#include "mainwindow.h"
#include "mainwindowtestaccess.h"
#include "modaldriver.h"
#include "modbusframes.h"
#include "virtualcontroller.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>

// A test bench: a virtual controller on a pseudo-terminal and the real panel
// window, with the modal dialogs answered. The poll timer is stopped so that
// each test decides when the panel polls.
class PanelRig
{
public:
    PanelRig();
    ~PanelRig();

    VirtualController sim;
    std::unique_ptr<MainWindow> window;
    ModalDriver modals;
    QTemporaryDir dir;

    MainWindow &w() { return *window; }
    MainWindowForm *ui() { return MainWindowTestAccess::ui(*window); }

    // Starts the controller (behind a stable link path, so unplug/replug keep
    // the name) and creates the window.
    bool start();
    // Puts the controller's port first into the port list (the scan never
    // lists pseudo-terminals) and clicks the open button. True when the link is open.
    bool openLink(const QString &address = QStringLiteral("1"), const QString &baud = QStringLiteral("115200"));
    // Clicks the close button.
    void closeLink();
    // Runs one poll, as the poll timer would.
    void poll();

    // Which failed attempts untilAnswered() repeats.
    enum class Retry {
        TimeOut, // nothing at all came back in time
        TimeOutOrCut, // that, or the reply stopped short while the panel waited for its rest
    };
    // Runs one exchange of the panel (a poll, or a click that makes one) until
    // the controller answers it, at most five times, and tells whether it did.
    // The panel waits only 50 ms for a reply byte, and on a loaded machine the
    // controller's thread now and then misses that: such an attempt is
    // repeated once the late reply has left the controller (so that the next
    // exchange's port reset drops it). Only a time-out is repeated, never wrong
    // bytes; Retry::TimeOutOrCut is for faults that pace or delay the reply on
    // purpose, where a stall cuts the reply short. `beforeEach` runs before
    // every attempt (to arm a fault again). Boxes shown by attempts that were
    // repeated are counted in repeatedBoxes.
    bool untilAnswered(const std::function<void()> &exchange, Retry retry = Retry::TimeOut,
        const std::function<void()> &beforeEach = {});
    // The same for an exchange that is to fail: repeated while it times out
    // (as untilAnswered() does), it gives the last attempt's outcome on the
    // bus trace ("ok", "short (CRC ok)" ...) and, in `last`, its exchange.
    QString untilReplied(const std::function<void()> &exchange, Retry retry = Retry::TimeOut,
        const std::function<void()> &beforeEach = {}, BusExchange *last = nullptr);
    int repeatedBoxes = 0;
    // Waits (with the event loop running, 5 s at most) until the controller
    // has logged `requests` requests since the last clearRequests() and every
    // reply it started has left it: a late reply has come and gone, and the
    // next exchange's port reset drops it. False on time-out.
    bool untilQuiet(int requests);
    // A poll until the controller answers it.
    bool pollUntilAnswered()
    {
        return untilAnswered([this] { poll(); });
    }
    // Frames the controller received since the last clearRequests(), oldest first.
    QList<QByteArray> frames() const;
    // The frames the panel has sent so far, all of them arrived: with the
    // link open, a last read is sent and awaited at the controller (the line
    // keeps order), so no fixed wait is needed to see that nothing else came.
    // Call it with the link's mutex free.
    QList<QByteArray> settledFrames();
};

// A test case with a fresh rig for every test function.
class RigTestCase : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<PanelRig> rig;

private slots:
    void init();
    void cleanup();
};

#endif // PANELRIG_H
