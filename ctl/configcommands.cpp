#include "configcommands.h"

#include "commandline.h"
#include "configfile.h"
#include "configjson.h"
#include "exitstatus.h"
#include "inifile.h"
#include "output.h"
#include "session.h"
#include "statusjson.h"
#include "valuetext.h"

#include <QFileInfo>

namespace {

// The name the panel gives a configuration read from the controller.

// Writes a block and shows it: config set and config factory.
int writeBlock(Session &session, Output &out, const QString &what, const ConfigBlock &block, const QString &done)
{
    if (const int status = session.open())
        return status;
    const Outcome outcome = session.controller().writeConfig(block);
    const int status = session.judge(outcome, what, Session::Write);
    if (out.json()) {
        QJsonObject json = ConfigJson::toJson(block);
        if (status != ExitOk)
            json.insert(QStringLiteral("error"), session.errorWords(outcome));
        out.object(json);
    } else if (status == ExitOk) {
        out.line(done);
        out.line(ConfigCommands::textLines(block).join(QLatin1Char('\n')));
    }
    return status;
}

// What is wrong with a file config set cannot take; nothing was sent.
QString readError(ConfigFile::ReadResult result, const QString &path, const QString &why)
{
    switch (result) {
    case ConfigFile::ReadMissing:
    case ConfigFile::ReadUnreadable:
    case ConfigFile::ReadTooLarge:
    case ConfigFile::ReadLocked:
        return IniFile::problem(IniFile::Result(result), path) + QStringLiteral(": nothing was sent");
    case ConfigFile::ReadNotAConfig:
        return QStringLiteral("%1 holds no configuration (none of the keys %2): nothing was sent")
            .arg(path, ConfigFile::keys().join(QStringLiteral(", ")));
    case ConfigFile::ReadBadText:
    case ConfigFile::ReadOk:
        break;
    }
    return QStringLiteral("%1: %2: nothing was sent").arg(path, why);
}

} // namespace

QStringList ConfigCommands::textLines(const ConfigBlock &block)
{
    return {Output::labelled("modules enabled", ValueText::ranges(StatusJson::modules(block.ldMask))),
        Output::labelled("low-power modules", ValueText::ranges(StatusJson::modules(block.lowPowerMask))),
        Output::labelled("maximum DAC", QString::number(block.ldMaxDac)),
        Output::labelled("compensation time",
            QStringLiteral("%1 h (%2 s)")
                .arg(block.compensationSeconds / ConfigBlock::SecondsPerHour)
                .arg(block.compensationSeconds)),
        Output::labelled(
            "alarm temperature", QString::number(block.alarmTenths / 10.0, 'f', 1) + QStringLiteral(" °C"))};
}

bool ConfigCommands::blockFromTexts(const QMap<QString, QString> &texts, ConfigBlock *block, QString *error)
{
    const QStringList keys = ConfigFile::keys(); // name, module mask, low-power mask, DAC, alarm, hours
    const QString keyOf[ConfigBlock::FieldCount] = {keys.at(1), keys.at(2), keys.at(3), keys.at(4), keys.at(5)};
    ConfigBlock::Values values{};
    for (int field = 0; field < ConfigBlock::FieldCount; ++field) {
        const QString &key = keyOf[field];
        if (!texts.contains(key)) {
            *error = QStringLiteral("%1 is missing").arg(key);
            return false;
        }
        const ConfigBlock::Range range = ConfigBlock::range(ConfigBlock::Field(field));
        if (!ValueText::number(texts.value(key), range.low, range.high, key, &values[field], error))
            return false;
    }
    return ConfigBlock::fromValues(values, block);
}

namespace {

// What was written is what the file now holds: a full disk can leave it
// short although the write seemed to go through.
bool readsBack(const QString &path, const ConfigValues &written)
{
    ConfigValues read;
    return ConfigFile::read(path, &read) == ConfigFile::ReadOk && read.name == written.name
        && read.ldMask == written.ldMask && read.lowPowerMask == written.lowPowerMask && read.maxDac == written.maxDac
        && read.alarmTenths == written.alarmTenths && read.hours == written.hours;
}

} // namespace

int ConfigCommands::get(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    const bool toFile = commandLine.has(QStringLiteral("ini"));
    const QString path = commandLine.value(QStringLiteral("ini"));
    if (toFile && path.isEmpty()) {
        out.error(QStringLiteral("--ini needs a file name"));
        return ExitUsage;
    }
    // A device, a pipe or a folder takes no INI file (QSettings would say it wrote to /dev/full).
    if (toFile && QFileInfo::exists(path) && !QFileInfo(path).isFile()) {
        out.error(QStringLiteral("%1 is not a regular file: give the path of an INI file; nothing was sent").arg(path));
        return ExitFile;
    }
    if (const int status = session.open())
        return status;
    ConfigBlock block;
    const Outcome outcome = session.controller().readConfig(&block);
    if (const int status = session.judge(outcome, QStringLiteral("config get"), Session::Read)) {
        if (out.json())
            out.object({{QStringLiteral("error"), session.errorWords(outcome)}});
        return status;
    }

    QJsonObject json = ConfigJson::toJson(block);
    if (toFile) {
        ConfigValues values;
        values.name = commandLine.has(QStringLiteral("name")) ? commandLine.value(QStringLiteral("name"))
                                                              : ConfigFile::defaultName();
        const ConfigBlock::Values given = block.values();
        values.ldMask = quint16(given[ConfigBlock::EnableMask]);
        values.lowPowerMask = quint16(given[ConfigBlock::LowPowerMask]);
        values.maxDac = quint16(given[ConfigBlock::MaxDac]);
        values.alarmTenths = quint16(given[ConfigBlock::AlarmTenths]);
        values.hours = quint32(given[ConfigBlock::CompensationHours]);
        if (block.compensationSeconds % ConfigBlock::SecondsPerHour != 0)
            out.error(QStringLiteral("config get: the compensation time is %1 s, not whole hours; %2 holds %3 h")
                          .arg(block.compensationSeconds)
                          .arg(path)
                          .arg(values.hours));
        if (!ConfigFile::write(path, values) || !readsBack(path, values)) {
            out.error(QStringLiteral("%1: cannot be written (does its folder exist, may it be written, is its lock "
                                     "%1.lock free?)")
                          .arg(path));
            return ExitFile;
        }
        json.insert(QStringLiteral("ini"), path);
    }
    if (out.json()) {
        out.object(json);
    } else {
        out.line(textLines(block).join(QLatin1Char('\n')));
        if (toFile)
            out.line(QStringLiteral("written to %1").arg(path));
    }
    return ExitOk;
}

int ConfigCommands::set(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    const QString path = commandLine.value(QStringLiteral("ini"));
    if (path.isEmpty()) {
        out.error(QStringLiteral("config set needs the file: config set --ini FILE"));
        return ExitUsage;
    }
    QMap<QString, QString> texts;
    QString why;
    const ConfigFile::ReadResult read = ConfigFile::readTexts(path, &texts, &why);
    if (read != ConfigFile::ReadOk) {
        out.error(readError(read, path, why));
        return read == ConfigFile::ReadNotAConfig || read == ConfigFile::ReadBadText ? ExitUsage : ExitFile;
    }
    ConfigBlock block;
    QString error;
    if (!blockFromTexts(texts, &block, &error)) {
        out.error(QStringLiteral("%1: %2: nothing was sent").arg(path, error));
        return ExitUsage;
    }
    const QString name = texts.value(ConfigFile::keys().first());
    return writeBlock(session, out, QStringLiteral("config set"), block,
        QStringLiteral("configuration \"%1\" from %2 written").arg(name, path));
}

int ConfigCommands::factory(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    return writeBlock(session, out, QStringLiteral("config factory"), ConfigBlock::factory(),
        QStringLiteral("factory configuration written"));
}
