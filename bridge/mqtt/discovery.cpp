#include "discovery.h"

#include "devicemodel.h"
#include "registers.h"
#include "topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

struct Entity
{
    QString component;
    QString key;
    QString name;
    QJsonObject fields;
};

QJsonObject jsonOf(std::initializer_list<QPair<QString, QJsonValue>> pairs)
{
    QJsonObject object;
    for (const auto &pair : pairs)
        object.insert(pair.first, pair.second);
    return object;
}

QList<Entity> entities(const Topics &topics, const QString &id, bool readOnly)
{
    const QString state = topics.state(id);
    QList<Entity> list;
    for (const StatusField &field : DeviceModel::statusFields()) {
        if (field.entityKey.isEmpty())
            continue;
        QJsonObject fields = jsonOf({{QStringLiteral("state_topic"), state},
            {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(field.jsonKey)}});
        const QList<QPair<QString, QString>> optional{{QStringLiteral("unit_of_measurement"), field.unit},
            {QStringLiteral("state_class"), field.stateClass}, {QStringLiteral("device_class"), field.deviceClass}};
        for (const auto &pair : optional) {
            if (!pair.second.isEmpty())
                fields.insert(pair.first, pair.second);
        }
        if (!field.options.isEmpty())
            fields.insert(QStringLiteral("options"), QJsonArray::fromStringList(field.options));
        if (field.diagnostic)
            fields.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
        list.append({QStringLiteral("sensor"), field.entityKey, field.entityName, fields});
    }
    list.append({QStringLiteral("sensor"), QStringLiteral("link"), QStringLiteral("Link"),
        jsonOf({{QStringLiteral("state_topic"), topics.link(id)},
            {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}})});
    for (const SettingRow &row : DeviceModel::settings()) {
        if (readOnly || row.entity != QLatin1String("number"))
            continue;
        list.append({row.entity, row.name + QStringLiteral("_setting"), row.entityName,
            jsonOf({{QStringLiteral("state_topic"), state},
                {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(row.jsonKey)},
                {QStringLiteral("command_topic"), topics.command(id, row.name)}, {QStringLiteral("min"), row.low},
                {QStringLiteral("max"), row.high}, {QStringLiteral("step"), 1},
                {QStringLiteral("unit_of_measurement"), row.unit}, {QStringLiteral("mode"), QStringLiteral("box")}})});
    }
    // A switch per module (and the analog input); in read-only mode a binary sensor.
    const auto onOff = [&](const QString &key, const QString &name, const QString &condition) {
        QJsonObject fields = jsonOf({{QStringLiteral("state_topic"), state},
            {QStringLiteral("value_template"), QStringLiteral("{{ 'ON' if %1 else 'OFF' }}").arg(condition)},
            {QStringLiteral("payload_on"), QStringLiteral("ON")},
            {QStringLiteral("payload_off"), QStringLiteral("OFF")}});
        if (readOnly)
            return Entity{QStringLiteral("binary_sensor"), key, name, fields};
        fields.insert(QStringLiteral("command_topic"), topics.command(id, key));
        fields.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
        fields.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
        return Entity{QStringLiteral("switch"), key, name, fields};
    };
    for (int module = 1; module <= ModuleCount; ++module) {
        list.append(onOff(QStringLiteral("module_%1").arg(module), QStringLiteral("Module %1").arg(module),
            QStringLiteral("%1 in value_json.modules_on").arg(module)));
    }
    list.append(onOff(
        QStringLiteral("adc"), QStringLiteral("External analog input"), QStringLiteral("value_json.adc_enabled")));
    return list;
}

} // namespace

QList<Discovery::Message> Discovery::forController(
    const Topics &topics, const QString &id, quint8 address, const QString &firmware, bool readOnly)
{
    QJsonObject device = jsonOf({{QStringLiteral("identifiers"), QJsonArray{topics.uniqueId(id)}},
        {QStringLiteral("name"), QStringLiteral("Light source %1").arg(id)},
        {QStringLiteral("manufacturer"), QStringLiteral("VORTANIX")},
        {QStringLiteral("model"), QStringLiteral("UV light-source controller, RS-485 address %1").arg(address)}});
    if (!firmware.isEmpty())
        device.insert(QStringLiteral("sw_version"), firmware);
    const QJsonArray bridgeOnly{jsonOf({{QStringLiteral("topic"), topics.bridgeAvailability()}})};
    QJsonArray both = bridgeOnly;
    both.append(jsonOf({{QStringLiteral("topic"), topics.availability(id)}}));

    QList<Message> messages;
    for (const Entity &entity : entities(topics, id, readOnly)) {
        QJsonObject config = entity.fields;
        const QString objectId = QStringLiteral("%1_%2").arg(id, entity.key);
        config.insert(QStringLiteral("name"), entity.name);
        config.insert(QStringLiteral("unique_id"), topics.uniqueId(id) + QLatin1Char('_') + entity.key);
        config.insert(QStringLiteral("device"), device);
        config.insert(QStringLiteral("availability"), entity.key == QLatin1String("link") ? bridgeOnly : both);
        config.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
        messages.append(
            {topics.discovery(entity.component, objectId), QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return messages;
}
