#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include <QAtomicInt>
#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QWaitCondition>

#include <thread>

struct mosquitto;
struct mosquitto_message;

// An MQTT client on libmosquitto, with its network loop on a thread of its
// own: connecting (name look-up, TCP, TLS handshake) blocks that thread,
// never the caller's event loop. The thread connects, runs mosquitto_loop()
// and, when a connection fails or drops, tries again after a back-off that
// doubles from 0.5 s up to 30 s (and starts over after a good connection);
// it keeps trying whatever went wrong, TLS and refused logins included.
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

    explicit MqttClient(const Settings &settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Sets the client up and starts connecting; false, with a sentence, when
    // libmosquitto refuses the settings.
    bool start(QString *error);
    bool isConnected() const { return connectedNow; }
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
    void disconnected(const QString &reason);
    void connectFailed(const QString &reason, int retryMs);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int code);
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

    // The loop thread's own.
    bool sessionUp = false;
    QString refusal;
};

#endif // MQTTCLIENT_H
