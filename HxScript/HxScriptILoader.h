#pragma once
// What the driver knows of a loader: it fills one object from one file.

#include "HxScript/HxScriptIStore.h"
#include "HxSystem/HxTSmartPointer.h"

namespace HxScript {
namespace UnlinkedTypes {
struct Object;
}

class ILoader {
public:
    virtual ~ILoader() = default;
    // A new loader of the same class with the same logger and store.
    virtual ILoader* Clone() const = 0;
    virtual void SetStore(const HxTSmartPointer<IStore>& store) = 0;
    // Opens the store for the object name, reads the file into `object`,
    // closes the store; true on success.
    virtual bool Load(const char* objectName, UnlinkedTypes::Object& object) = 0;
};

}  // namespace HxScript
