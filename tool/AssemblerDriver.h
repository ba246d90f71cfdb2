#pragma once
// The program's entry: reads the command line, chooses the mode, wires one
// loader, one processor and two disk stores together, runs them once on the
// named object and reports the outcome.

#include "hxcore/HxFixedString.h"
#include "tool/ErrorHandler.h"

namespace Assembler {

struct CommandLineOptions {
    // The object to work on, exactly as typed (case kept), without extension.
    HxFixedStringCS objectName;
    bool disassemble = false;
    bool verbose = false;
    bool quiet = false;
    bool analyze = false;
    bool strip = false;
};

// Fills the options from the arguments (argument 0 is the program path),
// posts argument errors to the handler, prints the banner unless quiet and
// the usage text when asked for or after an argument error.
void ParseCommandLine(int argc, const char* const* argv, ErrorHandler& errorHandler, CommandLineOptions& options);

void PrintBanner();
void PrintUsage();

// One whole run; returns 0 on success and -1 on failure.
int RunDriver(int argc, char** argv);

}  // namespace Assembler
