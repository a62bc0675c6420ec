#ifndef SETTINGCOMMANDS_H
#define SETTINGCOMMANDS_H

class CommandLine;
class Output;

// The single-register commands: switch, power, adc, enable, dac and
// address. Each checks its value before the port is opened, so a value out
// of range sends nothing.
class SettingCommands
{
public:
    static int switchModules(const CommandLine &commandLine, Output &out);
    static int power(const CommandLine &commandLine, Output &out);
    static int adc(const CommandLine &commandLine, Output &out);
    static int enable(const CommandLine &commandLine, Output &out);
    static int dac(const CommandLine &commandLine, Output &out);
    static int address(const CommandLine &commandLine, Output &out);
};

#endif // SETTINGCOMMANDS_H
