#pragma once
// Processor of the disassembly mode: loads a compiled object and writes it
// as assembly text.

#include "output/ObjectProcessorBase.h"

namespace CodeGen {

class DisassemblerProcessor : public ObjectProcessorBase {
public:
    explicit DisassemblerProcessor(HxScript::ErrorLogger* logger);
    ~DisassemblerProcessor() override;

    HxScript::IObjectProcessor* Clone() const override;
    bool Process(const HxFixedString& objectName) override;

    void SetAnalyze(bool analyze) { analyze_ = analyze; }

private:
    bool LoadAndWrite(const HxFixedString& objectName, HxScript::UnlinkedTypes::Object& object);

    bool analyze_ = false;
};

}  // namespace CodeGen
