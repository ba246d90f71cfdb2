#include "tool/ErrorHandler.h"

#include <cstdio>

namespace Assembler {

ErrorHandler::ErrorHandler() : HxScript::ErrorLogger(HxFixedString("CorvelAssembler")) {}

ErrorHandler::~ErrorHandler() = default;

void ErrorHandler::LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) {
    HxFixedString text;
    message.GetMessage(text);
    std::printf("%s\n", text.text());
}

}  // namespace Assembler
