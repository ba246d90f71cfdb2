#pragma once
// What the driver knows of a processor: it loads the object through its
// loader and writes it through its output store.

#include "HxScript/HxScriptILoader.h"
#include "hxcore/HxFixedString.h"

namespace HxScript {

class IObjectProcessor {
public:
    virtual ~IObjectProcessor() = default;
    // A new processor with the same logger and loader, flags false, no output.
    virtual IObjectProcessor* Clone() const = 0;
    virtual void SetLoader(ILoader* loader) = 0;
    virtual bool Process(const HxFixedString& objectName) = 0;
};

}  // namespace HxScript
