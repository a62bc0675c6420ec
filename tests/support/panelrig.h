#ifndef PANELRIG_H
#define PANELRIG_H

#include "mainwindow.h"
#include "mainwindowtestaccess.h"
#include "modaldriver.h"
#include "modbusframes.h"
#include "virtualcontroller.h"

#include <QTemporaryDir>

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
