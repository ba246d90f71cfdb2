#pragma once
// Processor of the assembly and strip modes: loads the object and writes it
// as a compiled script file.

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIObjectProcessor.h"
#include "HxSystem/HxTSmartPointer.h"
#include "output/CompiledScriptWriter.h"

namespace CodeGen {

class AssemblerProcessor : public HxScript::IObjectProcessor {
public:
    explicit AssemblerProcessor(HxScript::ErrorLogger* logger);
    ~AssemblerProcessor() override;

    HxScript::IObjectProcessor* Clone() const override;
    void SetLoader(HxScript::ILoader* loader) override;
    bool Process(const HxFixedString& objectName) override;

    void SetOutput(const HxTSmartPointer<IOutput>& output);
    void SetVerbose(bool verbose) { verbose_ = verbose; }
    // analyze and strip are exclusive: setting one clears the other.
    void SetAnalyze(bool analyze) { analyze_ = analyze; if (analyze) strip_ = false; }
    void SetStrip(bool strip) { strip_ = strip; if (strip) analyze_ = false; }

    // The string table of the last file written (for tests and tools).
    const CompiledStringTable& GetStringTable() const { return strings_; }

private:
    // Opens the output, writes the file and closes it; false once a failure was posted.
    bool WriteObject(const HxFixedString& objectName, const HxScript::UnlinkedTypes::Object& object);

    HxScript::ErrorLogger* logger_;
    HxScript::ILoader* loader_ = nullptr;
    HxTSmartPointer<IOutput> output_;
    bool verbose_ = false;
    bool analyze_ = false;
    bool strip_ = false;
    CompiledStringTable strings_;
};

}  // namespace CodeGen
