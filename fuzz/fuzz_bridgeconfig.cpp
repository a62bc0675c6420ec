// Arbitrary file contents as the bridge's configuration file. A file it
// refuses is refused with a sentence that names the file; one it takes gives
// a configuration the bridge can run with as it stands: every value in range,
// every controller under an id of its own.

#include "configloader.h"
#include "fuzzfile.h"
#include "linefacts.h"

#include <QRegularExpression>
#include <QSet>

#include <cstdint>

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

void checkLine(const LineConfig &line, QSet<QString> *ids)
{
    // Ids and line names go into MQTT topics: no levels, no wildcards.
    static const QRegularExpression topicName(QStringLiteral("^[A-Za-z0-9_-]+$"));
    check(topicName.match(line.name).hasMatch());
    check(line.port.startsWith(QLatin1Char('/')));
    check(LineFacts::isBaud(line.baud));
    check(line.timeoutMs > 0);
    check(line.rtsDelayUs >= 0 && line.rtsDelayUs <= Rs485::MaxDelayUs);
    check(line.rtsDelayUs == 0 || line.rs485 != Rs485::None);
    check(!line.controllers.isEmpty());
    QSet<int> addresses;
    for (const ControllerConfig &controller : line.controllers) {
        check(controller.address >= LineFacts::AddressMin && controller.address <= LineFacts::AddressMax);
        check(!addresses.contains(controller.address));
        addresses.insert(controller.address);
        check(topicName.match(controller.id).hasMatch());
        check(!ids->contains(controller.id));
        ids->insert(controller.id);
    }
}

void checkConfig(const BridgeConfig &config)
{
    check(!config.lines.isEmpty());
    check(!config.frontEnds().isEmpty());
    check(config.pollIntervalMs > 0);
    QSet<QString> names;
    QSet<QString> ports;
    QSet<QString> ids;
    for (const LineConfig &line : config.lines) {
        check(!names.contains(line.name) && !ports.contains(line.port));
        names.insert(line.name);
        ports.insert(line.port);
        checkLine(line, &ids);
    }

    // With the gateway on, each unit id stands for one controller, and no
    // controller has two. (Off, the table is not used.)
    QSet<QPair<int, int>> places;
    const ModbusTcpConfig &gateway = config.modbusTcp;
    for (auto it = gateway.units.cbegin(); gateway.enabled() && it != gateway.units.cend(); ++it) {
        const QPair<int, int> place = it.value();
        check(it.key() >= LineFacts::UnitIdMin && it.key() <= LineFacts::UnitIdMax);
        check(place.first >= 0 && place.first < config.lines.size());
        check(place.second >= 0 && place.second < config.lines.at(place.first).controllers.size());
        check(!places.contains(place));
        places.insert(place);
    }

    const BrokerConfig &broker = config.broker;
    check(broker.effectivePort() >= 1 && broker.effectivePort() <= 65535);
    check(broker.certFile.isEmpty() == broker.keyFile.isEmpty());
    check(broker.certFile.isEmpty() || broker.tls());
    check(broker.passwordFile.isEmpty() == config.password.isEmpty());
    check(broker.passwordFile.isEmpty() || !broker.username.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = writeFuzzFile(QStringLiteral("bridge.ini"), data, size);
    ConfigLoader loader;
    if (loader.readFile(path) && loader.finish()) {
        checkConfig(loader.config());
    } else {
        // The file is there and readable: whatever is wrong, it is something
        // the file says, and the message says where.
        check(loader.fileUnreadable() == (size > size_t(ConfigLoader::MaxFileBytes)));
        check(loader.error().startsWith(path + QLatin1String(": ")));
    }
    return 0;
}
