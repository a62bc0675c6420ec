#include "lineport.h"

HeldLinePort::HeldLinePort(const LineConfig &config, const std::atomic<bool> *abandon)
    : config(config), held(HeldLink::create(config.port))
{
    held->abandonRepliesWhen(abandon);
    held->setEcho(config.echo);
    held->setDirectionControl(
        config.rs485, config.rtsDelayUs, QStringLiteral("rs485=") + Rs485::modeName(config.rs485));
}

bool HeldLinePort::ensureOpen()
{
    // A device server is reached again with back-off: open() paces its own attempts.
    if (held->isOpen() && !held->isLost())
        return true;
    return held->open(config.port, config.baud);
}

QString HeldLinePort::stateText() const
{
    return held->isOpen() && !held->isLost() ? QStringLiteral("open") : held->openErrorText();
}
