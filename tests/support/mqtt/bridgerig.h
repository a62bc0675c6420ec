#ifndef BRIDGERIG_H
#define BRIDGERIG_H

#include "bridgeprocess.h"
#include "mqttprobe.h"
#include "testbroker.h"
#include "virtualline.h"

#include <QJsonObject>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <memory>

// A plant in a test: a real broker, virtual RS-485 lines in this process,
// the real bridge as a process, and the test's MQTT client.
class BridgeRig
{
public:
    static constexpr int WaitMs = 30000; // for anything that is expected to happen

    BridgeRig();
    ~BridgeRig();

    QString folder() const { return dir.path(); }
    TestBroker &broker() { return *brokerProcess; }
    BridgeProcess &bridge() { return *bridgeProcess; }

    // A virtual line with controllers at these addresses, served at <folder>/line-<name>.
    VirtualLine &addLine(const QString &name, const QList<quint8> &addresses);
    VirtualLine &line(const QString &name) { return *lines.at(name); }
    SimController controller(const QString &name, quint8 address);
    QString linePath(const QString &name) const;

    // "[mqtt]" with this broker and client id, then `more` keys of that section.
    QString mqttSection(const QString &clientId, const QString &more = QString()) const;
    // "[line.NAME]" for a line added before.
    QString lineSection(const QString &name, const QString &addresses, const QString &more = QString()) const;

    // Starts the bridge without MQTT, its Modbus TCP gateway on a free port
    // of loopback, polling every controller of line `name` (added before)
    // every `intervalMs`, with a generous wait for replies (timeout_ms=1000);
    // the gateway's port once every one is online, or 0. `gatewayKeys` are
    // more lines of [modbus_tcp] ("unit.1=a:254\n"); `maxAgeMs` the line's
    // max_age_ms (0, the default here: every read goes on the line).
    int startGateway(const QString &name, int intervalMs, const QStringList &arguments = QStringList(),
        const QString &gatewayKeys = QString(), int maxAgeMs = 0);
    // Puts line `name` back as it was added: plugged in, its controllers
    // without faults and with their first register values. False when the
    // line cannot be plugged in again.
    bool resetLine(const QString &name);

    // A probe on the broker, subscribed to `filter` (everything by default).
    std::unique_ptr<MqttProbe> probe(const QString &filter = QStringLiteral("#"), const MqttProbe::Tls &tls = {});

    // Waits for a state message of a controller that `match` accepts.
    static bool waitForState(MqttProbe &probe, const QString &id, const std::function<bool(const QJsonObject &)> &match,
        QJsonObject *state = nullptr);
    // Waits for any state message of a controller.
    static bool waitForState(MqttProbe &probe, const QString &id, QJsonObject *state = nullptr);

private:
    QTemporaryDir dir;
    std::unique_ptr<TestBroker> brokerProcess;
    std::unique_ptr<BridgeProcess> bridgeProcess;
    std::map<QString, std::unique_ptr<VirtualLine>> lines;
};

#endif // BRIDGERIG_H
