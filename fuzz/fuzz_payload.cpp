// Command payloads of any bytes, under the bridge's command names and under
// names of any bytes, through the command parser. What it takes must be what
// the payload says, in range for the register it goes to; the plainest forms
// of each command must be taken, and out-of-range numbers refused.

#include "command.h"
#include "configblock.h"
#include "powerscale.h"
#include "registers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// The first byte picks one of these (module_13 is one past the last module);
// its highest values take the bytes up to a NUL as the name instead.
const char *const knownNames[]
    = {"switch", "module_1", "module_12", "module_13", "power", "power_mv", "adc", "enable", "dac", "config"};
constexpr int knownNameCount = int(sizeof knownNames / sizeof *knownNames);
constexpr uint8_t rawNameSelector = 0xF0;

struct RegisterName
{
    const char *name;
    quint16 reg;
    int low; // the payload's whole number (the value's for the masks and ON/OFF)
    int high;
};
const RegisterName registerNames[] = {
    {"switch", RegLdSwitchMask, 0, AllModulesMask},
    {"enable", RegLdEnableMask, 0, AllModulesMask},
    {"power", RegPowerPermille, 0, PowerPermilleMax},
    {"power_mv", RegPowerPermille, 0, AnalogMillivoltsMax},
    {"adc", RegAdcEnable, 0, 1},
    {"dac", RegMaxPowerDac, MaxPowerDacMin, MaxPowerDacMax},
};

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

const RegisterName *registerName(const QString &name)
{
    for (const RegisterName &entry : registerNames) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

// ASCII digits as a number (leading zeros allowed, one too large for an int
// as INT_MAX); -1 for an empty text or any other character.
int digitsValue(const QString &text)
{
    if (text.isEmpty())
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = std::min<qint64>(value * 10 + (c.unicode() - '0'), std::numeric_limits<int>::max());
    }
    return int(value);
}

// N of module_N, 1..ModuleCount without leading zeros; 0 for any other name.
int moduleOfName(const QString &name)
{
    const QString digits = name.mid(7);
    const int number = digitsValue(digits);
    if (!name.startsWith(QLatin1String("module_")) || digits.startsWith(QLatin1Char('0')))
        return 0;
    return number <= ModuleCount ? std::max(number, 0) : 0;
}

// 1 for ON, 0 for OFF in any of their spellings, -1 for anything else.
int onOffWord(const QString &text)
{
    const QString word = text.toLower();
    if (word == QLatin1String("on") || word == QLatin1String("true") || word == QLatin1String("yes")
        || word == QLatin1String("1"))
        return 1;
    if (word == QLatin1String("off") || word == QLatin1String("false") || word == QLatin1String("no")
        || word == QLatin1String("0"))
        return 0;
    return -1;
}

// "650" or "650.0": the number; -1 for anything else.
int wholeNumber(const QString &text)
{
    const int dot = text.indexOf(QLatin1Char('.'));
    const QString fraction = dot < 0 ? QString() : text.mid(dot + 1);
    if (fraction.count(QLatin1Char('0')) != fraction.size())
        return -1;
    return digitsValue(text.left(dot));
}

// A JSON list of module numbers as a mask; -1 when it is not one.
int jsonMask(const QJsonValue &value)
{
    if (!value.isArray())
        return -1;
    int mask = 0;
    for (const QJsonValue &item : value.toArray()) {
        const double number = item.toDouble(-1);
        if (number < 1 || number > ModuleCount || number != std::floor(number))
            return -1;
        mask |= 1 << (int(number) - 1);
    }
    return mask;
}

// Modules as the switch and enable commands take them: all, none, a JSON
// list or 1,2,5-8; -1 when the text is none of these.
int moduleMask(const QString &text)
{
    if (text == QLatin1String("all"))
        return AllModulesMask;
    if (text == QLatin1String("none"))
        return 0;
    if (text.startsWith(QLatin1Char('[')))
        return jsonMask(QJsonDocument::fromJson(text.toUtf8()).array());
    int mask = 0;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char('-'));
        const int first = digitsValue(ends.first());
        const int last = digitsValue(ends.last());
        if (ends.size() > 2 || first < 1 || last > ModuleCount || last < first)
            return -1;
        for (int module = first; module <= last; ++module)
            mask |= 1 << (module - 1);
    }
    return mask;
}

// "read", "factory", or a JSON object with the block's keys, each taken as given.
void checkConfig(const Command &command)
{
    const QString &text = command.payload;
    if (text == QLatin1String("read")) {
        check(command.kind == Command::ReadConfig);
        return;
    }
    check(command.kind == Command::WriteConfig);
    const ConfigBlock &block = command.block;
    if (text == QLatin1String("factory")) {
        check(block == ConfigBlock::factory());
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    check(document.isObject());
    const QJsonObject json = document.object();
    check(int(block.ldMask) == jsonMask(json.value(QLatin1String("modules_enabled"))));
    check(int(block.lowPowerMask) == jsonMask(json.value(QLatin1String("modules_low_power"))));
    check(block.ldMaxDac >= MaxPowerDacMin && block.ldMaxDac <= MaxPowerDacMax);
    check(block.ldMaxDac == json.value(QLatin1String("max_dac")).toDouble());
    check(block.compensationSeconds
        == json.value(QLatin1String("compensation_hours")).toDouble() * ConfigBlock::SecondsPerHour);
    check(block.alarmTenths == std::round(json.value(QLatin1String("alarm_c")).toDouble() * 10));
}

// A command taken: for its name, with what its payload says.
void checkTaken(const QString &name, const Command &command)
{
    check(command.name == name);
    const QString &text = command.payload;
    if (const int module = moduleOfName(name)) {
        check(command.kind == Command::SwitchModule && command.module == module);
        check(onOffWord(text) == int(command.on));
        return;
    }
    if (name == QLatin1String("config")) {
        checkConfig(command);
        return;
    }
    const RegisterName *target = registerName(name);
    check(target && command.kind == Command::WriteRegister && command.reg == target->reg);
    if (target->reg == RegLdSwitchMask || target->reg == RegLdEnableMask)
        check(moduleMask(text) == command.value);
    else if (target->reg == RegAdcEnable)
        check(onOffWord(text) == command.value);
    else if (name == QLatin1String("power_mv"))
        check(command.value <= PowerPermilleMax && wholeNumber(text) >= 0 && wholeNumber(text) <= target->high);
    else
        check(wholeNumber(text) == command.value && command.value >= target->low && command.value <= target->high);
}

// Short ASCII payloads in the plainest forms: taken, or refused when out of range.
void checkPlainForms(const QString &name, const QByteArray &payload, bool taken)
{
    if (payload.size() > 64 || std::any_of(payload.begin(), payload.end(), [](char c) { return c & 0x80; }))
        return;
    const QByteArray trimmed = payload.trimmed();
    const QString word = QString::fromLatin1(trimmed.constData(), trimmed.size()); // NULs included
    const RegisterName *target = registerName(name);
    const int number = wholeNumber(word);
    if (moduleOfName(name) || name == QLatin1String("adc")) {
        if (onOffWord(word) >= 0)
            check(taken);
    } else if (name == QLatin1String("switch") || name == QLatin1String("enable")) {
        if (word == QLatin1String("all") || word == QLatin1String("none"))
            check(taken);
    } else if (name == QLatin1String("config")) {
        if (word == QLatin1String("read") || word == QLatin1String("factory"))
            check(taken);
    } else if (target && number >= 0 && !(word.startsWith(QLatin1Char('0')) && number > 0)) {
        check(taken == (number >= target->low && number <= target->high));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    QString name = QLatin1String(knownNames[data[0] % knownNameCount]);
    QByteArray payload(reinterpret_cast<const char *>(data) + 1, int(size) - 1);
    if (data[0] >= rawNameSelector) {
        const int end = payload.indexOf('\0');
        name = QString::fromUtf8(payload.left(end));
        payload = end < 0 ? QByteArray() : payload.mid(end + 1);
    }

    Command command;
    QString error;
    const bool taken = Command::parse(name, payload, &command, &error);
    if (taken)
        checkTaken(name, command);
    else
        check(!error.isEmpty());
    checkPlainForms(name, payload, taken);
    return 0;
}
