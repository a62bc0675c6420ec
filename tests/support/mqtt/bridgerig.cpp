#include "bridgerig.h"

BridgeRig::BridgeRig()
    : brokerProcess(std::make_unique<TestBroker>(dir.path())),
      bridgeProcess(std::make_unique<BridgeProcess>(dir.path()))
{
}

BridgeRig::~BridgeRig()
{
    bridgeProcess.reset(); // before its lines and broker go
    for (auto &line : lines)
        line.second->stop();
}

QString BridgeRig::linePath(const QString &name) const
{
    return dir.filePath(QStringLiteral("line-") + name);
}

VirtualLine &BridgeRig::addLine(const QString &name, const QList<quint8> &addresses)
{
    auto line = std::make_unique<VirtualLine>();
    for (quint8 address : addresses)
        line->addController(address);
    line->start(linePath(name));
    return *(lines[name] = std::move(line));
}

SimController BridgeRig::controller(const QString &name, quint8 address)
{
    for (const SimController &c : lines.at(name)->controllers()) {
        if (c.address() == address)
            return c;
    }
    qFatal("no controller %d on line %s", address, qPrintable(name));
}

QString BridgeRig::mqttSection(const QString &clientId, const QString &more) const
{
    return QStringLiteral("[mqtt]\nhost=127.0.0.1\nport=%1\nclient_id=%2\n%3\n")
        .arg(brokerProcess->port())
        .arg(clientId, more);
}

QString BridgeRig::lineSection(const QString &name, const QString &addresses, const QString &more) const
{
    return QStringLiteral("[line.%1]\nport=%2\naddresses=%3\n%4\n").arg(name, linePath(name), addresses, more);
}

std::unique_ptr<MqttProbe> BridgeRig::probe(const QString &filter, const MqttProbe::Tls &tls)
{
    auto probe = std::make_unique<MqttProbe>(brokerProcess->port(), tls);
    if (!probe->connectAndSubscribe(filter))
        return nullptr;
    return probe;
}

bool BridgeRig::waitForState(MqttProbe &probe, const QString &id, QJsonObject *state)
{
    return waitForState(
        probe, id, [](const QJsonObject &) { return true; }, state);
}

bool BridgeRig::waitForState(
    MqttProbe &probe, const QString &id, const std::function<bool(const QJsonObject &)> &match, QJsonObject *state)
{
    const QString topic = QStringLiteral("vortanix/%1/state").arg(id);
    MqttProbe::Message found;
    if (!probe.waitFor(
            [&](const MqttProbe::Message &m) { return m.topic == topic && match(m.json()); }, WaitMs, &found))
        return false;
    if (state)
        *state = found.json();
    return true;
}

int BridgeRig::startGateway(
    const QString &name, int intervalMs, const QStringList &arguments, const QString &gatewayKeys, int maxAgeMs)
{
    QStringList addresses;
    for (const SimController &c : lines.at(name)->controllers())
        addresses << QString::number(c.address());
    bridgeProcess->writeConfig(QStringLiteral("[mqtt]\nenabled=false\n[bridge]\npoll_interval_ms=%1\n"
                                              "[modbus_tcp]\nlisten=127.0.0.1:0\n%2")
                                   .arg(intervalMs)
                                   .arg(gatewayKeys)
        // A virtual controller on a loaded test machine may be scheduled late:
        // a generous wait, so that only a real fault reads as a time-out. With
        // max_age_ms=0 every read goes on the line: a value the test sets in
        // a controller is read back at once.
        + lineSection(
            name, addresses.join(QLatin1Char(',')), QStringLiteral("timeout_ms=1000\nmax_age_ms=%1").arg(maxAgeMs)));
    if (!bridgeProcess->start(arguments))
        return 0;
    const int port = bridgeProcess->gatewayPort();
    for (const QString &address : addresses) {
        if (!bridgeProcess->waitForLog(QStringLiteral("%1-%2 (address %2): online").arg(name, address)))
            return 0;
    }
    return port;
}

bool BridgeRig::resetLine(const QString &name)
{
    VirtualLine &virtualLine = line(name);
    for (SimController c : virtualLine.controllers()) {
        c.clearFault();
        c.resetRegisters();
    }
    return virtualLine.isPlugged() || virtualLine.replug();
}
