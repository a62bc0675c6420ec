#ifndef BRIDGEMETRICS_H
#define BRIDGEMETRICS_H

#include "lineworker.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <array>
#include <vector>

// What the bridge has seen, as Prometheus metrics (see the plant guide for
// the families). It lives in the bridge's main thread and is fed there from
// the line workers' queued results, so a scrape reads the values of the last
// poll and never waits for a line.
//
// A controller's readings are exported while the bridge counts it online;
// once it is offline only vortanix_controller_online (0) and the time of its
// last good poll are left: a reading that is no longer true is not shown.
class BridgeMetrics
{
public:
    enum class CommandSource { Mqtt, ModbusTcp };
    enum class CommandOutcome { Ok, Failed, Refused };

    // One bucket bound an exchange's duration is counted under, in seconds.
    static constexpr std::array<double, 11> DurationBuckets
        = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};

    BridgeMetrics(const QList<LineConfig> &lines);

    // A poll of the controller at `node` (the bridge's index) is done; `online` is what the bridge counts it as.
    void polled(int node, const PollResult &result, bool online);
    // Requests a command took on the line.
    void exchanged(int node, const QVector<Exchange> &exchanges);
    // Commands by where they came from and how they ended. A source's
    // counters show (with 0) once the source is enabled.
    void enableCommandSource(CommandSource source);
    void countCommand(CommandSource source, CommandOutcome outcome);
    // A request to the Modbus TCP gateway: its function, and the exception
    // code it was answered with (0: none).
    void countModbusRequest(int function, int exception);
    // The MQTT connection's state; every connection after the first counts as a reconnect.
    void setMqttConnected(bool connected);

    // The whole exposition, text format 0.0.4.
    QByteArray exposition() const;

private:
    struct Node
    {
        QByteArray labels; // line="…",address="…",id="…"
        // The same with one more label, made once: a scrape only appends.
        std::array<QByteArray, 12> moduleLabels; // module="1" ... "12"
        std::array<QByteArray, Outcome::KindCount> outcomeLabels;
        std::array<QByteArray, 3> sensorLabels; // state="ok", "open", "short"
        int line = 0;
        bool online = false;
        bool haveStatus = false; // a good poll since the bridge started
        StatusBlock status;
        double lastGoodPoll = 0; // Unix time in seconds
        std::array<quint64, Outcome::KindCount> outcomes{};
        QMap<quint8, quint64> exceptions; // by code
    };
    struct LineStats
    {
        QByteArray labels; // line="…"
        std::array<quint64, DurationBuckets.size()> buckets{}; // each counts its own range, summed when written
        quint64 count = 0;
        double sumSeconds = 0;
    };

    void writeReadings(class Exposition &out) const;
    void writeCounters(Exposition &out) const;

    std::vector<Node> nodes;
    mutable int lastSize = 0; // of the last page: the next one is about as long
    std::vector<LineStats> lines;
    std::array<std::array<quint64, 3>, 2> commands{}; // [source][outcome]
    std::array<bool, 2> commandSources{};
    QMap<QPair<int, int>, quint64> modbusRequests; // (function, exception)
    bool mqttEnabled = false;
    bool mqttConnected = false;
    quint64 mqttConnections = 0;
};

#endif // BRIDGEMETRICS_H
