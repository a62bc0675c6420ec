#ifndef DEVICEMODEL_H
#define DEVICEMODEL_H

#include "replydecoder.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// A setting a person changes with one register write. vortanix-ctl's setting
// commands and the bridge's set/<name> topics, their ranges, help, JSON keys
// and Home Assistant entities are all made from these rows: a new setting of
// a kind already here is one more row.
struct SettingRow
{
    enum Kind {
        Number, // a whole number low..high, in `unit`
        OnOff, // on (1) or off (0)
        Modules, // modules 1..12 as a mask: a list such as 1,2,5-8, all or none
    };

    QString name; // the ctl command and the bridge's topic level
    Kind kind = Number;
    quint16 reg = 0;
    qint64 low = 0; // Number: the range as it is typed
    qint64 high = 0;
    QString unit; // Number: "‰", "mV" or empty
    // The typed value as the register takes it (millivolts to per mille); null: as typed.
    quint16 (*toRegister)(quint16 typed) = nullptr;
    QString jsonKey; // the key that shows the value, in ctl's JSON and the bridge's state
    QString label; // ctl's text: "<label>: <value>"
    QString onText; // OnOff: the value's words in ctl's text
    QString offText;
    QString othersText; // Modules: what becomes of the modules left out ("off")
    QString argument; // ctl's synopsis: "PERMILLE", "MODULES"
    QString summary; // one line of help: what it sets
    // ctl reads the register when the command is given no value.
    bool readable = false;
    // The row is the ctl option --<ctlOption> of the command that sets the same
    // register, rather than a command of its own (power --millivolts).
    QString ctlOption;
    // The Home Assistant entity the bridge announces for it, "number" (its
    // state is `jsonKey` of the controller's state, so only a setting the
    // status shows can have one; the switches per module and the analog
    // input are announced with the status), and the entity's name; empty: none.
    QString entity;
    QString entityName;
};

// A value of the status reading: how it is made from the status block, how
// vortanix-ctl shows it, and the Home Assistant sensor the bridge announces
// for it. The reading's JSON (ctl's --json, its CSV columns, the bridge's
// state) is "time" and then these keys, in this order.
struct StatusField
{
    QString jsonKey;
    QJsonValue (*json)(const StatusBlock &status) = nullptr;
    // ctl's text line "<label>  <text>", made from the reading's JSON; no
    // label: the value is shown on another field's line.
    QString label;
    QString (*text)(const QJsonObject &reading) = nullptr;
    // The sensor the bridge announces (no key: none): its object id, name,
    // unit, device and state class; an enum sensor's options; a diagnostic one.
    QString entityKey;
    QString entityName;
    QString unit;
    QString deviceClass;
    QString stateClass;
    QStringList options;
    bool diagnostic = false;
};

// The device's model, read by every program.
class DeviceModel
{
public:
    static const QList<SettingRow> &settings();
    static const QList<StatusField> &statusFields();
    // The row of this name, or null.
    static const SettingRow *setting(const QString &name);
    // The rows that are ctl options of `command` (those that set its register
    // another way: power --millivolts).
    static QList<const SettingRow *> ctlOptions(const SettingRow &command);
    // Text as the row's value, checked: the register word it gives (after
    // the row's conversion) and, for a number, the number as typed. False
    // with a sentence that says what is allowed.
    static bool parse(const SettingRow &row, const QString &text, quint16 *word, qint64 *typed, QString *error);
    // What the row takes, for help texts: "a whole number 0..1000 ‰",
    // "on or off", "modules 1..12 ...".
    static QString valuesText(const SettingRow &row);
    // Who makes the device and what it is called (Modbus device identification).
    static QString vendorName() { return QStringLiteral("VORTANIX"); }
    static QString productName() { return QStringLiteral("VORTANIX UV light-source controller"); }
};

#endif // DEVICEMODEL_H
