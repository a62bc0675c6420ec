#include "lineport.h"

SerialLinePort::SerialLinePort(const LineConfig &config, const std::atomic<bool> *abandon) : config(config)
{
    serial.abandonRepliesWhen(abandon);
    serial.setEcho(config.echo);
    serial.setDirectionControl(
        config.rs485, config.rtsDelayUs, QStringLiteral("rs485=") + Rs485::modeName(config.rs485));
}

bool SerialLinePort::ensureOpen()
{
    if (serial.isOpen() && !serial.isLost())
        return true;
    return serial.open(config.port, config.baud);
}

QString SerialLinePort::stateText() const
{
    return serial.isOpen() && !serial.isLost() ? QStringLiteral("open") : serial.openErrorText();
}
