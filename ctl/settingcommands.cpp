#include "settingcommands.h"

#include "commandline.h"
#include "exitstatus.h"
#include "linefacts.h"
#include "output.h"
#include "powerscale.h"
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

} // namespace

int SettingCommands::switchModules(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    quint16 mask = 0;
    QString error;
    if (!ValueText::modules(commandLine.arguments().value(0), &mask, &error))
        return usage(out, error);
    const QString on = ValueText::ranges(StatusJson::modules(mask));
    return write(session, out,
        {QStringLiteral("switch"), RegLdSwitchMask, mask,
            {{QStringLiteral("modules_on"), StatusJson::moduleArray(mask)}},
            QStringLiteral("modules on: %1 (the others off)").arg(on)});
}

int SettingCommands::power(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    const bool fromMillivolts = commandLine.has(QStringLiteral("millivolts"));
    if (fromMillivolts == !commandLine.arguments().isEmpty())
        return usage(out, QStringLiteral("power needs either PERMILLE or --millivolts MV"));
    QString error;
    qint64 value = 0;
    QJsonObject json;
    QString text;
    if (fromMillivolts) {
        if (!ValueText::number(commandLine.value(QStringLiteral("millivolts")), 0, AnalogMillivoltsMax,
                QStringLiteral("power --millivolts"), &value, &error))
            return usage(out, error);
        const quint16 permille = permilleFromMillivolts(quint16(value));
        json = {{QStringLiteral("power_permille"), permille}, {QStringLiteral("millivolts"), int(value)}};
        text = QStringLiteral("power: %1 ‰ (from %2 mV)").arg(permille).arg(value);
        value = permille;
    } else {
        if (!ValueText::number(
                commandLine.arguments().first(), 0, PowerPermilleMax, QStringLiteral("power"), &value, &error))
            return usage(out, error);
        json = {{QStringLiteral("power_permille"), int(value)}};
        text = QStringLiteral("power: %1 ‰").arg(value);
    }
    return write(session, out, {QStringLiteral("power"), RegPowerPermille, quint16(value), json, text});
}

int SettingCommands::adc(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    const QString word = commandLine.arguments().value(0);
    if (word != QLatin1String("on") && word != QLatin1String("off"))
        return usage(out, QStringLiteral("adc: '%1' is neither on nor off").arg(word));
    const bool on = word == QLatin1String("on");
    return write(session, out,
        {QStringLiteral("adc"), RegAdcEnable, quint16(on ? 1 : 0), {{QStringLiteral("adc_enabled"), on}},
            on ? QStringLiteral("analog input: enabled") : QStringLiteral("analog input: masked")});
}

int SettingCommands::enable(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    if (commandLine.arguments().isEmpty()) {
        return readOne(session, out, QStringLiteral("enable"), RegLdEnableMask, [&out](quint16 mask) {
            if (out.json())
                out.object({{QStringLiteral("modules_enabled"), StatusJson::moduleArray(mask)}});
            else
                out.line(QStringLiteral("modules enabled: %1").arg(ValueText::ranges(StatusJson::modules(mask))));
        });
    }
    quint16 mask = 0;
    QString error;
    if (!ValueText::modules(commandLine.arguments().first(), &mask, &error))
        return usage(out, error);
    return write(session, out,
        {QStringLiteral("enable"), RegLdEnableMask, mask,
            {{QStringLiteral("modules_enabled"), StatusJson::moduleArray(mask)}},
            QStringLiteral("modules enabled: %1 (the others disabled)")
                .arg(ValueText::ranges(StatusJson::modules(mask)))});
}

int SettingCommands::dac(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    if (const int status = session.checkOptions())
        return status;
    if (commandLine.arguments().isEmpty()) {
        return readOne(session, out, QStringLiteral("dac"), RegMaxPowerDac, [&out](quint16 value) {
            if (out.json())
                out.object({{QStringLiteral("max_dac"), int(value)}});
            else
                out.line(QStringLiteral("maximum DAC: %1").arg(value));
        });
    }
    qint64 value = 0;
    QString error;
    if (!ValueText::number(
            commandLine.arguments().first(), MaxPowerDacMin, MaxPowerDacMax, QStringLiteral("dac"), &value, &error))
        return usage(out, error);
    return write(session, out,
        {QStringLiteral("dac"), RegMaxPowerDac, quint16(value), {{QStringLiteral("max_dac"), int(value)}},
            QStringLiteral("maximum DAC: %1").arg(value)});
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
    if (outcome.kind == Outcome::Ok && (block.rs485Address & 0xFF) != newAddress) {
        status = ExitBadReply;
        error = QStringLiteral("the controller at %1 reports the address %2")
                    .arg(newAddress)
                    .arg(block.rs485Address & 0xFF);
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
