#include "heldlink.h"

#include "rtutcplink.h"
#include "seriallink.h"

#include <QThread>

bool HeldLink::isNetworkPort(const QString &port)
{
    return port.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::unique_ptr<HeldLink> HeldLink::create(const QString &port)
{
    if (isNetworkPort(port))
        return std::make_unique<RtuTcpLink>();
    return std::make_unique<SerialLink>();
}

HeldLink::HeldLink()
{
    lineClock.start();
}

HeldLink::~HeldLink() = default;

void HeldLink::setDirectionControl(Rs485::Mode mode, int delayUs, const QString &option)
{
    direction = mode;
    directionDelayUs = delayUs;
    directionOption = option;
}

void HeldLink::beginOpen(const QString &port, int baudRate)
{
    portPath = port;
    rate = baudRate;
    lastError = NoError;
    lastErrorText.clear();
    gap = FrameGap(baudRate);
}

void HeldLink::setOpenError(OpenError error, const QString &text)
{
    lastError = error;
    lastErrorText = text;
}

void HeldLink::keepFrameGap()
{
    const qint64 waitNs = gap.waitNs(lineClock.nsecsElapsed());
    if (waitNs > 0)
        QThread::usleep(ulong((waitNs + 999) / 1000));
}

Link::Echo HeldLink::takeEcho(const QByteArray &sent, int waitMs, QByteArray *echo)
{
    if (!echoOn)
        return Echo::NotExpected;
    echo->resize(sent.size());
    echo->resize(receive(reinterpret_cast<quint8 *>(echo->data()), sent.size(), waitMs));
    if (echo->isEmpty())
        return Echo::Missing;
    // Fewer bytes than were sent are a changed echo too: the line lost some.
    return *echo == sent ? Echo::Same : Echo::Different;
}
