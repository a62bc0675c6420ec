#ifndef DEMOSETUP_H
#define DEMOSETUP_H

// The demo's virtual controller and its place in the panel's port list,
// shared by vortanix-demo and the screenshot tool.

#include "virtualcontroller.h"

#include <QComboBox>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace Demo {

// A device that has been in service for a while, so the running-time field
// shows a reading rather than the form's placeholder.
constexpr quint32 runSeconds = 1268u * 3600u + 1200u;

// The link's name inside the demo's private folder.
inline QString linkName()
{
    return QStringLiteral("ttyVIRT0");
}

// A live device: temperature, supply and running time move by themselves.
inline void prepareController(VirtualController &controller)
{
    controller.setRunSeconds(runSeconds);
    controller.setDrift(true);
}

// The name the port list shows: the terminal itself, /dev/pts/N, which fits
// the list as a real adapter's name does.
inline QString listedPort(const VirtualController &controller)
{
    return controller.terminalPath();
}

inline void putFirst(QComboBox *box, const QString &port)
{
    const int existing = box->findText(port);
    if (existing >= 0)
        box->removeItem(existing);
    box->insertItem(0, port);
    box->setCurrentIndex(0);
}

// Lists `port` first, and current, in the window's port list now and again
// after every rescan. The window's own rescan slot was connected when its
// form was built, so it refills the list before this runs. False when the
// window has no port list or rescan button.
inline bool listPortFirst(QWidget &window, const QString &port)
{
    auto *serialName = window.findChild<QComboBox *>(QStringLiteral("serialName"));
    auto *checkSerial = window.findChild<QPushButton *>(QStringLiteral("checkSerial"));
    if (!serialName || !checkSerial)
        return false;
    putFirst(serialName, port);
    QObject::connect(checkSerial, &QPushButton::clicked, serialName,
                     [serialName, port] { putFirst(serialName, port); });
    return true;
}

} // namespace Demo

#endif // DEMOSETUP_H
