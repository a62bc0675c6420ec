#ifndef PORTLIST_H
#define PORTLIST_H

#include <QList>
#include <QString>

// The serial ports of this machine, as the serial library lists them,
// without the legacy ttyS placeholders the kernel makes for UARTs that are
// not there (their /sys/class/tty/<name>/type is 0). Pseudo-terminals are
// never listed.
class PortList
{
public:
    struct Port
    {
        QString path; // /dev/ttyUSB0
        QString byId; // /dev/serial/by-id/usb-..., or empty
        QString description;
        bool usable = false; // opened and closed again by this user (after probe())
        QString problem; // why not, as the serial link tells it
        int latencyTimerMs = -1; // an FTDI adapter's (LatencyTimer), -1 when it has none
        QString latencyTimerFile;
    };

    static QList<Port> ports();
    // Tries to open each port, to say whether this user can use it.
    static void probe(QList<Port> *ports);
    // A port name without a folder is taken from /dev ("ttyUSB0").
    static QString devicePath(const QString &name);
};

#endif // PORTLIST_H
