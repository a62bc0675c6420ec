#ifndef SCANCOMMAND_H
#define SCANCOMMAND_H

class CommandLine;
class Output;

// `scan`: every address at every baud rate asked for its status; the
// controllers that answer are printed as they are found.
class ScanCommand
{
public:
    static int run(const CommandLine &commandLine, Output &out);
};

#endif // SCANCOMMAND_H
