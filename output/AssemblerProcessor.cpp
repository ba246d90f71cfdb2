#include "output/AssemblerProcessor.h"

namespace CodeGen {

AssemblerProcessor::AssemblerProcessor(HxScript::ErrorLogger* logger) : logger_(logger) {}
AssemblerProcessor::~AssemblerProcessor() = default;

HxScript::IObjectProcessor* AssemblerProcessor::Clone() const {
    auto* copy = new AssemblerProcessor(logger_);
    copy->loader_ = loader_;
    return copy;
}
void AssemblerProcessor::SetLoader(HxScript::ILoader* loader) { loader_ = loader; }
void AssemblerProcessor::SetOutput(const HxTSmartPointer<IOutput>& output) { output_ = output; }

bool AssemblerProcessor::Process(const HxFixedString&) {
    logger_->PostError(HxScript::TextMessage("Writing compiled scripts is not available yet"),
                       HxScript::Severity::Fatal);
    return false;
}

}  // namespace CodeGen
