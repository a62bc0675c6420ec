// The checks of ConfigLoader that span several keys, and the password file.

#include "configloader.h"

#include <QFile>
#include <QSet>

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
    QSet<QString> ports;
    for (LineDraft &draft : lines) {
        if (!finishLine(draft))
            return false;
        const LineConfig &line = draft.line;
        if (ports.contains(line.port))
            return fail(draft.origin.value(QStringLiteral("port")),
                QStringLiteral("%1 is the port of another line as well").arg(line.port));
        ports.insert(line.port);
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

bool ConfigLoader::finishLine(LineDraft &draft)
{
    LineConfig &line = draft.line;
    const QString section = QStringLiteral("[line.%1]").arg(line.name);
    const QString at = file.isEmpty() ? section : QStringLiteral("%1: %2").arg(file, section);
    if (line.port.isEmpty())
        return fail(at + QStringLiteral(" port"),
            QStringLiteral("missing: the line's serial port (e.g. /dev/serial/by-id/usb-...)"));
    if (draft.addresses.isEmpty())
        return fail(at + QStringLiteral(" addresses"),
            QStringLiteral("missing: the controllers' addresses on the line (e.g. 1,7,200)"));
    for (auto it = draft.ids.cbegin(); it != draft.ids.cend(); ++it) {
        if (!draft.addresses.contains(quint8(it.key())))
            return fail(draft.origin.value(QStringLiteral("id.%1").arg(it.key())),
                QStringLiteral("address %1 is not among the line's addresses").arg(it.key()));
    }
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
