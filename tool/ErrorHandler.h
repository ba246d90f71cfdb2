#pragma once
// The tool's error logger: shows every posted message as one line on
// standard output.

#include "HxScript/HxScriptErrorLogger.h"

namespace Assembler {

class ErrorHandler : public HxScript::ErrorLogger {
public:
    ErrorHandler();
    ~ErrorHandler() override;

    // Prints the message text and a line break, for every severity and in
    // quiet mode too.
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity severity) override;
};

}  // namespace Assembler
