#ifndef PORTSCOMMAND_H
#define PORTSCOMMAND_H

class CommandLine;
class Output;

// `ports`: the serial ports, and whether this user can open each.
class PortsCommand
{
public:
    static int run(const CommandLine &commandLine, Output &out);
};

#endif // PORTSCOMMAND_H
