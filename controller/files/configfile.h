#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include "inifile.h"

#include <QMap>
#include <QString>
#include <QStringList>

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
    static constexpr qint64 MaxFileBytes = IniFile::MaxBytes;

    // The file's own problems first, as IniFile::Result has them.
    enum ReadResult {
        ReadOk = IniFile::Ok,
        ReadMissing = IniFile::Missing,
        ReadUnreadable = IniFile::Unreadable,
        ReadTooLarge = IniFile::TooLarge,
        ReadLocked = IniFile::Locked,
        ReadNotAConfig, // none of the six keys
        ReadBadText, // readTexts(): not the strict INI text IniReader takes
    };

    // Writes the six keys (other keys of an existing file stay); false when the
    // file could not be written or its lock was not free within 2 s.
    static bool write(const QString &path, const ConfigValues &values);
    // Reads the six keys (raw UTF-8, GB18030 or \x escapes); a missing key or a
    // value that is not a decimal number reads as 0.
    static ReadResult read(const QString &path, ConfigValues *values);

    // The name a configuration takes when none is given (the panel's).
    static QString defaultName();

    // The six keys, as the file names them: name, module mask, low-power
    // mask, maximum DAC, alarm temperature, compensation hours.
    static QStringList keys();
    // The text of each of the six keys the file holds, read strictly
    // (IniReader: duplicates, escapes other than the name's and continued
    // lines refused; UTF-8 or GB18030) with read()'s checks and lock; a key
    // the file lacks is left out. For callers that judge the values
    // themselves instead of reading a missing or malformed value as 0.
    // `error` says what is wrong with a ReadBadText file ("line 4: ...").
    static ReadResult readTexts(const QString &path, QMap<QString, QString> *texts, QString *error = nullptr);
};

#endif // CONFIGFILE_H
