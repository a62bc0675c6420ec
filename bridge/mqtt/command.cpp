#include "command.h"

#include "configjson.h"
#include "devicemodel.h"
#include "registers.h"
#include "valuetext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QVector>

namespace {

constexpr int payloadMaxBytes = 4096;

// Dashboards send a number set as 650.0: a zero fraction is taken off, any
// other stays and is refused by the number's own check.
QString withoutZeroFraction(const QString &text)
{
    static const QRegularExpression zeroFraction(QStringLiteral("^([0-9]+)\\.0*$"));
    const QRegularExpressionMatch match = zeroFraction.match(text);
    return match.hasMatch() ? match.captured(1) : text;
}

// A key given twice in one object of a JSON text QJsonDocument has taken
// (which keeps the last one silently): true, with the key as its sender meant
// it (escapes decoded), when there is one.
bool duplicateKey(const QByteArray &json, QString *key)
{
    struct Level
    {
        bool object = false;
        bool keyNext = false;
        QSet<QString> keys;
    };
    QVector<Level> levels;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '"') {
            int end = i + 1;
            while (end < json.size() && json.at(end) != '"')
                end += json.at(end) == '\\' ? 2 : 1;
            if (!levels.isEmpty() && levels.last().object && levels.last().keyNext) {
                const QByteArray token = json.mid(i, end - i + 1);
                *key = QJsonDocument::fromJson('[' + token + ']').array().at(0).toString();
                if (levels.last().keys.contains(*key))
                    return true;
                levels.last().keys.insert(*key);
                levels.last().keyNext = false;
            }
            i = end;
        } else if (c == '{' || c == '[') {
            levels.append(Level{c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !levels.isEmpty()) {
            levels.removeLast();
        } else if (c == ',' && !levels.isEmpty() && levels.last().object) {
            levels.last().keyNext = true;
        }
    }
    return false;
}

// A module list as a JSON array: [1, 2, 5].
bool moduleArray(const QString &text, quint16 *mask, QString *error)
{
    QString key;
    QJsonParseError parseError;
    const QJsonDocument document
        = duplicateKey(text.toUtf8(), &key) ? QJsonDocument() : QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (!document.isArray()) {
        *error = QStringLiteral("'%1' is not a JSON list of module numbers").arg(text);
        return false;
    }
    return ConfigJson::modules(document.array(), mask, error);
}

// A setting of the device model: its value checked as the model says, with
// the payload forms dashboards send besides.
bool setting(const SettingRow &row, const QString &text, Command *command, QString *error)
{
    command->reg = row.reg;
    if (row.kind == SettingRow::Modules && text.startsWith(QLatin1Char('[')))
        return moduleArray(text, &command->value, error);
    qint64 typed = 0;
    return DeviceModel::parse(
        row, row.kind == SettingRow::Number ? withoutZeroFraction(text) : text, &command->value, &typed, error);
}

bool config(const QString &text, Command *command, QString *error)
{
    if (text == QLatin1String("read")) {
        command->kind = Command::ReadConfig;
        return true;
    }
    command->kind = Command::WriteConfig;
    if (text == QLatin1String("factory")) {
        command->block = ConfigBlock::factory();
        return true;
    }
    // Before the text is parsed: Qt 5's parser leaks what a repeated key held.
    QString key;
    if (duplicateKey(text.toUtf8(), &key)) {
        *error = QStringLiteral("the key '%1' is given twice; give each key once").arg(key);
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("not read, factory or a JSON object with modules_enabled, modules_low_power, "
                                "max_dac, compensation_hours and alarm_c");
        return false;
    }
    return ConfigJson::fromJson(document.object(), &command->block, error);
}

} // namespace

QStringList Command::names()
{
    QStringList names;
    for (const SettingRow &row : DeviceModel::settings())
        names << row.name;
    return names << QStringLiteral("module_1 .. module_%1").arg(ModuleCount) << QStringLiteral("config");
}

bool Command::parse(const QString &name, const QByteArray &payload, Command *command, QString *error)
{
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(payload.constData(), payload.size(), &state);
    if (payload.size() > payloadMaxBytes || state.invalidChars != 0 || state.remainingChars != 0) {
        *error = QStringLiteral("the payload is not UTF-8 text of at most %1 bytes").arg(payloadMaxBytes);
        return false;
    }
    // No command takes a NUL, and Qt 5's JSON parser ends a key at one, so
    // that "a<NUL>b" and "a<NUL>c" are one key to it (and what the first held
    // leaks): refused before any parser sees it.
    if (payload.contains('\0')) {
        *error = QStringLiteral("the payload holds a NUL byte; send text");
        return false;
    }
    Command result;
    result.name = name;
    result.payload = text.trimmed();
    const QString &value = result.payload;
    bool ok = false;
    static const QRegularExpression moduleName(QStringLiteral("^module_([0-9]{1,2})$"));
    const QRegularExpressionMatch moduleMatch = moduleName.match(name);
    if (const SettingRow *row = DeviceModel::setting(name)) {
        ok = setting(*row, value, &result, error);
    } else if (moduleMatch.hasMatch() && moduleMatch.captured(1).toInt() >= 1
        && moduleMatch.captured(1).toInt() <= ModuleCount && !moduleMatch.captured(1).startsWith(QLatin1Char('0'))) {
        result.kind = SwitchModule;
        result.module = moduleMatch.captured(1).toInt();
        ok = ValueText::onOff(value, name, &result.on, error);
    } else if (name == QLatin1String("config")) {
        ok = config(value, &result, error);
    } else {
        *error = QStringLiteral("unknown command '%1' (commands: %2)").arg(name, names().join(QStringLiteral(", ")));
        return false;
    }
    if (ok)
        *command = result;
    return ok;
}
