#include "HxScript/CodeGenIOutput.h"

namespace CodeGen {

// An output store cannot be read; the destination is left untouched.
StorageResult IOutput::Read(uint32_t, void*) { return StorageResult::Unsupported; }

}  // namespace CodeGen
