#include "output/AnalysisReport.h"

namespace CodeGen {

void PrintAnalysisReport(const HxScript::UnlinkedTypes::Object&) {}

}  // namespace CodeGen
