#ifndef SETTINGCOMMANDS_H
#define SETTINGCOMMANDS_H

class CommandLine;
class Output;
struct SettingRow;

// The single-register commands: the settings of the device model, and
// address. Each checks its value before the port is opened, so a value out
// of range sends nothing.
class SettingCommands
{
public:
    // A setting: its value written, or, for a readable one given no value, read.
    static int run(const SettingRow &row, const CommandLine &commandLine, Output &out);
    // The setting the command line names (the command table's function for every setting row).
    static int runNamed(const CommandLine &commandLine, Output &out);
    static int address(const CommandLine &commandLine, Output &out);
};

#endif // SETTINGCOMMANDS_H
