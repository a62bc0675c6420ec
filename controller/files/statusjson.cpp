#include "statusjson.h"

#include "devicemodel.h"
#include "registers.h"

QJsonObject StatusJson::toJson(const StatusBlock &status, const QDateTime &time)
{
    QJsonObject json;
    json.insert(QStringLiteral("time"), timeText(time));
    for (const StatusField &field : DeviceModel::statusFields())
        json.insert(field.jsonKey, field.json(status));
    return json;
}

QStringList StatusJson::keys()
{
    QStringList keys{QStringLiteral("time")};
    for (const StatusField &field : DeviceModel::statusFields())
        keys << field.jsonKey;
    return keys;
}

QList<int> StatusJson::modules(quint16 mask)
{
    QList<int> numbers;
    for (int i = 0; i < 12; ++i) {
        if (mask & (1u << i))
            numbers.append(i + 1);
    }
    return numbers;
}

QJsonArray StatusJson::moduleArray(quint16 mask)
{
    QJsonArray array;
    for (int module : modules(mask))
        array.append(module);
    return array;
}

QString StatusJson::firmware(quint16 word)
{
    return QStringLiteral("%1.%2").arg(word >> 8).arg(word & 0xFF);
}

QString StatusJson::timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}
