// Assembly text and compiled files must convert into each other without
// loss: whatever the assembler accepts, once assembled, disassembled and
// assembled again, decodes to the same model, and from then on the text and
// the bytes stay fixed. These tests drive the real loaders and processors
// over in-memory stores.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"
#include "tool/AssemblyLoader.h"

namespace {

using namespace TestSupport;
using Bytes = std::vector<uint8_t>;
using HxScript::UnlinkedTypes::Object;

class Log : public HxScript::ErrorLogger {
public:
    Log() : HxScript::ErrorLogger("RoundTrip") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        all += std::string(text.text()) + "\n";
    }
    std::string all;
};

struct Step {
    bool ok = false;
    std::string messages;
    Bytes bytes;
    std::string text;
};

Step RunAssembler(HxScript::ILoader& loader, Log& log, const std::string& name, bool strip) {
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput((name + ".cex").c_str()));
    CodeGen::AssemblerProcessor processor(&log);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    processor.SetStrip(strip);
    Step step;
    step.ok = processor.Process(HxFixedString(name.c_str()));
    step.messages = log.all;
    step.bytes = output->Bytes();
    return step;
}

Step RunDisassembler(HxScript::ILoader& loader, Log& log, const std::string& name) {
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput((name + ".disassemble.cas").c_str()));
    CodeGen::DisassemblerProcessor processor(&log);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    Step step;
    step.ok = processor.Process(HxFixedString(name.c_str()));
    step.messages = log.all;
    step.text = output->Text();
    return step;
}

Step Assemble(const std::string& name, const std::string& text) {
    Log log;
    Assembler::AssemblyLoader loader(&log);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(text, (name + ".cas").c_str())));
    return RunAssembler(loader, log, name, false);
}

Step Strip(const std::string& name, const Bytes& bytes) {
    Log log;
    HxScript::CompiledScriptLoader loader(&log, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(bytes, (name + ".cex").c_str())));
    return RunAssembler(loader, log, name, true);
}

Step AssembleModel(const std::string& name, const std::function<void(Object&)>& fill) {
    Log log;
    ModelLoader loader(fill);
    return RunAssembler(loader, log, name, false);
}

Step Disassemble(const std::string& name, const Bytes& bytes) {
    Log log;
    HxScript::CompiledScriptLoader loader(&log, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(bytes, (name + ".cex").c_str())));
    return RunDisassembler(loader, log, name);
}

Step DisassembleModel(const std::string& name, const std::function<void(Object&)>& fill) {
    Log log;
    ModelLoader loader(fill);
    return RunDisassembler(loader, log, name);
}

bool LoadText(const std::string& name, const std::string& text, Object& object, std::string& messages) {
    Log log;
    Assembler::AssemblyLoader loader(&log);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(text, (name + ".cas").c_str())));
    bool ok = loader.Load(name.c_str(), object);
    messages = log.all;
    return ok;
}

bool Load(const std::string& name, const Bytes& bytes, Object& object, std::string& messages) {
    Log log;
    HxScript::CompiledScriptLoader loader(&log, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(bytes, (name + ".cex").c_str())));
    bool ok = loader.Load(name.c_str(), object);
    messages = log.all;
    return ok;
}

// Label numbers go on growing over the whole process, and a longer label
// moves the padding of its line. Two texts that differ only in that are the
// same text: labels are renamed in order of first appearance and the blanks
// before a source-line comment are folded into one.
std::string CanonicalText(const std::string& text) {
    std::map<std::string, std::string> names;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 6, "_label") == 0 && i + 6 < text.size() && std::isdigit(uint8_t(text[i + 6]))) {
            size_t end = i + 6;
            while (end < text.size() && std::isdigit(uint8_t(text[end]))) ++end;
            std::string label = text.substr(i, end - i);
            auto found = names.find(label);
            if (found == names.end()) found = names.emplace(label, "_L" + std::to_string(names.size())).first;
            out += found->second;
            i = end;
        } else if (text[i] == ' ') {
            size_t end = i;
            while (end < text.size() && text[end] == ' ') ++end;
            out += text.compare(end, 7, ";@line ") == 0 ? std::string(" ") : text.substr(i, end - i);
            i = end;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The line-number records are found by their four identifying fields; their
// order in the list means nothing, and it follows the order in which the
// functions were read. Sorting them lets two models of one script compare
// equal however its text was laid out.
void SortDebugRecords(Object& object) {
    using HxScript::UnlinkedTypes::FunctionDebugInfo;
    auto& records = object.debugInfo.functionDebugInfos;
    std::vector<uint32_t> order(records.Size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    auto key = [&](uint32_t i) {
        const FunctionDebugInfo& r = records[i];
        return std::string(r.objectName.text()) + '\n' + r.stateName.text() + '\n' + r.functionName.text() + '\n' +
               char('0' + int(r.functionKind));
    };
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    HxTArray<FunctionDebugInfo> sorted;
    for (uint32_t i : order) sorted.Add(records[i]);
    records.swap(sorted);
}

// The trip from accepted assembly text: text -> bytes -> text -> bytes.
// `ordered` says that the text already follows the disassembler's order, so
// that even the first compiled file comes back byte for byte.
void CheckTextRoundTrip(const std::string& name, const std::string& source, bool ordered) {
    SCOPED_TRACE(name);
    Step first = Assemble(name, source);
    ASSERT_TRUE(first.ok) << first.messages;

    Step text1 = Disassemble(name, first.bytes);
    ASSERT_TRUE(text1.ok) << text1.messages;
    EXPECT_EQ(text1.messages, "");

    Step second = Assemble(name, text1.text);
    ASSERT_TRUE(second.ok) << second.messages << "--- disassembly ---\n" << text1.text;
    EXPECT_EQ(second.messages, "");

    Object model1, model2;
    std::string messages;
    ASSERT_TRUE(Load(name, first.bytes, model1, messages)) << messages;
    ASSERT_TRUE(Load(name, second.bytes, model2, messages)) << messages;
    SortDebugRecords(model1);
    SortDebugRecords(model2);
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(model1, model2, &difference)) << difference.text();
    if (ordered) {
        EXPECT_EQ(first.bytes, second.bytes);
    }

    // From here on nothing moves.
    Step text2 = Disassemble(name, second.bytes);
    ASSERT_TRUE(text2.ok) << text2.messages;
    EXPECT_EQ(CanonicalText(text2.text), CanonicalText(text1.text));
    Step third = Assemble(name, text2.text);
    ASSERT_TRUE(third.ok) << third.messages;
    EXPECT_EQ(third.bytes, second.bytes);
}

std::filesystem::path RepoDir() {
    // tests/unit/<this file> -> <repo>
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// Inputs: the examples and the assembly inputs of the golden cases.

struct TextInput {
    std::string label;   // for test names
    std::string object;  // object name given to the loaders
    std::string text;
    bool ordered;
};

void PrintTo(const TextInput& input, std::ostream* out) { *out << input.label; }

std::vector<TextInput> ExampleInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(RepoDir() / "examples", ec)) {
        if (entry.path().extension() != ".cas") continue;
        std::string stem = entry.path().stem().string();
        // The examples are written in the order the disassembler uses.
        inputs.push_back({"example_" + stem, stem, ReadFile(entry.path()), true});
    }
    std::sort(inputs.begin(), inputs.end(), [](const TextInput& a, const TextInput& b) { return a.label < b.label; });
    return inputs;
}

std::vector<std::string> SplitArgs(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

// A golden case whose run assembles an input file successfully gives that
// input.
std::vector<TextInput> GoldenInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(RepoDir() / "tests/golden/cases", ec)) {
        if (entry.path().extension() != ".case") continue;
        std::istringstream lines(ReadFile(entry.path()));
        std::string line, section, sectionName;
        std::vector<std::string> args;
        bool exitZero = false;
        std::map<std::string, std::string> files;
        std::map<std::string, bool> noEol;
        while (std::getline(lines, line)) {
            if (!line.empty() && line[0] == '@' && (line.size() < 2 || line[1] != '@')) {
                std::string keyword = line.substr(0, line.find(' '));
                std::string rest = line.size() > keyword.size() ? line.substr(keyword.size() + 1) : "";
                section = keyword;
                sectionName = rest;
                if (keyword == "@args") args = SplitArgs(rest);
                if (keyword == "@exit") exitZero = rest == "0";
                if (keyword == "@file" || keyword == "@file-noeol") {
                    files[rest] = "";
                    noEol[rest] = keyword == "@file-noeol";
                }
                continue;
            }
            if (section == "@file" || section == "@file-noeol") {
                if (!line.empty() && line[0] == '@') line = line.substr(1);
                files[sectionName] += line + "\n";
            }
        }
        if (!exitZero) continue;
        std::string object;
        bool assemblyMode = true;
        for (const std::string& arg : args) {
            if (!arg.empty() && (arg[0] == '-' || arg[0] == '/')) {
                char s = arg.size() > 1 ? char(std::toupper(uint8_t(arg[1]))) : ' ';
                if (s == 'D' || s == 'S' || s == '?') assemblyMode = false;
            } else if (object.empty()) {
                object = arg;
            }
        }
        if (!assemblyMode || object.empty()) continue;
        std::string base = object.substr(object.rfind(':') == std::string::npos ? 0 : object.rfind(':') + 1);
        std::string path = object;
        std::replace(path.begin(), path.end(), ':', '/');
        for (const std::string& candidate : {path + ".cas", base + ".cas"}) {
            auto found = files.find(candidate);
            if (found == files.end()) continue;
            std::string text = found->second;
            if (noEol[candidate] && !text.empty()) text.pop_back();
            inputs.push_back({"golden_" + entry.path().stem().string(), object, text, false});
            break;
        }
    }
    std::sort(inputs.begin(), inputs.end(), [](const TextInput& a, const TextInput& b) { return a.label < b.label; });
    return inputs;
}

std::vector<TextInput> AllTextInputs() {
    std::vector<TextInput> all = ExampleInputs();
    for (auto& input : GoldenInputs()) all.push_back(input);
    return all;
}

class AcceptedText : public ::testing::TestWithParam<TextInput> {};

TEST_P(AcceptedText, SurvivesDisassemblyAndReassembly) {
    const TextInput& input = GetParam();
    CheckTextRoundTrip(input.object, input.text, input.ordered);
}

std::string InputName(const ::testing::TestParamInfo<TextInput>& info) {
    std::string name;
    for (char c : info.param.label) name += std::isalnum(uint8_t(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, AcceptedText, ::testing::ValuesIn(AllTextInputs()), InputName);

TEST(RoundTrip, InputsWereFound) {
    // A moved folder must not silently empty the list above.
    EXPECT_GE(ExampleInputs().size(), 3u);
    EXPECT_GE(GoldenInputs().size(), 1u);
}

// ---------------------------------------------------------------------------
// Generated objects with every feature of the model.

TEST(RoundTrip, FeatureModelComesBackUnchanged) {
    // The text written from the generated object reads back as that object.
    Step text = DisassembleModel("FeatureObject", BuildFeatureModel);
    ASSERT_TRUE(text.ok) << text.messages;
    Object generated, read;
    BuildFeatureModel(generated);
    std::string messages;
    ASSERT_TRUE(LoadText("FeatureObject", text.text, read, messages)) << messages << text.text;
    EXPECT_EQ(messages, "");
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(generated, read, &difference)) << difference.text();

    // The text is in the writer's own order, so assembling it gives the very
    // bytes that the generated object gives.
    Step compiled = AssembleModel("FeatureObject", BuildFeatureModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step assembled = Assemble("FeatureObject", text.text);
    ASSERT_TRUE(assembled.ok) << assembled.messages;
    EXPECT_EQ(assembled.bytes, compiled.bytes);

    // Written from the compiled file instead: the same text.
    Step fromFile = Disassemble("FeatureObject", compiled.bytes);
    ASSERT_TRUE(fromFile.ok) << fromFile.messages;
    EXPECT_EQ(CanonicalText(fromFile.text), CanonicalText(text.text));

    CheckTextRoundTrip("FeatureObject", text.text, true);
}

TEST(RoundTrip, FeatureTextShowsEveryFeature) {
    Step text = DisassembleModel("FeatureObject", BuildFeatureModel);
    ASSERT_TRUE(text.ok) << text.messages;
    const std::string& t = text.text;
    for (const char* expected : {
             "\t.flag HighBit 31\t; 0x0000001F\n",
             "\t.object FeatureObject BaseObject\n\t\t.userFlags 2147483651\t; Flags: 0x80000003\n",
             "\t\t.docString \"Feature object.\\n\\tIndented \\\"quote\\\" and back\\\\slash; semicolon\"\n",
             "\t\t\t\t\t.docString \"Y \\\"up\\\"\\tcoordinate\\n\"\n",
             "\t\t\t.variable limit Int const\n",
             "\t\t\t\t.initialValue -2147483648\n",
             "\t\t\t\t.initialValue Point[]\n",
             "\t\t\t\t.initialValue 123456.500000\n",
             "\t\t\t.property Health Int auto\n",
             "\t\t\t.property Score Int \n",
             "\t\t\t.propertyGroup \n",
             "\t\t\t\t.function NativeStatic native static\n",
             "\t\t\t.state Active\n",
             "CallMethod DoThing self ::nonevar",
             "CallStatic FeatureObject Helper ::temp2 2 3.000000",
             "Is ::temp0 counter Point",
             "StructGet ::temp4 pt x",
         }) {
        EXPECT_NE(t.find(expected), std::string::npos) << expected;
    }
}

TEST(RoundTrip, ConstObjectWithoutDebugInformation) {
    Step compiled = AssembleModel("ConstObject", BuildConstModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step text = Disassemble("ConstObject", compiled.bytes);
    ASSERT_TRUE(text.ok) << text.messages;
    EXPECT_NE(text.text.find("\t.modifyTime 0 ;Debug info: No\n\t.compileTime 0 ;<unknown> Local\n"),
              std::string::npos);
    EXPECT_NE(text.text.find("\t.object ConstObject ScriptObject const\n"), std::string::npos);
    Step again = Assemble("ConstObject", text.text);
    ASSERT_TRUE(again.ok) << again.messages;
    EXPECT_EQ(again.bytes, compiled.bytes);
}

TEST(RoundTrip, StrippedFileDisassemblesWithoutDebugInformation) {
    Step compiled = AssembleModel("FeatureObject", BuildFeatureModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step stripped = Strip("FeatureObject", compiled.bytes);
    ASSERT_TRUE(stripped.ok) << stripped.messages;
    Step full = Disassemble("FeatureObject", compiled.bytes);
    Step bare = Disassemble("FeatureObject", stripped.bytes);
    ASSERT_TRUE(full.ok && bare.ok) << full.messages << bare.messages;

    // The full text less the debug information: no modification time, no
    // property groups, no source lines. (Struct members keep their order,
    // which the generator made the map order.)
    std::string expected;
    std::istringstream lines(full.text);
    std::string line;
    bool inGroups = false;
    while (std::getline(lines, line)) {
        if (line.rfind("\t.modifyTime ", 0) == 0) line = "\t.modifyTime 0 ;Debug info: No";
        if (line == "\t\t.endPropertyGroupTable") inGroups = false;
        if (inGroups) continue;
        if (line == "\t\t.propertyGroupTable") inGroups = true;
        size_t comment = line.find(" ;@line ");
        if (comment != std::string::npos) line = line.substr(0, comment) + " ;@line ??";
        expected += line + "\n";
    }
    EXPECT_EQ(CanonicalText(bare.text), CanonicalText(expected));
}

TEST(RoundTrip, CallsOfUpTo511ArgumentsDisassemble) {
    auto fill = [](Object& object) {
        object.name = "WideCalls";
        object.parentName = "ScriptObject";
        CodeBuilder code;
        std::vector<HxScript::UnlinkedTypes::Value> method = {Str("Wide"), Id("self"), Id("r")};
        for (const auto& v : CallArguments(511)) method.push_back(v);
        code.Add(HxScript::Opcodes::CallMethod, method);
        std::vector<HxScript::UnlinkedTypes::Value> parent = {Str("Wide"), Id("r")};
        for (const auto& v : CallArguments(511)) parent.push_back(v);
        code.Add(HxScript::Opcodes::CallParent, parent);
        code.Add(HxScript::Opcodes::CallMethod, {Str("Narrow"), Id("self"), Id("r")});
        object.emptyState.functions.Set("Run", MakeFunction("None", {}, {{"r", "Var"}}, &code));
        AddLines(object, HxScript::UnlinkedTypes::FunctionKind::Normal, "", "Run", {1, 2, 3});
    };
    Step compiled = AssembleModel("WideCalls", fill);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step text = Disassemble("WideCalls", compiled.bytes);
    ASSERT_TRUE(text.ok) << text.messages;

    std::string arguments;
    for (const auto& v : CallArguments(511)) {
        CodeGen::TextBuffer buffer;
        CodeGen::FormatValue(v, buffer);
        arguments += " " + std::string(buffer.CStr());
    }
    EXPECT_NE(text.text.find("\t\t\t\t\t\tCallMethod Wide self r" + arguments + "  ;@line 1\n"), std::string::npos);
    EXPECT_NE(text.text.find("\t\t\t\t\t\tCallParent Wide r" + arguments + "  ;@line 2\n"), std::string::npos);
    EXPECT_NE(text.text.find("\t\t\t\t\t\tCallMethod Narrow self r" + std::string(80 - 48, ' ') + " ;@line 3\n"),
              std::string::npos);
}

}  // namespace
