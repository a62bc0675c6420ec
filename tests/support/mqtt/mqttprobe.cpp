#include "mqttprobe.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QMutexLocker>

#include <mosquitto.h>

#include <chrono>

QJsonObject MqttProbe::Message::json() const
{
    return QJsonDocument::fromJson(payload).object();
}

MqttProbe::MqttProbe(int port, const Tls &tls) : port(port)
{
    // Once per process; the library stays set up until the process ends.
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised)
    client = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client, &MqttProbe::onConnect);
    mosquitto_subscribe_callback_set(client, &MqttProbe::onSubscribe);
    mosquitto_message_callback_set(client, &MqttProbe::onMessage);
    if (!tls.username.isEmpty())
        mosquitto_username_pw_set(client, tls.username.toUtf8().constData(), tls.password.toUtf8().constData());
    if (!tls.caFile.isEmpty())
        mosquitto_tls_set(client, tls.caFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr);
}

MqttProbe::~MqttProbe()
{
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, true);
    mosquitto_destroy(client);
}

bool MqttProbe::connectAndSubscribe(const QString &filter, int timeoutMs)
{
    if (mosquitto_connect_async(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS
        || mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS)
        return false;
    if (!waitUntil([this] { return connected; }, timeoutMs))
        return false;
    if (mosquitto_subscribe(client, nullptr, filter.toUtf8().constData(), 1) != MOSQ_ERR_SUCCESS)
        return false;
    return waitUntil([this] { return subscribed; }, timeoutMs);
}

bool MqttProbe::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    return mosquitto_publish(
               client, nullptr, topic.toUtf8().constData(), payload.size(), payload.constData(), 1, retain)
        == MOSQ_ERR_SUCCESS;
}

void MqttProbe::onConnect(mosquitto *, void *self, int code)
{
    auto *me = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&me->mutex);
    me->connected = code == 0;
    me->changed.wakeAll();
}

void MqttProbe::onSubscribe(mosquitto *, void *self, int, int, const int *)
{
    auto *me = static_cast<MqttProbe *>(self);
    QMutexLocker lock(&me->mutex);
    me->subscribed = true;
    me->changed.wakeAll();
}

void MqttProbe::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *me = static_cast<MqttProbe *>(self);
    Message copy;
    copy.topic = QString::fromUtf8(message->topic);
    copy.payload = QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    copy.retained = message->retain;
    copy.receivedNs
        = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
    QMutexLocker lock(&me->mutex);
    ++me->total;
    if (me->keeping)
        me->received.append(copy);
    me->changed.wakeAll();
}

bool MqttProbe::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        changed.wait(&mutex, deadline);
    }
    return true;
}

bool MqttProbe::waitFor(const std::function<bool(const Message &)> &match, int timeoutMs, Message *found)
{
    int seen = 0;
    return waitUntil(
        [&] {
            for (; seen < received.size(); ++seen) {
                if (match(received.at(seen))) {
                    if (found)
                        *found = received.at(seen);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool MqttProbe::waitFor(const QString &topic, int timeoutMs, Message *found)
{
    return waitFor([&](const Message &m) { return m.topic == topic; }, timeoutMs, found);
}

bool MqttProbe::waitFor(const QString &topic, const QByteArray &payload, int timeoutMs)
{
    return waitFor([&](const Message &m) { return m.topic == topic && m.payload == payload; }, timeoutMs);
}

bool MqttProbe::waitForCount(int count, int timeoutMs)
{
    return waitForCount(
        count, [](const Message &) { return true; }, timeoutMs);
}

bool MqttProbe::waitForCount(int count, const std::function<bool(const Message &)> &match, int timeoutMs)
{
    int matched = 0;
    return waitFor([&](const Message &m) { return match(m) && ++matched >= count; }, timeoutMs);
}

QList<MqttProbe::Message> MqttProbe::messages() const
{
    QMutexLocker lock(&mutex);
    return received;
}

QList<MqttProbe::Message> MqttProbe::messages(const QString &topic) const
{
    QList<Message> list;
    for (const Message &m : messages()) {
        if (m.topic == topic)
            list.append(m);
    }
    return list;
}

int MqttProbe::count() const
{
    QMutexLocker lock(&mutex);
    return total;
}

bool MqttProbe::waitForTotal(int count, int timeoutMs)
{
    return waitUntil([&] { return total >= count; }, timeoutMs);
}

void MqttProbe::setKeep(bool keep)
{
    QMutexLocker lock(&mutex);
    keeping = keep;
}

void MqttProbe::clear()
{
    QMutexLocker lock(&mutex);
    received.clear();
}
