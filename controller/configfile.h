#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <QString>

// A configuration as the INI file holds it: six keys in [General], the
// compensation duration in hours and the alarm temperature in 0.1 °C.
struct ConfigValues
{
    QString name;
    quint16 ldMask = 0;
    quint16 lowPowerMask = 0;
    quint16 maxDac = 0;
    quint16 alarmTenths = 0;
    quint32 hours = 0;
};

class ConfigFile
{
public:
    // Larger files are refused unread.
    static constexpr qint64 MaxFileBytes = 64 * 1024;

    enum ReadResult {
        ReadOk,
        ReadUnreadable, // missing, not a file, over MaxFileBytes, locked, or cannot be opened for reading
        ReadNotAConfig, // none of the six keys
    };

    // Writes the six keys (other keys of an existing file stay); false when the
    // file could not be written or its lock was not free within 2 s.
    static bool write(const QString &path, const ConfigValues &values);
    // Reads the six keys (raw UTF-8, GB18030 or \x escapes); a missing key or a
    // value that is not a decimal number reads as 0.
    static ReadResult read(const QString &path, ConfigValues *values);
};

#endif // CONFIGFILE_H
