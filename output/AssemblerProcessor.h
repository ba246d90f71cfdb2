#pragma once
// Processor of the assembly and strip modes: loads the object and writes it
// as a compiled script file.

#include "HxScript/HxScriptIStore.h"
#include "output/CompiledScriptWriter.h"
#include "output/ObjectProcessorBase.h"

namespace CodeGen {

class AssemblerProcessor : public ObjectProcessorBase {
public:
    explicit AssemblerProcessor(HxScript::ErrorLogger* logger);
    ~AssemblerProcessor() override;

    HxScript::IObjectProcessor* Clone() const override;
    bool Process(const HxFixedString& objectName) override;

    // analyze and strip are exclusive: setting one clears the other.
    void SetAnalyze(bool analyze) { analyze_ = analyze; if (analyze) strip_ = false; }
    void SetStrip(bool strip) { strip_ = strip; if (strip) analyze_ = false; }

    // The store the loader reads compiled files from. Stripping without -V
    // then reads the file straight from it and writes the stripped copy
    // without building a model whenever the file allows (see StrippedCopy);
    // the loader must be a compiled script loader that keeps debug
    // information and doc strings.
    void SetStripInput(const HxTSmartPointer<HxScript::IStore>& input) { stripInput_ = input; }

    // The string table of the last file written (for tests and tools).
    const CompiledStringTable& GetStringTable() const { return strings_; }

private:
    bool LoadAndWrite(const HxFixedString& objectName, HxScript::UnlinkedTypes::Object& object);
    // Opens the output, writes the file and closes it; false once a failure was posted.
    bool WriteObject(const HxFixedString& objectName, const HxScript::UnlinkedTypes::Object& object);

    bool analyze_ = false;
    bool strip_ = false;
    CompiledStringTable strings_;
    HxTSmartPointer<HxScript::IStore> stripInput_;
};

}  // namespace CodeGen
