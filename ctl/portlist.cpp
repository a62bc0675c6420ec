#include "portlist.h"

#include "latencytimer.h"
#include "seriallink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace {

const QString byIdFolder = QStringLiteral("/dev/serial/by-id");

// The kernel makes ttyS0..ttyS3 whether or not a UART is there; one that is
// not has the type 0 ("unknown").
bool isPlaceholder(const QSerialPortInfo &info)
{
    if (!info.portName().startsWith(QLatin1String("ttyS")))
        return false;
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(info.portName()));
    return type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0";
}

QString byIdName(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QFileInfoList links = QDir(byIdFolder).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return QString();
}

} // namespace

QList<PortList::Port> PortList::ports()
{
    QList<Port> list;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (isPlaceholder(info))
            continue;
        Port port;
        port.path = info.systemLocation();
        port.byId = byIdName(port.path);
        port.description = info.description();
        port.latencyTimerMs = LatencyTimer::readMs(port.path);
        port.latencyTimerFile = LatencyTimer::file(port.path);
        list << port;
    }
    return list;
}

void PortList::probe(QList<Port> *ports)
{
    for (Port &port : *ports) {
        SerialLink link;
        port.usable = link.open(port.path, 115200);
        port.problem = port.usable ? QString() : link.openErrorText();
    }
}

QString PortList::devicePath(const QString &name)
{
    return name.contains(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}
