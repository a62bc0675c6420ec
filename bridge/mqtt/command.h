#ifndef COMMAND_H
#define COMMAND_H

#include "configblock.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>

// A command from <prefix>/<id>/set/<name>, checked and turned into what goes
// on the line. Payloads (UTF-8 text, blanks around them ignored):
//   a setting of the device model (switch, power, power_mv, adc, enable,
//   dac: DeviceModel::settings()) with its value as vortanix-ctl takes it;
//   besides, a module list may be a JSON array ([1,2,5]) and a whole number
//   may carry a zero fraction (650.0, as some dashboards send)
//   module_N     one module (N = 1..12) on or off, the others as they are
//   config       read | factory | a JSON object with the configuration block's keys
// On and off may be written ON/OFF, on/off, true/false, yes/no or 1/0.
struct Command
{
    enum Kind {
        WriteRegister, // `reg` gets `value`
        SwitchModule, // read-modify-write of the switch mask: `module` on or off
        ReadConfig,
        WriteConfig, // `block`
    };

    Kind kind = WriteRegister;
    QString name; // the topic's last level
    QString payload;
    quint16 reg = 0;
    quint16 value = 0;
    int module = 0;
    bool on = false;
    ConfigBlock block;

    // False, with a sentence in `error`, when the name or payload is not one
    // of the above: nothing then goes on the line.
    static bool parse(const QString &name, const QByteArray &payload, Command *command, QString *error);
    static QStringList names();
};

Q_DECLARE_METATYPE(Command)

#endif // COMMAND_H
