#pragma once
// The readable report of a loaded script, printed on standard output in
// verbose mode.

#include "HxScript/HxScriptUnlinkedTypes.h"

namespace CodeGen {

void PrintAnalysisReport(const HxScript::UnlinkedTypes::Object& object);

}  // namespace CodeGen
