#include "configloader.h"

#include "heldlink.h"
#include "inifile.h"
#include "inireader.h"
#include "linefacts.h"
#include "rtutcplink.h"
#include "valuetext.h"

#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <iterator>

namespace {

constexpr int addressMin = LineFacts::AddressMin; // 0 is the broadcast address
constexpr int addressMax = LineFacts::AddressMax;
constexpr int intervalMinMs = 10;
constexpr int intervalMaxMs = 3600 * 1000;
constexpr int timeoutMinMs = 5;
constexpr int timeoutMaxMs = 5000;
const QString linePrefix = QStringLiteral("line.");

const QStringList globalKeys = {QStringLiteral("mqtt/host"), QStringLiteral("mqtt/port"),
    QStringLiteral("mqtt/client_id"), QStringLiteral("mqtt/username"), QStringLiteral("mqtt/password_file"),
    QStringLiteral("mqtt/ca_file"), QStringLiteral("mqtt/cert_file"), QStringLiteral("mqtt/key_file"),
    QStringLiteral("mqtt/topic_prefix"), QStringLiteral("mqtt/discovery"), QStringLiteral("mqtt/discovery_prefix"),
    QStringLiteral("mqtt/enabled"), QStringLiteral("bridge/poll_interval_ms"), QStringLiteral("bridge/read_only"),
    QStringLiteral("modbus_tcp/listen"), QStringLiteral("modbus_tcp/allow"),
    QStringLiteral("modbus_tcp/idle_timeout_s"), QStringLiteral("modbus_tcp/unit.N"), QStringLiteral("http/listen"),
    QStringLiteral("http/allow")};
// [http] was named [metrics] while it served the metrics alone: files and
// --metrics written then keep working.
const QString httpSection = QStringLiteral("http");
const QString oldHttpSection = QStringLiteral("metrics");
const QString sectionNames = QStringLiteral("[mqtt], [bridge], [modbus_tcp], [http], [line.NAME]");
constexpr int idleMinS = 1;
constexpr int idleMaxS = 24 * 3600;
const QStringList lineKeys = {QStringLiteral("port"), QStringLiteral("baud"), QStringLiteral("addresses"),
    QStringLiteral("timeout_ms"), QStringLiteral("echo"), QStringLiteral("rs485"), QStringLiteral("rts_delay_us"),
    QStringLiteral("max_age_ms"), QStringLiteral("verify"), QStringLiteral("offline_poll_s")};
constexpr int maxAgeMaxMs = 3600 * 1000;
constexpr int offlinePollMinS = 1;
constexpr int offlinePollMaxS = 3600;
// The keys of --line's fields (NAME:BAUD:ADDRESSES:PORT); other keys go as KEY=VALUE fields before the port.
const QStringList lineFormKeys = {QStringLiteral("baud"), QStringLiteral("addresses"), QStringLiteral("port")};

// A decimal whole number within [low, high], digits only.
bool wholeNumber(const QString &text, int low, int high, int *value, QString *why)
{
    qint64 number = 0;
    if (!ValueText::number(text, low, high, QString(), &number, why))
        return false;
    *value = int(number);
    return true;
}

bool yesNo(const QString &text, bool *value, QString *why)
{
    return ValueText::onOff(text, QString(), value, why);
}

// Names that go into topics and Home Assistant object ids: [A-Za-z0-9_-].
bool name(const QString &text, QString *value, QString *why)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    if (!pattern.match(text).hasMatch()) {
        *why = QStringLiteral("'%1' is not a name of 1 to 64 letters, digits, '-' and '_'").arg(text);
        return false;
    }
    *value = text;
    return true;
}

// A topic prefix: levels separated by '/', none empty, no wildcards.
bool topicPrefix(const QString &text, QString *value, QString *why)
{
    static const QRegularExpression pattern(QStringLiteral("^[^/+#$\\s][^/+#\\s]*(/[^/+#\\s]+)*$"));
    if (text.size() > 200 || !pattern.match(text).hasMatch()) {
        *why = QStringLiteral("'%1' is not a topic prefix (levels separated by '/', none empty, "
                              "no blanks, '+' or '#', not starting with '$')")
                   .arg(text);
        return false;
    }
    *value = text;
    return true;
}

bool readableFile(const QString &text, QString *value, QString *why)
{
    const QFileInfo info(text);
    if (text.isEmpty() || !info.isFile() || !info.isReadable()) {
        *why = QStringLiteral("'%1' is not a readable file").arg(text);
        return false;
    }
    *value = text;
    return true;
}

// "1,7,200" or ranges "1-3"; blanks around the commas and dashes allowed,
// as a file is written; an address given twice counts once.
bool addressList(const QString &text, QList<quint8> *addresses, QString *why)
{
    static const QRegularExpression spaced(QStringLiteral("\\s*([,-])\\s*"));
    QList<int> numbers;
    if (!ValueText::list(
            QString(text).replace(spaced, QStringLiteral("\\1")), addressMin, addressMax, QString(), &numbers, why)) {
        *why = QStringLiteral("'%1' is not a list of addresses %2 and ranges (e.g. 1,7,200 or 1-4): %3")
                   .arg(text, LineFacts::addressRangeText(), *why);
        return false;
    }
    QList<quint8> list;
    for (int address : numbers)
        list << quint8(address);
    *addresses = list;
    return true;
}

// The address a socket is bound to for one written: [::] serves IPv6 and
// IPv4 both, as the system's own services do by default (an IPv4 client
// shows as ::ffff:a.b.c.d); an IPv4 address written as IPv6 (::ffff:a.b.c.d)
// is that IPv4 address, which an IPv6 socket cannot bind.
QHostAddress boundAddress(const QHostAddress &written)
{
    if (written == QHostAddress(QHostAddress::AnyIPv6))
        return QHostAddress(QHostAddress::Any);
    const Q_IPV6ADDR bytes = written.toIPv6Address();
    static const quint8 mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (written.protocol() == QAbstractSocket::IPv6Protocol && std::equal(mappedPrefix, mappedPrefix + 12, bytes.c))
        return QHostAddress(quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 | quint32(bytes[14]) << 8 | bytes[15]);
    return written;
}

// ADDRESS:PORT to listen on: an IPv4 address, [an IPv6 address] or localhost; port 0 takes a free one.
bool listenAddress(const QString &text, ListenConfig *listen, QString *why)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([0-9]{1,3}(?:\\.[0-9]{1,3}){3}|localhost)):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const QString host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    const QHostAddress parsed
        = host == QLatin1String("localhost") ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
    const bool v6 = !match.captured(1).isEmpty();
    if (!match.hasMatch() || parsed.isNull() || v6 != (parsed.protocol() == QAbstractSocket::IPv6Protocol)
        || match.captured(3).toInt() > 65535) {
        *why = QStringLiteral("'%1' is not ADDRESS:PORT (e.g. 127.0.0.1:1502, 0.0.0.0:9848 or [::1]:9848)").arg(text);
        return false;
    }
    listen->address = boundAddress(parsed);
    listen->port = match.captured(3).toInt();
    return true;
}

// A key of the form PREFIXN (unit.N, id.N): its number is then checked against its range.
bool isNumbered(const QString &key, const QString &prefix)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return key.startsWith(prefix) && digits.match(key.mid(prefix.size())).hasMatch();
}

// LINE:ADDRESS, the controller a unit id stands for.
bool unitTarget(const QString &text, QPair<QString, int> *target, QString *why)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    QString line;
    int address = 0;
    if (colon < 0 || !name(text.left(colon), &line, why)
        || !wholeNumber(text.mid(colon + 1), addressMin, addressMax, &address, why)) {
        *why = QStringLiteral("'%1' is not LINE:ADDRESS (e.g. hall1:7)").arg(text);
        return false;
    }
    *target = {line, address};
    return true;
}

// A line's key as the checks look it up: id.07 is id.7.
QString canonicalKey(const QString &key)
{
    static const QRegularExpression idKey(QStringLiteral("^id\\.0*([0-9]+)$"));
    const QRegularExpressionMatch match = idKey.match(key);
    return match.hasMatch() ? QStringLiteral("id.") + match.captured(1) : key;
}

QString defaultClientId()
{
    QString host = QSysInfo::machineHostName();
    host.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("-"));
    return (QStringLiteral("vortanix-bridge-") + host).left(64);
}

} // namespace

ConfigLoader::ConfigLoader()
{
    result.broker.clientId = defaultClientId();
}

bool ConfigLoader::fail(const QString &where, const QString &why)
{
    message = QStringLiteral("%1: %2").arg(where, why);
    return false;
}

QString ConfigLoader::whereIs(const QString &key) const
{
    if (origin.contains(key))
        return origin.value(key);
    const QString section = key.section(QLatin1Char('/'), 0, 0);
    const QString name = key.section(QLatin1Char('/'), 1);
    return file.isEmpty() ? QStringLiteral("[%1] %2").arg(section, name)
                          : QStringLiteral("%1: [%2] %3").arg(file, section, name);
}

bool ConfigLoader::readFile(const QString &path)
{
    file = path;
    unreadable = true; // until the bytes are in
    QLockFile lock(path + QStringLiteral(".lock"));
    QByteArray bytes;
    const IniFile::Result read = IniFile::read(path, lock, &bytes);
    if (read != IniFile::Ok) {
        message = IniFile::problem(read, path);
        return false;
    }
    unreadable = false;
    QList<IniReader::Entry> entries;
    QString why;
    if (!IniReader::parse(bytes, IniReader::Options(), &entries, &why))
        return fail(path, why);

    for (const IniReader::Entry &entry : entries) {
        const QString &section = entry.section;
        const QString &key = entry.key;
        if (section.isEmpty())
            return fail(path, QStringLiteral("'%1' stands outside any section (%2)").arg(key, sectionNames));
        const bool isLine = section.startsWith(linePrefix);
        if (!isLine && section != QLatin1String("mqtt") && section != QLatin1String("bridge")
            && section != QLatin1String("modbus_tcp") && section != httpSection && section != oldHttpSection)
            return fail(path, QStringLiteral("unknown section [%1] (sections: %2)").arg(section, sectionNames));
        if (section == httpSection || section == oldHttpSection) {
            if (!httpSectionName.isEmpty() && httpSectionName != section)
                return fail(QStringLiteral("%1: [%2]").arg(path, section),
                    QStringLiteral("[metrics] is the old name of [http]: write the keys in one of the two"));
            httpSectionName = section;
        }
        QString lineName;
        if (isLine && !name(section.mid(linePrefix.size()), &lineName, &why))
            return fail(QStringLiteral("%1: [%2]").arg(path, section), QStringLiteral("the line's name: ") + why);
        const QString where = QStringLiteral("%1: [%2] %3").arg(path, section, key);
        if (isLine)
            lines[lineName].line.name = lineName;
        const bool ok = isLine ? setLineKey(lines[lineName], key, entry.value, &why)
                               : setGlobal(section + QLatin1Char('/') + key, entry.value, &why);
        if (!ok)
            return fail(where, why);
        const QString global = (section == oldHttpSection ? httpSection : section) + QLatin1Char('/') + key;
        (isLine ? lines[lineName].origin[canonicalKey(key)] : origin[global]) = where;
    }
    return true;
}

bool ConfigLoader::set(const QString &key, const QString &value, const QString &option)
{
    QString why;
    if (!setGlobal(key, value, &why))
        return fail(option, why);
    origin[key] = option;
    return true;
}

bool ConfigLoader::setGlobal(const QString &key, const QString &value, QString *why)
{
    BrokerConfig &broker = result.broker;
    if (key == QLatin1String("mqtt/host")) {
        if (value.isEmpty() || value.contains(QLatin1Char(' '))) {
            *why = QStringLiteral("'%1' is not a host name or address").arg(value);
            return false;
        }
        broker.host = value;
        return true;
    }
    if (key == QLatin1String("mqtt/port"))
        return wholeNumber(value, 1, 65535, &broker.port, why);
    if (key == QLatin1String("mqtt/client_id"))
        return name(value, &broker.clientId, why);
    if (key == QLatin1String("mqtt/username")) {
        broker.username = value;
        return true;
    }
    if (key == QLatin1String("mqtt/password_file"))
        return readableFile(value, &broker.passwordFile, why);
    if (key == QLatin1String("mqtt/ca_file"))
        return readableFile(value, &broker.caFile, why);
    if (key == QLatin1String("mqtt/cert_file"))
        return readableFile(value, &broker.certFile, why);
    if (key == QLatin1String("mqtt/key_file"))
        return readableFile(value, &broker.keyFile, why);
    if (key == QLatin1String("mqtt/topic_prefix"))
        return topicPrefix(value, &result.topicPrefix, why);
    if (key == QLatin1String("mqtt/discovery"))
        return yesNo(value, &result.discovery, why);
    if (key == QLatin1String("mqtt/discovery_prefix"))
        return topicPrefix(value, &result.discoveryPrefix, why);
    if (key == QLatin1String("bridge/poll_interval_ms"))
        return wholeNumber(value, intervalMinMs, intervalMaxMs, &result.pollIntervalMs, why);
    if (key == QLatin1String("bridge/read_only"))
        return yesNo(value, &result.readOnly, why);
    if (key == QLatin1String("mqtt/enabled"))
        return yesNo(value, &result.mqtt, why);
    if (key.startsWith(oldHttpSection + QLatin1Char('/')))
        return setGlobal(httpSection + key.mid(oldHttpSection.size()), value, why);
    ListenConfig *frontEnd = nullptr;
    if (key.startsWith(QLatin1String("http/")))
        frontEnd = &result.http;
    else if (key.startsWith(QLatin1String("modbus_tcp/")))
        frontEnd = &result.modbusTcp;
    if (frontEnd && key.endsWith(QLatin1String("/listen")))
        return listenAddress(value, frontEnd, why);
    if (frontEnd && key.endsWith(QLatin1String("/allow")))
        return frontEnd->allow.parse(value, why);
    if (key == QLatin1String("modbus_tcp/idle_timeout_s"))
        return wholeNumber(value, idleMinS, idleMaxS, &result.modbusTcp.idleTimeoutS, why);
    int unit = 0;
    if (isNumbered(key, QStringLiteral("modbus_tcp/unit."))) {
        if (!wholeNumber(key.mid(16), LineFacts::UnitIdMin, LineFacts::UnitIdMax, &unit, why)) {
            *why = QStringLiteral("the unit id %1").arg(*why);
            return false;
        }
        QPair<QString, int> target;
        if (!unitTarget(value, &target, why))
            return false;
        unitKeys.insert(unit, target);
        return true;
    }
    QStringList known;
    for (const QString &k : globalKeys) {
        if (k.startsWith(key.section(QLatin1Char('/'), 0, 0) + QLatin1Char('/')))
            known.append(k.section(QLatin1Char('/'), 1));
    }
    *why = QStringLiteral("unknown key (keys of this section: %1)").arg(known.join(QStringLiteral(", ")));
    return false;
}

bool ConfigLoader::setLineKey(LineDraft &draft, const QString &key, const QString &value, QString *why)
{
    LineConfig &line = draft.line;
    if (key == QLatin1String("port")) {
        QString host;
        int tcpPort = 0;
        if (HeldLink::isNetworkPort(value)) {
            if (!RtuTcpLink::parsePort(value, &host, &tcpPort, why))
                return false;
        } else if (!value.startsWith(QLatin1Char('/'))) {
            *why = QStringLiteral("'%1' is not a device path (e.g. /dev/serial/by-id/usb-...) or a serial device "
                                  "server's tcp://HOST:PORT")
                       .arg(value);
            return false;
        }
        line.port = value;
        return true;
    }
    if (key == QLatin1String("baud")) {
        if (!LineFacts::isBaud(value.toInt()) || QString::number(value.toInt()) != value) {
            *why = QStringLiteral("'%1' is not a rate the controller runs at (%2)").arg(value, LineFacts::baudsText());
            return false;
        }
        line.baud = value.toInt();
        return true;
    }
    if (key == QLatin1String("addresses"))
        return addressList(value, &draft.addresses, why);
    if (key == QLatin1String("timeout_ms"))
        return wholeNumber(value, timeoutMinMs, timeoutMaxMs, &line.timeoutMs, why);
    if (key == QLatin1String("echo"))
        return yesNo(value, &line.echo, why);
    if (key == QLatin1String("rs485")) {
        if (!Rs485::parseMode(value, &line.rs485)) {
            *why = QStringLiteral("'%1' is not none, kernel or rts").arg(value);
            return false;
        }
        return true;
    }
    if (key == QLatin1String("rts_delay_us"))
        return wholeNumber(value, 0, Rs485::MaxDelayUs, &line.rtsDelayUs, why);
    if (key == QLatin1String("max_age_ms"))
        return wholeNumber(value, 0, maxAgeMaxMs, &line.maxAgeMs, why);
    if (key == QLatin1String("verify"))
        return yesNo(value, &line.verify, why);
    if (key == QLatin1String("offline_poll_s")) {
        int seconds = 0;
        if (!wholeNumber(value, offlinePollMinS, offlinePollMaxS, &seconds, why))
            return false;
        line.offlinePollMs = seconds * 1000;
        return true;
    }
    int address = 0;
    if (isNumbered(key, QStringLiteral("id."))) {
        if (!wholeNumber(key.mid(3), addressMin, addressMax, &address, why)) {
            *why = QStringLiteral("the address %1").arg(*why);
            return false;
        }
        QString id;
        if (!name(value, &id, why))
            return false;
        if (draft.ids.contains(address)) {
            *why = QStringLiteral("address %1 is given an id twice (id.%1 written two ways)").arg(address);
            return false;
        }
        draft.ids.insert(address, id);
        return true;
    }
    *why = QStringLiteral("unknown key (keys of a line: %1, id.ADDRESS)").arg(lineKeys.join(QStringLiteral(", ")));
    return false;
}

bool ConfigLoader::addLine(const QString &text)
{
    const QString option = QStringLiteral("--line %1").arg(text);
    const QStringList fields = text.split(QLatin1Char(':'));
    if (fields.size() < 4)
        return fail(option,
            QStringLiteral("not NAME:BAUD:ADDRESSES:PORT, with any KEY=VALUE fields before the port "
                           "(e.g. hall1:19200:1,7:/dev/ttyUSB0, hat:115200:1:rs485=kernel:/dev/ttyAMA0 or "
                           "far:9600:1-4:tcp://10.0.0.5:4001)"));
    if (!linesFromCommandLine)
        lines.clear();
    linesFromCommandLine = true;
    QString lineName;
    QString why;
    if (!name(fields.at(0), &lineName, &why))
        return fail(option, QStringLiteral("the line's name: ") + why);
    if (lines.contains(lineName))
        return fail(option, QStringLiteral("a second line named %1").arg(lineName));
    LineDraft &draft = lines[lineName];
    draft.line.name = lineName;
    // KEY=VALUE fields may stand between the addresses and the port, which
    // starts with '/' (a device) or is tcp://HOST:PORT (split at its colons).
    const auto startsPort = [&fields](int i) {
        return fields.at(i).startsWith(QLatin1Char('/'))
            || (fields.at(i).compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0 && i + 1 < fields.size()
                && fields.at(i + 1).startsWith(QLatin1String("//")));
    };
    int portField = 3;
    for (; portField < fields.size() - 1 && !startsPort(portField); ++portField) {
        const QString key = fields.at(portField).section(QLatin1Char('='), 0, 0);
        if (!fields.at(portField).contains(QLatin1Char('=')) || lineFormKeys.contains(key) || key.startsWith("id."))
            return fail(option,
                QStringLiteral("'%1' is not KEY=VALUE of a line key (%2) before the port")
                    .arg(fields.at(portField), QStringList(lineKeys.mid(3)).join(QStringLiteral(", "))));
        if (!setLineKey(draft, key, fields.at(portField).section(QLatin1Char('='), 1), &why))
            return fail(option, QStringLiteral("%1: %2").arg(key, why));
    }
    const QString port = fields.mid(portField).join(QLatin1Char(':'));
    if (!setLineKey(draft, QStringLiteral("baud"), fields.at(1), &why)
        || !setLineKey(draft, QStringLiteral("addresses"), fields.at(2), &why)
        || !setLineKey(draft, QStringLiteral("port"), port, &why))
        return fail(option, why);
    for (const QString &key : lineKeys)
        draft.origin[key] = option;
    return true;
}
