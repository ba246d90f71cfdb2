#pragma once
// Loader of compiled script files: reads the object of one name out of a
// compiled script file into the object model, checking the file as it goes.
// Every problem is posted to the logger with the store's file name; a load
// succeeds only when it posted no error and no fatal message.

#include <cstdint>

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptILoader.h"
#include "HxSystem/HxTSmartPointer.h"
#include "hxcore/HxFixedString.h"

namespace HxScript {

class CompiledScriptLoader : public ILoader {
public:
    // loadDebugInfo keeps the header strings and the debug section;
    // loadDocStrings keeps doc strings, and only together with loadDebugInfo.
    CompiledScriptLoader(ErrorLogger* logger, bool loadDebugInfo, bool loadDocStrings);
    ~CompiledScriptLoader() override;

    ILoader* Clone() const override;
    void SetStore(const HxTSmartPointer<IStore>& store) override;
    bool Load(const char* objectName, UnlinkedTypes::Object& object) override;

    // Code and debug line records are read and checked in full, but each
    // function keeps only its instruction count and no line record is kept:
    // for a run that writes nothing and shows neither.
    void SetCountCodeOnly(bool countOnly) { countCodeOnly_ = countOnly; }
    // Debug line records keep their names but no line numbers: for a run
    // whose output has no debug section.
    void SetKeepLineNumbers(bool keep) { keepLineNumbers_ = keep; }

    // Version of the file of the last header read; 0.0 before any.
    uint8_t GetMajorVersion() const { return majorVersion_; }
    uint8_t GetMinorVersion() const { return minorVersion_; }

private:
    ErrorLogger* logger_;
    HxTSmartPointer<IStore> store_;
    HxFixedString objectName_;
    uint8_t majorVersion_ = 0;
    uint8_t minorVersion_ = 0;
    bool loadDebugInfo_;
    bool loadDocStrings_;
    bool countCodeOnly_ = false;
    bool keepLineNumbers_ = true;
};

}  // namespace HxScript
