#include "HxScript/HxScriptCompiledScriptLoader.h"

#include <new>

#include "HxScript/HxScriptCompiledReader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"

namespace HxScript {

CompiledScriptLoader::CompiledScriptLoader(ErrorLogger* logger, bool loadDebugInfo, bool loadDocStrings)
    : logger_(logger), loadDebugInfo_(loadDebugInfo), loadDocStrings_(loadDocStrings) {}

CompiledScriptLoader::~CompiledScriptLoader() = default;

ILoader* CompiledScriptLoader::Clone() const {
    auto* copy = new (std::nothrow) CompiledScriptLoader(logger_, loadDebugInfo_, loadDebugInfo_ && loadDocStrings_);
    if (copy != nullptr) copy->store_ = store_;
    return copy;
}

void CompiledScriptLoader::SetStore(const HxTSmartPointer<IStore>& store) { store_ = store; }

bool CompiledScriptLoader::Load(const char* objectName, UnlinkedTypes::Object& object) {
    const uint32_t errorsBefore = logger_->GetErrorCount();
    const uint32_t fatalsBefore = logger_->GetFatalCount();
    const char* requested = objectName != nullptr ? objectName : "";

    object.Clear();
    objectName_ = HxFixedString(requested);

    bool ok = false;
    if (!store_) {
        logger_->PostErrorF(Severity::Fatal, "Cannot load class \"%s\" without a store", requested);
    } else if (!store_->Open(requested)) {
        logger_->PostErrorF(Severity::Fatal, "Cannot open store for class \"%s\", missing file?", requested);
    } else {
        // The reader owns the string table, which goes with it before the
        // store is closed.
        Internal::CompiledReader reader(*logger_, *store_, requested, objectName_, loadDebugInfo_, loadDocStrings_);
        reader.SetCountCodeOnly(countCodeOnly_);
        reader.SetKeepLineNumbers(keepLineNumbers_);
        ok = reader.Run(object);
        if (reader.HasVersion()) {
            majorVersion_ = reader.MajorVersion();
            minorVersion_ = reader.MinorVersion();
        }
    }
    if (store_) store_->Close();

    return ok && logger_->GetErrorCount() == errorsBefore && logger_->GetFatalCount() == fatalsBefore;
}

}  // namespace HxScript
