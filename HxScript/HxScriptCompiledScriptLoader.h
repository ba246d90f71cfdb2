#pragma once
// Loader of compiled script files.

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptILoader.h"
#include "HxSystem/HxTSmartPointer.h"

namespace HxScript {

class CompiledScriptLoader : public ILoader {
public:
    CompiledScriptLoader(ErrorLogger* logger, bool loadDebugInfo, bool loadDocStrings);
    ~CompiledScriptLoader() override;

    ILoader* Clone() const override;
    void SetStore(const HxTSmartPointer<IStore>& store) override;
    bool Load(const char* objectName, UnlinkedTypes::Object& object) override;

private:
    ErrorLogger* logger_;
    HxTSmartPointer<IStore> store_;
    bool loadDebugInfo_;
    bool loadDocStrings_;
};

}  // namespace HxScript
