// The checks of ConfigLoader that span several keys, and the password file.

#include "configloader.h"

#include "heldlink.h"
#include "linefacts.h"
#include "portlock.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

constexpr qint64 passwordFileMaxBytes = 4096;
// The bridge's own topics live under <prefix>/bridge/.
const QString reservedId = QStringLiteral("bridge");

} // namespace

bool ConfigLoader::finish()
{
    if (lines.isEmpty()) {
        return fail(file.isEmpty() ? QStringLiteral("configuration") : file,
            QStringLiteral("no line configured: add a [line.NAME] section with port and addresses, or give --line"));
    }
    result.lines.clear();
    QSet<QString> ids;
    // Two names of one device (a by-id link and /dev/ttyUSB0) are one port;
    // a device server's address is taken as written.
    QHash<QString, QString> ports;
    for (LineDraft &draft : lines) {
        if (!finishLine(draft))
            return false;
        const LineConfig &line = draft.line;
        const QString device
            = HeldLink::isNetworkPort(line.port) ? line.port.toLower() : PortLock::deviceKey(line.port);
        if (ports.contains(device)) {
            const QString other = ports.value(device);
            return fail(draft.origin.value(QStringLiteral("port")),
                other == line.port
                    ? QStringLiteral("%1 is the port of another line as well").arg(line.port)
                    : QStringLiteral("%1 is the port of another line as well (named there %2: one device)")
                          .arg(line.port, other));
        }
        ports.insert(device, line.port);
        for (const ControllerConfig &controller : line.controllers) {
            const QString where = draft.ids.contains(controller.address)
                ? draft.origin.value(QStringLiteral("id.%1").arg(controller.address))
                : draft.origin.value(QStringLiteral("addresses"));
            if (controller.id == reservedId)
                return fail(
                    where, QStringLiteral("the id '%1' is reserved for the bridge's own topics").arg(reservedId));
            if (ids.contains(controller.id))
                return fail(where,
                    QStringLiteral("the controller id %1 is taken twice; ids name controllers in the topics "
                                   "and must be unique (set id.ADDRESS to tell them apart)")
                        .arg(controller.id));
            ids.insert(controller.id);
        }
        result.lines.append(line);
    }

    if (result.frontEnds().isEmpty()) {
        return fail(file.isEmpty() ? QStringLiteral("configuration") : file,
            QStringLiteral("nothing serves the lines: MQTT is off ([mqtt] enabled=false, --no-mqtt) and no other "
                           "front-end is set up ([modbus_tcp] listen=127.0.0.1:1502 or --modbus-tcp; "
                           "[http] listen=127.0.0.1:9848 or --http)"));
    }
    if (!finishUnits())
        return false;

    const BrokerConfig &broker = result.broker;
    if (!broker.certFile.isEmpty() && broker.keyFile.isEmpty())
        return fail(
            whereIs(QStringLiteral("mqtt/cert_file")), QStringLiteral("a client certificate needs its key_file"));
    if (!broker.keyFile.isEmpty() && broker.certFile.isEmpty())
        return fail(whereIs(QStringLiteral("mqtt/key_file")), QStringLiteral("a key needs its cert_file"));
    if (!broker.certFile.isEmpty() && !broker.tls())
        return fail(whereIs(QStringLiteral("mqtt/cert_file")),
            QStringLiteral("a client certificate is for TLS: set ca_file, the authority that signed the broker's"));
    if (!broker.passwordFile.isEmpty() && broker.username.isEmpty())
        return fail(whereIs(QStringLiteral("mqtt/password_file")), QStringLiteral("a password needs a username"));
    return readPassword();
}

bool ConfigLoader::finishUnits()
{
    ModbusTcpConfig &gateway = result.modbusTcp;
    gateway.units.clear();
    // Where each controller is: line name and address → (line, controller) indexes.
    QHash<QPair<QString, int>, QPair<int, int>> places;
    for (int l = 0; l < result.lines.size(); ++l) {
        const LineConfig &line = result.lines.at(l);
        for (int c = 0; c < line.controllers.size(); ++c)
            places.insert({line.name, line.controllers.at(c).address}, {l, c});
    }
    if (unitKeys.isEmpty()) {
        // Each controller's unit id is its address: two lines with one address need unit.N.
        for (int l = 0; l < result.lines.size(); ++l) {
            for (int c = 0; c < result.lines.at(l).controllers.size(); ++c) {
                const int address = result.lines.at(l).controllers.at(c).address;
                if (gateway.enabled() && address > LineFacts::UnitIdMax) {
                    // Modbus TCP's unit ids end at 247; such a controller would be out of reach.
                    return fail(whereIs(QStringLiteral("modbus_tcp/listen")),
                        QStringLiteral("%1 at address %2 has no unit id (unit ids are %3..%4): map the units with "
                                       "unit.N=LINE:ADDRESS in [modbus_tcp]")
                            .arg(result.lines.at(l).controllers.at(c).id)
                            .arg(address)
                            .arg(LineFacts::UnitIdMin)
                            .arg(LineFacts::UnitIdMax));
                }
                if (gateway.enabled() && gateway.units.contains(address)) {
                    const QPair<int, int> other = gateway.units.value(address);
                    return fail(whereIs(QStringLiteral("modbus_tcp/listen")),
                        QStringLiteral("unit id %1 would be both %2 and %3 (the unit id is the address unless "
                                       "mapped): map the units with unit.N=LINE:ADDRESS in [modbus_tcp]")
                            .arg(address)
                            .arg(result.lines.at(other.first).controllers.at(other.second).id,
                                result.lines.at(l).controllers.at(c).id));
                }
                gateway.units.insert(address, {l, c});
            }
        }
        return true;
    }
    QHash<QPair<int, int>, int> unitOf;
    for (auto it = unitKeys.cbegin(); it != unitKeys.cend(); ++it) {
        const QString where = whereIs(QStringLiteral("modbus_tcp/unit.%1").arg(it.key()));
        const auto place = places.constFind(it.value());
        if (place == places.constEnd())
            return fail(where,
                QStringLiteral("no controller at address %1 on a line named %2")
                    .arg(it.value().second)
                    .arg(it.value().first));
        if (unitOf.contains(*place))
            return fail(where,
                QStringLiteral("%1:%2 is unit %3 already; a controller has one unit id")
                    .arg(it.value().first)
                    .arg(it.value().second)
                    .arg(unitOf.value(*place)));
        unitOf.insert(*place, it.key());
        gateway.units.insert(it.key(), *place);
    }
    return true;
}

bool ConfigLoader::finishLine(LineDraft &draft)
{
    LineConfig &line = draft.line;
    const QString section = QStringLiteral("[line.%1]").arg(line.name);
    const QString at = file.isEmpty() ? section : QStringLiteral("%1: %2").arg(file, section);
    if (line.port.isEmpty())
        return fail(at + QStringLiteral(" port"),
            QStringLiteral("missing: the line's serial port (e.g. /dev/serial/by-id/usb-...), or its device "
                           "server (tcp://HOST:PORT)"));
    if (draft.addresses.isEmpty())
        return fail(at + QStringLiteral(" addresses"),
            QStringLiteral("missing: the controllers' addresses on the line (e.g. 1,7,200)"));
    for (auto it = draft.ids.cbegin(); it != draft.ids.cend(); ++it) {
        if (!draft.addresses.contains(quint8(it.key())))
            return fail(draft.origin.value(QStringLiteral("id.%1").arg(it.key())),
                QStringLiteral("address %1 is not among the line's addresses").arg(it.key()));
    }
    if (HeldLink::isNetworkPort(line.port) && line.rs485 != Rs485::None)
        return fail(draft.origin.value(QStringLiteral("rs485")),
            QStringLiteral("rs485=%1 needs a serial port of this machine; the device server at %2 switches its "
                           "transceiver itself (set it up there): leave rs485 out")
                .arg(Rs485::modeName(line.rs485), line.port));
    if (line.rtsDelayUs > 0 && line.rs485 == Rs485::None)
        return fail(draft.origin.value(QStringLiteral("rts_delay_us")),
            QStringLiteral("rts_delay_us is for rs485=kernel or rs485=rts"));
    line.controllers.clear();
    for (quint8 address : draft.addresses) {
        const QString id = draft.ids.value(address, QStringLiteral("%1-%2").arg(line.name).arg(address));
        line.controllers.append(ControllerConfig{id, address});
    }
    return true;
}

bool ConfigLoader::readPassword()
{
    const QString &path = result.broker.passwordFile;
    if (path.isEmpty())
        return true;
    const QString where = whereIs(QStringLiteral("mqtt/password_file"));
    QFile passwordFile(path);
    // The file is taken, as it is not the bridge's to fix; but it is said.
    if (passwordFile.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)) {
        cautions.append(QStringLiteral("%1: warning: %2 may be read by other users than its owner; "
                                       "let only the bridge's user read it: chmod 600 %2")
                            .arg(where, path));
    }
    if (passwordFile.size() > passwordFileMaxBytes || !passwordFile.open(QIODevice::ReadOnly))
        return fail(where, QStringLiteral("%1 cannot be read, or is larger than 4 KiB").arg(path));
    // The first line, without its line end: files written by editors end in one.
    QByteArray secret = passwordFile.readLine(passwordFileMaxBytes + 1);
    while (secret.endsWith('\n') || secret.endsWith('\r'))
        secret.chop(1);
    if (secret.isEmpty())
        return fail(where, QStringLiteral("%1 holds no password on its first line").arg(path));
    result.password = QString::fromUtf8(secret);
    return true;
}
