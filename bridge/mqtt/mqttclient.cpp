#include "mqttclient.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>

namespace {

// A broker that takes the TCP connection but sends no CONNACK within this
// long counts as a failed attempt.
constexpr qint64 connackWaitMs = 10000;
// How long one mosquitto_loop() may wait for the network; publishing from
// the main thread wakes it earlier.
constexpr int loopWaitMs = 1000;

const char *cString(const QByteArray &bytes)
{
    return bytes.isEmpty() ? nullptr : bytes.constData();
}

} // namespace

MqttClient::MqttClient(const Settings &settings, QObject *parent) : QObject(parent), settings(settings) { }

MqttClient::~MqttClient()
{
    if (!stop(5000))
        return; // the loop thread still uses the client: leave both
    if (client)
        mosquitto_destroy(client);
}

QString MqttClient::describe(int code, int savedErrno) const
{
    if (code == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return QString::fromUtf8(mosquitto_strerror(code));
}

bool MqttClient::start(QString *error)
{
    const QByteArray id = settings.clientId.toUtf8();
    client = mosquitto_new(id.constData(), true, this);
    if (!client) {
        *error = QStringLiteral("cannot create an MQTT client: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    mosquitto_threaded_set(client, true);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(client, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(client, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(client, &MqttClient::onMessage);
    mosquitto_publish_callback_set(client, &MqttClient::onPublish);

    int code = MOSQ_ERR_SUCCESS;
    if (!settings.willTopic.isEmpty()) {
        const QByteArray topic = settings.willTopic.toUtf8();
        code = mosquitto_will_set(
            client, topic.constData(), settings.willPayload.size(), settings.willPayload.constData(), 1, true);
        if (code != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("the last will: %1").arg(describe(code, errno));
            return false;
        }
    }
    if (!settings.username.isEmpty()) {
        const QByteArray user = settings.username.toUtf8();
        const QByteArray password = settings.password.toUtf8();
        code = mosquitto_username_pw_set(client, user.constData(), cString(password));
        if (code != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("the user name: %1").arg(describe(code, errno));
            return false;
        }
    }
    if (!settings.caFile.isEmpty()) {
        const QByteArray ca = settings.caFile.toUtf8();
        const QByteArray cert = settings.certFile.toUtf8();
        const QByteArray key = settings.keyFile.toUtf8();
        code = mosquitto_tls_set(client, ca.constData(), nullptr, cString(cert), cString(key), nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("TLS with %1: %2").arg(settings.caFile, describe(code, errno));
            return false;
        }
    }
    thread = std::thread([this] {
        runLoop();
        QMutexLocker lock(&mutex);
        loopEnded = true;
        wake.wakeAll();
    });
    return true;
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!connectedNow)
        return false;
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    if (mosquitto_publish(client, &mid, name.constData(), payload.size(), payload.constData(), qos, retain)
        != MOSQ_ERR_SUCCESS)
        return false;
    // (Not under the lock while in libmosquitto, which holds its own locks
    // when it calls back. An acknowledgement that overtook this would leave
    // the id here, and stop() would wait its time out for it.)
    if (qos > 0) {
        QMutexLocker lock(&mutex);
        unacknowledged.insert(mid);
    }
    return true;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    auto *me = static_cast<MqttClient *>(self);
    QMutexLocker lock(&me->mutex);
    me->unacknowledged.remove(mid);
    me->wake.wakeAll();
}

bool MqttClient::subscribe(const QString &filter, int qos)
{
    if (!connectedNow)
        return false;
    const QByteArray name = filter.toUtf8();
    if (!speaksMqtt5())
        return mosquitto_subscribe(client, nullptr, name.constData(), qos) == MOSQ_ERR_SUCCESS;
    // Retained messages keep their flag also when they come while subscribed.
    return mosquitto_subscribe_v5(client, nullptr, name.constData(), qos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr)
        == MOSQ_ERR_SUCCESS;
}

bool MqttClient::stop(int timeoutMs)
{
    if (!thread.joinable())
        return !abandoned;
    const QDeadlineTimer deadline(timeoutMs);
    {
        QMutexLocker lock(&mutex);
        const QDeadlineTimer acknowledged(connectedNow ? timeoutMs / 2 : 0);
        while (!unacknowledged.isEmpty() && !acknowledged.hasExpired())
            wake.wait(&mutex, acknowledged);
        stopRequested = true;
        wake.wakeAll();
    }
    // Queued after everything published so far, so that goes out first.
    mosquitto_disconnect(client);
    bool ended = false;
    {
        QMutexLocker lock(&mutex);
        while (!loopEnded && !deadline.hasExpired())
            wake.wait(&mutex, deadline);
        ended = loopEnded;
    }
    if (!ended) {
        abandoned = 1;
        thread.detach();
        return false;
    }
    thread.join();
    connectedNow = false;
    return true;
}

bool MqttClient::sleepUnlessStopped(int ms)
{
    const QDeadlineTimer deadline(ms);
    QMutexLocker lock(&mutex);
    while (!stopRequested && !deadline.hasExpired())
        wake.wait(&mutex, deadline);
    return !stopRequested;
}

void MqttClient::onConnect(mosquitto *, void *self, int code)
{
    auto *me = static_cast<MqttClient *>(self);
    // A broker of MQTT 3.1.1 answers an MQTT 5 connection with "unacceptable
    // protocol version" (libmosquitto hands on either code).
    if (me->speaksMqtt5()
        && (code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || code == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        me->refusedMqtt5 = true;
        return;
    }
    if (code != 0) {
        me->refusal = QStringLiteral("the broker refused the connection: %1")
                          .arg(QString::fromUtf8(mosquitto_connack_string(code)));
        return;
    }
    me->sessionUp = true;
    me->sessionTime.start();
    QMetaObject::invokeMethod(
        me,
        [me] {
            me->connectedNow = true;
            emit me->connected();
        },
        Qt::QueuedConnection);
}

void MqttClient::onDisconnect(mosquitto *, void *self, int code, const mqtt5__property *)
{
    static_cast<MqttClient *>(self)->disconnectCode = code;
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *me = static_cast<MqttClient *>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    QMetaObject::invokeMethod(
        me, [me, topic, payload, retained] { emit me->messageReceived(topic, payload, retained); },
        Qt::QueuedConnection);
}

void MqttClient::runLoop()
{
    const QByteArray host = settings.host.toUtf8();
    int backoffMs = BackoffFirstMs;
    bool first = true;
    for (;;) {
        {
            QMutexLocker lock(&mutex);
            if (stopRequested)
                return;
        }
        sessionUp = false;
        refusal.clear();
        refusedMqtt5 = false;
        disconnectCode = 0;
        // The first attempt sets the client up; later ones reuse that.
        int code = first ? mosquitto_connect(client, host.constData(), settings.port, settings.keepaliveSeconds)
                         : mosquitto_reconnect(client);
        int savedErrno = errno;
        first = false;
        QElapsedTimer attempt;
        attempt.start();
        while (code == MOSQ_ERR_SUCCESS) {
            code = mosquitto_loop(client, loopWaitMs, 1);
            savedErrno = errno;
            if (!sessionUp && code == MOSQ_ERR_SUCCESS && attempt.elapsed() > connackWaitMs)
                code = MOSQ_ERR_TIMEOUT;
        }
        {
            QMutexLocker lock(&mutex);
            if (stopRequested)
                return;
        }
        // libmosquitto 2.0.21 (Debian 13) takes a 3.1.1 broker's answer (two
        // bytes, without the properties of MQTT 5) for a malformed packet and
        // never calls onConnect: before any session, that is the refusal too.
        if (!sessionUp && speaksMqtt5() && (code == MOSQ_ERR_MALFORMED_PACKET || code == MOSQ_ERR_PROTOCOL))
            refusedMqtt5 = true;
        if (refusedMqtt5) {
            mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            mqtt5.storeRelease(0);
            QMetaObject::invokeMethod(
                this,
                [this] {
                    emit notice(QStringLiteral("the broker does not speak MQTT 5: speaking MQTT 3.1.1, where a "
                                               "retained command published while the bridge is connected cannot "
                                               "be told from others and is carried out"));
                },
                Qt::QueuedConnection);
            continue; // at once: that attempt was answered
        }
        QString reason = refusal.isEmpty() ? describe(code, savedErrno) : refusal;
        const bool takenOver = sessionUp && disconnectCode == MQTT_RC_SESSION_TAKEN_OVER;
        const qint64 lastedMs = sessionUp ? sessionTime.elapsed() : 0;
        const bool good = sessionUp && !takenOver && lastedMs >= StableSessionMs;
        if (good)
            backoffMs = BackoffFirstMs;
        const int retryMs = backoffMs;
        if (sessionUp) {
            if (takenOver)
                reason = QString::fromUtf8(mosquitto_reason_string(disconnectCode));
            {
                // Whatever was in flight is sent again or lost with the session.
                QMutexLocker lock(&mutex);
                unacknowledged.clear();
            }
            QMetaObject::invokeMethod(
                this,
                [this, reason, lastedMs, takenOver, retryMs] {
                    connectedNow = false;
                    emit disconnected(reason, lastedMs, takenOver, retryMs);
                },
                Qt::QueuedConnection);
        } else {
            QMetaObject::invokeMethod(
                this, [this, reason, retryMs] { emit connectFailed(reason, retryMs); }, Qt::QueuedConnection);
        }
        if (!sleepUnlessStopped(backoffMs))
            return;
        if (!good)
            backoffMs = qMin(backoffMs * 2, BackoffMaxMs);
    }
}
