#ifndef INIREADER_H
#define INIREADER_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The strict reader of our programs' own INI files (the bridge's
// configuration, the configuration files vortanix-ctl sends). What a file
// says must be what is meant, so anything a reader could take two ways is
// refused with the line it is on:
//   - the text is UTF-8 (a byte-order mark is skipped); no NUL bytes;
//   - blank lines; comments: lines starting with ';' or '#', and after a
//     value, ';' or '#' that follows a blank ("port=1883 ; the default");
//   - [section] and key=value; blanks around names and values are dropped;
//     a value wholly in double quotes is taken as it stands between them;
//   - each section and each key of a section once;
//   - none of QSettings' own syntax: values starting with '@' (@Variant(...),
//     @ByteArray(...)), backslash escapes (\x31, \n, \\), a line continued by
//     a trailing backslash, '/' in section or key names.
// The caller names the file in front of the message and judges the values.
class IniReader
{
public:
    struct Entry
    {
        QString section; // Options::topLevel for keys before the first section
        QString key;
        QString value;
        int line = 0; // from 1
    };

    struct Options
    {
        // Text that is not UTF-8 is read as GB18030 (hand-edited files from
        // Chinese editors) instead of being refused.
        bool gb18030 = false;
        // The section of keys that stand before any section header.
        QString topLevel;
        // Keys (of any section) whose values are written by QSettings and may
        // hold its quoting and escapes (\xNNNN, \\, \"): they are decoded.
        QStringList escapedKeys;
    };

    // The entries in file order; false, with a sentence that starts with
    // "line N:" (or says what is wrong with the whole text), otherwise.
    static bool parse(const QByteArray &bytes, const Options &options, QList<Entry> *entries, QString *error);

    // Whether `bytes` are whole UTF-8 text (none cut short at the end); the text in `text`.
    static bool isUtf8(const QByteArray &bytes, QString *text = nullptr);

    // A value as QSettings writes it: quotes around it, \xNNNN, \\, \", \n...
    // False when it holds an escape QSettings would not write.
    static bool decodeEscapes(const QString &raw, QString *value);
};

#endif // INIREADER_H
