#include "output/AssemblerProcessor.h"

#include <memory>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AnalysisReport.h"

namespace CodeGen {

using HxScript::Severity;
using HxScript::UnlinkedTypes::Object;

AssemblerProcessor::AssemblerProcessor(HxScript::ErrorLogger* logger) : logger_(logger) {}
AssemblerProcessor::~AssemblerProcessor() = default;

HxScript::IObjectProcessor* AssemblerProcessor::Clone() const {
    auto* copy = new AssemblerProcessor(logger_);
    copy->loader_ = loader_;
    return copy;
}
void AssemblerProcessor::SetLoader(HxScript::ILoader* loader) { loader_ = loader; }
void AssemblerProcessor::SetOutput(const HxTSmartPointer<IOutput>& output) { output_ = output; }

bool AssemblerProcessor::Process(const HxFixedString& objectName) {
    if (loader_ == nullptr) {
        logger_->PostError(HxScript::TextMessage("Cannot disassemble class without a loader"), Severity::Fatal);
        return false;
    }
    if (!output_) {
        logger_->PostError(HxScript::TextMessage("Cannot disassemble class without an output"), Severity::Fatal);
        return false;
    }

    // The object is large and lives only for this run; keep it off the stack.
    auto object = std::make_unique<Object>();
    if (!loader_->Load(objectName.text(), *object)) return false;

    if (verbose_) PrintAnalysisReport(*object);
    if (analyze_) return true;

    strings_.Clear();
    CollectStrings(*object, strings_);
    // Stripping drops the debug section only after the walk, so the strings
    // that only it used still sit in the table.
    if (strip_) object->hasDebugInfo = false;

    return WriteObject(objectName, *object);
}

bool AssemblerProcessor::WriteObject(const HxFixedString& objectName, const Object& object) {
    IOutput& output = *output_;
    bool ok = output.Open(objectName.text());
    if (!ok) {
        logger_->PostError(HxScript::TextMessage("Cannot open output file for writing"), Severity::Fatal);
    } else {
        CompiledScriptWriter writer(output, *logger_, output.GetFileName(), strings_);
        ok = writer.WriteFile(object);
    }
    output.Close();
    // A buffered store writes its last bytes while closing; a failure there
    // is the only sign that the file on disk is incomplete.
    if (ok && !output.IsGood()) {
        logger_->PostFileError(HxScript::TextMessage("Error writing to output file"), output.GetFileName().text(),
                               Severity::Fatal);
        ok = false;
    }
    return ok;
}

}  // namespace CodeGen
