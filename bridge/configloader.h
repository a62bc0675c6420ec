#ifndef CONFIGLOADER_H
#define CONFIGLOADER_H

#include "bridgeconfig.h"
#include "inifile.h"

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>

// Reads the bridge's configuration: an INI file (sections [mqtt], [bridge],
// [modbus_tcp], [http] (or by its old name [metrics]) and one [line.NAME] per RS-485 line), then
// command-line settings on top.
// Every value is checked, never clamped; the first bad one stops the load
// with a sentence that names where it came from (the file, section and key,
// or the option) and what is wrong with it. Unknown sections and keys are
// errors too: a misspelt key must not fall back to a default unnoticed.
class ConfigLoader
{
public:
    // Larger files are refused unread, as every program's INI files are.
    static constexpr qint64 MaxFileBytes = IniFile::MaxBytes;

    ConfigLoader();

    bool readFile(const QString &path);
    // One setting under its key in the file ("mqtt/port", "bridge/read_only");
    // `option` names it in messages ("--port").
    bool set(const QString &key, const QString &value, const QString &option);
    // A line from the command line, NAME:BAUD:ADDRESSES:PORT (the port last,
    // as it may hold colons). The first one replaces the file's lines.
    bool addLine(const QString &text);
    // The checks that span several keys, then the password file is read.
    bool finish();

    const BridgeConfig &config() const { return result; }
    QString error() const { return message; }
    // True when the error is that the file could not be read at all (missing,
    // unreadable, too large), rather than something it says.
    bool fileUnreadable() const { return unreadable; }
    // What is allowed but unsafe (a password file others may read), for the log.
    QStringList warnings() const { return cautions; }

private:
    struct LineDraft
    {
        LineConfig line;
        QList<quint8> addresses;
        QMap<int, QString> ids; // id.<address>
        QHash<QString, QString> origin; // key → where it was set
    };

    bool setGlobal(const QString &key, const QString &value, QString *why);
    bool setLineKey(LineDraft &draft, const QString &key, const QString &value, QString *why);
    bool fail(const QString &where, const QString &why);
    QString whereIs(const QString &key) const;
    bool finishLine(LineDraft &draft);
    // Unit ids of the Modbus TCP gateway: unit.N, or each controller's address.
    bool finishUnits();
    bool readPassword();

    BridgeConfig result;
    QString file;
    bool unreadable = false;
    QMap<QString, LineDraft> lines;
    bool linesFromCommandLine = false;
    QHash<QString, QString> origin; // global key → where it was set
    QString httpSectionName; // "http" or "metrics", as the file names that section
    QMap<int, QPair<QString, int>> unitKeys; // [modbus_tcp] unit.N = LINE:ADDRESS, as set
    QString message;
    QStringList cautions;
};

#endif // CONFIGLOADER_H
