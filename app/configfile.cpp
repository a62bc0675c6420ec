#include "configfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace {
const QString keyName = QStringLiteral("ConfigName");
const QString keyLdMask = QStringLiteral("ConfigLdMask");
const QString keyLowPowerMask = QStringLiteral("ConfigLdLowPowerMask");
const QString keyMaxDac = QStringLiteral("ConfigLdMaxDac");
const QString keyAlarm = QStringLiteral("ConfigLdAlarmTemperature");
const QString keyHours = QStringLiteral("ConfigLdCompensationHours");
} // namespace

bool ConfigFile::write(const QString &path, const ConfigValues &values)
{
    // No codec: non-ASCII characters of the name are written as INI escapes.
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(keyName, values.name);
    settings.setValue(keyLdMask, int(values.ldMask));
    settings.setValue(keyLowPowerMask, int(values.lowPowerMask));
    settings.setValue(keyMaxDac, int(values.maxDac));
    settings.setValue(keyAlarm, int(values.alarmTenths));
    settings.setValue(keyHours, uint(values.hours));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

ConfigFile::ReadResult ConfigFile::read(const QString &path, ConfigValues *values)
{
    // QSettings reads a missing or unreadable file as an empty one, so the
    // file itself is checked first.
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return ReadUnreadable;
    {
        QFile probe(path);
        if (!probe.open(QIODevice::ReadOnly))
            return ReadUnreadable;
    }

    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() == QSettings::AccessError)
        return ReadUnreadable;
    const QStringList keys{keyName, keyLdMask, keyLowPowerMask, keyMaxDac, keyAlarm, keyHours};
    bool anyKey = false;
    for (const QString &key : keys)
        anyKey = anyKey || settings.contains(key);
    if (!anyKey)
        return ReadNotAConfig;

    values->name = settings.value(keyName).toString();
    values->ldMask = quint16(settings.value(keyLdMask).toUInt() & 0xFFFF);
    values->lowPowerMask = quint16(settings.value(keyLowPowerMask).toUInt() & 0xFFFF);
    values->maxDac = quint16(settings.value(keyMaxDac).toUInt() & 0xFFFF);
    values->alarmTenths = quint16(settings.value(keyAlarm).toUInt() & 0xFFFF);
    values->hours = settings.value(keyHours).toUInt();
    return ReadOk;
}
