// The verbose report, captured from standard output and compared whole, for
// models the assembler cannot produce from text (the golden report cases
// cover the ordinary blocks).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AnalysisReport.h"

namespace {

using namespace HxScript::UnlinkedTypes;

std::string Report(const Object& object) {
    setenv("TZ", "UTC", 1);
    tzset();
    testing::internal::CaptureStdout();
    CodeGen::PrintAnalysisReport(object);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

Function Code(const char* returnType, uint32_t instructions) {
    Function f;
    f.returnTypeName = returnType;
    HxTArray<InstructionStream::Instruction> ins;
    for (uint32_t i = 0; i < instructions; ++i) ins.Add({0, 0});
    f.instructions = InstructionStream(ins, HxTArray<Value>());
    return f;
}

TEST(AnalysisReport, UnrepresentableTimeStillPrintsTheWholeReport) {
    Object o;
    o.sourceFileName = "A.cas";
    o.compileTime = INT64_MIN;
    o.name = "A";
    EXPECT_EQ(Report(o),
              "\nSource filename: A.cas\nTime of compilation: <invalid time>\nUser who compiled the file: \n"
              "Computer the file was compiled on: \nHas debugging info: No\n\nFlag cross-ref info:\n\nA\n"
              "Structs:\nVariables:\nProperties:\nStates and functions:\n\tstate \"<empty state>\":\n\n");
}

// Flag index 32 (no bit), a native function with locals (not listed) and
// several parameters, a setter with a local, an object variable's flags.
TEST(AnalysisReport, EdgesOfFlagsParametersAndLocals) {
    Object o;
    o.compileTime = 1700000000;
    o.userFlagTable.Set("Lo", 0);
    o.userFlagTable.Set("Over", 32);
    o.name = "B";
    o.variables.Set("v", Variable{"String", 1, false});
    Property& q = o.properties.Set("Q", Property{});
    q.accessFlags = 2;
    q.typeName = "Int";
    q.setFunction = std::make_unique<Function>(Code("None", 1));
    q.setFunction->params.Add({"value", "Int"});
    q.setFunction->locals.Add({"tmp", "Int"});
    Function s = Code("Int", 0);
    s.isStatic = s.isNative = true;
    s.params.Add({"a", "Int"});
    s.params.Add({"rate", "Float"});
    s.locals.Add({"never", "Int"});
    o.staticFunctions.Set("S", s);
    EXPECT_EQ(Report(o),
              "\nSource filename: \nTime of compilation: Tue Nov 14 22:13:20 2023\nUser who compiled the file: \n"
              "Computer the file was compiled on: \nHas debugging info: No\n"
              "\nFlag cross-ref info:\n\tLo: 0 (0x00000001)\n\tOver: 32 (0x00000000)\n"
              "\nB\nStructs:\nVariables:\n\tString v\n\t\tFlags: 0x00000001\n"
              "Properties:\n\tInt Q\n\t\tNone set(Int value)\n\t\t\tInt tmp\n\t\t\tInstruction count: 1\n"
              "States and functions:\n\tstate \"<empty state>\":\n\t\tInt S(Int a, Float rate) Static Native\n\n");
}

}  // namespace
