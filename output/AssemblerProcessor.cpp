#include "output/AssemblerProcessor.h"

#include <memory>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AnalysisReport.h"
#include "output/StrippedCopy.h"

namespace CodeGen {

using HxScript::Severity;
using HxScript::UnlinkedTypes::Object;

AssemblerProcessor::AssemblerProcessor(HxScript::ErrorLogger* logger) : ObjectProcessorBase(logger) {}
AssemblerProcessor::~AssemblerProcessor() = default;

HxScript::IObjectProcessor* AssemblerProcessor::Clone() const {
    auto* copy = new AssemblerProcessor(logger_);
    copy->loader_ = loader_;
    return copy;
}

bool AssemblerProcessor::Process(const HxFixedString& objectName) {
    if (!CheckWiring()) return false;
    if (strip_ && !verbose_ && stripInput_) {
        StrippedCopy copy(*logger_, strings_);
        if (copy.Prepare(*stripInput_, objectName))
            return WriteOutput(
                objectName.text(), [&](IOutput& output) { return copy.Write(output); },
                [&](IOutput& output) { return copy.BeforeMessage(output); });
    }

    // The object is large and lives only for this run; keep it off the stack.
    auto object = std::make_unique<Object>();
    const bool ok = LoadAndWrite(objectName, *object);
    Done(object);
    return ok;
}

bool AssemblerProcessor::LoadAndWrite(const HxFixedString& objectName, Object& object) {
    if (!loader_->Load(objectName.text(), object)) return false;

    if (verbose_) PrintAnalysisReport(object);
    if (analyze_) return true;

    strings_.Clear();
    CollectStrings(object, strings_);
    // Stripping drops the debug section only after the walk, so the strings
    // that only it used still sit in the table.
    if (strip_) object.hasDebugInfo = false;

    return WriteObject(objectName, object);
}

bool AssemblerProcessor::WriteObject(const HxFixedString& objectName, const Object& object) {
    return WriteOutput(objectName.text(), [&](IOutput& output) {
        CompiledScriptWriter writer(output, *logger_, output.GetFileName(), strings_);
        return writer.WriteFile(object);
    });
}

}  // namespace CodeGen
