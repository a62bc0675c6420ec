#ifndef BRIDGE_H
#define BRIDGE_H

#include "bridgeconfig.h"
#include "bridgemetrics.h"
#include "lineworker.h"
#include "topics.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>
#include <vector>

class MetricsServer;
class ModbusGateway;
class MqttClient;

// The bridge: a LineWorker per RS-485 line, and the front-ends it serves
// them to: an MQTT client, the metrics' HTTP server (each when configured),
// and between them what each controller's topics say and what the metrics
// count. Everything here runs in the main thread; the workers and the client
// report to it through queued signals, so a scrape of the metrics reads what
// the last polls said and never waits for a line.
//
// A controller is "online" from its first good poll and "offline" after
// LineFacts::FailuresForOffline failed polls in a row, until the next good one. At
// every connection to the broker the bridge announces itself online,
// republishes what it knows (discovery, states, availability, link) and
// subscribes to the command topics (not in read-only mode) and to its own
// discovery topics: a config message found there for an entity it does not
// announce now (a controller taken out of the configuration, a switch in
// read-only mode) is cleared with an empty retained message, once in a run,
// when the first session has held for MqttClient::StableSessionMs. A session
// that ends sooner, or is taken over, says that another client may use the
// same client id: its entities are then never cleared in this run.
class Bridge : public QObject
{
    Q_OBJECT

public:
    enum StartResult { Started, PortUnavailable, MqttUnavailable, ListenUnavailable };

    Bridge(const BridgeConfig &config, bool trace, QObject *parent = nullptr);
    ~Bridge() override;

    // Opens every line's port, then starts its front-ends: the metrics'
    // server, the Modbus TCP gateway, the connection to the broker. Not
    // Started, with a sentence, when a port cannot be had (held by another
    // program, no permission; a port that is missing is waited for instead)
    // or an address cannot be listened on.
    StartResult start(QString *error);
    // Closes the gateway's connections, stops the lines, says "offline" for
    // every controller and the bridge, and disconnects. False when the MQTT thread did not end (see MqttClient::stop).
    bool stop();

private:
    struct Node
    {
        ControllerConfig config;
        int line = 0;
        int index = 0; // within its line
        int failures = 0;
        enum { Unknown, Online, Offline } availability = Unknown;
        QString link;
        QByteArray state;
        QString firmware;
    };

    bool startMqtt(QString *error);
    bool startGateway(QString *error);
    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    int indexOf(const Node &node) const { return int(&node - nodes.data()); }
    void onConnected();
    void onDisconnected(const QString &reason, qint64 lastedMs, bool takenOver, int retryMs);
    void clearStale();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void onPolled(Node &node, const PollResult &result);
    void onCommandDone(Node &node, const CommandResult &result);
    void onCommand(const QString &id, const QString &name, const QByteArray &payload, bool retained);
    void announce(const Node &node);
    void publishAvailability(const Node &node);
    void refuse(const QString &id, const QString &name, const QString &payload, const QString &why);

    const BridgeConfig config;
    const bool trace;
    const Topics topics;
    std::unique_ptr<MqttClient> mqtt;
    BridgeMetrics metrics;
    std::unique_ptr<MetricsServer> metricsServer;
    std::unique_ptr<ModbusGateway> gateway;
    bool stopped = false; // results that arrive after stop() are dropped
    std::vector<std::unique_ptr<LineWorker>> workers;
    std::vector<Node> nodes;
    QHash<QString, int> nodeById;
    QSet<QString> announced; // discovery topics of this configuration
    QSet<QString> stale; // found under our id, not announced: cleared when the session holds
    QTimer settling;
    bool cleared = false; // the stale entities are cleared once in a run
    bool sharedId = false; // another client may use our client id: clear nothing
};

#endif // BRIDGE_H
