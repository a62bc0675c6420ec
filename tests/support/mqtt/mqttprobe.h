#ifndef MQTTPROBE_H
#define MQTTPROBE_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <functional>

struct mosquitto;

// The test's own MQTT client (libmosquitto, its loop on libmosquitto's
// thread): subscribes, publishes, and keeps every message it receives, so
// a test can wait for the one it expects.
class MqttProbe
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        bool retained = false;
        qint64 receivedNs = 0; // steady clock (std::chrono::steady_clock), when it came

        QJsonObject json() const;
    };
    struct Tls
    {
        QString caFile;
        QString username;
        QString password;
    };

    explicit MqttProbe(int port, const Tls &tls = Tls());
    ~MqttProbe();
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    // Connects and subscribes; true once the broker has granted the subscription.
    bool connectAndSubscribe(const QString &filter, int timeoutMs = 20000);
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false);

    // Waits for a message received since the last clear() that `match` accepts
    // (which must not call the probe: it runs with the probe's lock held).
    bool waitFor(const std::function<bool(const Message &)> &match, int timeoutMs, Message *found = nullptr);
    // The same for the first message on a topic (and with this payload, when given).
    bool waitFor(const QString &topic, int timeoutMs, Message *found = nullptr);
    bool waitFor(const QString &topic, const QByteArray &payload, int timeoutMs);
    // Waits until `count` messages that `match` accepts have come.
    bool waitForCount(int count, const std::function<bool(const Message &)> &match, int timeoutMs);
    // Waits until `count` messages of any kind have come since the last clear().
    bool waitForCount(int count, int timeoutMs);
    QList<Message> messages() const;
    // Messages received since the start; with keep false (for long runs)
    // they are only counted, not kept.
    int count() const;
    void setKeep(bool keep);
    // Waits until count() reaches `total`.
    bool waitForTotal(int total, int timeoutMs);
    QList<Message> messages(const QString &topic) const;
    void clear();

private:
    static void onConnect(mosquitto *, void *self, int code);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *message);
    bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

    mosquitto *client = nullptr;
    int port;
    mutable QMutex mutex;
    QWaitCondition changed;
    bool connected = false;
    bool subscribed = false;
    bool keeping = true;
    int total = 0;
    QList<Message> received;
};

#endif // MQTTPROBE_H
