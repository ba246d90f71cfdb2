#include "output/DisassemblerProcessor.h"

namespace CodeGen {

DisassemblerProcessor::DisassemblerProcessor(HxScript::ErrorLogger* logger) : logger_(logger) {}
DisassemblerProcessor::~DisassemblerProcessor() = default;

HxScript::IObjectProcessor* DisassemblerProcessor::Clone() const {
    auto* copy = new DisassemblerProcessor(logger_);
    copy->loader_ = loader_;
    return copy;
}
void DisassemblerProcessor::SetLoader(HxScript::ILoader* loader) { loader_ = loader; }
void DisassemblerProcessor::SetOutput(const HxTSmartPointer<IOutput>& output) { output_ = output; }

bool DisassemblerProcessor::Process(const HxFixedString&) {
    logger_->PostError(HxScript::TextMessage("Disassembly is not available yet"), HxScript::Severity::Fatal);
    return false;
}

}  // namespace CodeGen
