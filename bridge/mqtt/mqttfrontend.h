#ifndef MQTTFRONTEND_H
#define MQTTFRONTEND_H

#include "frontend.h"
#include "hubrequest.h"
#include "topics.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>

class MqttClient;
struct Command;

// The lines on an MQTT broker, with Home Assistant discovery: each
// controller's state after every good poll, its availability and the
// outcome of its latest poll, retained; commands from its set/ topics go to
// the hub and their results come back on its result topic.
//
// At every connection to the broker it announces the bridge online,
// republishes what the hub knows (discovery, states, availability, link) and
// subscribes to the command topics (not in read-only mode) and to its own
// discovery topics: a config message found there for an entity it does not
// announce now (a controller taken out of the configuration, a switch in
// read-only mode) is cleared with an empty retained message, once in a run,
// when the first session has held for MqttClient::StableSessionMs. A session
// that ends sooner, or is taken over, says that another client may use the
// same client id: its entities are then never cleared in this run.
class MqttFrontEnd : public FrontEnd
{
    Q_OBJECT

public:
    explicit MqttFrontEnd(LineHub &hub, QObject *parent = nullptr);
    ~MqttFrontEnd() override;

    QString name() const override { return QStringLiteral("MQTT"); }
    bool start(QString *error) override;
    // Says "offline" for every controller and the bridge, and disconnects.
    // False when the MQTT thread did not end (see MqttClient::stop): the
    // process must then end without destroying it.
    bool stop() override;
    void writeMetrics(Exposition &out) const override;

private:
    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    void onConnected();
    void onDisconnected(const QString &reason, qint64 lastedMs, bool takenOver, int retryMs);
    void clearStale();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void onCommand(const QString &id, const QString &name, const QByteArray &payload, bool retained);
    void onDone(int controller, const Command &command, const HubResult &result);
    void onPolled(int controller);
    void announce(int controller);
    void publishAvailability(int controller);
    QByteArray state(int controller) const;
    void refuse(const QString &id, const QString &name, const QString &payload, const QString &why);
    // The hub's controllers changed (a reload): the new ones are announced,
    // the entities of those that went are cleared.
    void onReconfigured();
    void takeAnnounced();

    const Topics topics;
    std::unique_ptr<MqttClient> mqtt;
    QHash<QString, QString> announcedFirmware; // by controller id: what its discovery says
    QHash<QString, QString> publishedLink; // by controller id: the link last published
    QStringList ids; // the controllers it serves, as the hub has them
    QSet<QString> announced; // discovery topics of this configuration
    QSet<QString> stale; // found under our id, not announced: cleared when the session holds
    QTimer settling;
    bool cleared = false; // the stale entities are cleared once in a run
    bool sharedId = false; // another client may use our client id: clear nothing
    bool connectedNow = false;
    quint64 connections = 0;
};

#endif // MQTTFRONTEND_H
