// The disassembly writer: spelling of values, instruction lines and labels,
// the processor's checks, and what every failed write reports. Whole files
// byte for byte are the golden cases disasm_*.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptOpcodes.h"
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

std::string Text(const CodeGen::TextBuffer& text) { return std::string(text.CStr(), text.Size()); }

struct RunResult {
    bool result = false;
    std::string text;
    std::vector<std::string> messages;
    std::vector<Severity> severities;
};

RunResult Disassemble(const std::function<void(Object&)>& fill, uint64_t failAfter = ~uint64_t(0)) {
    Messages logger;
    ModelLoader loader(fill);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput("Dz.disassemble.cas"));
    output->FailAfter(failAfter);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    RunResult run;
    run.result = processor.Process("Dz");
    run.text = output->Text();
    run.messages = logger.lines;
    run.severities = logger.severities;
    return run;
}

std::string Fatal(const char* text) { return std::string("Dz.disassemble.cas : fatal: ") + text; }

// Label numbers never repeat, so two runs differ in them. Keeping them at one
// width makes the texts of a batch of runs line up byte for byte.
void KeepLabelWidthFor(uint32_t labels) {
    auto digits = [](uint32_t n) { return std::to_string(n).size(); };
    while (digits(CodeGen::PeekNextLabelNumber()) != digits(CodeGen::PeekNextLabelNumber() + labels))
        CodeGen::CreateLabelName();
}
std::string MaskLabels(std::string text) {
    for (size_t at = text.find("_label"); at != std::string::npos; at = text.find("_label", at + 1))
        for (size_t i = at + 6; i < text.size() && std::isdigit(uint8_t(text[i])); ++i) text[i] = '#';
    return text;
}

// ---------------------------------------------------------------------------

TEST(DisassemblyText, EscapesValuesAndTimes) {
    setenv("TZ", "UTC", 1);
    tzset();
    auto show = [](const std::function<void(CodeGen::TextBuffer&)>& append) {
        CodeGen::TextBuffer out;
        append(out);
        return Text(out);
    };
    auto value = [&](const Value& v) { return show([&](CodeGen::TextBuffer& o) { CodeGen::FormatValue(v, o); }); };
    EXPECT_EQ(show([](auto& o) { CodeGen::EscapeString("a\tb\nc\"d\\e", o); }), "\"a\\tb\\nc\\\"d\\\\e\"");
    EXPECT_EQ(show([](auto& o) { CodeGen::EscapeString("", o); }), "\"\"");
    // Semicolons, carriage returns and bytes above 127 pass unchanged.
    EXPECT_EQ(show([](auto& o) { CodeGen::EscapeString("x;\r\xC3\xA9", o); }), "\"x;\r\xC3\xA9\"");

    EXPECT_EQ(value(NoneValue()), "None");
    EXPECT_EQ(value(Id("::temp0")), "::temp0");
    EXPECT_EQ(value(TypeValue("DzThing[]")), "DzThing[]");
    EXPECT_EQ(value(Str("say \"hi\"")), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(value(Int(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(value(Flt(1.5f)), "1.500000");
    EXPECT_EQ(value(Flt(-0.25f)), "-0.250000");
    EXPECT_EQ(value(Bool(true)) + value(Bool(false)), "TrueFalse");

    EXPECT_EQ(show([](auto& o) { CodeGen::FormatTime(0, o); }), "<unknown>");
    EXPECT_EQ(show([](auto& o) { CodeGen::FormatTime(1700000000, o); }), "Tue Nov 14 22:13:20 2023");
    EXPECT_EQ(show([](auto& o) { CodeGen::FormatTime(INT64_MAX, o); }), "<invalid time>");
}

TEST(DisassemblyText, WriteLineAddsOneLineFeedOnlyWhenMissing) {
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    ASSERT_TRUE(output->Open("x"));
    for (const char* text : {"a", "b\n", ""}) {
        CodeGen::TextBuffer line;
        line.Append(text);
        EXPECT_TRUE(CodeGen::WriteLine(*output, line));
    }
    EXPECT_EQ(output->Text(), "a\nb\n\n");
    output->FailAfter(output->Text().size());
    CodeGen::TextBuffer line;
    EXPECT_FALSE(CodeGen::WriteLine(*output, line));
}

// ---------------------------------------------------------------------------

TEST(DisassemblyFunctors, JumpTargetsShareLabelsNumberedInJumpOrder) {
    CodeBuilder code;
    code.Add(Op::Jump, {Int(3)});             // 0 -> 3
    code.Add(Op::JumpT, {Id("c"), Int(2)});   // 1 -> 3, same label
    code.Add(Op::JumpF, {Id("c"), Int(-2)});  // 2 -> 0, backward
    code.Add(Op::Jump, {Int(2)});             // 3 -> 5, the end of the code
    code.Add(1, {Id("a"), Int(3), Int(4)});   // an Integer that is no label
    CodeGen::LabelMap targets, jumps;
    uint32_t base = CodeGen::PeekNextLabelNumber();
    CodeGen::ConstructJumpInfoFunctor functor(targets, jumps);
    code.Build().ForEachInstruction(functor);

    auto label = [](uint32_t n) { return "_label" + std::to_string(n); };
    EXPECT_EQ(CodeGen::PeekNextLabelNumber(), base + 3);
    ASSERT_EQ(targets.Size(), 3u);
    EXPECT_EQ(targets.Find(3)->text(), label(base));
    EXPECT_EQ(targets.Find(0)->text(), label(base + 1));
    EXPECT_EQ(targets.Find(5)->text(), label(base + 2));
    ASSERT_EQ(jumps.Size(), 4u);
    EXPECT_EQ(*jumps.Find(1), *targets.Find(3));
    EXPECT_EQ(*jumps.Find(2), *targets.Find(0));
    EXPECT_EQ(*jumps.Find(3), *targets.Find(5));
}

// Walks `code` with a writer at depth `depth` and returns the text.
std::string WriteCode(const CodeBuilder& code, const CodeGen::LabelMap& targets, const CodeGen::LabelMap& jumps,
                      const HxTArray<uint32_t>* lines, uint32_t depth, Messages& logger, uint64_t failAfter,
                      bool* succeeded = nullptr) {
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput("F.cas"));
    EXPECT_TRUE(output->Open("x"));
    output->FailAfter(failAfter);
    CodeGen::WriteAssemblyFunctor functor(targets, jumps, lines, depth, &logger, *output);
    code.Build().ForEachInstruction(functor);
    if (succeeded) *succeeded = functor.Succeeded();
    return output->Text();
}

TEST(DisassemblyFunctors, LinesArePaddedToColumnEightyAndCarryTheirSourceLine) {
    CodeBuilder code;
    code.Add(Op::Noop);
    code.Add(Op::Jump, {Int(-1)});
    code.Add(Op::CallStatic, {Str("DzObj"), Str("DzFn"), Id("r"), Str("sv")});
    code.Add(13, {Id(std::string(55, 'p').c_str()), Flt(1.5f)});  // ends at column 79
    code.Add(13, {Id(std::string(60, 'q').c_str()), Bool(true)});  // ends at column 80
    CodeGen::LabelMap targets, jumps;
    targets.Insert(0, "DzTop");
    jumps.Insert(1, "DzTop");
    HxTArray<uint32_t> lines;
    for (uint32_t line : {7u, 9u, 12u}) lines.Add(line);
    Messages logger;
    bool ok = false;
    std::string text = WriteCode(code, targets, jumps, &lines, 1, logger, ~uint64_t(0), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text,
              "\tDzTop:\n"
              "\t\tNoop" + std::string(68, ' ') + " ;@line 7\n"
              "\t\tJump DzTop" + std::string(62, ' ') + " ;@line 9\n"
              // Call names held as strings are written bare; the argument keeps its quotes.
              "\t\tCallStatic DzObj DzFn r \"sv\"" + std::string(44, ' ') + " ;@line 12\n"
              "\t\tAssign " + std::string(55, 'p') + " 1.500000  ;@line 12 - past end of debug array\n"
              "\t\tAssign " + std::string(60, 'q') + " True  ;@line 12 - past end of debug array\n");
    EXPECT_TRUE(logger.lines.empty());

    // Without line information every line says ??.
    CodeBuilder one;
    one.Add(37, {Id(std::string(56, 'v').c_str())});  // 3 tabs + 12 + 1 + 56: column 81
    EXPECT_EQ(WriteCode(one, {}, {}, nullptr, 2, logger, ~uint64_t(0)),
              "\t\t\tStructCreate " + std::string(56, 'v') + "  ;@line ??\n");
}

TEST(DisassemblyFunctors, AFailedWriteEndsTheWalkAndOnlyLabelsReportIt) {
    CodeBuilder code;
    code.Add(Op::Noop);
    code.Add(Op::Noop);
    CodeGen::LabelMap targets;
    targets.Insert(1, "DzMid");
    const uint64_t firstLine = 6 + 68 + 11;  // "\t\tNoop", padding, " ;@line ??\n"
    Messages logger;
    bool ok = true;
    EXPECT_EQ(WriteCode(code, targets, {}, nullptr, 1, logger, firstLine, &ok).size(), firstLine);
    EXPECT_FALSE(ok);
    EXPECT_EQ(logger.lines, std::vector<std::string>{"F.cas : fatal: Error writing label"});

    Messages quiet;
    EXPECT_EQ(WriteCode(code, targets, {}, nullptr, 1, quiet, 3, &ok), "\t\tN");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(quiet.lines.empty());
}

// ---------------------------------------------------------------------------

// A small object: a struct with an order record, a variable, an auto and a
// get-only property in a group, a static, a native and a member function
// with a jump to the end of its code, and a named state.
void BuildSmall(Object& object) {
    object.sourceFileName = "Dz.psc";
    object.hasDebugInfo = true;
    object.name = "Dz";
    object.parentName = "DzBase";
    object.autoStateName = "DzRun";

    HxScript::UnlinkedTypes::Struct vec;
    HxScript::UnlinkedTypes::Variable v;
    for (const char* member : {"mb", "ma", "mc"}) {
        v.typeName = "Int";
        vec.variables.Set(member, v);
    }
    vec.variableDocStrings.Set("ma", "first");
    object.structs.Set("DzVec", std::move(vec));
    HxScript::UnlinkedTypes::StructOrder order;
    order.objectName = "Dz";
    order.structName = "DzVec";
    order.variableNames.Add("ma");
    order.variableNames.Add("mb");
    object.debugInfo.structOrders.Add(order);
    object.variables.Set("dzCount", v);

    HxScript::UnlinkedTypes::Property automatic;
    automatic.accessFlags = 3;
    automatic.typeName = "Int";
    automatic.autoVarName = "dzCount";
    object.properties.Set("DzAuto", std::move(automatic));
    HxScript::UnlinkedTypes::Property getter;
    getter.accessFlags = 1;
    getter.typeName = "Int";
    CodeBuilder get;
    get.Add(26, {Id("dzCount")});
    getter.getFunction.reset(new HxScript::UnlinkedTypes::Function(MakeFunction("Int", {}, {}, &get)));
    object.properties.Set("DzProp", std::move(getter));
    AddLines(object, FunctionKind::Getter, "", "DzProp", {40});
    HxScript::UnlinkedTypes::PropertyGroup group;
    group.name = "DzGroup";
    group.propertyNames.Add("DzAuto");
    group.propertyNames.Add("DzProp");
    object.debugInfo.propertyGroups.Add(group);

    CodeBuilder ret;
    ret.Add(26, {Id("x")});
    object.staticFunctions.Set("DzStatic", MakeFunction("Int", {{"x", "Int"}}, {}, &ret));
    object.staticFunctions.Find("DzStatic")->isStatic = true;
    AddLines(object, FunctionKind::Normal, "", "DzStatic", {10});
    object.emptyState.functions.Set("DzNative", MakeNativeFunction("Float", {{"text", "String"}}));
    CodeBuilder main;
    main.Add(Op::Noop);
    main.Add(Op::JumpF, {Id("::t"), Int(1)});  // to the end of the code
    object.emptyState.functions.Set("DzMain", MakeFunction("None", {}, {{"::t", "Bool"}}, &main));
    AddLines(object, FunctionKind::Normal, "", "DzMain", {20, 21});
    HxScript::UnlinkedTypes::State run;
    run.functions.Set("DzTick", MakeFunction("None", {}, {}, &ret));
    object.states.Set("DzRun", std::move(run));
}

TEST(Disassembler, EntriesFollowTheDebugInformationOnlyWhenItIsThere) {
    RunResult run = Disassemble(BuildSmall);
    ASSERT_TRUE(run.result);
    const std::string& t = run.text;
    // Members in the order record's order, then the unlisted one.
    EXPECT_LT(t.find(".variable ma Int"), t.find(".variable mb Int"));
    EXPECT_LT(t.find(".variable mb Int"), t.find(".variable mc Int"));
    EXPECT_NE(t.find("\t\t\t\t\t.docString \"first\"\n"), std::string::npos);
    EXPECT_NE(t.find("\t\t\t.property DzProp Int \n"), std::string::npos);
    EXPECT_NE(t.find("\t\t\t.propertyGroup DzGroup\n"), std::string::npos);
    EXPECT_NE(t.find("\t\t\t.state \n\t\t\t\t.function DzStatic static\n"), std::string::npos);
    EXPECT_NE(t.find(";@line 40\n"), std::string::npos);
    // A native function has parameters but no local table and no code.
    size_t native = t.find("\t\t\t\t.function DzNative native\n");
    ASSERT_NE(native, std::string::npos);
    const std::string nativeText = t.substr(native, t.find(".function DzMain") - native);
    EXPECT_NE(nativeText.find("\t\t\t\t\t\t.param text String\n"), std::string::npos);
    EXPECT_EQ(nativeText.find(".localTable"), std::string::npos);
    EXPECT_EQ(nativeText.find(".code"), std::string::npos);

    // The same records with the flag off count for nothing.
    RunResult bare = Disassemble([](Object& object) {
        BuildSmall(object);
        object.hasDebugInfo = false;
    });
    ASSERT_TRUE(bare.result);
    const std::string& b = bare.text;
    EXPECT_NE(b.find("\t.modifyTime 0 ;Debug info: No\n\t.compileTime 0 ;<unknown> Local\n"), std::string::npos);
    EXPECT_LT(b.find(".variable mb Int"), b.find(".variable ma Int"));
    EXPECT_NE(b.find("\t\t.propertyGroupTable\n\t\t.endPropertyGroupTable\n"), std::string::npos);
    EXPECT_EQ(b.find(";@line 40"), std::string::npos);
    EXPECT_EQ(b.find(";@line 1"), std::string::npos);
}

TEST(Disassembler, StructOrderNamingAMissingVariableIsAnError) {
    RunResult run = Disassemble([](Object& object) {
        BuildSmall(object);
        object.debugInfo.structOrders[0].variableNames.Insert(1, "dzGhost");
    });
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.messages, std::vector<std::string>{"Dz.disassemble.cas : error: Struct order information for "
                                                     "DzVec lists variable named dzGhost but struct does not "
                                                     "contain a variable with that name"});
    EXPECT_EQ(run.severities[0], Severity::Error);
    // Nothing after the member before it.
    EXPECT_EQ(run.text.substr(run.text.size() - 17), "\t\t\t\t.endVariable\n");
}

TEST(Disassembler, ProcessNeedsLoaderAndOutputAndOpensTheDisassemblyName) {
    Messages logger;
    ModelLoader loader(BuildSmall);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetOutput(output);
    EXPECT_FALSE(processor.Process("Dz"));
    CodeGen::DisassemblerProcessor noOutput(&logger);
    noOutput.SetLoader(&loader);
    EXPECT_FALSE(noOutput.Process("Dz"));
    EXPECT_EQ(loader.loadCount, 0);
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"Cannot disassemble class without a loader",
                                                      "Cannot disassemble class without an output"}));

    // A clone has the loader but neither the output nor the analyze flag.
    Messages fresh;
    CodeGen::DisassemblerProcessor analyzing(&fresh);
    analyzing.SetLoader(&loader);
    analyzing.SetAnalyze(true);
    std::unique_ptr<HxScript::IObjectProcessor> copy(analyzing.Clone());
    static_cast<CodeGen::DisassemblerProcessor*>(copy.get())->SetOutput(output);
    EXPECT_TRUE(copy->Process("Dz"));
    EXPECT_EQ(loader.lastObjectName, "Dz");
    EXPECT_EQ(output->OpenedName(), "Dz.disassemble");
    EXPECT_FALSE(output->IsOpen());

    // A failed load opens nothing.
    ModelLoader failing(BuildSmall, false);
    HxTSmartPointer<MemoryOutput> untouched(new MemoryOutput());
    CodeGen::DisassemblerProcessor processor2(&fresh);
    processor2.SetLoader(&failing);
    processor2.SetOutput(untouched);
    EXPECT_FALSE(processor2.Process("Dz"));
    EXPECT_EQ(untouched->OpenedName(), "");
    EXPECT_TRUE(fresh.lines.empty());
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
    EXPECT_TRUE(processor.Process("Dz"));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Source filename: Dz.psc\n"), std::string::npos);
    EXPECT_EQ(output->OpenedName(), "");
    processor.SetVerbose(false);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.Process("Dz"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(logger.lines.empty());
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

TEST(Disassembler, OpenAndFinalFlushFailuresAreReported) {
    Messages logger;
    ModelLoader loader(BuildSmall);
    HxTSmartPointer<MemoryOutput> unopenable(new MemoryOutput());
    unopenable->SetFailOpen(true);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(unopenable);
    EXPECT_FALSE(processor.Process("Dz"));
    EXPECT_EQ(logger.lines, std::vector<std::string>{"Cannot open output file for writing"});
    EXPECT_EQ(logger.severities[0], Severity::Fatal);

    Messages logger2;
    CodeGen::DisassemblerProcessor processor2(&logger2);
    processor2.SetLoader(&loader);
    processor2.SetOutput(HxTSmartPointer<FailingCloseOutput>(new FailingCloseOutput("Dz.disassemble.cas")));
    EXPECT_FALSE(processor2.Process("Dz"));
    EXPECT_EQ(logger2.lines, std::vector<std::string>{Fatal("Error writing to output file")});
}

TEST(Disassembler, EachWriteFailureHasItsMessages) {
    const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
        {".info", {Fatal("Error writing header")}},
        {".userFlagsRef", {Fatal("Error writing user flag info")}},
        {".objectTable", {Fatal("Error writing class chunk")}},
        {"\t\t\t.struct", {Fatal("Error writing struct")}},
        {"\t\t\t\t.variable mb", {Fatal("Error writing variable")}},
        {"\t\t\t.endStruct", {Fatal("Error writing struct")}},
        {"\t\t.endStructTable", {Fatal("Error writing class chunk")}},
        {"\t\t\t.property DzProp", {Fatal("Error writing property")}},
        {"\t\t\t.endProperty\n\t\t.end", {Fatal("Error writing property")}},
        {"\t\t\t.propertyGroup", {Fatal("Error writing property group block")}},
        {"\t\t\t\t.property DzProp", {Fatal("Error writing property group property entry")}},
        {"\t\t\t.endPropertyGroup", {Fatal("Error writing property group end directive")}},
        {"\t\t\t.state DzRun", {Fatal("Error writing state begin directive")}},
        {"\t\t\t.endState", {Fatal("Error writing state end directive")}},
        {"\t\t\t\t.function DzStatic", {Fatal("Error writing function chunk")}},
        // A failed local block: the code is still walked, the end label and
        // the function end line are still tried.
        {"\t\t\t\t\t.localTable\n\t\t\t\t\t\t.local",
         {Fatal("Error writing function chunk"), Fatal("Error writing function code"), Fatal("Error writing label"),
          Fatal("Error writing function end directive")}},
        {"\t\t\t\t\t\tReturn x", {Fatal("Error writing function code"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t\t_label", {Fatal("Error writing label"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t\t.endCode", {Fatal("Error writing code end directive"), Fatal("Error writing function end directive")}},
        {"\t\t\t\t.endFunction", {Fatal("Error writing function end directive")}},
        {"\t\t.endStateTable", {Fatal("Error writing class chunk")}},
    };
    KeepLabelWidthFor(uint32_t(cases.size()) + 1);
    const std::string full = Disassemble(BuildSmall).text;
    for (const auto& [marker, messages] : cases) {
        size_t at = full.find(marker);
        ASSERT_NE(at, std::string::npos) << marker;
        RunResult run = Disassemble(BuildSmall, at);
        EXPECT_FALSE(run.result) << marker;
        EXPECT_EQ(run.messages, messages) << marker;
    }
}

TEST(Disassembler, AnyFailureLeavesExactlyThePrefixAndIsReported) {
    KeepLabelWidthFor(1000);
    const std::string full = MaskLabels(Disassemble(BuildSmall).text);
    for (uint64_t n = 0; n < full.size(); n += 3) {
        RunResult run = Disassemble(BuildSmall, n);
        EXPECT_FALSE(run.result) << n;
        EXPECT_EQ(MaskLabels(run.text), full.substr(0, n)) << n;
        ASSERT_FALSE(run.messages.empty()) << n;
        EXPECT_EQ(run.severities[0], Severity::Fatal) << n;
    }
}

}  // namespace
