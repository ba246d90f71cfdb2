#pragma once
// Processor of the disassembly mode: loads a compiled object and writes it
// as assembly text.

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIObjectProcessor.h"
#include "HxSystem/HxTSmartPointer.h"

namespace CodeGen {

class DisassemblerProcessor : public HxScript::IObjectProcessor {
public:
    explicit DisassemblerProcessor(HxScript::ErrorLogger* logger);
    ~DisassemblerProcessor() override;

    HxScript::IObjectProcessor* Clone() const override;
    void SetLoader(HxScript::ILoader* loader) override;
    bool Process(const HxFixedString& objectName) override;

    void SetOutput(const HxTSmartPointer<IOutput>& output);
    void SetVerbose(bool verbose) { verbose_ = verbose; }
    void SetAnalyze(bool analyze) { analyze_ = analyze; }

private:
    HxScript::ErrorLogger* logger_;
    HxScript::ILoader* loader_ = nullptr;
    HxTSmartPointer<IOutput> output_;
    bool verbose_ = false;
    bool analyze_ = false;
};

}  // namespace CodeGen
