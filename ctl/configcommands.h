#ifndef CONFIGCOMMANDS_H
#define CONFIGCOMMANDS_H

#include "configblock.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

class CommandLine;
class Output;

// `config get`, `config set` and `config factory`: the configuration block,
// and the INI files the panel exports and imports.
class ConfigCommands
{
public:
    static int get(const CommandLine &commandLine, Output &out);
    static int set(const CommandLine &commandLine, Output &out);
    static int factory(const CommandLine &commandLine, Output &out);

    // The block from the texts of an INI file's keys (ConfigFile::readTexts),
    // every value checked against what the block holds; false, with the key
    // and its range in `error`, when one is missing or wrong.
    static bool blockFromTexts(const QMap<QString, QString> &texts, ConfigBlock *block, QString *error);
    static QStringList textLines(const ConfigBlock &block);
};

#endif // CONFIGCOMMANDS_H
