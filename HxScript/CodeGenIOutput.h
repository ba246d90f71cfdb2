#pragma once
// The output side of the byte stores: a file created for writing by object name.

#include "HxSystem/HxStorage.h"
#include "hxcore/HxFixedString.h"

namespace CodeGen {

class IOutput : public HxStorage {
public:
    StorageResult Read(uint32_t count, void* destination) override;

    // Creates (or truncates) the file of an object name.
    virtual bool Open(const char* objectName) = 0;
    // Closes the file. A store that holds buffered bytes writes them first;
    // a failure there leaves IsGood false.
    virtual void Close() = 0;
    virtual const HxFixedString& GetFileName() const = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsGood() const = 0;
};

}  // namespace CodeGen
