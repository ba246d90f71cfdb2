// The verbose report, captured from standard output and compared whole.

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

Property Prop(uint32_t access, const char* typeName) {
    Property p;
    p.accessFlags = access;
    p.typeName = typeName;
    return p;
}

TEST(AnalysisReport, BareObjectPrintsUnknownTimeAndEmptyState) {
    Object o;
    o.sourceFileName = "A.cas";
    o.userName = "u";
    o.computerName = "c";
    o.name = "A";
    EXPECT_EQ(Report(o),
              "\nSource filename: A.cas\nTime of compilation: <unknown>\nUser who compiled the file: u\n"
              "Computer the file was compiled on: c\nHas debugging info: No\n\nFlag cross-ref info:\n\nA\n"
              "Structs:\nVariables:\nProperties:\nStates and functions:\n\tstate \"<empty state>\":\n\n");
}

TEST(AnalysisReport, EveryBlockInModelOrder) {
    Object o;
    o.sourceFileName = "B.cas";
    o.compileTime = 1700000000;
    o.userName = "me";
    o.computerName = "pc";
    o.hasDebugInfo = true;
    o.debugInfo.modifyTime = 1600000000;
    o.userFlagTable.Set("Lo", 0);
    o.userFlagTable.Set("Hi", 31);
    o.userFlagTable.Set("Over", 32);
    o.name = "B";
    o.parentName = "P";
    o.isConst = true;
    o.docString = "Bdoc";
    o.userFlags = 0x80000001u;
    Struct& pt = o.structs.Set("Pt", Struct{});
    pt.variables.Set("x", Variable{"Int", 2, true});
    pt.variableDocStrings.Set("x", "xd");
    pt.variables.Set("y", Variable{"Float", 0, false});
    o.variables.Set("v", Variable{"String", 1, false});
    Property& q = o.properties.Set("Q", Prop(3, "Int"));
    q.docString = "qd";
    q.userFlags = 4;
    q.getFunction = std::make_unique<Function>(Code("Int", 0));
    q.setFunction = std::make_unique<Function>(Code("None", 1));
    q.setFunction->params.Add({"value", "Int"});
    q.setFunction->locals.Add({"tmp", "Int"});
    o.properties.Set("R", Prop(3, "Float")).autoVarName = "v";
    Function s = Code("Int", 0);
    s.isStatic = s.isNative = true;
    s.docString = "sd";
    s.userFlags = 8;
    s.params.Add({"a", "Int"});
    s.params.Add({"rate", "Float"});
    s.locals.Add({"never", "Int"});
    o.staticFunctions.Set("S", s);
    o.emptyState.functions.Set("Run", Code("None", 1));
    o.states.Set("Idle", State{}).functions.Set("OnEnter", Code("None", 0));

    EXPECT_EQ(Report(o),
              "\nSource filename: B.cas\n"
              "Time of compilation: Tue Nov 14 22:13:20 2023\n"
              "User who compiled the file: me\n"
              "Computer the file was compiled on: pc\n"
              "Has debugging info: Yes\n"
              "Source file modification date: Sun Sep 13 12:26:40 2020\n"
              "\nFlag cross-ref info:\n"
              "\tLo: 0 (0x00000001)\n\tHi: 31 (0x80000000)\n\tOver: 32 (0x00000000)\n"
              "\nB: P const\nDocstring: \"Bdoc\"\nFlags: 0x80000001\n"
              "Structs:\n\tPt\n\t\tInt x const\n\t\t\tFlags: 0x00000002\n\t\t\tDocstring: \"xd\"\n\t\tFloat y\n"
              "Variables:\n\tString v\n\t\tFlags: 0x00000001\n"
              "Properties:\n\tInt Q\n\t\tDocstring: \"qd\"\n\t\tFlags: 0x00000004\n"
              "\t\tInt get()\n\t\t\tInstruction count: 0\n"
              "\t\tNone set(Int value)\n\t\t\tInt tmp\n\t\t\tInstruction count: 1\n"
              "\tFloat R\n\t\tautoVar: v\n"
              "States and functions:\n\tstate \"<empty state>\":\n"
              "\t\tInt S(Int a, Float rate) Static Native\n\t\t\tDocstring: \"sd\"\n\t\t\tFlags: 0x00000008\n"
              "\t\tNone Run()\n\t\t\tInstruction count: 1\n"
              "\tstate \"Idle\":\n\t\tNone OnEnter()\n\t\t\tInstruction count: 0\n\n");
}

TEST(AnalysisReport, UnrepresentableTimeDoesNotStopTheReport) {
    Object o;
    o.name = "C";
    o.compileTime = INT64_MIN;
    std::string report = Report(o);
    EXPECT_NE(report.find("Time of compilation: <invalid time>\n"), std::string::npos);
    EXPECT_NE(report.find("\tstate \"<empty state>\":\n"), std::string::npos);
}

}  // namespace
