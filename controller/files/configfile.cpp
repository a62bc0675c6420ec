#include "configfile.h"

#include "iniescapes.h"
#include "inireader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QTextCodec>

#include <functional>

namespace {
const QString keyName = QStringLiteral("ConfigName");
const QString keyLdMask = QStringLiteral("ConfigLdMask");
const QString keyLowPowerMask = QStringLiteral("ConfigLdLowPowerMask");
const QString keyMaxDac = QStringLiteral("ConfigLdMaxDac");
const QString keyAlarm = QStringLiteral("ConfigLdAlarmTemperature");
const QString keyHours = QStringLiteral("ConfigLdCompensationHours");

// Hand-edited files come in UTF-8 or, from Chinese Windows editors, in
// GB18030; the panel's own files hold ASCII with \x escapes, which either
// codec reads.
const char *codecFor(const QByteArray &bytes)
{
    return IniReader::isUtf8(bytes) ? "UTF-8" : "GB18030";
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
// Qt 6's QSettings writes the name's non-ASCII characters as raw UTF-8 where
// Qt 5's writes \x escapes; files already written, scripts and other
// programs expect the escapes, so the file is brought back to that form.
bool keepEscapedForm(const QString &path)
{
    QLockFile lock(path + QStringLiteral(".lock"));
    if (IniFile::waitForLock(path, lock) == IniFile::LockState::Held)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    file.close();
    const QByteArray escaped = IniEscapes::fromUtf8(bytes);
    if (escaped == bytes)
        return true;
    QSaveFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(escaped) == escaped.size() && out.commit();
}
#endif

} // namespace

bool ConfigFile::write(const QString &path, const ConfigValues &values)
{
    {
        QLockFile lock(path + QStringLiteral(".lock"));
        // A lock file that cannot be made at all fails QSettings as well.
        if (IniFile::waitForLock(path, lock) == IniFile::LockState::Held)
            return false;
    } // released: QSettings takes it again itself
    {
        // No codec: Qt 5 writes non-ASCII characters of the name as INI escapes.
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(keyName, values.name);
        settings.setValue(keyLdMask, int(values.ldMask));
        settings.setValue(keyLowPowerMask, int(values.lowPowerMask));
        settings.setValue(keyMaxDac, int(values.maxDac));
        settings.setValue(keyAlarm, int(values.alarmTenths));
        settings.setValue(keyHours, uint(values.hours));
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return keepEscapedForm(path);
#else
    return true;
#endif
}

namespace {

// Opens the file the way the panel takes it and hands its settings to
// `take` while the lock is held; `take` runs only when one of the six keys is there.
ConfigFile::ReadResult readSettings(const QString &path, const std::function<void(const QSettings &)> &take)
{
    QLockFile lock(path + QStringLiteral(".lock"));
    QByteArray bytes;
    const auto result = ConfigFile::ReadResult(IniFile::read(path, lock, &bytes));
    if (result != ConfigFile::ReadOk)
        return result;

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 reads INI files as UTF-8 only: a GB18030 file is read from a
    // UTF-8 copy (the lock on the file itself stays held meanwhile).
    QTemporaryFile utf8Copy;
    QString source = path;
    if (qstrcmp(codecFor(bytes), "UTF-8") != 0) {
        const QByteArray converted = QTextCodec::codecForName("GB18030")->toUnicode(bytes).toUtf8();
        if (!utf8Copy.open() || utf8Copy.write(converted) != converted.size() || !utf8Copy.flush())
            return ConfigFile::ReadUnreadable;
        source = utf8Copy.fileName();
    }
    QSettings settings(source, QSettings::IniFormat);
#else
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(codecFor(bytes)); // before the first value is read
#endif
    if (settings.status() == QSettings::AccessError)
        return ConfigFile::ReadUnreadable;
    bool anyKey = false;
    for (const QString &key : ConfigFile::keys())
        anyKey = anyKey || settings.contains(key);
    if (!anyKey)
        return ConfigFile::ReadNotAConfig;
    take(settings);
    return ConfigFile::ReadOk;
}

} // namespace

QString ConfigFile::defaultName()
{
    return QStringLiteral("默认配置1");
}

QStringList ConfigFile::keys()
{
    return {keyName, keyLdMask, keyLowPowerMask, keyMaxDac, keyAlarm, keyHours};
}

ConfigFile::ReadResult ConfigFile::read(const QString &path, ConfigValues *values)
{
    return readSettings(path, [values](const QSettings &settings) {
        values->name = settings.value(keyName).toString();
        values->ldMask = quint16(settings.value(keyLdMask).toUInt() & 0xFFFF);
        values->lowPowerMask = quint16(settings.value(keyLowPowerMask).toUInt() & 0xFFFF);
        values->maxDac = quint16(settings.value(keyMaxDac).toUInt() & 0xFFFF);
        values->alarmTenths = quint16(settings.value(keyAlarm).toUInt() & 0xFFFF);
        values->hours = settings.value(keyHours).toUInt();
    });
}

ConfigFile::ReadResult ConfigFile::readTexts(const QString &path, QMap<QString, QString> *texts, QString *error)
{
    QLockFile lock(path + QStringLiteral(".lock"));
    QByteArray bytes;
    const auto result = ReadResult(IniFile::read(path, lock, &bytes));
    if (result != ReadOk)
        return result;
    // The panel writes its keys in [General], or they stand before any section;
    // it writes the name with QSettings' escapes.
    IniReader::Options options;
    options.gb18030 = true;
    options.topLevel = QStringLiteral("General");
    options.escapedKeys = QStringList{keyName};
    QList<IniReader::Entry> entries;
    QString why;
    if (!IniReader::parse(bytes, options, &entries, &why)) {
        if (error)
            *error = why;
        return ReadBadText;
    }
    QMap<QString, QString> found;
    const QStringList six = keys();
    for (const IniReader::Entry &entry : entries) {
        if (entry.section == options.topLevel && six.contains(entry.key))
            found.insert(entry.key, entry.value);
    }
    if (found.isEmpty())
        return ReadNotAConfig;
    *texts = found;
    return ReadOk;
}
