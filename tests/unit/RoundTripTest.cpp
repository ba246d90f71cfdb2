// Assembly text and compiled files convert into each other without loss:
// whatever the assembler accepts, once assembled, disassembled and assembled
// again, decodes to the same model, and from then on text and bytes stay
// fixed (the check the fuzz target makes, run here over every example, every
// golden input that assembles and generated objects). The real loaders and
// processors run over in-memory stores.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzChecks.h"
#include "output/DisassemblyText.h"
#include "support/MemoryStores.h"
#include "support/ModelGenerator.h"
#include "support/RecordingLogger.h"

namespace {

using namespace TestSupport;
using Bytes = std::vector<uint8_t>;
using HxScript::UnlinkedTypes::Object;

struct Step {
    bool ok = false;
    std::string messages;
    Bytes bytes;
    std::string text;
};

enum class Input { Text, Compiled, Model };
enum class Output { Compiled, Stripped, Text };

// One run of a processor: `source` is assembly text, compiled bytes or a
// generator, and the result is compiled bytes or assembly text.
Step Convert(const std::string& name, Input input, const std::string& source, Output output,
             const std::function<void(Object&)>& fill = nullptr) {
    RecordingLogger log;
    std::unique_ptr<HxScript::ILoader> loader;
    if (input == Input::Model) loader.reset(new ModelLoader(fill));
    else if (input == Input::Text) loader.reset(new Assembler::AssemblyLoader(&log));
    else loader.reset(new HxScript::CompiledScriptLoader(&log, true, true));
    loader->SetStore(HxTSmartPointer<HxScript::IStore>(
        new MemorySource(source, (name + (input == Input::Text ? ".cas" : ".cex")).c_str())));
    HxTSmartPointer<MemoryOutput> store(new MemoryOutput(name.c_str()));
    CodeGen::DisassemblerProcessor disassembler(&log);
    CodeGen::AssemblerProcessor assembler(&log);
    disassembler.SetOutput(store);
    assembler.SetOutput(store);
    assembler.SetStrip(output == Output::Stripped);
    HxScript::IObjectProcessor& processor =
        output == Output::Text ? static_cast<HxScript::IObjectProcessor&>(disassembler) : assembler;
    processor.SetLoader(loader.get());
    Step step;
    step.ok = processor.Process(name.c_str());
    step.messages = log.Joined();
    step.bytes = store->Bytes();
    step.text = store->Text();
    return step;
}

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
Step Assemble(const std::string& name, const std::string& text) {
    return Convert(name, Input::Text, text, Output::Compiled);
}
Step Disassemble(const std::string& name, const Bytes& bytes) {
    return Convert(name, Input::Compiled, AsText(bytes), Output::Text);
}
std::string Canonical(const std::string& text) { return FuzzChecks::CanonicalText(AsBytes(text)); }

// `ordered`: the text is already in the writer's order, so even the first
// assembled file comes back byte for byte.
void CheckTextRoundTrip(const std::string& name, const std::string& text, bool ordered) {
    SCOPED_TRACE(name);
    Step first = Assemble(name, text);
    ASSERT_TRUE(first.ok) << first.messages;
    EXPECT_EQ(FuzzChecks::CheckAssemblyRoundTrip({name, AsBytes(text)}), "");
    if (ordered) {
        EXPECT_EQ(Assemble(name, Disassemble(name, first.bytes).text).bytes, first.bytes);
    }
}

// ---------------------------------------------------------------------------
// Every example, and the assembly input of every golden case whose run
// assembles it successfully.

struct TextInput {
    std::string label, object, text;
    bool ordered;
};
void PrintTo(const TextInput& input, std::ostream* out) { *out << input.label; }

const std::filesystem::path kRepo = std::filesystem::path(__FILE__).parent_path() / "../..";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<TextInput> ExampleInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kRepo / "examples", ec)) {
        const std::string stem = entry.path().stem().string();
        // The examples are laid out in the writer's order.
        if (entry.path().extension() == ".cas")
            inputs.push_back({"example_" + stem, stem, ReadFile(entry.path()), true});
    }
    return inputs;
}

std::vector<TextInput> GoldenInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kRepo / "tests/golden/cases", ec)) {
        std::istringstream lines(ReadFile(entry.path()));
        std::string line, section, object, fileName;
        std::map<std::string, std::string> files;
        bool assembles = true, exitZero = false;
        while (std::getline(lines, line)) {
            if (line.rfind("@", 0) == 0 && line.rfind("@@", 0) != 0) {
                section = line.substr(0, line.find(' '));
                std::string rest = line.size() > section.size() ? line.substr(section.size() + 1) : "";
                if (section == "@exit") exitZero = rest == "0";
                if (section == "@file" || section == "@file-noeol") files[fileName = rest];
                std::istringstream words(section == "@args" ? rest : "");
                for (std::string word; words >> word;) {
                    char mode = word.size() > 1 ? char(std::toupper(uint8_t(word[1]))) : ' ';
                    if (word[0] == '-' || word[0] == '/') assembles = assembles && mode != 'D' && mode != 'S' && mode != '?';
                    else if (object.empty()) object = word;
                }
            } else if (section == "@file" || section == "@file-noeol") {
                files[fileName] += (line.rfind("@", 0) == 0 ? line.substr(1) : line) + "\n";
            }
        }
        // The store tries the path form of the name first, then its last part.
        std::string path = object;
        std::replace(path.begin(), path.end(), ':', '/');
        auto found = files.find(path + ".cas");
        if (found == files.end()) found = files.find(object.substr(object.find_last_of(':') + 1) + ".cas");
        if (exitZero && assembles && found != files.end())
            inputs.push_back({"golden_" + entry.path().stem().string(), object, found->second, false});
    }
    return inputs;
}

std::vector<TextInput> AllTextInputs() {
    std::vector<TextInput> all = ExampleInputs();
    for (auto& input : GoldenInputs()) all.push_back(input);
    std::sort(all.begin(), all.end(), [](const TextInput& a, const TextInput& b) { return a.label < b.label; });
    return all;
}

class AcceptedText : public ::testing::TestWithParam<TextInput> {};

TEST_P(AcceptedText, SurvivesDisassemblyAndReassembly) {
    CheckTextRoundTrip(GetParam().object, GetParam().text, GetParam().ordered);
}

INSTANTIATE_TEST_SUITE_P(Inputs, AcceptedText, ::testing::ValuesIn(AllTextInputs()),
                         [](const ::testing::TestParamInfo<TextInput>& info) {
                             std::string name = info.param.label;
                             for (char& c : name) c = std::isalnum(uint8_t(c)) ? c : '_';
                             return name;
                         });

TEST(RoundTrip, InputsWereFound) {
    EXPECT_GE(ExampleInputs().size(), 3u);
    EXPECT_GE(GoldenInputs().size(), 2u);
}

// ---------------------------------------------------------------------------
// Generated objects.

TEST(RoundTrip, FeatureModelComesBackUnchanged) {
    // The text written from the generated object reads back as that object.
    Step text = Convert("FeatureObject", Input::Model, "", Output::Text, BuildFeatureModel);
    ASSERT_TRUE(text.ok) << text.messages;
    Object generated;
    BuildFeatureModel(generated);
    FuzzChecks::Loaded read;
    FuzzChecks::LoadInto(FuzzChecks::Reader::Text, "FeatureObject", AsBytes(text.text), read);
    ASSERT_TRUE(read.ok) << read.log.all;
    EXPECT_EQ(read.log.all, "");
    EXPECT_EQ(FuzzChecks::Differences(generated, *read.object), "");

    // It is in the writer's order: assembled, it gives the generated object's bytes.
    Step compiled = Convert("FeatureObject", Input::Model, "", Output::Compiled, BuildFeatureModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    EXPECT_EQ(Assemble("FeatureObject", text.text).bytes, compiled.bytes);
    EXPECT_EQ(Canonical(Disassemble("FeatureObject", compiled.bytes).text), Canonical(text.text));
    CheckTextRoundTrip("FeatureObject", text.text, true);
}

TEST(RoundTrip, StrippedFileDisassemblesWithoutDebugInformation) {
    Step compiled = Convert("FeatureObject", Input::Model, "", Output::Compiled, BuildFeatureModel);
    Step stripped = Convert("FeatureObject", Input::Compiled, AsText(compiled.bytes), Output::Stripped);
    ASSERT_TRUE(stripped.ok) << stripped.messages;
    Step full = Disassemble("FeatureObject", compiled.bytes);
    Step bare = Disassemble("FeatureObject", stripped.bytes);

    // The full text less the modification time, the property groups and the
    // source lines. (The generator's struct members are in map order.)
    std::string expected, line;
    std::istringstream lines(full.text);
    bool inGroups = false;
    while (std::getline(lines, line)) {
        if (line.rfind("\t.modifyTime ", 0) == 0) line = "\t.modifyTime 0 ;Debug info: No";
        if (line == "\t\t.endPropertyGroupTable") inGroups = false;
        if (inGroups) continue;
        inGroups = line == "\t\t.propertyGroupTable";
        if (line.find(" ;@line ") != std::string::npos) line = line.substr(0, line.find(" ;@line ")) + " ;@line ??";
        expected += line + "\n";
    }
    EXPECT_EQ(Canonical(bare.text), Canonical(expected));
}

// A compiled call may carry 511 arguments, more than an assembly line takes
// (511 operands in all, as the generated object's 508-argument call has).
TEST(RoundTrip, CallsOf511ArgumentsDisassemble) {
    const std::vector<HxScript::UnlinkedTypes::Value> arguments = CallArguments(511);
    Step compiled = Convert("WideCalls", Input::Model, "", Output::Compiled, [&](Object& object) {
        object.name = "WideCalls";
        std::vector<HxScript::UnlinkedTypes::Value> method = {Id("Wide"), Id("self"), Id("r")};
        std::vector<HxScript::UnlinkedTypes::Value> parent = {Id("Wide"), Id("r")};
        method.insert(method.end(), arguments.begin(), arguments.end());
        parent.insert(parent.end(), arguments.begin(), arguments.end());
        CodeBuilder code;
        code.Add(HxScript::Opcodes::CallMethod, method).Add(HxScript::Opcodes::CallParent, parent);
        object.emptyState.functions.Set("Run", MakeFunction("None", {}, {{"r", "Var"}}, &code));
        AddLines(object, HxScript::UnlinkedTypes::FunctionKind::Normal, "", "Run", {1, 2});
    });
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step text = Disassemble("WideCalls", compiled.bytes);
    ASSERT_TRUE(text.ok) << text.messages;
    CodeGen::TextBuffer spelled;
    for (const auto& v : arguments) {
        spelled.AppendChar(' ');
        CodeGen::FormatValue(v, spelled);
    }
    const std::string list = spelled.CStr();
    EXPECT_NE(text.text.find("\t\t\t\t\t\tCallMethod Wide self r" + list + "  ;@line 1\n"), std::string::npos);
    EXPECT_NE(text.text.find("\t\t\t\t\t\tCallParent Wide r" + list + "  ;@line 2\n"), std::string::npos);
}

}  // namespace
