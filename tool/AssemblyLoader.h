#pragma once
// Loader of assembly text files.

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptILoader.h"
#include "HxSystem/HxTSmartPointer.h"

namespace Assembler {

class AssemblyLoader : public HxScript::ILoader {
public:
    explicit AssemblyLoader(HxScript::ErrorLogger* logger);
    ~AssemblyLoader() override;

    HxScript::ILoader* Clone() const override;
    void SetStore(const HxTSmartPointer<HxScript::IStore>& store) override;
    bool Load(const char* objectName, HxScript::UnlinkedTypes::Object& object) override;

private:
    HxScript::ErrorLogger* logger_;
    HxTSmartPointer<HxScript::IStore> store_;
    uint32_t currentLine_ = 0;
};

}  // namespace Assembler
