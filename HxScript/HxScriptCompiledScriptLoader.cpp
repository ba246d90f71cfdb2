#include "HxScript/HxScriptCompiledScriptLoader.h"

namespace HxScript {

CompiledScriptLoader::CompiledScriptLoader(ErrorLogger* logger, bool loadDebugInfo, bool loadDocStrings)
    : logger_(logger), loadDebugInfo_(loadDebugInfo), loadDocStrings_(loadDocStrings) {}
CompiledScriptLoader::~CompiledScriptLoader() = default;

ILoader* CompiledScriptLoader::Clone() const {
    auto* copy = new CompiledScriptLoader(logger_, loadDebugInfo_, loadDebugInfo_ && loadDocStrings_);
    copy->store_ = store_;
    return copy;
}
void CompiledScriptLoader::SetStore(const HxTSmartPointer<IStore>& store) { store_ = store; }

bool CompiledScriptLoader::Load(const char*, UnlinkedTypes::Object&) {
    logger_->PostError(TextMessage("Reading compiled scripts is not available yet"), Severity::Fatal);
    return false;
}

}  // namespace HxScript
