#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include <QAtomicInt>
#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QWaitCondition>

#include <thread>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// An MQTT client on libmosquitto, with its network loop on a thread of its
// own: connecting (name look-up, TCP, TLS handshake) blocks that thread,
// never the caller's event loop. The thread connects, runs mosquitto_loop()
// and, when a connection fails or drops, tries again after a back-off that
// doubles from 0.5 s up to 30 s; it keeps trying whatever went wrong, TLS
// and refused logins included. A session counts as good, and the back-off
// starts over, once it has lasted StableSessionMs and did not end because
// the broker gave it to another client with the same id: two clients of one
// id take the session from each other at once, and would do so for ever.
//
// It speaks MQTT 5, so that a retained command keeps its retain flag (the
// subscriptions ask for "retain as published"); a broker that refuses MQTT 5
// is spoken to in MQTT 3.1.1 from then on (said once, by notice()).
//
// The object lives in the thread that made it (the bridge's main thread):
// its signals are delivered there, queued. publish() and subscribe() are
// called from there too; libmosquitto is told that another thread runs its
// loop (mosquitto_threaded_set), which makes that safe.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host;
        int port = 1883;
        QString clientId;
        QString username;
        QString password;
        QString caFile; // TLS when set
        QString certFile;
        QString keyFile;
        QString willTopic; // retained, QoS 1
        QByteArray willPayload;
        int keepaliveSeconds = 30;
    };

    static constexpr int BackoffFirstMs = 500;
    static constexpr int BackoffMaxMs = 30000;
    static constexpr int StableSessionMs = 10000;

    explicit MqttClient(const Settings &settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Sets the client up and starts connecting; false, with a sentence, when
    // libmosquitto refuses the settings.
    bool start(QString *error);
    bool isConnected() const { return connectedNow; }
    // False after a broker refused MQTT 5: MQTT 3.1.1, where a retained
    // message published while the client is subscribed arrives without its flag.
    bool speaksMqtt5() const { return mqtt5.loadAcquire() != 0; }
    // Both fail while not connected: nothing is queued for later.
    bool publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    bool subscribe(const QString &filter, int qos);
    // Waits (up to half of `timeoutMs`) until the broker has acknowledged
    // every message published with QoS 1, then disconnects cleanly (so the
    // broker does not send the will) and ends the thread. False when the thread did not end within
    // `timeoutMs` (stuck in a connection attempt): the client is then left
    // alone, and the process must end without destroying it.
    bool stop(int timeoutMs);

signals:
    void connected();
    // `lastedMs`: how long the session was up; `takenOver`: the broker said that
    // another client connected with the same client id (MQTT 5 only).
    void disconnected(const QString &reason, qint64 lastedMs, bool takenOver, int retryMs);
    void notice(const QString &text);
    void connectFailed(const QString &reason, int retryMs);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int code);
    static void onDisconnect(mosquitto *, void *self, int code, const struct mqtt5__property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onPublish(mosquitto *, void *self, int mid);
    void runLoop();
    bool sleepUnlessStopped(int ms);
    QString describe(int code, int savedErrno) const;

    const Settings settings;
    mosquitto *client = nullptr;
    // A plain thread, joined: its thread-local data (OpenSSL's) is gone once
    // stop() returns, which QThread::wait() does not promise.
    std::thread thread;
    bool connectedNow = false; // as the main thread sees it

    // Between the threads.
    QMutex mutex;
    QWaitCondition wake;
    bool stopRequested = false;
    bool loopEnded = false;
    QAtomicInt abandoned = 0;
    QSet<int> unacknowledged; // message ids of QoS 1 publications
    QAtomicInt mqtt5 = 1;

    // The loop thread's own.
    bool sessionUp = false;
    QElapsedTimer sessionTime;
    int disconnectCode = 0; // the broker's reason (MQTT 5) or libmosquitto's code
    bool refusedMqtt5 = false;
    QString refusal;
};

#endif // MQTTCLIENT_H
