#include "tool/AssemblyLoader.h"

namespace Assembler {

AssemblyLoader::AssemblyLoader(HxScript::ErrorLogger* logger) : logger_(logger) {}
AssemblyLoader::~AssemblyLoader() = default;

HxScript::ILoader* AssemblyLoader::Clone() const {
    auto* copy = new AssemblyLoader(logger_);
    copy->store_ = store_;
    copy->currentLine_ = currentLine_;
    return copy;
}
void AssemblyLoader::SetStore(const HxTSmartPointer<HxScript::IStore>& store) { store_ = store; }

bool AssemblyLoader::Load(const char*, HxScript::UnlinkedTypes::Object&) {
    logger_->PostError(HxScript::TextMessage("Reading assembly files is not available yet"),
                       HxScript::Severity::Fatal);
    return false;
}

}  // namespace Assembler
