#include "settingcommands.h"

#include "commandline.h"
#include "devicemodel.h"
#include "exitstatus.h"
#include "linefacts.h"
#include "output.h"
#include "registers.h"
#include "session.h"
#include "statusjson.h"
#include "valuetext.h"

namespace {

constexpr int confirmTries = 3;

// A register write and what to show once it is acknowledged.
struct Setting
{
    QString what;
    quint16 reg = 0;
    quint16 value = 0;
    QJsonObject json;
    QString text;
};

int usage(Output &out, const QString &error)
{
    out.error(error + QStringLiteral(": nothing was sent"));
    return ExitUsage;
}

int write(Session &session, Output &out, const Setting &setting)
{
    if (const int status = session.open())
        return status;
    const Outcome outcome = session.controller().writeRegister(setting.reg, setting.value);
    const int status = session.judge(outcome, setting.what, Session::Write);
    if (out.json()) {
        QJsonObject json = setting.json;
        if (status != ExitOk)
            json.insert(QStringLiteral("error"), session.errorWords(outcome));
        out.object(json);
    } else if (status == ExitOk) {
        out.line(setting.text);
    }
    return status;
}

// Reads one register and shows it as `show` makes it.
int readOne(
    Session &session, Output &out, const QString &what, quint16 reg, const std::function<void(quint16 word)> &show)
{
    if (const int status = session.open())
        return status;
    const Outcome outcome = session.controller().read(reg, 1);
    const int status = session.judge(outcome, what, Session::Read);
    if (status == ExitOk)
        show(replyWord(reinterpret_cast<const quint8 *>(outcome.reply.constData()), 0));
    else if (out.json())
        out.object({{QStringLiteral("error"), session.errorWords(outcome)}});
    return status;
}

// A register's word as the row's JSON value.
QJsonValue jsonValue(const SettingRow &row, quint16 word)
{
    switch (row.kind) {
    case SettingRow::OnOff:
        return word == 1;
    case SettingRow::Modules:
        return StatusJson::moduleArray(word);
    case SettingRow::Number:
        break;
    }
    return int(word);
}

// A register's word as ctl's text shows it: "650 ‰", "enabled", "1 2 5-8".
QString shown(const SettingRow &row, quint16 word)
{
    switch (row.kind) {
    case SettingRow::OnOff:
        return word == 1 ? row.onText : row.offText;
    case SettingRow::Modules:
        return ValueText::ranges(StatusJson::modules(word));
    case SettingRow::Number:
        break;
    }
    return row.unit.isEmpty() ? QString::number(word) : QStringLiteral("%1 %2").arg(word).arg(row.unit);
}

} // namespace

int SettingCommands::runNamed(const CommandLine &commandLine, Output &out)
{
    return run(*DeviceModel::setting(commandLine.command()), commandLine, out);
}

int SettingCommands::run(const SettingRow &row, const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    // The value: the argument, or one of the options that stand for it (power --millivolts).
    QList<const SettingRow *> given;
    QString text = commandLine.arguments().value(0);
    if (!commandLine.arguments().isEmpty())
        given << &row;
    QStringList alternatives{row.argument};
    for (const SettingRow *option : DeviceModel::ctlOptions(row)) {
        alternatives << QStringLiteral("--%1 %2").arg(option->ctlOption, option->argument);
        if (commandLine.has(option->ctlOption)) {
            given << option;
            text = commandLine.value(option->ctlOption);
        }
    }
    if (given.isEmpty() && row.readable) {
        return readOne(session, out, row.name, row.reg, [&out, &row](quint16 word) {
            if (out.json())
                out.object({{row.jsonKey, jsonValue(row, word)}});
            else
                out.line(QStringLiteral("%1: %2").arg(row.label, shown(row, word)));
        });
    }
    if (given.size() != 1)
        return usage(
            out, QStringLiteral("%1 needs either %2").arg(row.name, alternatives.join(QStringLiteral(" or "))));

    const SettingRow &source = *given.first(); // the row the value is typed for
    quint16 word = 0;
    qint64 typed = 0;
    QString error;
    if (!DeviceModel::parse(source, text, &word, &typed, &error))
        return usage(out, error);
    QJsonObject json{{row.jsonKey, jsonValue(row, word)}};
    QString line = QStringLiteral("%1: %2").arg(row.label, shown(row, word));
    if (row.kind == SettingRow::Modules)
        line += QStringLiteral(" (the others %1)").arg(row.othersText);
    if (&source != &row) {
        json.insert(source.jsonKey, typed);
        line += QStringLiteral(" (from %1 %2)").arg(typed).arg(source.unit);
    }
    return write(session, out, {row.name, row.reg, word, json, line});
}

int SettingCommands::address(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    qint64 value = 0;
    QString error;
    if (!ValueText::number(commandLine.arguments().value(0), LineFacts::AddressMin, LineFacts::AddressMax,
            QStringLiteral("address"), &value, &error))
        return usage(out, error);
    const quint8 newAddress = quint8(value);
    if (session.viaGateway()) {
        out.error(QStringLiteral("address: an address is changed on the line itself (a broadcast), not through a "
                                 "gateway: stop the bridge, then run vortanix-ctl --port PATH address %1")
                      .arg(newAddress));
        return ExitUsage;
    }
    if (const int status = session.open())
        return status;

    Controller &controller = session.controller();
    const Outcome sent = controller.changeAddress(newAddress);
    if (const int status = session.judge(sent, QStringLiteral("address"), Session::Write))
        return status;

    // Nothing acknowledges a broadcast: the controller is asked at its new address.
    controller.setAddress(newAddress);
    StatusBlock block;
    Outcome outcome;
    for (int attempt = 0; attempt < confirmTries; ++attempt) {
        outcome = controller.readStatus(&block);
        if (outcome.kind != Outcome::Timeout || session.linkLost())
            break;
    }
    int status = ExitOk;
    if (outcome.kind == Outcome::Ok && (block.rs485Address() & 0xFF) != newAddress) {
        status = ExitBadReply;
        error = QStringLiteral("the controller at %1 reports the address %2")
                    .arg(newAddress)
                    .arg(block.rs485Address() & 0xFF);
        out.error(QStringLiteral("address: ") + error);
    } else if (outcome.kind != Outcome::Ok) {
        error = session.errorWords(outcome);
        if (outcome.kind == Outcome::PortLost || session.linkLost()) {
            status = session.judge(outcome, QStringLiteral("address"), Session::Write);
        } else {
            status = ExitNotAcknowledged;
            out.error(QStringLiteral("address: %1 was broadcast, but the controller does not answer at %1 (%2): it may "
                                     "or may not have taken the address; look for it with: vortanix-ctl scan")
                          .arg(newAddress)
                          .arg(error));
        }
    }
    if (out.json()) {
        QJsonObject json{{QStringLiteral("address"), newAddress}};
        if (status != ExitOk)
            json.insert(QStringLiteral("error"), error);
        out.object(json);
    } else if (status == ExitOk) {
        out.line(QStringLiteral("address: the controller answers at %1 now").arg(newAddress));
    }
    return status;
}
