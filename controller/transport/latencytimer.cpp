#include "latencytimer.h"

#include "valuetext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString LatencyTimer::file(const QString &portPath, const QString &sysRoot)
{
    // By-id links name the same tty: the kernel's name is the link's target.
    const QFileInfo info(portPath);
    const QString name = info.exists() ? QFileInfo(info.canonicalFilePath()).fileName() : info.fileName();
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String("..") || name == QLatin1String("."))
        return QString();
    const QDir root(sysRoot);
    // The attribute ftdi_sio adds to its port, seen from the tty and from the usb-serial bus.
    for (const QString &relative : {QStringLiteral("sys/class/tty/%1/device/latency_timer"),
             QStringLiteral("sys/bus/usb-serial/devices/%1/latency_timer")}) {
        const QString path = root.filePath(relative.arg(name));
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

int LatencyTimer::readMs(const QString &portPath, const QString &sysRoot)
{
    QFile attribute(file(portPath, sysRoot));
    if (attribute.fileName().isEmpty() || !attribute.open(QIODevice::ReadOnly))
        return -1;
    // ftdi_sio keeps the timer in one byte.
    qint64 ms = -1;
    QString error;
    return ValueText::number(QString::fromLatin1(attribute.read(16)).trimmed(), 0, 255, QString(), &ms, &error)
        ? int(ms)
        : -1;
}
