// The disassembly writer: value spellings and column padding at their
// limits, the processor's checks, and what every failed write reports. Whole
// files byte for byte are the golden cases disasm_*; labels, escapes and
// ordinary values are checked there.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptOpcodes.h"
#include "output/DisassemblerProcessor.h"
#include "output/DisassemblyFunctors.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"
#include "support/RecordingLogger.h"

namespace {

using namespace TestSupport;
using HxScript::Severity;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Value;
using Strings = std::vector<std::string>;
const size_t npos = std::string::npos;

struct RunResult {
    bool result = false;
    std::string text;
    Strings messages;
    std::vector<Severity> severities;
};

// Disassembles the object that `fill` builds into `output` (failing after
// `failAfter` bytes).
RunResult Disassemble(const std::function<void(Object&)>& fill, uint64_t failAfter = ~uint64_t(0),
                      MemoryOutput* output = new MemoryOutput("Dz.disassemble.cas")) {
    RecordingLogger logger;
    ModelLoader loader(fill);
    HxTSmartPointer<MemoryOutput> outputRef(output);
    output->FailAfter(failAfter);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(outputRef);
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
// Names are compared in lower case: the string pool shows whichever spelling
// of a name another test made first.
std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
std::string MaskLabels(std::string text) {
    for (size_t at = text.find("_label"); at != npos; at = text.find("_label", at + 1))
        for (size_t i = at + 6; i < text.size() && std::isdigit(uint8_t(text[i])); ++i) text[i] = '#';
    return text;
}

// ---------------------------------------------------------------------------

TEST(DisassemblyText, SpellingsAtTheirLimits) {
    // Only the four escapes: carriage returns, semicolons and bytes above 127 pass unchanged.
    CodeGen::TextBuffer text;
    CodeGen::FormatValue(Str("x;\r\xC3\xA9\t"), text);
    EXPECT_STREQ(text.CStr(), "\"x;\r\xC3\xA9\\t\"");
    setenv("TZ", "UTC", 1);
    tzset();
    CodeGen::TextBuffer time;
    CodeGen::FormatTime(INT64_MAX, time);
    EXPECT_STREQ(time.CStr(), "<invalid time>");
}

TEST(DisassemblyFunctors, LinesArePaddedToColumnEightyAndCarryTheirSourceLine) {
    namespace Op = HxScript::Opcodes;
    CodeBuilder code;
    code.Add(Op::Noop).Add(Op::Jump, {Int(-1)});
    code.Add(Op::CallStatic, {Str("DzObj"), Str("DzFn"), Id("r"), Str("sv")});
    code.Add(13, {Id(std::string(55, 'p').c_str()), Flt(1.5f)});  // ends at column 79
    code.Add(13, {Id(std::string(60, 'q').c_str()), Bool(true)});  // ends at column 80
    CodeGen::LabelMap targets, jumps;
    targets.Insert(0, "DzTop");
    jumps.Insert(1, "DzTop");
    HxTArray<uint32_t> lines;
    for (uint32_t line : {7u, 9u, 12u}) lines.Add(line);
    RecordingLogger logger;
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput("F.cas"));
    ASSERT_TRUE(output->Open("x"));
    CodeGen::WriteAssemblyFunctor functor(targets, jumps, &lines, 1, &logger, *output);
    code.Build().ForEachInstruction(functor);
    EXPECT_TRUE(functor.Succeeded());
    EXPECT_EQ(output->Text(),
              "\tDzTop:\n"
              "\t\tNoop" + std::string(68, ' ') + " ;@line 7\n"
              "\t\tJump DzTop" + std::string(62, ' ') + " ;@line 9\n"
              // Call names held as strings are written bare; the argument keeps its quotes.
              "\t\tCallStatic DzObj DzFn r \"sv\"" + std::string(44, ' ') + " ;@line 12\n"
              "\t\tAssign " + std::string(55, 'p') + " 1.500000  ;@line 12 - past end of debug array\n"
              "\t\tAssign " + std::string(60, 'q') + " True  ;@line 12 - past end of debug array\n");
    EXPECT_TRUE(logger.lines.empty());
}

// ---------------------------------------------------------------------------

// Struct members follow the order record, then come the unlisted ones.
TEST(Disassembler, StructMembersFollowTheOrderRecord) {
    const RunResult run = Disassemble([](Object& object) {
        BuildFeatureModel(object);
        auto& names = object.debugInfo.structOrders[0].variableNames;
        names.Clear();
        names.Add("label");
        names.Add("x");
    });
    ASSERT_TRUE(run.result);
    const std::string text = Lower(run.text);
    EXPECT_LT(text.find(".variable label string"), text.find(".variable x float"));
    EXPECT_LT(text.find(".variable x float"), text.find(".variable y float"));
}

// Functions that share a name differ in kind or state; a record of another
// object comes first, and a record repeated later loses to the first one, as
// a search of the list in order finds them.
TEST(Disassembler, EachFunctionGetsTheFirstRecordOfItsKindStateAndObject) {
    RunResult run = Disassemble([](Object& object) {
        BuildFeatureModel(object);
        using HxScript::UnlinkedTypes::FunctionKind;
        HxScript::UnlinkedTypes::FunctionDebugInfo other =
            *object.FindFunctionDebugInfo(FunctionKind::Normal, "FeatureObject", "", "OnInit");
        other.lineNumbers[0] = 998;
        object.debugInfo.functionDebugInfos.Add(other);
        other.objectName = "Elsewhere";
        other.lineNumbers[0] = 999;
        object.debugInfo.functionDebugInfos.Insert(0, other);
    });
    ASSERT_TRUE(run.result);
    for (const char* line : {";@line 40\n", ";@line 44\n", ";@line 100\n", ";@line 200\n"})
        EXPECT_NE(run.text.find(line), npos) << line;
    EXPECT_EQ(run.text.find(";@line 99"), npos);
}

TEST(Disassembler, StructOrderNamingAMissingVariableIsAnError) {
    RunResult run = Disassemble([](Object& object) {
        BuildFeatureModel(object);
        object.debugInfo.structOrders[0].variableNames.Insert(1, "dzGhost");
    });
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.messages, Strings{"Dz.disassemble.cas : error: Struct order information for Point lists variable "
                                    "named dzGhost but struct does not contain a variable with that name"});
    EXPECT_EQ(run.severities, std::vector<Severity>{Severity::Error});
    // Nothing after the member before it.
    EXPECT_EQ(run.text.substr(run.text.size() - 17), "\t\t\t\t.endVariable\n");
    EXPECT_EQ(Lower(run.text).find(".variable y"), npos);
}

TEST(Disassembler, ProcessNeedsLoaderAndOutputAndOpensTheDisassemblyName) {
    RecordingLogger logger;
    ModelLoader loader(BuildFeatureModel);
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput());
    CodeGen::DisassemblerProcessor noLoader(&logger), noOutput(&logger);
    noLoader.SetOutput(output);
    EXPECT_FALSE(noLoader.Process("Dz"));
    noOutput.SetLoader(&loader);
    EXPECT_FALSE(noOutput.Process("Dz"));
    EXPECT_EQ(loader.loadCount, 0);
    EXPECT_EQ(logger.lines, (Strings{"Cannot disassemble class without a loader",
                                     "Cannot disassemble class without an output"}));
    EXPECT_EQ(logger.severities, (std::vector<Severity>{Severity::Fatal, Severity::Fatal}));

    // A clone has the loader but neither the output nor the analyze flag.
    RecordingLogger fresh;
    CodeGen::DisassemblerProcessor analyzing(&fresh);
    analyzing.SetLoader(&loader);
    analyzing.SetAnalyze(true);
    std::unique_ptr<HxScript::IObjectProcessor> copy(analyzing.Clone());
    static_cast<CodeGen::DisassemblerProcessor*>(copy.get())->SetOutput(output);
    EXPECT_TRUE(copy->Process("Dz"));
    EXPECT_EQ(loader.lastObjectName, "Dz");
    EXPECT_EQ(output->OpenedName(), "Dz.disassemble");
    EXPECT_FALSE(output->IsOpen());
    EXPECT_TRUE(fresh.lines.empty());
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
    RunResult run = Disassemble(BuildFeatureModel, ~uint64_t(0), new FailingCloseOutput("Dz.disassemble.cas"));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.messages, Strings{Fatal("Error writing to output file")});
}

TEST(Disassembler, EachWriteFailureHasItsMessages) {
    const std::string code = Fatal("Error writing function code"), label = Fatal("Error writing label"),
                      end = Fatal("Error writing function end directive"), chunk = Fatal("Error writing class chunk");
    const std::vector<std::pair<const char*, Strings>> cases = {
        {".info", {Fatal("Error writing header")}},
        {".userFlagsRef", {Fatal("Error writing user flag info")}},
        {".objectTable", {chunk}},
        {"\t\t\t.struct", {Fatal("Error writing struct")}},
        {"\t\t\t\t.variable y", {Fatal("Error writing variable")}},
        {"\t\t\t.endStruct", {Fatal("Error writing struct")}},
        {"\t\t.endStructTable", {chunk}},
        {"\t\t\t.property Score", {Fatal("Error writing property")}},
        {"\t\t\t.endProperty\n\t\t.end", {Fatal("Error writing property")}},
        {"\t\t\t.propertyGroup", {Fatal("Error writing property group block")}},
        {"\t\t\t\t.property Score", {Fatal("Error writing property group property entry")}},
        {"\t\t\t.endPropertyGroup", {Fatal("Error writing property group end directive")}},
        {"\t\t\t.state Active", {Fatal("Error writing state begin directive")}},
        {"\t\t\t.endState", {Fatal("Error writing state end directive")}},
        {"\t\t\t\t.function Helper", {Fatal("Error writing function chunk")}},
        // A failed local block: the code is still walked, the end label and
        // the function end line are still tried.
        {"\t\t\t\t\t.localTable\n\t\t\t\t\t\t.local ::temp0 Bool",
         {Fatal("Error writing function chunk"), code, label, end}},
        {"\t\t\t\t\t\tReturn tmp", {code, end}},
        {"\t\t\t\t\t_label", {label, code, label, end}},   // a label inside the code
        {"#:\n\t\t\t\t\t.endCode", {label, end}},  // the label after the last instruction
        {"\t\t\t\t\t.endCode", {Fatal("Error writing code end directive"), end}},
        {"\t\t\t\t.endFunction", {end}},
        {"\t\t.endStateTable", {chunk}},
    };
    KeepLabelWidthFor(uint32_t(cases.size() + 1) * 4);
    const std::string full = Lower(MaskLabels(Disassemble(BuildFeatureModel).text));
    for (const auto& [marker, messages] : cases) {
        size_t at = full.find(Lower(marker));
        ASSERT_NE(at, npos) << marker;
        at = full.rfind('\n', at) + 1;  // the start of the marker's first line
        RunResult run = Disassemble(BuildFeatureModel, at);
        EXPECT_FALSE(run.result) << marker;
        EXPECT_EQ(run.messages, messages) << marker;
    }
}

TEST(Disassembler, AnyFailureLeavesExactlyThePrefixAndIsReported) {
    KeepLabelWidthFor(20000);
    const std::string full = MaskLabels(Disassemble(BuildFeatureModel).text);
    for (uint64_t n = 0; n < full.size(); n += 3) {
        RunResult run = Disassemble(BuildFeatureModel, n);
        EXPECT_FALSE(run.result) << n;
        EXPECT_EQ(MaskLabels(run.text), full.substr(0, n)) << n;
        ASSERT_FALSE(run.messages.empty()) << n;
        EXPECT_EQ(run.severities[0], Severity::Fatal) << n;
    }
}

}  // namespace
