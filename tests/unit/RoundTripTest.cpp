// Assembly text and compiled files convert into each other without loss:
// whatever the assembler accepts, once assembled, disassembled and assembled
// again, decodes to the same model, and from then on text and bytes stay
// fixed. The real loaders and processors run over in-memory stores.

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

#include "HxScript/HxScriptCompiledScriptLoader.h"
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

enum class Input { Text, Compiled, Model };
enum class Output { Compiled, Stripped, Text };

// One run of a processor: `source` is assembly text, compiled bytes or a
// generator, and the result is compiled bytes or assembly text.
Step Convert(const std::string& name, Input input, const std::string& source, Output output,
         const std::function<void(Object&)>& fill = nullptr) {
    Log log;
    std::unique_ptr<HxScript::ILoader> loader;
    if (input == Input::Text) {
        loader.reset(new Assembler::AssemblyLoader(&log));
        loader->SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(source, (name + ".cas").c_str())));
    } else if (input == Input::Compiled) {
        loader.reset(new HxScript::CompiledScriptLoader(&log, true, true));
        loader->SetStore(HxTSmartPointer<HxScript::IStore>(
            new MemorySource(Bytes(source.begin(), source.end()), (name + ".cex").c_str())));
    } else {
        loader.reset(new ModelLoader(fill));
    }
    HxTSmartPointer<MemoryOutput> store(new MemoryOutput(name.c_str()));
    Step step;
    if (output == Output::Text) {
        CodeGen::DisassemblerProcessor processor(&log);
        processor.SetLoader(loader.get());
        processor.SetOutput(store);
        step.ok = processor.Process(name.c_str());
    } else {
        CodeGen::AssemblerProcessor processor(&log);
        processor.SetLoader(loader.get());
        processor.SetOutput(store);
        processor.SetStrip(output == Output::Stripped);
        step.ok = processor.Process(name.c_str());
    }
    step.messages = log.all;
    step.bytes = store->Bytes();
    step.text = store->Text();
    return step;
}

Step Assemble(const std::string& name, const std::string& text) { return Convert(name, Input::Text, text, Output::Compiled); }
Step Disassemble(const std::string& name, const Bytes& bytes) {
    return Convert(name, Input::Compiled, std::string(bytes.begin(), bytes.end()), Output::Text);
}

bool Load(const std::string& name, Input input, const std::string& source, Object& object) {
    Log log;
    Assembler::AssemblyLoader textLoader(&log);
    HxScript::CompiledScriptLoader compiledLoader(&log, true, true);
    HxScript::ILoader* loader = input == Input::Text ? static_cast<HxScript::ILoader*>(&textLoader) : &compiledLoader;
    loader->SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(source, name.c_str())));
    bool ok = loader->Load(name.c_str(), object);
    EXPECT_EQ(log.all, "");
    return ok;
}

// Line-number records are found by their four identifying fields and listed
// in the order the functions were read; sorting them compares two models of
// one script however its text was laid out.
void SortDebugRecords(Object& object) {
    auto& records = object.debugInfo.functionDebugInfos;
    auto key = [&](uint32_t i) {
        const auto& r = records[i];
        return std::string(r.objectName.text()) + '\n' + r.stateName.text() + '\n' + r.functionName.text() + '\n' +
               char('0' + int(r.functionKind));
    };
    std::vector<uint32_t> order(records.Size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    HxTArray<HxScript::UnlinkedTypes::FunctionDebugInfo> sorted;
    for (uint32_t i : order) sorted.Add(records[i]);
    records.swap(sorted);
}

// Label numbers grow over the whole process and a longer label moves the
// padding of its line; texts that differ only in that are the same text.
std::string CanonicalText(const std::string& text) {
    std::map<std::string, std::string> names;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t end = i;
        if (text.compare(i, 6, "_label") == 0) {
            for (end = i + 6; end < text.size() && std::isdigit(uint8_t(text[end]));) ++end;
            auto found = names.emplace(text.substr(i, end - i), "_L" + std::to_string(names.size())).first;
            out += found->second;
        } else if (text[i] == ' ') {
            while (end < text.size() && text[end] == ' ') ++end;
            out += text.compare(end, 7, ";@line ") == 0 ? std::string(" ") : text.substr(i, end - i);
        } else {
            out += text[end++];
        }
        i = end;
    }
    return out;
}

// text -> bytes -> text -> bytes -> text -> bytes. `ordered`: the text is
// already in the writer's order, so even the first file comes back exactly.
void CheckTextRoundTrip(const std::string& name, const std::string& source, bool ordered) {
    SCOPED_TRACE(name);
    Step first = Assemble(name, source);
    ASSERT_TRUE(first.ok) << first.messages;
    Step text1 = Disassemble(name, first.bytes);
    ASSERT_TRUE(text1.ok && text1.messages.empty()) << text1.messages;
    Step second = Assemble(name, text1.text);
    ASSERT_TRUE(second.ok && second.messages.empty()) << second.messages << "--- disassembly ---\n" << text1.text;

    Object model1, model2;
    ASSERT_TRUE(Load(name, Input::Compiled, std::string(first.bytes.begin(), first.bytes.end()), model1));
    ASSERT_TRUE(Load(name, Input::Compiled, std::string(second.bytes.begin(), second.bytes.end()), model2));
    SortDebugRecords(model1);
    SortDebugRecords(model2);
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(model1, model2, &difference)) << difference.text();
    if (ordered) {
        EXPECT_EQ(first.bytes, second.bytes);
    }

    Step text2 = Disassemble(name, second.bytes);
    EXPECT_EQ(CanonicalText(text2.text), CanonicalText(text1.text));
    EXPECT_EQ(Assemble(name, text2.text).bytes, second.bytes);
}

// ---------------------------------------------------------------------------
// Every example, and the assembly input of every golden case whose run
// assembles it successfully.

struct TextInput {
    std::string label, object, text;
    bool ordered;
};
void PrintTo(const TextInput& input, std::ostream* out) { *out << input.label; }

std::filesystem::path RepoDir() { return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path(); }

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<TextInput> ExampleInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(RepoDir() / "examples", ec)) {
        // The examples are laid out in the writer's order.
        if (entry.path().extension() == ".cas")
            inputs.push_back({"example_" + entry.path().stem().string(), entry.path().stem().string(),
                              ReadFile(entry.path()), true});
    }
    return inputs;
}

std::vector<TextInput> GoldenInputs() {
    std::vector<TextInput> inputs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(RepoDir() / "tests/golden/cases", ec)) {
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
                continue;
            }
            if (section == "@file" || section == "@file-noeol")
                files[fileName] += (line.rfind("@", 0) == 0 ? line.substr(1) : line) + "\n";
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
    Object generated, read;
    BuildFeatureModel(generated);
    ASSERT_TRUE(Load("FeatureObject", Input::Text, text.text, read)) << text.text;
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(generated, read, &difference)) << difference.text();

    // It is in the writer's order: assembled, it gives the generated object's bytes.
    Step compiled = Convert("FeatureObject", Input::Model, "", Output::Compiled, BuildFeatureModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    EXPECT_EQ(Assemble("FeatureObject", text.text).bytes, compiled.bytes);
    EXPECT_EQ(CanonicalText(Disassemble("FeatureObject", compiled.bytes).text), CanonicalText(text.text));
    CheckTextRoundTrip("FeatureObject", text.text, true);
}

TEST(RoundTrip, ConstObjectWithoutDebugInformation) {
    Step compiled = Convert("ConstObject", Input::Model, "", Output::Compiled, BuildConstModel);
    ASSERT_TRUE(compiled.ok) << compiled.messages;
    Step text = Disassemble("ConstObject", compiled.bytes);
    EXPECT_NE(text.text.find("\t.object ConstObject ScriptObject const\n"), std::string::npos);
    EXPECT_EQ(Assemble("ConstObject", text.text).bytes, compiled.bytes);
}

TEST(RoundTrip, StrippedFileDisassemblesWithoutDebugInformation) {
    Step compiled = Convert("FeatureObject", Input::Model, "", Output::Compiled, BuildFeatureModel);
    Step stripped = Convert("FeatureObject", Input::Compiled, std::string(compiled.bytes.begin(), compiled.bytes.end()),
                        Output::Stripped);
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
    EXPECT_EQ(CanonicalText(bare.text), CanonicalText(expected));
}

TEST(RoundTrip, CallsOfUpTo511ArgumentsDisassemble) {
    auto fill = [](Object& object) {
        object.name = "WideCalls";
        CodeBuilder code;
        std::vector<HxScript::UnlinkedTypes::Value> method = {Id("Wide"), Id("self"), Id("r")};
        std::vector<HxScript::UnlinkedTypes::Value> parent = {Id("Wide"), Id("r")};
        for (const auto& v : CallArguments(511)) {
            method.push_back(v);
            parent.push_back(v);
        }
        code.Add(HxScript::Opcodes::CallMethod, method).Add(HxScript::Opcodes::CallParent, parent);
        object.emptyState.functions.Set("Run", MakeFunction("None", {}, {{"r", "Var"}}, &code));
        AddLines(object, HxScript::UnlinkedTypes::FunctionKind::Normal, "", "Run", {1, 2});
    };
    Step compiled = Convert("WideCalls", Input::Model, "", Output::Compiled, fill);
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
}

}  // namespace
