#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/DisassemblerProcessor.h"
#include "output/DisassemblyFunctors.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"

namespace {

using namespace TestSupport;
using HxScript::Severity;
using HxScript::UnlinkedTypes::FunctionKind;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Value;
namespace Op = HxScript::Opcodes;

class Messages : public HxScript::ErrorLogger {
public:
    Messages() : HxScript::ErrorLogger("DisassemblerTest") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, Severity severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
        severities.push_back(severity);
    }
    std::vector<std::string> lines;
    std::vector<Severity> severities;
};

void UseUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

std::string Text(const CodeGen::TextBuffer& text) { return std::string(text.CStr(), text.Size()); }

std::string Label(uint32_t number) { return "_label" + std::to_string(number); }

// An instruction line: `tabs` tabs, the body, blanks up to column 80 (tabs
// count 4), the source-line comment.
std::string Instruction(uint32_t tabs, const std::string& body, const std::string& source) {
    uint32_t column = 4 * tabs + static_cast<uint32_t>(body.size());
    std::string padding = column < 80 ? std::string(80 - column, ' ') : std::string(" ");
    return std::string(tabs, '\t') + body + padding + " ;@line " + source + "\n";
}

struct RunResult {
    bool result = false;
    std::string text;
    std::vector<std::string> messages;
    std::vector<Severity> severities;
    std::string openedName;
};

RunResult Disassemble(const std::function<void(Object&)>& fill, uint64_t failAfter = ~uint64_t(0),
                const char* objectName = "DzSmall") {
    Messages logger;
    ModelLoader loader(fill);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput("DzSmall.disassemble.cas"));
    output->FailAfter(failAfter);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    RunResult run;
    run.result = processor.Process(objectName);
    run.text = output->Text();
    run.messages = logger.lines;
    run.severities = logger.severities;
    run.openedName = output->OpenedName();
    return run;
}

std::string Fatal(const char* text) { return std::string("DzSmall.disassemble.cas : fatal: ") + text; }

// ---------------------------------------------------------------------------
// Text helpers

TEST(DisassemblyText, EscapeStringUsesFourTwoCharacterEscapes) {
    CodeGen::TextBuffer out;
    CodeGen::EscapeString("a\tb\nc\"d\\e", out);
    EXPECT_EQ(Text(out), "\"a\\tb\\nc\\\"d\\\\e\"");
    out.Clear();
    CodeGen::EscapeString("", out);
    EXPECT_EQ(Text(out), "\"\"");
    out.Clear();
    // Semicolons, carriage returns and bytes above 127 pass through unchanged.
    CodeGen::EscapeString("x;\r\xC3\xA9", out);
    EXPECT_EQ(Text(out), "\"x;\r\xC3\xA9\"");
}

TEST(DisassemblyText, FormatValueSpellsEveryKind) {
    auto format = [](const Value& v) {
        CodeGen::TextBuffer out;
        CodeGen::FormatValue(v, out);
        return Text(out);
    };
    EXPECT_EQ(format(NoneValue()), "None");
    EXPECT_EQ(format(Id("::temp0")), "::temp0");
    EXPECT_EQ(format(TypeValue("DzThing[]")), "DzThing[]");
    EXPECT_EQ(format(Str("say \"hi\"\t")), "\"say \\\"hi\\\"\\t\"");
    EXPECT_EQ(format(Int(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(format(Int(42)), "42");
    EXPECT_EQ(format(Flt(1.5f)), "1.500000");
    EXPECT_EQ(format(Flt(-0.25f)), "-0.250000");
    EXPECT_EQ(format(Bool(true)), "True");
    EXPECT_EQ(format(Bool(false)), "False");
}

TEST(DisassemblyText, FormatTimeHandlesUnknownAndUnrepresentableTimes) {
    UseUtc();
    CodeGen::TextBuffer out;
    CodeGen::FormatTime(0, out);
    EXPECT_EQ(Text(out), "<unknown>");
    out.Clear();
    CodeGen::FormatTime(1700000000, out);
    EXPECT_EQ(Text(out), "Tue Nov 14 22:13:20 2023");
    out.Clear();
    CodeGen::FormatTime(INT64_MAX, out);
    EXPECT_EQ(Text(out), "<invalid time>");
}

TEST(DisassemblyText, WriteLineAddsOneLineFeedOnlyWhenMissing) {
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    ASSERT_TRUE(output->Open("x"));
    CodeGen::TextBuffer text;
    text.Append("a");
    EXPECT_TRUE(CodeGen::WriteLine(*output, text));
    text.Clear();
    text.Append("b\n");
    EXPECT_TRUE(CodeGen::WriteLine(*output, text));
    text.Clear();
    EXPECT_TRUE(CodeGen::WriteLine(*output, text));
    EXPECT_EQ(output->Text(), "a\nb\n\n");
    output->FailAfter(output->Text().size());
    text.Clear();
    text.Append("c");
    EXPECT_FALSE(CodeGen::WriteLine(*output, text));
}

// ---------------------------------------------------------------------------
// Instruction walkers

TEST(DisassemblyFunctors, JumpTargetsShareLabelsNumberedInJumpOrder) {
    CodeBuilder code;
    code.Add(Op::Jump, {Int(3)});               // 0 -> 3
    code.Add(Op::JumpT, {Id("c"), Int(2)});     // 1 -> 3 (same label)
    code.Add(Op::JumpF, {Id("c"), Int(-2)});    // 2 -> 0 (backward)
    code.Add(Op::Jump, {Int(2)});               // 3 -> 5 (end of code)
    code.Add(1, {Id("a"), Int(3), Int(4)});     // 4: an Integer operand that is not a label
    auto stream = code.Build();

    CodeGen::LabelMap targets, jumps;
    uint32_t base = CodeGen::PeekNextLabelNumber();
    CodeGen::ConstructJumpInfoFunctor functor(targets, jumps);
    stream.ForEachInstruction(functor);

    EXPECT_EQ(functor.GetInstructionCount(), 5u);
    EXPECT_EQ(CodeGen::PeekNextLabelNumber(), base + 3);
    EXPECT_EQ(targets.Size(), 3u);
    ASSERT_NE(targets.Find(3), nullptr);
    EXPECT_STREQ(targets.Find(3)->text(), Label(base).c_str());
    EXPECT_STREQ(targets.Find(0)->text(), Label(base + 1).c_str());
    EXPECT_STREQ(targets.Find(5)->text(), Label(base + 2).c_str());
    EXPECT_EQ(jumps.Size(), 4u);
    EXPECT_EQ(*jumps.Find(0), *targets.Find(3));
    EXPECT_EQ(*jumps.Find(1), *targets.Find(3));
    EXPECT_EQ(*jumps.Find(2), *targets.Find(0));
    EXPECT_EQ(*jumps.Find(3), *targets.Find(5));
    EXPECT_EQ(jumps.Find(4), nullptr);
}

TEST(DisassemblyFunctors, InstructionLinesPadToColumnEightyAndCarrySourceLines) {
    CodeBuilder code;
    code.Add(Op::Noop);
    code.Add(Op::Jump, {Int(-1)});
    code.Add(Op::CallStatic, {Str("DzObj"), Str("DzFn"), Id("r"), Str("s")});
    code.Add(13, {Id(std::string(55, 'p').c_str()), Flt(1.5f)});
    code.Add(13, {Id(std::string(60, 'q').c_str()), Bool(true)});
    auto stream = code.Build();

    CodeGen::LabelMap targets, jumps;
    targets.Insert(0, "DzTop");
    jumps.Insert(1, "DzTop");
    HxTArray<uint32_t> lines;
    lines.Add(7);
    lines.Add(9);
    lines.Add(12);

    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    ASSERT_TRUE(output->Open("x"));
    Messages logger;
    CodeGen::WriteAssemblyFunctor functor(targets, jumps, &lines, 1, &logger, *output);
    stream.ForEachInstruction(functor);
    EXPECT_TRUE(functor.Succeeded());
    const std::string expected =
        "\tDzTop:\n"
        "\t\tNoop" + std::string(68, ' ') + " ;@line 7\n"
        "\t\tJump DzTop" + std::string(62, ' ') + " ;@line 9\n"
        // Names of a call are written bare even when held as strings; the
        // argument keeps its quotes.
        "\t\tCallStatic DzObj DzFn r \"s\"" + std::string(45, ' ') + " ;@line 12\n"
        // Column 8 + 6 + 56 + 9 = 79 before the padding: one blank.
        "\t\tAssign " + std::string(55, 'p') + " 1.500000" + std::string(1, ' ') +
        " ;@line 12 - past end of debug array\n"
        // Column 8 + 6 + 61 + 5 = 80: one blank, too.
        "\t\tAssign " + std::string(60, 'q') + " True" + std::string(1, ' ') +
        " ;@line 12 - past end of debug array\n";
    EXPECT_EQ(output->Text(), expected);
    EXPECT_TRUE(logger.lines.empty());
}

TEST(DisassemblyFunctors, LineWithoutDebugInformationAndColumnBoundaries) {
    // Column 78 gets two blanks of padding, 79 one; 80 and 81 exactly one blank.
    for (uint32_t nameLength : {53u, 54u, 55u, 56u}) {
        CodeBuilder code;
        code.Add(Op::Noop);
        code.Add(37, {Id(std::string(nameLength, 'v').c_str())});  // StructCreate
        auto stream = code.Build();
        CodeGen::LabelMap targets, jumps;
        HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
        ASSERT_TRUE(output->Open("x"));
        Messages logger;
        CodeGen::WriteAssemblyFunctor functor(targets, jumps, nullptr, 2, &logger, *output);
        stream.ForEachInstruction(functor);
        // 3 tabs (12 columns) + "StructCreate" (12) + blank + name.
        uint32_t column = 12 + 12 + 1 + nameLength;
        std::string expected = "\t\t\tNoop" + std::string(80 - 16, ' ') + " ;@line ??\n" + "\t\t\tStructCreate " +
                               std::string(nameLength, 'v') + std::string(column < 80 ? 80 - column : 1, ' ') +
                               " ;@line ??\n";
        EXPECT_EQ(output->Text(), expected) << nameLength;
    }
}

TEST(DisassemblyFunctors, FailedWriteEndsTheWalkAndReportsOnlyLabels) {
    CodeBuilder code;
    code.Add(Op::Noop);
    code.Add(Op::Jump, {Int(-1)});
    code.Add(Op::Noop);
    auto stream = code.Build();
    CodeGen::LabelMap targets, jumps;
    targets.Insert(1, "DzMid");
    jumps.Insert(1, "DzMid");

    // A failure on the label line posts its message and ends the walk.
    {
        HxTSmartPointer<MemoryOutput> output(new MemoryOutput("F.cas"));
        ASSERT_TRUE(output->Open("x"));
        const uint64_t firstLine = 2 + 4 + 68 + 11;  // "\t\tNoop", padding to column 80, " ;@line ??\n"
        output->FailAfter(firstLine);
        Messages logger;
        CodeGen::WriteAssemblyFunctor functor(targets, jumps, nullptr, 1, &logger, *output);
        stream.ForEachInstruction(functor);
        EXPECT_FALSE(functor.Succeeded());
        EXPECT_EQ(output->Text().size(), firstLine);
        ASSERT_EQ(logger.lines.size(), 1u);
        EXPECT_EQ(logger.lines[0], "F.cas : fatal: Error writing label");
        EXPECT_EQ(logger.severities[0], Severity::Fatal);
    }
    // A failure inside an instruction line posts nothing; the flag tells.
    {
        HxTSmartPointer<MemoryOutput> output(new MemoryOutput("F.cas"));
        ASSERT_TRUE(output->Open("x"));
        output->FailAfter(3);
        Messages logger;
        CodeGen::WriteAssemblyFunctor functor(targets, jumps, nullptr, 1, &logger, *output);
        stream.ForEachInstruction(functor);
        EXPECT_FALSE(functor.Succeeded());
        EXPECT_EQ(output->Text(), "\t\tN");
        EXPECT_TRUE(logger.lines.empty());
    }
}

// ---------------------------------------------------------------------------
// Whole objects

// A small object with one of most things, and the names of its labels.
void BuildSmall(Object& object) {
    object.sourceFileName = "Dz\\small.psc";
    object.compileTime = 1700000000;
    object.userName = "dz user";
    object.computerName = "DZPC";
    object.hasDebugInfo = true;
    object.debugInfo.modifyTime = 1690000000;
    object.userFlagTable.Set("DzHidden", 0);
    object.userFlagTable.Set("DzTop", 31);
    object.name = "DzSmall";
    object.parentName = "DzBase";
    object.docString = "Small\tobject";
    object.userFlags = 0x80000001u;
    object.autoStateName = "DzRun";

    HxScript::UnlinkedTypes::Struct vec;
    HxScript::UnlinkedTypes::Variable v;
    v.typeName = "Int";
    vec.variables.Set("b", v);
    vec.initialValues.Set("b", Int(3));
    v.typeName = "Float";
    vec.variables.Set("a", v);
    vec.initialValues.Set("a", Flt(1.5f));
    vec.variableDocStrings.Set("a", "first");
    v.typeName = "String";
    vec.variables.Set("c", v);
    object.structs.Set("DzVec", std::move(vec));
    HxScript::UnlinkedTypes::StructOrder order;
    order.objectName = "DzSmall";
    order.structName = "DzVec";
    order.variableNames.Add("a");
    order.variableNames.Add("b");
    object.debugInfo.structOrders.Add(order);

    v.typeName = "Int";
    v.isConst = true;
    v.userFlags = 5;
    object.variables.Set("dzCount", v);
    object.initialValues.Set("dzCount", Int(-7));
    v.typeName = "String";
    v.isConst = false;
    v.userFlags = 0;
    object.variables.Set("dzName", v);

    HxScript::UnlinkedTypes::Property autoProperty;
    autoProperty.accessFlags = 3;
    autoProperty.typeName = "Int";
    autoProperty.autoVarName = "dzCount";
    object.properties.Set("DzAuto", std::move(autoProperty));
    HxScript::UnlinkedTypes::Property property;
    property.accessFlags = 1;
    property.typeName = "Float";
    property.docString = "prop";
    CodeBuilder get;
    get.Add(26, {Id("dzCount")});
    property.getFunction.reset(new HxScript::UnlinkedTypes::Function(MakeFunction("Float", {}, {}, &get)));
    property.getFunction->functionKind = FunctionKind::Getter;
    object.properties.Set("DzProp", std::move(property));
    AddLines(object, FunctionKind::Getter, "", "DzProp", {40});

    HxScript::UnlinkedTypes::PropertyGroup group;
    group.objectName = "DzSmall";
    group.name = "DzGroup";
    group.docString = "g";
    group.userFlags = 1;
    group.propertyNames.Add("DzAuto");
    group.propertyNames.Add("DzProp");
    object.debugInfo.propertyGroups.Add(group);

    CodeBuilder returnX;
    returnX.Add(26, {Id("x")});
    object.staticFunctions.Set("DzStatic", MakeFunction("Int", {{"x", "Int"}}, {}, &returnX));
    object.staticFunctions.Find("DzStatic")->isStatic = true;
    AddLines(object, FunctionKind::Normal, "", "DzStatic", {10});

    object.emptyState.functions.Set("DzNative", MakeNativeFunction("Float", {{"s", "String"}}));
    CodeBuilder main;
    main.Add(Op::Jump, {Int(2)});            // 0 -> 2
    main.Add(Op::Noop);                      // 1
    main.Add(Op::JumpF, {Id("::t"), Int(2)});  // 2 -> 4, the end of the code
    main.Add(Op::Jump, {Int(-2)});           // 3 -> 1, backward
    object.emptyState.functions.Set("DzMain", MakeFunction("None", {}, {{"::t", "Bool"}}, &main));
    AddLines(object, FunctionKind::Normal, "", "DzMain", {20, 21});

    HxScript::UnlinkedTypes::State run;
    CodeBuilder tick;
    tick.Add(Op::CallMethod, {Str("DzLongFunctionNameThatPushesTheLineWellPastColumnEighty"), Id("self"),
                              Id("::nonevar"), Int(1)});
    run.functions.Set("DzTick", MakeFunction("None", {}, {}, &tick, "", 0x80000000u));
    object.states.Set("DzRun", std::move(run));
}

std::string SmallText(uint32_t base) {
    const std::string none = "\t\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n\t\t\t\t\t.docString \"\"\n";
    return std::string(
               ".info\n"
               "\t.source \"Dz\\\\small.psc\"\n"
               "\t.modifyTime 1690000000 ;Sat Jul 22 04:26:40 2023 Local\n"
               "\t.compileTime 1700000000 ;Tue Nov 14 22:13:20 2023 Local\n"
               "\t.user \"dz user\"\n"
               "\t.computer \"DZPC\"\n"
               ".endInfo\n"
               ".userFlagsRef\n"
               "\t.flag DzHidden 0\t; 0x00000000\n"
               "\t.flag DzTop 31\t; 0x0000001F\n"
               ".endUserFlagsRef\n"
               ".objectTable\n"
               "\t.object DzSmall DzBase\n"
               "\t\t.userFlags 2147483649\t; Flags: 0x80000001\n"
               "\t\t.docString \"Small\\tobject\"\n"
               "\t\t.autoState DzRun\n"
               "\t\t.structTable\n"
               "\t\t\t.struct DzVec\n"
               "\t\t\t\t.variable a Float\n"
               "\t\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t\t.initialValue 1.500000\n"
               "\t\t\t\t\t.docString \"first\"\n"
               "\t\t\t\t.endVariable\n"
               "\t\t\t\t.variable b Int\n"
               "\t\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t\t.initialValue 3\n"
               "\t\t\t\t\t.docString \"\"\n"
               "\t\t\t\t.endVariable\n"
               "\t\t\t\t.variable c String\n"
               "\t\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t\t.initialValue None\n"
               "\t\t\t\t\t.docString \"\"\n"
               "\t\t\t\t.endVariable\n"
               "\t\t\t.endStruct\n"
               "\t\t.endStructTable\n"
               "\t\t.variableTable\n"
               "\t\t\t.variable dzCount Int const\n"
               "\t\t\t\t.userFlags 5\t; Flags: 0x00000005\n"
               "\t\t\t\t.initialValue -7\n"
               "\t\t\t.endVariable\n"
               "\t\t\t.variable dzName String\n"
               "\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t.initialValue None\n"
               "\t\t\t.endVariable\n"
               "\t\t.endVariableTable\n"
               "\t\t.propertyTable\n"
               "\t\t\t.property DzAuto Int auto\n"
               "\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t.docString \"\"\n"
               "\t\t\t\t.autoVar dzCount\n"
               "\t\t\t.endProperty\n"
               "\t\t\t.property DzProp Float \n"
               "\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
               "\t\t\t\t.docString \"prop\"\n"
               "\t\t\t\t.function get\n") +
           none +
           "\t\t\t\t\t.return Float\n"
           "\t\t\t\t\t.paramTable\n"
           "\t\t\t\t\t.endParamTable\n"
           "\t\t\t\t\t.localTable\n"
           "\t\t\t\t\t.endLocalTable\n"
           "\t\t\t\t\t.code\n"
           "\t\t\t\t\t\tReturn dzCount" + std::string(42, ' ') + " ;@line 40\n"
           "\t\t\t\t\t.endCode\n"
           "\t\t\t\t.endFunction\n"
           "\t\t\t.endProperty\n"
           "\t\t.endPropertyTable\n"
           "\t\t.propertyGroupTable\n"
           "\t\t\t.propertyGroup DzGroup\n"
           "\t\t\t\t.userFlags 1\t; Flags: 0x00000001\n"
           "\t\t\t\t.docString \"g\"\n"
           "\t\t\t\t.property DzAuto\n"
           "\t\t\t\t.property DzProp\n"
           "\t\t\t.endPropertyGroup\n"
           "\t\t.endPropertyGroupTable\n"
           "\t\t.stateTable\n"
           "\t\t\t.state \n"
           "\t\t\t\t.function DzStatic static\n" +
           none +
           "\t\t\t\t\t.return Int\n"
           "\t\t\t\t\t.paramTable\n"
           "\t\t\t\t\t\t.param x Int\n"
           "\t\t\t\t\t.endParamTable\n"
           "\t\t\t\t\t.localTable\n"
           "\t\t\t\t\t.endLocalTable\n"
           "\t\t\t\t\t.code\n"
           "\t\t\t\t\t\tReturn x" + std::string(48, ' ') + " ;@line 10\n"
           "\t\t\t\t\t.endCode\n"
           "\t\t\t\t.endFunction\n"
           "\t\t\t\t.function DzNative native\n" +
           none +
           "\t\t\t\t\t.return Float\n"
           "\t\t\t\t\t.paramTable\n"
           "\t\t\t\t\t\t.param s String\n"
           "\t\t\t\t\t.endParamTable\n"
           "\t\t\t\t.endFunction\n"
           "\t\t\t\t.function DzMain\n" +
           none +
           "\t\t\t\t\t.return None\n"
           "\t\t\t\t\t.paramTable\n"
           "\t\t\t\t\t.endParamTable\n"
           "\t\t\t\t\t.localTable\n"
           "\t\t\t\t\t\t.local ::t Bool\n"
           "\t\t\t\t\t.endLocalTable\n"
           "\t\t\t\t\t.code\n" +
           Instruction(6, "Jump " + Label(base), "20") +
           "\t\t\t\t\t" + Label(base + 2) + ":\n" +
           Instruction(6, "Noop", "21") +
           "\t\t\t\t\t" + Label(base) + ":\n" +
           Instruction(6, "JumpF ::t " + Label(base + 1), "21 - past end of debug array") +
           Instruction(6, "Jump " + Label(base + 2), "21 - past end of debug array") +
           "\t\t\t\t\t" + Label(base + 1) + ":\n" +
           "\t\t\t\t\t.endCode\n"
           "\t\t\t\t.endFunction\n"
           "\t\t\t.endState\n"
           "\t\t\t.state DzRun\n"
           "\t\t\t\t.function DzTick\n"
           "\t\t\t\t\t.userFlags 2147483648\t; Flags: 0x80000000\n"
           "\t\t\t\t\t.docString \"\"\n"
           "\t\t\t\t\t.return None\n"
           "\t\t\t\t\t.paramTable\n"
           "\t\t\t\t\t.endParamTable\n"
           "\t\t\t\t\t.localTable\n"
           "\t\t\t\t\t.endLocalTable\n"
           "\t\t\t\t\t.code\n"
           "\t\t\t\t\t\tCallMethod DzLongFunctionNameThatPushesTheLineWellPastColumnEighty self ::nonevar 1  ;@line ??\n"
           "\t\t\t\t\t.endCode\n"
           "\t\t\t\t.endFunction\n"
           "\t\t\t.endState\n"
           "\t\t.endStateTable\n"
           "\t.endObject\n"
           ".endObjectTable\n";
}

TEST(Disassembler, WritesEveryBlockWithExactBytes) {
    UseUtc();
    uint32_t base = CodeGen::PeekNextLabelNumber();
    RunResult run = Disassemble(BuildSmall);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(run.openedName, "DzSmall.disassemble");
    EXPECT_EQ(run.text, SmallText(base));
    // Labels are never reused: the next run continues the numbering.
    EXPECT_EQ(CodeGen::PeekNextLabelNumber(), base + 3);
    RunResult again = Disassemble(BuildSmall);
    EXPECT_EQ(again.text, SmallText(base + 3));
}

TEST(Disassembler, WithoutDebugInformation) {
    UseUtc();
    uint32_t base = CodeGen::PeekNextLabelNumber();
    RunResult run = Disassemble([](Object& object) {
        BuildSmall(object);
        object.hasDebugInfo = false;  // the records are still there, and must be ignored
        object.compileTime = 0;
    });
    EXPECT_TRUE(run.result);
    std::string expected = SmallText(base);
    auto replace = [&](const std::string& from, const std::string& to) {
        size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("\t.modifyTime 1690000000 ;Sat Jul 22 04:26:40 2023 Local\n", "\t.modifyTime 0 ;Debug info: No\n");
    replace("\t.compileTime 1700000000 ;Tue Nov 14 22:13:20 2023 Local\n", "\t.compileTime 0 ;<unknown> Local\n");
    // Struct members in map order: b, a, c.
    size_t a = expected.find("\t\t\t\t.variable a Float\n");
    size_t b = expected.find("\t\t\t\t.variable b Int\n");
    size_t c = expected.find("\t\t\t\t.variable c String\n");
    expected = expected.substr(0, a) + expected.substr(b, c - b) + expected.substr(a, b - a) + expected.substr(c);
    // No property groups.
    size_t groupsStart = expected.find("\t\t\t.propertyGroup DzGroup\n");
    size_t groupsEnd = expected.find("\t\t.endPropertyGroupTable\n");
    expected.erase(groupsStart, groupsEnd - groupsStart);
    // Every source line is unknown.
    std::string result;
    size_t from = 0;
    while (true) {
        size_t at = expected.find(" ;@line ", from);
        if (at == std::string::npos) break;
        size_t end = expected.find('\n', at);
        result += expected.substr(from, at - from) + " ;@line ??";
        from = end;
    }
    result += expected.substr(from);
    EXPECT_EQ(run.text, result);
}

TEST(Disassembler, StructOrderNamingMissingVariableIsAnError) {
    RunResult run = Disassemble([](Object& object) {
        BuildSmall(object);
        object.debugInfo.structOrders[0].variableNames.Add("dzGhost");
    });
    EXPECT_FALSE(run.result);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0],
              "DzSmall.disassemble.cas : error: Struct order information for DzVec lists variable named dzGhost "
              "but struct does not contain a variable with that name");
    EXPECT_EQ(run.severities[0], Severity::Error);
    // The listed members were written; nothing after them.
    EXPECT_NE(run.text.find("\t\t\t\t.variable b Int\n"), std::string::npos);
    EXPECT_EQ(run.text.find("\t\t\t\t.variable c String\n"), std::string::npos);
    EXPECT_EQ(run.text.find(".endStruct"), std::string::npos);
    const std::string last = "\t\t\t\t.endVariable\n";
    ASSERT_GE(run.text.size(), last.size());
    EXPECT_EQ(run.text.substr(run.text.size() - last.size()), last);
}

TEST(Disassembler, ProcessChecksLoaderOutputAndLoad) {
    Messages logger;
    CodeGen::DisassemblerProcessor processor(&logger);
    EXPECT_FALSE(processor.Process("DzSmall"));
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    processor.SetOutput(output);
    EXPECT_FALSE(processor.Process("DzSmall"));
    ModelLoader noOutputLoader(BuildSmall);
    CodeGen::DisassemblerProcessor withoutOutput(&logger);
    withoutOutput.SetLoader(&noOutputLoader);
    EXPECT_FALSE(withoutOutput.Process("DzSmall"));
    EXPECT_EQ(noOutputLoader.loadCount, 0);
    ASSERT_EQ(logger.lines.size(), 3u);
    EXPECT_EQ(logger.lines[0], "Cannot disassemble class without a loader");
    EXPECT_EQ(logger.lines[1], "Cannot disassemble class without a loader");
    EXPECT_EQ(logger.lines[2], "Cannot disassemble class without an output");
    for (Severity s : logger.severities) EXPECT_EQ(s, Severity::Fatal);

    // A failed load opens nothing and posts nothing more.
    Messages quiet;
    ModelLoader failing(BuildSmall, false);
    CodeGen::DisassemblerProcessor processor2(&quiet);
    processor2.SetLoader(&failing);
    HxTSmartPointer<MemoryOutput> output2(new MemoryOutput());
    processor2.SetOutput(output2);
    EXPECT_FALSE(processor2.Process("DzSmall"));
    EXPECT_EQ(failing.lastObjectName, "DzSmall");
    EXPECT_EQ(output2->OpenedName(), "");
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(Disassembler, CloneKeepsLoaderButNotOutputOrFlags) {
    {
        // The copy has the loader and the logger, and no output.
        Messages logger;
        ModelLoader loader(BuildSmall);
        CodeGen::DisassemblerProcessor processor(&logger);
        processor.SetLoader(&loader);
        processor.SetOutput(HxTSmartPointer<MemoryOutput>(new MemoryOutput()));
        std::unique_ptr<HxScript::IObjectProcessor> copy(processor.Clone());
        EXPECT_FALSE(copy->Process("DzSmall"));
        EXPECT_EQ(loader.loadCount, 0);
        ASSERT_EQ(logger.lines.size(), 1u);
        EXPECT_EQ(logger.lines[0], "Cannot disassemble class without an output");
    }
    // Given an output, the copy loads through the same loader and writes:
    // the analyze flag was not copied.
    Messages logger;
    ModelLoader loader(BuildSmall);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(HxTSmartPointer<MemoryOutput>(new MemoryOutput()));
    processor.SetAnalyze(true);
    std::unique_ptr<HxScript::IObjectProcessor> copy(processor.Clone());
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    static_cast<CodeGen::DisassemblerProcessor*>(copy.get())->SetOutput(output);
    EXPECT_TRUE(copy->Process("DzSmall"));
    EXPECT_EQ(loader.loadCount, 1);
    EXPECT_EQ(output->OpenedName(), "DzSmall.disassemble");
    EXPECT_FALSE(output->Bytes().empty());
    EXPECT_TRUE(logger.lines.empty());
}

TEST(Disassembler, AnalyzeOpensNothingAndVerbosePrintsTheReport) {
    Messages logger;
    ModelLoader loader(BuildSmall);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    processor.SetAnalyze(true);
    processor.SetVerbose(true);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.Process("DzSmall"));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output->OpenedName(), "");
    EXPECT_TRUE(output->Bytes().empty());
    EXPECT_NE(printed.find("Source filename: Dz\\small.psc\n"), std::string::npos);
    EXPECT_TRUE(logger.lines.empty());

    processor.SetVerbose(false);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.Process("DzSmall"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Disassembler, OutputThatCannotBeOpened) {
    Messages logger;
    ModelLoader loader(BuildSmall);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    output->SetFailOpen(true);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    EXPECT_FALSE(processor.Process("DzSmall"));
    EXPECT_EQ(output->OpenedName(), "DzSmall.disassemble");
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], "Cannot open output file for writing");
    EXPECT_EQ(logger.severities[0], Severity::Fatal);
    EXPECT_FALSE(output->IsOpen());
}

// An output whose buffered bytes fail to reach the disk when it is closed.
class FailingCloseOutput : public MemoryOutput {
public:
    using MemoryOutput::MemoryOutput;
    void Close() override {
        MemoryOutput::Close();
        closed_ = true;
    }
    bool IsGood() const override { return !closed_ && MemoryOutput::IsGood(); }

private:
    bool closed_ = false;
};

TEST(Disassembler, FailedFinalFlushIsReported) {
    Messages logger;
    ModelLoader loader(BuildSmall);
    HxTSmartPointer<FailingCloseOutput> output(new FailingCloseOutput("DzSmall.disassemble.cas"));
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    EXPECT_FALSE(processor.Process("DzSmall"));
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], Fatal("Error writing to output file"));
}

// Fails the output at the first byte of `marker` (its n-th occurrence) in
// the complete text.
RunResult FailAt(const std::string& marker, int occurrence = 1) {
    UseUtc();
    std::string full = SmallText(CodeGen::PeekNextLabelNumber());
    size_t at = std::string::npos;
    for (int i = 0; i < occurrence; ++i) {
        at = full.find(marker, at == std::string::npos ? 0 : at + 1);
    }
    EXPECT_NE(at, std::string::npos) << marker;
    RunResult run = Disassemble(BuildSmall, at);
    EXPECT_FALSE(run.result);
    return run;
}

TEST(Disassembler, EachWriteFailureHasItsMessage) {
    struct Case {
        const char* marker;
        int occurrence;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {".info", 1, {Fatal("Error writing header")}},
        {".userFlagsRef", 1, {Fatal("Error writing user flag info")}},
        {".objectTable", 1, {Fatal("Error writing class chunk")}},
        {"\t\t\t.struct DzVec", 1, {Fatal("Error writing struct")}},
        {"\t\t\t\t.variable b", 1, {Fatal("Error writing variable")}},
        {"\t\t\t.endStruct", 1, {Fatal("Error writing struct")}},
        {"\t\t.endStructTable", 1, {Fatal("Error writing class chunk")}},
        {"\t\t\t.variable dzName", 1, {Fatal("Error writing variable")}},
        {"\t\t\t.property DzProp", 1, {Fatal("Error writing property")}},
        {"\t\t\t.endProperty", 2, {Fatal("Error writing property")}},
        {"\t\t\t.propertyGroup", 1, {Fatal("Error writing property group block")}},
        {"\t\t\t\t.property DzProp", 1, {Fatal("Error writing property group property entry")}},
        {"\t\t\t.endPropertyGroup", 1, {Fatal("Error writing property group end directive")}},
        {"\t\t\t.state DzRun", 1, {Fatal("Error writing state begin directive")}},
        {"\t\t\t.endState", 1, {Fatal("Error writing state end directive")}},
        {"\t\t\t\t.function DzStatic", 1, {Fatal("Error writing function chunk")}},
        // The local block fails; the code is still walked (and fails), the
        // function end line is tried.
        {"\t\t\t\t\t.localTable\n\t\t\t\t\t\t.local", 1,
         {Fatal("Error writing function chunk"), Fatal("Error writing function code"),
          Fatal("Error writing label"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t\t\tReturn x", 1,
         {Fatal("Error writing function code"), Fatal("Error writing function end directive")}},
        // A label line inside the code.
        {"\t\t\t\t\t_label", 1,
         {Fatal("Error writing label"), Fatal("Error writing function code"),
          Fatal("Error writing label"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t\t.endCode", 1,
         {Fatal("Error writing code end directive"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t.endFunction", 1, {Fatal("Error writing function end directive")}},
        {"\t\t.endStateTable", 1, {Fatal("Error writing class chunk")}},
    };
    for (const Case& c : cases) {
        RunResult run = FailAt(c.marker, c.occurrence);
        EXPECT_EQ(run.messages, c.messages) << c.marker;
    }
    // The end-of-code label, after the last instruction.
    std::string full = SmallText(CodeGen::PeekNextLabelNumber());
    size_t endLabel = full.find(":\n\t\t\t\t\t.endCode");
    endLabel = full.rfind('\n', endLabel) + 1;
    RunResult run = Disassemble(BuildSmall, endLabel);
    EXPECT_EQ(run.messages,
              (std::vector<std::string>{Fatal("Error writing label"), Fatal("Error writing function end directive")}));
}

TEST(Disassembler, AnyFailureLeavesAPrefixAndIsReported) {
    UseUtc();
    const size_t size = SmallText(0).size();
    // Every failure point leaves exactly the bytes before it, fails the run
    // and posts at least one fatal message; nothing is written after it.
    for (uint64_t n = 0; n < size; n += 7) {
        const std::string full = SmallText(CodeGen::PeekNextLabelNumber());
        RunResult run = Disassemble(BuildSmall, n);
        EXPECT_FALSE(run.result) << n;
        EXPECT_EQ(run.text, full.substr(0, n)) << n;
        ASSERT_FALSE(run.messages.empty()) << n;
        EXPECT_EQ(run.severities[0], Severity::Fatal) << n;
    }
}

TEST(Disassembler, CallWithManyArgumentsAndEmptyFunctions) {
    uint32_t base = CodeGen::PeekNextLabelNumber();
    RunResult run = Disassemble([](Object& object) {
        object.name = "DzSmall";
        CodeBuilder code;
        std::vector<Value> call = {Str("DzFn"), Id("self"), Id("::r")};
        for (int i = 0; i < 511; ++i) call.push_back(Int(i));
        code.Add(Op::CallMethod, call);
        object.emptyState.functions.Set("DzMany", MakeFunction("None", {}, {}, &code));
        object.emptyState.functions.Set("DzNothing", MakeFunction("None", {}, {}, nullptr));
    });
    EXPECT_TRUE(run.result);
    std::string args;
    for (int i = 0; i < 511; ++i) args += " " + std::to_string(i);
    EXPECT_NE(run.text.find("\t\t\t\t\t\tCallMethod DzFn self ::r" + args + "  ;@line ??\n"), std::string::npos);
    EXPECT_NE(run.text.find("\t\t\t\t.function DzNothing\n"
                            "\t\t\t\t\t.userFlags 0\t; Flags: 0x00000000\n"
                            "\t\t\t\t\t.docString \"\"\n"
                            "\t\t\t\t\t.return None\n"
                            "\t\t\t\t\t.paramTable\n"
                            "\t\t\t\t\t.endParamTable\n"
                            "\t\t\t\t\t.localTable\n"
                            "\t\t\t\t\t.endLocalTable\n"
                            "\t\t\t\t\t.code\n"
                            "\t\t\t\t\t.endCode\n"
                            "\t\t\t\t.endFunction\n"
                            "\t\t\t.endState\n"),
              std::string::npos);
    // Without a parent the object line ends in a blank.
    EXPECT_NE(run.text.find("\t.object DzSmall \n"), std::string::npos);
    EXPECT_EQ(CodeGen::PeekNextLabelNumber(), base);
}

}  // namespace
