#pragma once
// The input side of the byte stores: a file opened for reading by object name.

#include "HxSystem/HxStorage.h"
#include "hxcore/HxFixedString.h"

namespace HxScript {

class IStore : public HxStorage {
public:
    StorageResult Write(uint32_t, const void*) override { return StorageResult::Unsupported; }

    // Opens the file of an object name (the store adds the extension).
    virtual bool Open(const char* objectName) = 0;
    virtual void Close() = 0;
    // The name of the file last tried or opened.
    virtual const HxFixedString& GetFileName() const = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsGood() const = 0;
    virtual bool IsEndOfFile() const = 0;
};

}  // namespace HxScript
